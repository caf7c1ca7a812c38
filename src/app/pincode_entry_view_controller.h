// The entry half of the PIN screen: the digit labels, the on-screen digit keys, Delete, the
// switch between the 6-digit (server) and 8-digit (serverless) PIN types stored under the user
// default "pincode.type", and the keyboard through a local key-down monitor.
//
// The look-up that a complete PIN starts (`connect`) and the driver check queued when the
// view loads (`checkSoundPlugin`) belong to the PIN screen class built on this one, which owns
// the look-up channels and the session controller they need.
//
// Lifetime: made with `create` of a subclass (the key monitor holds the screen strongly and is
// never removed, so a screen lives as long as the application). Its handler answers false once
// the screen's view is in no window.
//
// Threads: everything on the main thread (actions, the key monitor, `awakeFromNib`).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/pincode_view_controller_delegate.h"
#include "platform/ui/application.h"
#include "platform/ui/event.h"
#include "platform/ui/view_controller.h"

namespace corvane {

class PincodeEntryViewController : public platform::ui::ViewController,
                                   public std::enable_shared_from_this<PincodeEntryViewController> {
 public:
  static constexpr std::int64_t PIN_CODE_TYPE_SERVERLESS = 8;
  static constexpr std::int64_t PIN_CODE_TYPE_SERVER = 6;
  // The user-defaults key of the PIN type.
  static constexpr const char* kPincodeTypeKey = "pincode.type";

  ~PincodeEntryViewController() override = default;

  // Reads the stored PIN type, lays out and titles the screen, installs the key monitor and
  // queues `checkSoundPlugin` on the main queue.
  void awakeFromNib() override;

  // The key monitor's work: answers whether the key was handled (then it is consumed).
  virtual bool handleKeyDown(const platform::ui::Event& event);
  // Appends typed digits while the PIN is shorter than its type's length.
  void appendDigit(const std::string& text);
  // Removes the last digit.
  void deleteDigit();

  // Actions of the interface description.
  void onSoftKeyClicked(const std::shared_ptr<platform::ui::Button>& sender);
  void onDeleteButtonClicked();
  void onSwitchPinCodeTypeClicked();

  // Starts the look-up of the complete PIN (the Return and keypad Enter keys, the connect
  // button).
  virtual void connect() = 0;
  // Makes sure, once per screen load, that the virtual audio driver is installed.
  virtual void checkSoundPlugin() = 0;

  const std::string& inputPinCode() const { return inputPinCode_; }
  std::int64_t maxPinCodeLength() const { return maxPinCodeLength_; }
  void setPincodeViewControllerDelegate(std::shared_ptr<PincodeViewControllerDelegate> delegate) {
    pincodeViewControllerDelegate_ = std::move(delegate);
  }
  const std::shared_ptr<PincodeViewControllerDelegate>& pincodeViewControllerDelegate() const {
    return pincodeViewControllerDelegate_;
  }

  // Outlets.
  std::shared_ptr<platform::ui::StackView> pincodeStackView() const;
  std::shared_ptr<platform::ui::StackView> contentStackView() const;
  std::shared_ptr<platform::ui::ProgressIndicator> progressIndicator() const;
  std::shared_ptr<platform::ui::TextField> pincodeLabel() const;
  std::shared_ptr<platform::ui::TextField> seventhNumberLabel() const;
  std::shared_ptr<platform::ui::TextField> eighthNumberLabel() const;
  std::shared_ptr<platform::ui::Button> switchDigitNumberButton() const;
  std::shared_ptr<platform::ui::Button> connectButton() const;
  std::shared_ptr<platform::ui::Button> deleteButton() const;
  // The eight digit labels, first to eighth; empty when the description lacks one of them.
  const std::vector<std::shared_ptr<platform::ui::TextField>>& numberFileds();

 protected:
  // Names the interface description "PincodeViewController" and wires the actions.
  PincodeEntryViewController();

  std::string inputPinCode_;
  std::int64_t maxPinCodeLength_ = PIN_CODE_TYPE_SERVERLESS;

 private:
  void refreshDigits();
  // "<other length> <localized switch.pincode.type>": names the type a click switches to.
  static std::string switchTitle(std::int64_t length);
  void showPinType(std::int64_t length);

  std::shared_ptr<PincodeViewControllerDelegate> pincodeViewControllerDelegate_;
  std::vector<std::shared_ptr<platform::ui::TextField>> numberFileds_;
  bool numberFiledsBuilt_ = false;
  platform::ui::EventMonitor keyMonitor_;
};

namespace detail {
// Whether `text` reads as a decimal integer: an optional sign, then one or more ASCII digits,
// within the 64-bit range.
bool parsesAsDecimalInteger(const std::string& text);
}  // namespace detail

}  // namespace corvane
