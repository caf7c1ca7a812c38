#include "app/pincode_view_controller.h"

#include <utility>
#include <vector>

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

PincodeViewController::PincodeViewController(MirrorChannel::Environment mirrorEnvironment,
                                             detail::LocalAddressSource localAddress)
    : mirrorEnvironment_(std::move(mirrorEnvironment)), localAddress_(std::move(localAddress)) {}

PincodeViewController::~PincodeViewController() = default;

std::shared_ptr<PincodeViewController> PincodeViewController::create(
    MirrorChannel::Environment mirrorEnvironment, detail::LocalAddressSource localAddress) {
  std::shared_ptr<PincodeViewController> screen(
      new PincodeViewController(std::move(mirrorEnvironment), std::move(localAddress)));
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

bool PincodeViewController::isCurrent(std::uint64_t lookup) {
  if (lookup == 0 || currentLookup_.load() != lookup) return false;
  auto view = this->view();
  return view && view->window();
}

void PincodeViewController::endLookup(bool cancelTimeout) {
  if (cancelTimeout && connectRecieverTimeoutWorkItem_) connectRecieverTimeoutWorkItem_->cancel();
  currentLookup_.store(0);
  exchangeLookup_.store(0);
  lookingUp_.store(false);
}

void PincodeViewController::connect() {
  {
    std::lock_guard lock(mutex_);
    if (closed_ || receiver_ || lookingUp_.load()) {
      detail::logLine("a look-up is running or has found its receiver; connect ignored");
      return;
    }
  }
  // A time-out still due belongs to an earlier look-up that a local-address failure ended.
  if (connectRecieverTimeoutWorkItem_) connectRecieverTimeoutWorkItem_->cancel();
  const std::uint64_t lookup = ++lastLookup_;
  currentLookup_.store(lookup);
  lookingUp_.store(true);
  if (auto content = contentStackView()) content->setHidden(true);
  if (auto progress = progressIndicator()) {
    progress->setHidden(false);
    progress->startAnimation();
  }
  std::weak_ptr<PincodeViewController> weak = self();
  auto item = std::make_shared<detail::CancellableWorkItem>([weak, lookup] {
    detail::logLine("connectRecieverTimeoutWorkItem");
    detail::logLine("going to dismiss progress and show alert.");
    if (auto screen = weak.lock()) screen->onTimeout(lookup);
  });
  connectRecieverTimeoutWorkItem_ = item;
  detail::logLine("going to parse content.");
  detail::CancellableWorkItem::schedule(item, platform::dispatch::Queue::main(), kLookupTimeout);
  if (maxPinCodeLength_ == PIN_CODE_TYPE_SERVER) {
    exchangeLookup_.store(lookup);
    pincodeChannel_->findReceiverByPincode(inputPinCode_);
  } else {
    auto screen = self();
    platform::dispatch::Queue::global()->async(
        [screen, pin = inputPinCode_, lookup] { screen->findReceiverServerless(pin, lookup); });
  }
}

void PincodeViewController::onTimeout(std::uint64_t lookup) {
  if (!isCurrent(lookup)) return;
  // The server never answered: end the exchange, so that the next look-up connects anew.
  const bool exchange = exchangeLookup_.load() == lookup;
  endLookup(false);
  if (exchange) pincodeChannel_->disconnect();
  stopProgress(true);
  detail::runAlert(detail::localized("title.connect.timeout"),
                   detail::localized("msg.connect.server.timeout"), AlertStyle::Warning,
                   {detail::localized("button.close")});
}

void PincodeViewController::showFailure(std::uint64_t lookup, const std::string& titleKey,
                                        const std::string& messageKey, bool endsLookup) {
  auto screen = self();
  platform::dispatch::Queue::main()->async([screen, lookup, titleKey, messageKey, endsLookup] {
    if (!screen->isCurrent(lookup)) {
      detail::logLine("the look-up has ended; its result is dropped");
      return;
    }
    if (endsLookup) {
      screen->endLookup(true);
    } else {
      // The entry area comes back, and with it every key; the time-out stays due.
      screen->lookingUp_.store(false);
    }
    screen->stopProgress(true);
    detail::runAlert(detail::localized(titleKey), detail::localized(messageKey),
                     AlertStyle::Warning, {detail::localized("button.close")});
  });
}

void PincodeViewController::findReceiverServerless(const std::string& pin, std::uint64_t lookup) {
  const auto local = localAddress_ ? localAddress_() : std::nullopt;
  if (!local) {
    detail::logLine("get local ip error");
    showFailure(lookup, "title.local.ip.failed", "msg.local.ip.failed", false);
    return;
  }
  detail::logLine("local ip=" + *local);
  const auto decoded = detail::decodeServerlessPin(*local, pin);
  using Result = detail::ServerlessTarget::Result;
  if (decoded.result == Result::InvalidLocalAddress) {
    detail::logLine("get a invalid ip");
    showFailure(lookup, "title.local.ip.failed", "msg.local.ip.failed", false);
    return;
  }
  detail::logLine("sf=" + decoded.sf + ", sa=" + decoded.sa + ", sb=" + decoded.sb);
  if (decoded.result == Result::SliceNotNumber) {
    showFailure(lookup, "title.local.ip.failed", "msg.local.ip.failed", false);
    return;
  }
  if (decoded.result == Result::OctetTooLarge) {
    detail::logLine("invalid pincode");
    showFailure(lookup, "title.invalid.input", "msg.invalid.input.pincode", true);
    return;
  }
  detail::logLine("targetIp =" + decoded.target);
  if (currentLookup_.load() != lookup) return;  // ended meanwhile
  probe(decoded.target);
}

void PincodeViewController::probe(const std::string& ip) {
  std::shared_ptr<QueryServerChannel> channel;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    if (!queryDeviceChannel_) {
      queryDeviceChannel_ = QueryServerChannel::create();
      queryDeviceChannel_->setQueryReceiverDelegate(self());
    }
    channel = queryDeviceChannel_;
  }
  channel->lookFor(ip);
}

