#include "session/mirror_channel.h"

#include <cctype>
#include <chrono>
#include <climits>
#include <thread>
#include <vector>

#include "media/media_packet.h"
#include "platform/foundation/file_utils.h"
#include "platform/foundation/run_loop.h"
#include "platform/log/log.h"
#include "platform/power/power.h"

namespace corvane {
namespace {

namespace power = platform::power;

constexpr double kMediaRoundSeconds = 0.01;
constexpr double kMouseRoundSeconds = 0.05;

// A coordinate truncated to an integer, saturated at the 32-bit limits (0 for NaN).
int32_t truncated(double value) {
  if (!(value == value)) return 0;
  if (value >= static_cast<double>(INT32_MAX)) return INT32_MAX;
  if (value <= static_cast<double>(INT32_MIN)) return INT32_MIN;
  return static_cast<int32_t>(value);
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  for (;;) {
    const auto end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

// The integer value of a text: leading blanks, an optional sign and the digits that follow;
// 0 when there are none; saturated at the 32-bit limits.
int32_t integerValue(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])) != 0) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int64_t value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) != 0; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<int64_t>(INT32_MAX) + 1) break;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

bool sendPacket(MediaPacketBox& box, bool audio, const detail::MediaPacketSender& send) {
  uint8_t* packet = box.pointer;
  if (packet == nullptr) return false;
  box.pointer = nullptr;
  send(mediaPacketWire(packet), audio);
  freeMediaPacket(packet);
  return true;
}

}  // namespace

int detail::sendMediaRound(EncodedAudioQueue& audio, EncodedVideoQueue& video,
                           const MediaPacketSender& send) {
  int sent = 0;
  while (auto item = audio.take(0.0)) sent += sendPacket(*item, true, send) ? 1 : 0;
  if (auto item = video.take(0.0)) sent += sendPacket(*item, false, send) ? 1 : 0;
  return sent;
}

std::shared_ptr<MirrorChannel> MirrorChannel::create(Environment environment) {
  auto channel = std::shared_ptr<MirrorChannel>(new MirrorChannel(std::move(environment)));
  channel->netStream_->setDelegate(channel);
  return channel;
}

MirrorChannel::MirrorChannel(Environment environment)
    : env_([&] {
        if (!environment.soundflowerManager) {
          environment.soundflowerManager = SoundflowerManager::sharedInstance();
        }
        if (!environment.audioDeviceManager) {
          environment.audioDeviceManager = AudioDeviceManager::sharedInstance();
        }
        if (!environment.config) environment.config = SWAppConfig::singleton();
        return std::move(environment);
      }()),
      netStream_(NetStream::create()),
      config(env_.config) {
  autoShare = true;
  config->loadData();
}

MirrorChannel::~MirrorChannel() {
  {
    std::lock_guard lock(lifecycleMutex_);
    sessionOpen_ = false;
  }
  Stopped stopped = stopMirroring();
  finishStop(stopped);
  // As in disconnect: the link is closed first, so a media write still waiting for a slot
  // gives up at once instead of holding the join.
  netStream_->disconnect();
  joinRetiredThreads();
}

void MirrorChannel::connect(const std::string& host, const std::string& pin) {
  const std::string ip = localIP();
  if (!ip.empty()) {
    if (auto byte = addressByteOf(ip)) netStream_->setLocaIpByte(*byte);
  }
  {
    std::lock_guard lock(propertyMutex_);
    pinCode = pin;
  }
  {
    std::lock_guard lock(lifecycleMutex_);
    sessionOpen_ = true;
  }
  ++connectAttempt_;
  netStream_->connect(host);
}

std::optional<int8_t> MirrorChannel::addressByteOf(const std::string& localIP) {
  const auto parts = split(localIP, '.');
  if (parts.size() >= 4) {
    const auto low =
        static_cast<uint8_t>(static_cast<uint32_t>(integerValue(parts.back())) & 0xFFu);
    return static_cast<int8_t>(low);
  }
  for (std::size_t i = 0; i < parts.size(); ++i) {
    platform::log::nslog("arr[%i]=%s", static_cast<int>(i), parts[i].c_str());
  }
  return std::nullopt;
}

void MirrorChannel::disconnect() {
  // From here no mirror start goes through; one under way is ended first.
  {
    std::lock_guard lock(lifecycleMutex_);
    sessionOpen_ = false;
  }
  Stopped stopped = stopMirroring();
  finishStop(stopped);
  netStream_->disconnect();
  // The link is closed, so a media write still waiting for a slot gives up at once.
  joinRetiredThreads();
  disableAudio();
  const std::string file = config->soundflowerSettingFile();
  env_.audioDeviceManager->restoreSystemAudioSettingFromFile(file);
  platform::files::remove(file);
}

