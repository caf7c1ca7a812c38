#include "session/mirror_channel.h"

#include <cctype>
#include <climits>
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
  std::lock_guard lock(lifecycleMutex_);
  stopMirroringLocked();
  joinMediaThread();
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
  {
    std::lock_guard lock(lifecycleMutex_);
    stopMirroringLocked();
    netStream_->disconnect();
    // The link is closed, so a media write still waiting for a slot gives up at once.
    joinMediaThread();
  }
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
  if (auto d = delegate()) d->onConnectToReceiverSuccess();
  syncSettings();
}

void MirrorChannel::onConnectFailed() {
  if (auto d = delegate()) d->onConnectToReceiverFailed(-1);
}

void MirrorChannel::onServerTimeout() {
  if (auto d = delegate()) d->onConnectToReceiverFailed(-2);
}

void MirrorChannel::onRequestMirrorStartSuccess() {
  platform::log::nslog("mirror start success, going to send video data.");
  std::lock_guard lock(lifecycleMutex_);
  if (mirroring) {
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
  {
    std::lock_guard lock(lifecycleMutex_);
    stopMirroOn();
  }
  if (auto d = delegate()) d->onRequestMirrorOffSuccess();
}

void MirrorChannel::onServerRequestMirrorOn() { netStream_->requestMirrorStart(); }
void MirrorChannel::onServerRequestMirrorOff() { netStream_->requestMirrorStop(); }
void MirrorChannel::onServerRequsstUpdateFrameRate(int /*frameRate*/) {}

void MirrorChannel::onServerRequestKeyFrame() {
  std::lock_guard lock(lifecycleMutex_);
  if (mirroring && mediaHandler_) mediaHandler_->setNeedsKeyFrame(true);
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
    std::lock_guard lock(lifecycleMutex_);
    if (!mirroring) {
      if (auto d = delegate()) d->onRequestMirrorOnSuccess();
      startMirrorOn();
    }
  } else if (status == 6) {
    platform::log::nslog("sever request stop sending.");
    bool stopped = false;
    {
      std::lock_guard lock(lifecycleMutex_);
      if (mirroring) {
        stopMirroOn();
        stopped = true;
      }
    }
    if (stopped) {
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

void MirrorChannel::startMirrorOn() {
  joinMediaThread();  // a media thread of an earlier session that has not ended yet
  mirroring = true;
  mediaHandler_ = SWMediaHandler::create(env_);
  enableAudio();
  mediaHandler_->startMedia();

  power::AssertionID id = 0;
  if (power::createAssertionWithName(power::kAssertionTypePreventUserIdleDisplaySleep,
                                     power::kAssertionLevelOn, kAssertionName,
                                     &id) == power::kReturnSuccess) {
    assertionID_ = id;
  }

  platform::log::nslog("going to start send av data.");
  mediaThreadRunning_ = std::make_shared<std::atomic<bool>>(true);
  mediaThread_ = platform::Thread::create(
      [link = netStream_, audio = mediaHandler_->audioOutputQueue(),
       video = mediaHandler_->videoOutputQueue(),
       running = mediaThreadRunning_] { sendMediaData(link, audio, video, running); },
      "corvane_media_sender");
  mediaThread_->start();
}

void MirrorChannel::stopMirroOn() {
  stopMirroringLocked();
  joinMediaThread();
}

void MirrorChannel::stopMirroringLocked() {
  if (!mirroring) return;
  mirroring = false;
  if (mediaThreadRunning_) *mediaThreadRunning_ = false;
  if (mediaHandler_) {
    mediaHandler_->stopMedia();
    mediaHandler_.reset();
  }
  const std::uint32_t id = assertionID_.exchange(0);
  if (id != 0) power::releaseAssertion(id);
  disableAudio();
}

void MirrorChannel::joinMediaThread() {
  if (mediaThread_) {
    mediaThread_->join();
    mediaThread_.reset();
  }
}

void MirrorChannel::enableAudio() {
  const std::string file = config->soundflowerSettingFile();
  env_.audioDeviceManager->writeSystemAudioSettingToFile(file);
  platform::log::nslog("audio sound flower setting file:%s", file.c_str());
  if (env_.soundflowerManager->isAudioPluginInstalled()) {
    env_.soundflowerManager->setAudioPluginAsDefaultAudio();
    env_.soundflowerManager->setProtectSetting(true);
  }
}

void MirrorChannel::disableAudio() { env_.soundflowerManager->setProtectSetting(false); }

void MirrorChannel::sendMediaData(std::shared_ptr<NetStream> link,
                                  std::shared_ptr<EncodedAudioQueue> audio,
                                  std::shared_ptr<EncodedVideoQueue> video,
                                  std::shared_ptr<const std::atomic<bool>> running) {
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

}  // namespace corvane
