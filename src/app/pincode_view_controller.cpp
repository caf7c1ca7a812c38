#include "app/pincode_view_controller.h"

#include <utility>
#include <vector>

#include "app/app_support.h"
#include "platform/dispatch/dispatch.h"

namespace corvane {

using platform::ui::AlertStyle;

namespace detail {

namespace {

std::vector<std::string> splitAtDots(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = text.find('.', start);
    if (dot == std::string::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, dot - start));
    start = dot + 1;
  }
}

std::string slice(const std::string& text, std::size_t begin, std::size_t end) {
  if (begin >= text.size()) return "";
  return text.substr(begin, end - begin);
}

std::optional<std::int64_t> parseSlice(const std::string& text) {
  if (!parsesAsDecimalInteger(text)) return std::nullopt;
  return std::stoll(text[0] == '+' ? text.substr(1) : text);
}

}  // namespace

ServerlessTarget decodeServerlessPin(const std::string& localIp, const std::string& pin) {
  ServerlessTarget out;
  const auto parts = splitAtDots(localIp);
  if (parts.size() != 4) {
    out.result = ServerlessTarget::Result::InvalidLocalAddress;
    return out;
  }
  out.sf = slice(pin, 0, 2);
  out.sa = slice(pin, 3, 5);
  out.sb = slice(pin, 5, 8);
  const auto sf = parseSlice(out.sf);
  const auto sa = parseSlice(out.sa);
  const auto sb = parseSlice(out.sb);
  if (!sf || !sa || !sb) {
    out.result = ServerlessTarget::Result::SliceNotNumber;
    return out;
  }
  const auto a = static_cast<std::uint64_t>(*sa ^ *sf);
  const auto b = static_cast<std::uint64_t>(*sb ^ *sf);
  if (a > 255 || b > 255) {
    out.result = ServerlessTarget::Result::OctetTooLarge;
    return out;
  }
  out.target = parts[0] + "." + parts[1] + "." + std::to_string(a) + "." + std::to_string(b);
  return out;
}

}  // namespace detail

PincodeViewController::PincodeViewController(MirrorChannel::Environment mirrorEnvironment)
    : mirrorEnvironment_(std::move(mirrorEnvironment)) {}

PincodeViewController::~PincodeViewController() = default;

std::shared_ptr<PincodeViewController> PincodeViewController::create(
    MirrorChannel::Environment mirrorEnvironment) {
  std::shared_ptr<PincodeViewController> screen(
      new PincodeViewController(std::move(mirrorEnvironment)));
  screen->setUpPincodeChannel();
  return screen;
}

void PincodeViewController::setUpPincodeChannel() {
  pincodeChannel_ = PincodeChannel::create();
  pincodeChannel_->setPincodeDelegate(self());
}

std::shared_ptr<PincodeViewController> PincodeViewController::self() {
  return std::static_pointer_cast<PincodeViewController>(shared_from_this());
}

std::shared_ptr<QueryServerChannel> PincodeViewController::queryDeviceChannel() const {
  std::lock_guard lock(mutex_);
  return queryDeviceChannel_;
}

std::optional<ReceiverData> PincodeViewController::receiver() const {
  std::lock_guard lock(mutex_);
  return receiver_;
}

bool PincodeViewController::handleKeyDown(const platform::ui::Event& event) {
  if (lookingUp_.load() || receiver()) {
    // Typed while a look-up runs (or once a receiver was found and the screen is on its way
    // out): dropped, but only when the key was meant for this screen.
    auto view = this->view();
    auto window = view ? view->window() : nullptr;
    auto app = platform::ui::Application::sharedApplication();
    return window && app && app->keyWindow() == window;
  }
  return PincodeEntryViewController::handleKeyDown(event);
}

void PincodeViewController::stopProgress(bool showEntry) {
  if (auto progress = progressIndicator()) {
    progress->stopAnimation();
    progress->setHidden(true);
  }
  if (showEntry) {
    if (auto content = contentStackView()) content->setHidden(false);
  }
}

void PincodeViewController::connect() {
  if (lookingUp_.load() || receiver()) {
    detail::logLine("a look-up is running or has found its receiver; connect ignored");
    return;
  }
  lookingUp_.store(true);
  if (auto content = contentStackView()) content->setHidden(true);
  if (auto progress = progressIndicator()) {
    progress->setHidden(false);
    progress->startAnimation();
  }
  std::weak_ptr<PincodeViewController> weak = self();
  auto item = std::make_shared<detail::CancellableWorkItem>([weak] {
    detail::logLine("connectRecieverTimeoutWorkItem");
    detail::logLine("going to dismiss progress and show alert.");
    auto screen = weak.lock();
    if (screen) {
      screen->stopProgress(true);
      screen->lookingUp_.store(false);
    }
    detail::runAlert(detail::localized("title.connect.timeout"),
                     detail::localized("msg.connect.server.timeout"), AlertStyle::Warning,
                     {detail::localized("button.close")});
  });
  connectRecieverTimeoutWorkItem_ = item;
  detail::logLine("going to parse content.");
  detail::CancellableWorkItem::schedule(item, platform::dispatch::Queue::main(), kLookupTimeout);
  if (maxPinCodeLength_ == PIN_CODE_TYPE_SERVER) {
    pincodeChannel_->findReceiverByPincode(inputPinCode_);
  } else {
    auto screen = self();
    platform::dispatch::Queue::global()->async(
        [screen, pin = inputPinCode_] { screen->findReceiverServerless(pin); });
  }
}