void MirrorChannel::requestMirrorOn() { netStream_->requestMirrorStart(); }
void MirrorChannel::requestMirrorOff() { netStream_->requestMirrorStop(); }

bool MirrorChannel::installSoundPlugin() {
  platform::log::nslog("going to installSoundPlugin");
  if (env_.soundflowerManager->isAudioPluginInstalled()) return true;
  platform::log::nslog("audio plugin not installed");
  const bool installed = env_.soundflowerManager->installAudioPlugin();
  platform::log::nslog("install audio plugin ret:%d", installed ? 1 : 0);
  return installed;
}

bool MirrorChannel::hasSoundPluginIntalled() {
  return env_.soundflowerManager->isAudioPluginInstalled();
}

void MirrorChannel::uninstallSoundPlugin() { env_.soundflowerManager->uninstallAudioPlugin(); }

bool MirrorChannel::hasScreenRecordPermission() {
  auto display = env_.display ? env_.display : platform::display::DisplayService::shared();
  const auto windows = display->copyWindowInfo(
      platform::display::kWindowListOptionAll | platform::display::kWindowListOptionOnScreenOnly,
      platform::display::kNullWindowID);
  std::size_t named = 0;
  for (const auto& window : windows) {
    if (!window.name) break;
    ++named;
  }
  return named == windows.size();
}

void MirrorChannel::showScreenRecordingPrompt() {
  auto display = env_.display ? env_.display : platform::display::DisplayService::shared();
  auto image = display->createScreenImage(platform::display::Rect{{0, 0}, {1, 1}});
  image.reset();
}

std::string MirrorChannel::localIP() const {
  std::lock_guard lock(propertyMutex_);
  return localIP_;
}

void MirrorChannel::setLocalIP(const std::string& localIP) {
  std::lock_guard lock(propertyMutex_);
  localIP_ = localIP;
}

std::shared_ptr<MirrorChannelDelegate> MirrorChannel::delegate() const {
  std::lock_guard lock(propertyMutex_);
  return delegate_;
}

