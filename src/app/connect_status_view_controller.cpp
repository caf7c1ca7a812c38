#include "app/connect_status_view_controller.h"

#include <array>
#include <string>
#include <utility>

#include "app/app_support.h"
#include "platform/audio/capture_session.h"
#include "platform/dispatch/dispatch.h"

namespace corvane {

using platform::audio::AuthorizationStatus;
using platform::audio::CaptureDevice;
using platform::audio::MediaType;
using platform::ui::AlertStyle;
using platform::ui::Button;

namespace detail {

std::string chooseReceiverAddress(const std::vector<std::string>& ipList) {
  if (ipList.empty()) return "";
  if (ipList.size() == 1) return ipList.front();
  // Addresses of phone hot-spots and similar links that the receiver is never reached by.
  static constexpr std::array<const char*, 4> kExcluded = {"192.168.43.1", "192.168.48.1",
                                                           "192.168.50.1", "192.168.78.1"};
  for (auto it = ipList.rbegin(); it != ipList.rend(); ++it) {
    bool excluded = false;
    for (const char* address : kExcluded) excluded = excluded || *it == address;
    if (!excluded) return *it;
  }
  return "";
}

}  // namespace detail

ConnectStatusViewController::ConnectStatusViewController() {
  initWithNibName("ConnectStatusViewController");
  setAction("onMirrorButtonClicked:", [this](const std::shared_ptr<Button>&) { onMirrorButtonClicked(); });
  setAction("onDisconnectButtonClicked:",
            [this](const std::shared_ptr<Button>&) { onDisconnectButtonClicked(); });
  setAction("onMirrorBackButtonClicked:",
            [this](const std::shared_ptr<Button>&) { onMirrorBackButtonClicked(); });
}

ConnectStatusViewController::~ConnectStatusViewController() = default;

std::shared_ptr<ConnectStatusViewController> ConnectStatusViewController::create(
    MirrorChannel::Environment mirrorEnvironment, const detail::LocalAddressSource& localAddress) {
  std::shared_ptr<ConnectStatusViewController> screen(new ConnectStatusViewController());
  screen->mirrorChannel_ = MirrorChannel::create(std::move(mirrorEnvironment));
  screen->setUpMirrorChannel(localAddress);
  return screen;
}

void ConnectStatusViewController::setUpMirrorChannel(
    const detail::LocalAddressSource& localAddress) {
  mirrorChannel_->setDelegate(shared_from_this());
  if (auto address = localAddress ? localAddress() : std::nullopt) {
    detail::logLine("wifiIp=" + *address);
    mirrorChannel_->setLocalIP(*address);
  }
}

std::optional<ReceiverObject> ConnectStatusViewController::receiver() const {
  std::lock_guard lock(mutex_);
  return receiver_;
}

void ConnectStatusViewController::setReceiver(std::optional<ReceiverObject> receiver) {
  std::lock_guard lock(mutex_);
  receiver_ = std::move(receiver);
}

std::shared_ptr<Device> ConnectStatusViewController::targetDevice() const {
  std::lock_guard lock(mutex_);
  return targetDevice_;
}

std::shared_ptr<platform::ui::TextField> ConnectStatusViewController::receiverNameTextField() const {
  return textFieldOutlet("receiverNameTextField");
}
std::shared_ptr<platform::ui::TextField> ConnectStatusViewController::ipListTextField() const {
  return textFieldOutlet("ipListTextField");
}
std::shared_ptr<platform::ui::StackView> ConnectStatusViewController::contentStackView() const {
  return stackViewOutlet("contentStackView");
}
std::shared_ptr<platform::ui::ProgressIndicator>
ConnectStatusViewController::connectStatusProgressIndicator() const {
  return progressIndicatorOutlet("connectStatusProgressIndicator");
}
std::shared_ptr<Button> ConnectStatusViewController::mirrorBackButton() const {
  return buttonOutlet("mirrorBackButton");
}
std::shared_ptr<Button> ConnectStatusViewController::mirrorButton() const {
  return buttonOutlet("mirrorButton");
}
std::shared_ptr<Button> ConnectStatusViewController::disconnectButton() const {
  return buttonOutlet("disconnectButton");
}

void ConnectStatusViewController::awakeFromNib() { checkAudioPermission(); }

void ConnectStatusViewController::queueAudioAlert() {
  platform::dispatch::Queue::main()->async([] {
    detail::runAlert(detail::localized("title.error"), detail::localized("msg.grant.audio"),
                     AlertStyle::Critical, {detail::localized("button.close")});
  });
}

void ConnectStatusViewController::checkAudioPermission() {
  std::weak_ptr<ConnectStatusViewController> weak = weak_from_this();
  platform::dispatch::Queue::main()->async([weak] {
    auto screen = weak.lock();
    if (!screen) return;
    const auto status = CaptureDevice::authorizationStatusForMediaType(MediaType::Audio);
    switch (status) {
      case AuthorizationStatus::NotDetermined:
        CaptureDevice::requestAccessForMediaType(MediaType::Audio, [weak](bool granted) {
          if (granted) {
            detail::logLine("audio permission is granted.");
            return;
          }
          if (auto s = weak.lock()) s->queueAudioAlert();
          detail::logLine("audio permission is denied.");
        });
        break;
      case AuthorizationStatus::Restricted:
        screen->queueAudioAlert();
        detail::logLine("audio permission is restricted.");
        break;
      case AuthorizationStatus::Denied:
        screen->queueAudioAlert();
        detail::logLine("audio permission is denied.");
        break;
      case AuthorizationStatus::Authorized:
        detail::logLine("audio permission is granted.");
        break;
      default:
        detail::logLine("fall to default statement.");
        break;
    }
  });
}

void ConnectStatusViewController::viewWillAppear() { connectToReceiver(); }

void ConnectStatusViewController::connectToReceiver() {
  const auto current = receiver();
  if (current && workingMode_.load() == WorkingMode::NONE) {
    if (auto content = contentStackView()) content->setHidden(true);
    if (auto progress = connectStatusProgressIndicator()) {
      progress->setHidden(false);
      progress->startAnimation();
    }
    if (auto name = receiverNameTextField()) {
      name->setStringValue(current->name + "(" + current->version + ")");
    }
    const std::string address = detail::chooseReceiverAddress(current->ipList);
    if (auto field = ipListTextField()) field->setStringValue(address);
    {
      std::lock_guard lock(mutex_);
      targetDevice_ = Device::create(current->name, address, current->version);
    }
    mirrorChannel_->connect(address, current->pincode);
    (void)mirrorChannel_->installSoundPlugin();
    if (auto button = mirrorButton()) button->setTitle(detail::localized("Button.Mirror"));
  }
  if (auto button = mirrorBackButton()) button->setHidden(true);
}

void ConnectStatusViewController::onMirrorButtonClicked() { toggleMirror(); }

void ConnectStatusViewController::runScreenRecordingAlert() {
  const auto answer =
      detail::runAlert(detail::localized("title.error"), detail::localized("msg.grant.video"),
                       AlertStyle::Critical, {detail::localized("button.close")});
  if (answer == platform::ui::kAlertFirstButtonReturn) {
    // The desktop has no settings page for this permission: nothing is opened.
    detail::logLine(std::string("screen recording settings: nothing to open on this system (") +
                    kScreenRecordingSettingsURL + ")");
  }
}

void ConnectStatusViewController::toggleMirror() {
  if (CaptureDevice::authorizationStatusForMediaType(MediaType::Audio) !=
      AuthorizationStatus::Authorized) {
    queueAudioAlert();
    return;
  }
  if (!mirrorChannel_->hasScreenRecordPermission()) {
    detail::logLine("no permission to record screen.");
    if (firstTimeClickShareButton_) {
      mirrorChannel_->showScreenRecordingPrompt();
      firstTimeClickShareButton_ = false;
    } else {
      runScreenRecordingAlert();
    }
    return;
  }
  switch (workingMode_.load()) {
    case WorkingMode::NONE:
      detail::logLine("when click mirror, in wrong NONE state.");
      break;
    case WorkingMode::CONNECTED:
      mirrorChannel_->requestMirrorOn();
      workingMode_.store(WorkingMode::MIRROR);
      break;
    case WorkingMode::MIRROR:
      workingMode_.store(WorkingMode::CONNECTED);
      mirrorChannel_->requestMirrorOff();
      break;
    case WorkingMode::MIRROR_BACK:
      detail::logLine(std::string("unknown state:") + workingModeName(WorkingMode::MIRROR_BACK));
      break;
  }
}

void ConnectStatusViewController::onDisconnectButtonClicked() { disconnect(); }

void ConnectStatusViewController::disconnect() {
  workingMode_.store(WorkingMode::NONE);
  mirrorChannel_->disconnect();
  if (delegate_) delegate_->onConnectStatusViewClosed();
}

void ConnectStatusViewController::stopProgress() {
  if (auto progress = connectStatusProgressIndicator()) {
    progress->stopAnimation();
    progress->setHidden(true);
  }
}

void ConnectStatusViewController::runNotReachableAlert() {
  detail::runAlert(detail::localized("question.again"),
                   detail::localized("alert.receiver.not.reachable"), AlertStyle::Warning,
                   {"OK", "Cancel"});
}

void ConnectStatusViewController::onConnectToReceiverSuccess() {
  auto screen = shared_from_this();
  platform::dispatch::Queue::main()->async([screen] {
    screen->stopProgress();
    if (auto content = screen->contentStackView()) content->setHidden(false);
  });
  workingMode_.store(WorkingMode::CONNECTED);
}

void ConnectStatusViewController::onConnectToReceiverFailed(int /*code*/) {
  workingMode_.store(WorkingMode::NONE);
  mirrorChannel_->disconnect();
  auto screen = shared_from_this();
  platform::dispatch::Queue::main()->async([screen] {
    screen->stopProgress();
    screen->runNotReachableAlert();
    if (screen->delegate_) screen->delegate_->onConnectStatusViewClosed();
  });
}

void ConnectStatusViewController::onRequestMirrorOnSuccess() {
  auto screen = shared_from_this();
  platform::dispatch::Queue::main()->async([screen] {
    if (auto button = screen->mirrorButton()) button->setTitle(detail::localized("Button.StopMirror"));
  });
}

void ConnectStatusViewController::onRequestMirrorOffSuccess() {
  auto screen = shared_from_this();
  platform::dispatch::Queue::main()->async([screen] {
    if (auto button = screen->mirrorButton()) button->setTitle(detail::localized("Button.Mirror"));
  });
}

void ConnectStatusViewController::onRequestReceiverVersionSuccess(const std::string& version) {
  auto screen = shared_from_this();
  platform::dispatch::Queue::main()->async([screen, version] {
    std::string shown;
    {
      std::lock_guard lock(screen->mutex_);
      if (!screen->receiver_) return;
      screen->receiver_->version = version;
      shown = screen->receiver_->name + "(" + version + ")";
    }
    if (auto name = screen->receiverNameTextField()) name->setStringValue(shown);
  });
}

void ConnectStatusViewController::onRequestMirrorOnFailed(int code) {
  if (code != -1 && code != -2) {
    detail::logLine("Unknown error when mirror on failed");
    return;
  }
  const std::string key = code == -1 ? "alert.receiver.exclusive" : "alert.receiver.password.protected";
  platform::dispatch::Queue::main()->async([key] {
    detail::runAlert(detail::localized(key), detail::localized("title.failed"), AlertStyle::Warning,
                     {"OK"});
  });
}

}  // namespace corvane
