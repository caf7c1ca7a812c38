// Modal alerts: a message, an informative text, a style and buttons, run as a modal message
// box on the main thread.
//
// Tests install a responder: each run alert is then handed to it as a record, and its answer
// is returned at once instead of showing the box and waiting for a person.
//
// A quit never waits on a person: `abortModal` ends every alert that is open (each answers
// kModalResponseAbort; Application::terminate does it), and once the application has
// terminated an alert is not shown at all and answers the same at once.
//
// Threads: `runModal` and `abortModal` on the main thread; `setModalResponder` from any thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace corvane::platform::ui {

enum class AlertStyle : int {
  Warning = 0,
  Informational = 1,
  Critical = 2,
};

// The answer of a modal run: 1000 for the first button, 1001 for the second, and so on.
using ModalResponse = long;
inline constexpr ModalResponse kAlertFirstButtonReturn = 1000;
inline constexpr ModalResponse kAlertSecondButtonReturn = 1001;
inline constexpr ModalResponse kAlertThirdButtonReturn = 1002;
// The answer of an alert that was ended without a person's choice (`abortModal`, or an alert
// run after the application terminated).
inline constexpr ModalResponse kModalResponseAbort = -1001;

// What an alert showed.
struct AlertRecord {
  std::string messageText;
  std::string informativeText;
  AlertStyle style = AlertStyle::Warning;
  std::vector<std::string> buttons;
  bool operator==(const AlertRecord&) const = default;
};

class Alert {
 public:
  using Responder = std::function<ModalResponse(const AlertRecord&)>;

  void setMessageText(std::string text) { record_.messageText = std::move(text); }
  const std::string& messageText() const { return record_.messageText; }
  void setInformativeText(std::string text) { record_.informativeText = std::move(text); }
  const std::string& informativeText() const { return record_.informativeText; }
  void setAlertStyle(AlertStyle style) { record_.style = style; }
  AlertStyle alertStyle() const { return record_.style; }
  // Adds a button to the right of the earlier ones (the first one is the default button).
  void addButtonWithTitle(std::string title) { record_.buttons.push_back(std::move(title)); }
  const std::vector<std::string>& buttons() const { return record_.buttons; }

  // Shows the alert and waits until a button is pressed; answers that button's response.
  // An alert without buttons gets one "OK" button.
  ModalResponse runModal();

  // Ends every alert that is running now, the innermost first; each of their `runModal`
  // calls returns kModalResponseAbort once the loop gets back to it.
  static void abortModal();

  // While a responder is set, `runModal` hands it the alert instead of showing it. nullptr
  // shows alerts again.
  static void setModalResponder(Responder responder);

 private:
  AlertRecord record_;
};

}  // namespace corvane::platform::ui