void MirrorChannel::setDelegate(std::shared_ptr<MirrorChannelDelegate> delegate) {
  std::lock_guard lock(propertyMutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<SWMediaHandler> MirrorChannel::mediaHandler() const {
  std::lock_guard lock(lifecycleMutex_);
  return mediaHandler_;
}

// --- receiver link events ---

void MirrorChannel::onConnectSuccess() {
  {
    // The link reports success and failure from different threads of a concurrent queue, so
    // a success can arrive after the failure of its own attempt (a receiver that closes at
    // once). Reported then, it would be the last word on a connection that is gone.
    std::lock_guard report(connectReportMutex_);
    bool open = false;
    {
      std::lock_guard lock(lifecycleMutex_);
      open = sessionOpen_;
    }
    if (!open || failedAttempt_ == connectAttempt_.load()) {
      platform::log::nslog("connect success after the connection ended: not reported");
      return;
    }
    if (auto d = delegate()) d->onConnectToReceiverSuccess();
  }
  syncSettings();
}

void MirrorChannel::onConnectFailed() {
  std::lock_guard report(connectReportMutex_);
  failedAttempt_ = connectAttempt_.load();
  if (auto d = delegate()) d->onConnectToReceiverFailed(-1);
}

void MirrorChannel::onServerTimeout() {
  std::lock_guard report(connectReportMutex_);
  failedAttempt_ = connectAttempt_.load();
  if (auto d = delegate()) d->onConnectToReceiverFailed(-2);
}

void MirrorChannel::onRequestMirrorStartSuccess() {
  platform::log::nslog("mirror start success, going to send video data.");
  if (!claimStart()) {
    platform::log::nslog("still in mirroring state....");
    return;
  }
  if (auto d = delegate()) d->onRequestMirrorOnSuccess();
  startMirrorOn();
}

void MirrorChannel::onRequestMirrorStartFailed(int code) {
  if (auto d = delegate()) d->onRequestMirrorOnFailed(code);
}

void MirrorChannel::onRequestMirrorStopSuccess() {
  platform::log::nslog("onRequestMirrorStopSuccess");
  stopMirroOn();
  if (auto d = delegate()) d->onRequestMirrorOffSuccess();
}

void MirrorChannel::onServerRequestMirrorOn() { netStream_->requestMirrorStart(); }
void MirrorChannel::onServerRequestMirrorOff() { netStream_->requestMirrorStop(); }
void MirrorChannel::onServerRequsstUpdateFrameRate(int /*frameRate*/) {}

void MirrorChannel::onServerRequestKeyFrame() {
  if (!mirroring) return;
  if (auto handler = mediaHandler()) handler->setNeedsKeyFrame(true);
}

void MirrorChannel::onServerRequestKeyStatus() {
  if (!mirroring) {
    netStream_->requestMirrorStart();
  } else {
    netStream_->requestMirrorStop();
  }
}

void MirrorChannel::onServerRequestDeviceStatus(int status) {
  if (status == 7) {
    platform::log::nslog("server request start send.");
    if (claimStart()) {
      if (auto d = delegate()) d->onRequestMirrorOnSuccess();
      startMirrorOn();
    }
  } else if (status == 6) {
    platform::log::nslog("sever request stop sending.");
    if (stopMirroOn()) {
      if (auto d = delegate()) d->onRequestMirrorOffSuccess();
    }
  }
}

void MirrorChannel::onServerResponseAuthenticateType() {}

void MirrorChannel::onServerResponseVersion(const std::optional<std::string>& version) {
  if (auto d = delegate()) d->onRequestReceiverVersionSuccess(version.value_or(""));
}

// --- session steps ---

void MirrorChannel::syncSettings() {
  std::string pin;
  {
    std::lock_guard lock(propertyMutex_);
    pin = pinCode;
  }
  netStream_->setSenderName(config->deviceName());
  netStream_->setTouchMode(0);
  netStream_->requestReceiverVersion();
  netStream_->requestGetAuthentication();
  netStream_->requestSyncClientCode();
  netStream_->requestSyncClientType();
  netStream_->requestAuthenPinCode(pin);
}

bool MirrorChannel::claimStart() {
  std::lock_guard lock(lifecycleMutex_);
  if (!sessionOpen_ || mirroring || startInProgress_) return false;
  startInProgress_ = true;
  startCancelled_ = false;
  startThread_ = std::this_thread::get_id();
  return true;
}

void MirrorChannel::startMirrorOn() {
  std::shared_ptr<SWMediaHandler> handler;
  {
    std::lock_guard lock(lifecycleMutex_);
    // A disconnect (perhaps from inside the delegate's report) or a stop came first.
    if (startCancelled_ || !sessionOpen_) {
      startInProgress_ = false;
      startThread_ = {};
      startEnded_.notify_all();
      return;
    }
    mirroring = true;
    handler = SWMediaHandler::create(env_);
    mediaHandler_ = handler;
  }
  // Outside the lock: the screen recorder may wait for a display until a stop ends it.
  enableAudio();
  handler->startMedia();

  power::AssertionID id = 0;
  const bool asserted = power::createAssertionWithName(
                            power::kAssertionTypePreventUserIdleDisplaySleep,
                            power::kAssertionLevelOn, kAssertionName, &id) == power::kReturnSuccess;
  {
    std::lock_guard lock(lifecycleMutex_);
    if (asserted) assertionID_ = id;
    if (!startCancelled_) {
      platform::log::nslog("going to start send av data.");
      mediaThreadRunning_ = std::make_shared<std::atomic<bool>>(true);
      mediaThread_ = platform::Thread::create(
          [link = netStream_, audio = handler->audioOutputQueue(),
           video = handler->videoOutputQueue(),
           running = mediaThreadRunning_] { sendMediaData(link, audio, video, running); },
          "corvane_media_sender");
      mediaThread_->start();
    }
    startInProgress_ = false;
    startThread_ = {};
    startEnded_.notify_all();
  }
}

bool MirrorChannel::stopMirroOn() {
  Stopped stopped = stopMirroring();
  const bool wasMirroring = stopped.wasMirroring;
  finishStop(stopped);
  return wasMirroring;
}

MirrorChannel::Stopped MirrorChannel::stopMirroring() {
  std::unique_lock lock(lifecycleMutex_);
  if (startInProgress_) {
    startCancelled_ = true;
    // A start made from this thread's delegate report sees the cancel when it resumes.
    if (startThread_ == std::this_thread::get_id()) return {};
    // The start sees the cancel at its next step; a media start that waits (for a display)
    // is ended by its handler. Without a handler yet, the start has not reached the media.
    auto handler = mediaHandler_;
    lock.unlock();
    if (handler) handler->cancelStart();
    lock.lock();
    startEnded_.wait(lock, [this] { return !startInProgress_; });
  }
  Stopped stopped;
  if (!mirroring) return stopped;
  stopped.wasMirroring = true;
  mirroring = false;
  if (mediaThreadRunning_) *mediaThreadRunning_ = false;
  stopped.handler = std::move(mediaHandler_);
  stopped.thread = std::move(mediaThread_);
  stopped.assertion = assertionID_.exchange(0);
  return stopped;
}

void MirrorChannel::finishStop(Stopped& stopped) {
  if (!stopped.wasMirroring) return;
  if (stopped.handler) stopped.handler->stopMedia();
  stopped.handler.reset();
  releaseAssertion(stopped.assertion);
  disableAudio();
  // Stopped queues end the media thread after its current round, but that round may still
  // wait for a slot of the link (up to 10 s). A stop made by the receiver runs inside the
  // control connection's read callback: waiting there would stop the reads for longer than
  // the receiver's silence limit. The thread holds what it uses, so it is waited for later.
  if (stopped.thread) {
    std::lock_guard lock(lifecycleMutex_);
    retireLocked(std::move(stopped.thread));
  }
}

void MirrorChannel::retireLocked(std::shared_ptr<platform::Thread> thread) {
  std::erase_if(retiredThreads_, [](const auto& t) { return t->isFinished(); });
  retiredThreads_.push_back(std::move(thread));
}

void MirrorChannel::joinRetiredThreads() {
  std::vector<std::shared_ptr<platform::Thread>> threads;
  {
    std::lock_guard lock(lifecycleMutex_);
    threads.swap(retiredThreads_);
  }
  for (const auto& thread : threads) thread->join();
}

void MirrorChannel::releaseAssertion(std::uint32_t id) {
  if (id != 0) power::releaseAssertion(id);
}

void MirrorChannel::enableAudio() {
  const std::string file = config->soundflowerSettingFile();
  // A file left by a run that never restored it holds the user's devices, while the defaults
  // may still be the driver's: give the user's back first, or they would be saved over.
  if (env_.audioDeviceManager->savedSettingNamesOtherThanLoopback(file)) {
    platform::log::nslog("restoring the audio devices saved by an earlier session");
    env_.audioDeviceManager->restoreSystemAudioSettingFromFile(file);
  }
  env_.audioDeviceManager->writeSystemAudioSettingToFile(file);
  platform::log::nslog("audio sound flower setting file:%s", file.c_str());
  if (env_.soundflowerManager->isAudioPluginInstalled()) {
    env_.soundflowerManager->setAudioPluginAsDefaultAudio();
    env_.soundflowerManager->setProtectSetting(true);
  }
}

void MirrorChannel::disableAudio() { env_.soundflowerManager->setProtectSetting(false); }

void MirrorChannel::sendMediaData(const std::shared_ptr<NetStream>& link,
                                  const std::shared_ptr<EncodedAudioQueue>& audio,
                                  const std::shared_ptr<EncodedVideoQueue>& video,
                                  const std::shared_ptr<const std::atomic<bool>>& running) {
  platform::log::nslog("sendMediaData");
  auto runLoop = platform::RunLoop::current();
  const detail::MediaPacketSender send = [&link](std::span<const uint8_t> wire, bool isAudio) {
    const auto length = static_cast<int32_t>(wire.size());
    if (isAudio) {
      link->sendAudioData(wire.data(), length);
    } else {
      link->sendVideoData(wire.data(), length);
    }
  };
  while (*running) {
    detail::sendMediaRound(*audio, *video, send);
    runLoop->runFor(kMediaRoundSeconds);
  }
  platform::log::nslog("exit sendMediaData");
}

// --- the mouse thread ---

void MirrorChannel::startSendMouseEventThread() {
  auto thread = platform::Thread::create([this] { sendMouseEventLoop(); }, "corvane_mouse_event");
  {
    std::lock_guard lock(lifecycleMutex_);
    retireLocked(thread);
  }
  thread->start();
}

void MirrorChannel::stopSendMouseEventThread() {}

void MirrorChannel::sendMouseEventLoop() {
  netStream_->requestMouseAlone(true);
  auto display = env_.display ? env_.display : platform::display::DisplayService::shared();
  const double height = display->displayBounds(display->mainDisplayID()).size.height;
  MouseEvent event(0, 0, 0, 0);
  auto runLoop = platform::RunLoop::current();
  while (mirroring) {
    // The pointer is kept with its origin at the bottom left; the receiver's is the top left.
    if (const auto pointer = display->mouseLocation()) {
      event.setX(truncated(pointer->x));
      event.setY(truncated(height - pointer->y));
      netStream_->requestMouseEvent(event);
    }
    runLoop->runFor(kMouseRoundSeconds);
  }
  netStream_->requestMouseAlone(false);
}

}  // namespace corvane