void PincodeViewController::closeChannels() {
  std::shared_ptr<QueryServerChannel> channel;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    channel = queryDeviceChannel_;
  }
  endLookup(true);
  pincodeChannel_->disconnect();
  if (channel) channel->close();
}

void PincodeViewController::onConnectPinServerSuccess() {
  detail::logLine("on connect to pin server success");
}

void PincodeViewController::onConnectServerFailed() {
  detail::logLine("connect to server failed.");
  showFailure(exchangeLookup_.load(), "title.connect.timeout", "msg.connect.server.timeout", true);
}

void PincodeViewController::onReceiverNotFound() {
  detail::logLine("unable to find receiver");
  showFailure(exchangeLookup_.load(), "title.pincode.not.found", "msg.pincode.not.found", true);
}

void PincodeViewController::onPincodeResolved(const ReceiverObject& receiver) {
  detail::logLine("name=" + receiver.name + ", version=" + receiver.version);
  for (const auto& ip : receiver.ipList) detail::logLine("ip=" + ip);
  const std::uint64_t lookup = exchangeLookup_.load();
  if (lookup == 0 || currentLookup_.load() != lookup) {
    detail::logLine("the look-up has ended; its addresses are not probed");
    return;
  }
  for (const auto& ip : receiver.ipList) probe(ip);
}

void PincodeViewController::onFoundReceiver(const ReceiverData& answer) {
  detail::logLine("onFoundReceiver:" + answer.serverIp);
  const std::uint64_t lookup = currentLookup_.load();
  if (lookup == 0 || receiver()) return;  // only the first answer of a running look-up counts
  bool accepted = false;
  std::string pin;
  std::shared_ptr<QueryServerChannel> channel;
  auto screen = self();
  platform::dispatch::Queue::main()->sync([screen, lookup, &answer, &accepted, &pin, &channel] {
    if (!screen->isCurrent(lookup)) return;
    {
      std::lock_guard lock(screen->mutex_);
      if (screen->receiver_) return;
      screen->receiver_ = answer;
      channel = screen->queryDeviceChannel_;
    }
    accepted = true;
    // The entry area stays hidden: the screen is about to be replaced.
    screen->stopProgress(false);
    screen->endLookup(true);
    pin = screen->inputPinCode_;
  });
  if (!accepted) return;
  if (channel) channel->setQueryReceiverDelegate(nullptr);
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
    detail::runAlert(detail::localized("title.failed"),
                     detail::localized("msg.audio.plugin.failed"), AlertStyle::Warning,
                     {detail::localized("button.close")});
  }
}

}  // namespace corvane
