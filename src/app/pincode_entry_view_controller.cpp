#include "app/pincode_entry_view_controller.h"

#include <charconv>

#include "app/app_support.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/user_defaults.h"
#include "platform/log/log.h"
#include "platform/ui/application.h"
#include "platform/ui/window.h"

namespace corvane {

using platform::ui::Button;
using platform::ui::Event;
using platform::ui::ProgressIndicator;
using platform::ui::StackView;
using platform::ui::TextField;

namespace detail {

bool parsesAsDecimalInteger(const std::string& text) {
  std::size_t start = 0;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) start = 1;
  if (start >= text.size()) return false;
  for (std::size_t i = start; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  // from_chars takes a leading '-' but no '+'.
  const char* first = text.data() + (text[0] == '+' ? 1 : 0);
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(first, text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace detail

PincodeEntryViewController::PincodeEntryViewController() {
  initWithNibName("PincodeViewController");
  setAction("onSoftKeyClicked:", [this](const std::shared_ptr<Button>& sender) { onSoftKeyClicked(sender); });
  setAction("onDeleteButtonClicked:", [this](const std::shared_ptr<Button>&) { onDeleteButtonClicked(); });
  setAction("onSwitchPinCodeTypeClicked:",
            [this](const std::shared_ptr<Button>&) { onSwitchPinCodeTypeClicked(); });
  setAction("onConnectButtonClicked:", [this](const std::shared_ptr<Button>&) {
    platform::log::debug("onConnectButtonClicked");
    connect();
  });
}

std::shared_ptr<StackView> PincodeEntryViewController::pincodeStackView() const {
  return stackViewOutlet("pincodeStackView");
}
std::shared_ptr<StackView> PincodeEntryViewController::contentStackView() const {
  return stackViewOutlet("contentStackView");
}
std::shared_ptr<ProgressIndicator> PincodeEntryViewController::progressIndicator() const {
  return progressIndicatorOutlet("progressIndicator");
}
std::shared_ptr<TextField> PincodeEntryViewController::pincodeLabel() const {
  return textFieldOutlet("pincodeLabel");
}
std::shared_ptr<TextField> PincodeEntryViewController::seventhNumberLabel() const {
  return textFieldOutlet("seventhNumberLabel");
}
std::shared_ptr<TextField> PincodeEntryViewController::eighthNumberLabel() const {
  return textFieldOutlet("eighthNumberLabel");
}
std::shared_ptr<Button> PincodeEntryViewController::switchDigitNumberButton() const {
  return buttonOutlet("switchDigitNumberButton");
}
std::shared_ptr<Button> PincodeEntryViewController::connectButton() const {
  return buttonOutlet("connectButton");
}
std::shared_ptr<Button> PincodeEntryViewController::deleteButton() const {
  return buttonOutlet("deleteButton");
}

const std::vector<std::shared_ptr<TextField>>& PincodeEntryViewController::numberFileds() {
  if (!numberFiledsBuilt_ && isViewLoaded()) {
    numberFiledsBuilt_ = true;
    for (const char* name : {"firstNumberLabel", "secondNumberLabel", "thirdNumberLabel",
                             "fourthNumberLabel", "fifthNumberLabel", "sixthNumberLabel",
                             "seventhNumberLabel", "eighthNumberLabel"}) {
      auto label = textFieldOutlet(name);
      if (!label) {
        platform::log::error(std::string("PIN screen without ") + name);
        numberFileds_.clear();
        break;
      }
      numberFileds_.push_back(std::move(label));
    }
  }
  return numberFileds_;
}

std::string PincodeEntryViewController::switchTitle(std::int64_t length) {
  return std::to_string(length) + " " + detail::localized("switch.pincode.type");
}

void PincodeEntryViewController::showPinType(std::int64_t length) {
  maxPinCodeLength_ = length;
  const bool eight = length == PIN_CODE_TYPE_SERVERLESS;
  if (auto label = seventhNumberLabel()) label->setHidden(!eight);
  if (auto label = eighthNumberLabel()) label->setHidden(!eight);
  if (auto button = switchDigitNumberButton()) {
    button->setTitle(switchTitle(eight ? PIN_CODE_TYPE_SERVER : PIN_CODE_TYPE_SERVERLESS));
  }
}

void PincodeEntryViewController::awakeFromNib() {
  const std::int64_t stored =
      platform::UserDefaults::standard()->integerForKey(kPincodeTypeKey);
  showPinType(stored == PIN_CODE_TYPE_SERVER ? PIN_CODE_TYPE_SERVER : PIN_CODE_TYPE_SERVERLESS);
  refreshDigits();
  if (auto button = connectButton()) button->setTitle(detail::localized("title.connect"));
  if (auto button = deleteButton()) button->setTitle(detail::localized("title.delete"));
  if (auto label = pincodeLabel()) label->setStringValue(detail::localized("title.pincode"));

  // The monitor keeps the screen alive for good; it ignores keys once the view left its window.
  auto self = weak_from_this().lock();
  auto app = platform::ui::Application::sharedApplication();
  if (self && app) {
    keyMonitor_ = app->addLocalMonitorForEventsMatchingMask(
        platform::ui::kEventMaskKeyDown,
        [self](const std::shared_ptr<Event>& event) -> std::shared_ptr<Event> {
          return self->handleKeyDown(*event) ? nullptr : event;
        });
  } else {
    platform::log::error("PIN screen without an application: no key monitor");
  }

  std::weak_ptr<PincodeEntryViewController> weak = weak_from_this();
  platform::dispatch::Queue::main()->async([weak] {
    if (auto screen = weak.lock()) screen->checkSoundPlugin();
  });
}

bool PincodeEntryViewController::handleKeyDown(const Event& event) {
  auto view = this->view();
  auto window = view ? view->window() : nullptr;
  auto app = platform::ui::Application::sharedApplication();
  if (!window || !app || app->keyWindow() != window) return false;
  if (event.characters() && detail::parsesAsDecimalInteger(*event.characters())) {
    appendDigit(*event.characters());
    return true;  // also when the PIN is full and nothing was added
  }
  if (event.keyCode() == platform::ui::kKeyCodeDelete) {
    deleteDigit();
    return true;
  }
  if ((event.keyCode() == platform::ui::kKeyCodeReturn ||
       event.keyCode() == platform::ui::kKeyCodeKeypadEnter) &&
      static_cast<std::int64_t>(inputPinCode_.size()) == maxPinCodeLength_) {
    connect();
    return true;
  }
  return false;
}

void PincodeEntryViewController::appendDigit(const std::string& text) {
  const auto length = static_cast<std::int64_t>(inputPinCode_.size());
  if (length < maxPinCodeLength_) {
    // Never more than the PIN type's length, also from a key that typed several characters.
    inputPinCode_ += text.substr(0, static_cast<std::size_t>(maxPinCodeLength_ - length));
    refreshDigits();
  }
  if (static_cast<std::int64_t>(inputPinCode_.size()) == maxPinCodeLength_) {
    if (auto button = connectButton()) button->setEnabled(true);
  }
}

void PincodeEntryViewController::deleteDigit() {
  if (!inputPinCode_.empty()) {
    inputPinCode_.pop_back();
    refreshDigits();
  }
  if (static_cast<std::int64_t>(inputPinCode_.size()) < maxPinCodeLength_) {
    if (auto button = connectButton()) button->setEnabled(false);
  }
}

void PincodeEntryViewController::onSoftKeyClicked(const std::shared_ptr<Button>& sender) {
  if (sender) appendDigit(sender->title());
}

void PincodeEntryViewController::onDeleteButtonClicked() { deleteDigit(); }

void PincodeEntryViewController::onSwitchPinCodeTypeClicked() {
  for (const auto& label : numberFileds()) label->setStringValue("-");
  showPinType(maxPinCodeLength_ == PIN_CODE_TYPE_SERVER ? PIN_CODE_TYPE_SERVERLESS
                                                        : PIN_CODE_TYPE_SERVER);
  if (static_cast<std::int64_t>(inputPinCode_.size()) > maxPinCodeLength_) {
    inputPinCode_.resize(static_cast<std::size_t>(maxPinCodeLength_));
  }
  refreshDigits();
  if (auto button = connectButton()) {
    button->setEnabled(static_cast<std::int64_t>(inputPinCode_.size()) == maxPinCodeLength_);
  }
  platform::UserDefaults::standard()->setInteger(maxPinCodeLength_, kPincodeTypeKey);
}

void PincodeEntryViewController::refreshDigits() {
  const auto& labels = numberFileds();
  for (std::size_t i = 0; i < labels.size() && static_cast<std::int64_t>(i) < maxPinCodeLength_; ++i) {
    labels[i]->setStringValue(i < inputPinCode_.size() ? inputPinCode_.substr(i, 1) : "-");
  }
}

}  // namespace corvane