void PincodeViewController::showFailure(const std::string& titleKey, const std::string& messageKey,
                                        bool endsLookup) {
  auto screen = self();
  platform::dispatch::Queue::main()->async([screen, titleKey, messageKey, endsLookup] {
    if (endsLookup) {
      // The time-out of this look-up will not come: the look-up ends here.
      if (screen->connectRecieverTimeoutWorkItem_) screen->connectRecieverTimeoutWorkItem_->cancel();
      screen->lookingUp_.store(false);
    }
    screen->stopProgress(true);
    detail::runAlert(detail::localized(titleKey), detail::localized(messageKey),
                     AlertStyle::Warning, {detail::localized("button.close")});
  });
}

void PincodeViewController::findReceiverServerless(const std::string& pin) {
  const auto local = detail::localAddress();
  if (!local) {
    detail::logLine("get local ip error");
    showFailure("title.local.ip.failed", "msg.local.ip.failed", false);
    return;
  }
  detail::logLine("local ip=" + *local);
  const auto decoded = detail::decodeServerlessPin(*local, pin);
  using Result = detail::ServerlessTarget::Result;
  if (decoded.result == Result::InvalidLocalAddress) {
    detail::logLine("get a invalid ip");
    showFailure("title.local.ip.failed", "msg.local.ip.failed", false);
    return;
  }
  detail::logLine("sf=" + decoded.sf + ", sa=" + decoded.sa + ", sb=" + decoded.sb);
  if (decoded.result == Result::SliceNotNumber) {
    showFailure("title.local.ip.failed", "msg.local.ip.failed", false);
    return;
  }
  if (decoded.result == Result::OctetTooLarge) {
    detail::logLine("invalid pincode");
    showFailure("title.invalid.input", "msg.invalid.input.pincode", true);
    return;
  }
  detail::logLine("targetIp =" + decoded.target);
  probe(decoded.target);
}

void PincodeViewController::probe(const std::string& ip) {
  std::shared_ptr<QueryServerChannel> channel;
  {
    std::lock_guard lock(mutex_);
    if (!queryDeviceChannel_) {
      queryDeviceChannel_ = QueryServerChannel::create();
      queryDeviceChannel_->setQueryReceiverDelegate(self());
    }
    channel = queryDeviceChannel_;
  }
  channel->lookFor(ip);
}

void PincodeViewController::onConnectPinServerSuccess() {
  detail::logLine("on connect to pin server success");
}

void PincodeViewController::onConnectServerFailed() {
  detail::logLine("connect to server failed.");
  showFailure("title.connect.timeout", "msg.connect.server.timeout", true);
}

void PincodeViewController::onReceiverNotFound() {
  detail::logLine("unable to find receiver");
  showFailure("title.pincode.not.found", "msg.pincode.not.found", true);
}

void PincodeViewController::onPincodeResolved(const ReceiverObject& receiver) {
  detail::logLine("name=" + receiver.name + ", version=" + receiver.version);
  for (const auto& ip : receiver.ipList) detail::logLine("ip=" + ip);
  for (const auto& ip : receiver.ipList) probe(ip);
}

void PincodeViewController::onFoundReceiver(const ReceiverData& answer) {
  detail::logLine("onFoundReceiver:" + answer.serverIp);
  std::shared_ptr<QueryServerChannel> channel;
  {
    std::lock_guard lock(mutex_);
    if (receiver_) return;  // only the first answer counts
    receiver_ = answer;
    channel = queryDeviceChannel_;
  }
  if (channel) channel->setQueryReceiverDelegate(nullptr);
  std::string pin;
  auto screen = self();
  platform::dispatch::Queue::main()->sync([screen, &pin] {
    if (auto progress = screen->progressIndicator()) {
      progress->stopAnimation();
      progress->setHidden(true);
    }
    if (screen->connectRecieverTimeoutWorkItem_) screen->connectRecieverTimeoutWorkItem_->cancel();
    screen->lookingUp_.store(false);
    pin = screen->inputPinCode_;
  });
  ReceiverObject found{answer.name, answer.version, {answer.serverIp}, pin};
  if (auto delegate = pincodeViewControllerDelegate()) delegate->onFindReceiverSuccess(found);
}

void PincodeViewController::checkSoundPlugin() {
  auto channel = MirrorChannel::create(mirrorEnvironment_);
  if (channel->hasSoundPluginIntalled()) {
    detail::logLine("sound plugin already installed");
    return;
  }
  if (channel->installSoundPlugin()) {
    detail::logLine("catalina and above system need restart to make audio plugin take effect.");
    detail::runAlert(detail::localized("title.success"),
                     detail::localized("msg.audio.plugin.installed"), AlertStyle::Informational,
                     {detail::localized("button.close")});
  } else {
    detail::runAlert(detail::localized("title.failed"), detail::localized("msg.audio.plugin.failed"),
                     AlertStyle::Warning, {detail::localized("button.close")});
  }
}

}  // namespace corvane
