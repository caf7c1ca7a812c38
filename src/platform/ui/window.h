// An application window over a top-level Qt widget, with a delegate asked whether the window
// may close and told when it is about to close (the user's close button, or `close`).
//
// The window owns its widget. It is registered with the application while it exists, so that
// views can find their window, `Application::keyWindow` can name it and key events carry it.
// Closing hides the window; it is not deleted and can be shown again. A minimised window stays
// open: the desktop's task bar, or `makeKeyAndOrderFront`, brings it back.
//
// Threads: main thread only.
#pragma once

#include <memory>
#include <string>

#include <QWidget>

#include "platform/foundation/bundle.h"
#include "platform/foundation/error.h"
#include "platform/ui/view.h"

namespace corvane::platform::ui {

class Window;

class WindowDelegate {
 public:
  virtual ~WindowDelegate() = default;
  // The window is asked to close: answer false to keep it as it is (nothing closes and
  // `windowWillClose` is not called). Runs on the main thread.
  virtual bool windowShouldClose(Window& window) {
    (void)window;
    return true;
  }
  // The window is about to close. Runs on the main thread.
  virtual void windowWillClose(Window& window) = 0;
};

class Window : public std::enable_shared_from_this<Window> {
 public:
  // A window over `widget` (made a top-level widget if it is not one); the existing window
  // when `widget` already is one's.
  static std::shared_ptr<Window> create(QWidget* widget);
  // A window from the interface description "<name>.ui" of `bundle` (the main bundle when
  // null), whose top-level widget becomes the window. nullptr with `error` set when the
  // description is missing or cannot be read.
  static std::shared_ptr<Window> fromInterface(const std::string& name,
                                               const std::shared_ptr<Bundle>& bundle = nullptr,
                                               Error* error = nullptr);
  ~Window();
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  QWidget* widget() const { return widget_; }

  // The delegate is held weakly.
  void setDelegate(std::weak_ptr<WindowDelegate> delegate) { delegate_ = std::move(delegate); }
  std::shared_ptr<WindowDelegate> delegate() const { return delegate_.lock(); }

  std::string title() const;
  void setTitle(const std::string& title);

  // The window's own view (for a main window: its central widget).
  std::shared_ptr<View> contentView() const;
  // A view of the window's interface description by outlet (object) name, or nullptr.
  std::shared_ptr<View> viewNamed(const std::string& name) const;

  // Shows the window (also out of the task bar, when minimised), brings it to the front and
  // makes it the key window.
  void makeKeyAndOrderFront();
  // Minimises the window into the desktop's task bar; it stays open and visible to the
  // application.
  void miniaturize();
  bool isMiniaturized() const;
  // Hides the window without closing it (the delegate is not told).
  void orderOut();
  // Closes the window as its close button does: the delegate's `windowShouldClose`; when it
  // agrees, its `windowWillClose`, then the window is hidden.
  void close();
  bool isVisible() const;
  bool isKeyWindow() const;

 private:
  explicit Window(QWidget* widget);
  void install();

  QWidget* widget_;
  QObject* closeWatcher_ = nullptr;
  std::weak_ptr<WindowDelegate> delegate_;
};

}  // namespace corvane::platform::ui
