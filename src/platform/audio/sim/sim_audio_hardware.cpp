#include "platform/audio/sim/sim_audio_hardware.h"

#include <algorithm>
#include <chrono>

#include "platform/audio/loopback_driver.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/file_utils.h"

namespace corvane::platform::audio {

namespace {
constexpr auto kBundlePollInterval = std::chrono::milliseconds(50);
}  // namespace

struct SimAudioHardware::Stream {
  std::uint64_t id = 0;
  AudioObjectID device = 0;
  InputHandler handler;
};

class SimAudioHardware::InputStream : public AudioInputStream {
 public:
  InputStream(std::weak_ptr<SimAudioHardware> hardware, std::uint64_t id)
      : hardware_(std::move(hardware)), id_(id) {}
  ~InputStream() override { stop(); }
  void stop() override {
    if (auto hardware = hardware_.lock()) hardware->closeStream(id_);
    hardware_.reset();
  }

 private:
  std::weak_ptr<SimAudioHardware> hardware_;
  const std::uint64_t id_;
};

std::shared_ptr<SimAudioHardware> SimAudioHardware::create(std::string systemRoot,
                                                           AuthorizationStatus authorization) {
  std::shared_ptr<SimAudioHardware> hardware(
      new SimAudioHardware(systemRoot.empty() ? "/" : std::move(systemRoot), authorization));
  hardware->startThreads();
  return hardware;
}

SimAudioHardware::SimAudioHardware(std::string systemRoot, AuthorizationStatus authorization)
    : systemRoot_(std::move(systemRoot)), authorization_(authorization) {
  Device output;
  output.id = kBuiltInOutputID;
  output.builtIn = true;
  output.spec.name = "Built-in Output";
  output.spec.outputChannels = 2;
  output.spec.transportType = kAudioDeviceTransportTypeBuiltIn;
  output.spec.format = floatFormat(44100.0, 2);
  output.spec.dataSource = fourCC("ispk");
  devices_.push_back(output);

  Device input;
  input.id = kBuiltInInputID;
  input.builtIn = true;
  input.spec.name = "Built-in Microphone";
  input.spec.inputChannels = 1;
  input.spec.transportType = kAudioDeviceTransportTypeBuiltIn;
  input.spec.format = int16Format(48000.0, 1);
  input.spec.dataSource = fourCC("imic");
  devices_.push_back(input);

  std::lock_guard<std::mutex> lock(mutex_);
  rescanLocked();
  changes_.clear();  // nobody listens yet
  deliveredCount_ = postedCount_;
}

void SimAudioHardware::startThreads() {
  notificationThread_ = Thread::create([this] { notificationLoop(); }, "sim-audio-notify");
  captureThread_ = Thread::create([this] { captureLoop(); }, "sim-audio-io");
  notificationThread_->start();
  captureThread_->start();
}

SimAudioHardware::~SimAudioHardware() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  notifyCv_.notify_all();
  captureCv_.notify_all();
  if (notificationThread_) notificationThread_->join();
  if (captureThread_) captureThread_->join();
}

// Model state

SimAudioHardware::Device* SimAudioHardware::findLocked(AudioObjectID id) {
  for (auto& d : devices_) {
    if (d.id == id) return &d;
  }
  return nullptr;
}

void SimAudioHardware::postLocked(AudioObjectID object, std::uint32_t selector,
                                  std::uint32_t scope) {
  changes_.push_back({object, {selector, scope}});
  ++postedCount_;
  notifyCv_.notify_all();
}

void SimAudioHardware::rescanLocked() {
  const std::string bundle = files::appendingPathComponent(systemRoot_, kLoopbackDriverInstallPath);
  std::vector<LoopbackDeviceSpec> specs;
  if (auto found = readLoopbackDriverBundle(bundle)) specs = std::move(*found);

  bool changed = false;
  // Devices whose driver entry went away.
  for (auto it = devices_.begin(); it != devices_.end();) {
    if (!it->fromDriver) {
      ++it;
      continue;
    }
    const bool kept = std::any_of(specs.begin(), specs.end(), [&](const LoopbackDeviceSpec& s) {
      return s.name == it->spec.name && s.channels == it->spec.inputChannels &&
             s.sampleRate == it->spec.format.mSampleRate;
    });
    if (kept) {
      ++it;
      continue;
    }
    const AudioObjectID gone = it->id;
    it = devices_.erase(it);
    changed = true;
    if (defaultInput_ == gone) {
      defaultInput_ = kBuiltInInputID;
      postLocked(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice);
    }
    if (defaultOutput_ == gone) {
      defaultOutput_ = kBuiltInOutputID;
      postLocked(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);
    }
  }
  // New driver devices.
  for (const auto& s : specs) {
    const bool present = std::any_of(devices_.begin(), devices_.end(), [&](const Device& d) {
      return d.fromDriver && d.spec.name == s.name;
    });
    if (present) continue;
    Device d;
    d.id = ids_.idFor("driver:" + s.name);
    d.fromDriver = true;
    d.spec.name = s.name;
    d.spec.inputChannels = s.channels;
    d.spec.outputChannels = s.channels;
    d.spec.transportType = kAudioDeviceTransportTypeVirtual;
    d.spec.format = floatFormat(s.sampleRate, s.channels);
    d.spec.loopsBack = true;
    devices_.push_back(d);
    changed = true;
  }
  if (changed) postLocked(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
}

void SimAudioHardware::rescan() {
  std::lock_guard<std::mutex> lock(mutex_);
  rescanLocked();
}

// AudioHardware: system object

std::optional<DeviceList> SimAudioHardware::deviceList() {
  std::lock_guard<std::mutex> lock(mutex_);
  rescanLocked();
  return listLocked();
}

DeviceList SimAudioHardware::listLocked() const {
  DeviceList list;
  list.defaultInput = defaultInput_;
  list.defaultOutput = defaultOutput_;
  for (const auto& d : devices_) {
    DeviceRecord r;
    r.id = d.id;
    r.name = d.spec.name;
    r.inputChannels = d.spec.inputChannels;
    r.outputChannels = d.spec.outputChannels;
    r.inputFormat = d.spec.format;
    r.outputFormat = d.spec.format;
    r.transportType = d.spec.transportType;
    r.safetyOffset = d.spec.safetyOffset;
    list.devices.push_back(std::move(r));
  }
  return list;
}

OSStatus SimAudioHardware::setDefaultDevice(bool isInput, AudioObjectID device) {
  std::lock_guard<std::mutex> lock(mutex_);
  rescanLocked();
  bool unchanged = false;
  const OSStatus status = listLocked().checkNewDefault(isInput, device, &unchanged);
  if (status != noErr || unchanged) return status;
  (isInput ? defaultInput_ : defaultOutput_) = device;
  postLocked(kAudioObjectSystemObject, isInput ? kAudioHardwarePropertyDefaultInputDevice
                                               : kAudioHardwarePropertyDefaultOutputDevice);
  return noErr;
}

// AudioHardware: devices

OSStatus SimAudioHardware::getDataSource(AudioObjectID device, bool isInput,
                                         std::uint32_t* source) {
  if (source == nullptr) return kAudioHardwareIllegalOperationError;
  std::lock_guard<std::mutex> lock(mutex_);
  rescanLocked();
  const Device* d = findLocked(device);
  if (d == nullptr) return kAudioHardwareBadObjectError;
  if ((isInput ? d->spec.inputChannels : d->spec.outputChannels) == 0 || d->spec.dataSource == 0) {
    return kAudioHardwareUnknownPropertyError;
  }
  *source = d->spec.dataSource;
  return noErr;
}

OSStatus SimAudioHardware::setDataSource(AudioObjectID device, bool isInput, std::uint32_t source) {
  std::lock_guard<std::mutex> lock(mutex_);
  rescanLocked();
  Device* d = findLocked(device);
  if (d == nullptr) return kAudioHardwareBadObjectError;
  if ((isInput ? d->spec.inputChannels : d->spec.outputChannels) == 0) {
    return kAudioHardwareUnknownPropertyError;
  }
  if (d->spec.dataSource == source) return noErr;
  d->spec.dataSource = source;
  postLocked(device, kAudioDevicePropertyDataSource, scopeFor(isInput));
  return noErr;
}

OSStatus SimAudioHardware::getBufferFrameSize(AudioObjectID device, std::uint32_t* frames) {
  if (frames == nullptr) return kAudioHardwareIllegalOperationError;
  std::lock_guard<std::mutex> lock(mutex_);
  rescanLocked();
  const Device* d = findLocked(device);
  if (d == nullptr) return kAudioHardwareBadObjectError;
  *frames = d->spec.bufferFrameSize;
  return noErr;
}

OSStatus SimAudioHardware::setBufferFrameSize(AudioObjectID device, std::uint32_t frames) {
  std::lock_guard<std::mutex> lock(mutex_);
  rescanLocked();
  Device* d = findLocked(device);
  if (d == nullptr) return kAudioHardwareBadObjectError;
  if (!isValidBufferFrameSize(frames)) return kAudioHardwareIllegalOperationError;
  d->spec.bufferFrameSize = frames;
  return noErr;
}

// Listeners

AudioHardware::ListenerToken SimAudioHardware::addPropertyListener(AudioObjectID object,
                                                                   const PropertyAddress& address,
                                                                   PropertyListener listener) {
  if (!listener || !canListen(object, address)) return 0;
  std::lock_guard<std::mutex> lock(mutex_);
  const ListenerToken token = nextToken_++;
  listeners_.push_back({token, object, address, std::move(listener)});
  return token;
}

void SimAudioHardware::removePropertyListener(ListenerToken token) {
  std::unique_lock<std::mutex> lock(mutex_);
  listeners_.erase(std::remove_if(listeners_.begin(), listeners_.end(),
                                  [token](const Listener& l) { return l.token == token; }),
                   listeners_.end());
  deliveredCv_.wait(lock, [&] {
    return deliveringToken_ != token || std::this_thread::get_id() == notificationThreadId_;
  });
}

bool SimAudioHardware::waitUntilNotificationsDelivered(double seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  const std::uint64_t target = postedCount_;
  return deliveredCv_.wait_for(lock, std::chrono::duration<double>(seconds),
                               [&] { return deliveredCount_ >= target; });
}

void SimAudioHardware::notificationLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  notificationThreadId_ = std::this_thread::get_id();
  while (!stopping_) {
    if (changes_.empty()) {
      if (!notifyCv_.wait_for(lock, kBundlePollInterval,
                              [&] { return stopping_ || !changes_.empty(); })) {
        rescanLocked();  // an installed or removed bundle shows without a query
      }
      continue;
    }
    const Change change = changes_.front();
    changes_.pop_front();
    std::vector<std::pair<ListenerToken, PropertyListener>> targets;
    for (const auto& l : listeners_) {
      if (l.object == change.object && l.address == change.address) {
        targets.emplace_back(l.token, l.callback);
      }
    }
    for (auto& [token, callback] : targets) {
      const ListenerToken current = token;
      const bool stillThere =
          std::any_of(listeners_.begin(), listeners_.end(),
                      [current](const Listener& l) { return l.token == current; });
      if (!stillThere) continue;
      deliveringToken_ = token;
      lock.unlock();
      callback(change.object, change.address);
      lock.lock();
      deliveringToken_ = 0;
      deliveredCv_.notify_all();
    }
    ++deliveredCount_;
    deliveredCv_.notify_all();
  }
  deliveredCount_ = postedCount_;
  deliveredCv_.notify_all();
}

// Capture

std::unique_ptr<AudioInputStream> SimAudioHardware::openInputStream(AudioObjectID device,
                                                                    InputHandler handler,
                                                                    OSStatus* status) {
  auto fail = [status](OSStatus s) -> std::unique_ptr<AudioInputStream> {
    if (status != nullptr) *status = s;
    return nullptr;
  };
  if (!handler) return fail(kAudioHardwareIllegalOperationError);
  std::lock_guard<std::mutex> lock(mutex_);
  rescanLocked();
  const Device* d = findLocked(device);
  if (d == nullptr || d->spec.inputChannels == 0) return fail(kAudioHardwareBadDeviceError);
  auto stream = std::make_shared<Stream>();
  stream->id = nextStreamId_++;
  stream->device = device;
  stream->handler = std::move(handler);
  streams_[stream->id] = stream;
  if (d->spec.loopsBack && clocks_.count(device) == 0) {
    clocks_[device] = DeviceClock{std::chrono::steady_clock::now(), 0};
    captureCv_.notify_all();  // its silence is due later
  }
  if (status != nullptr) *status = noErr;
  return std::make_unique<InputStream>(weak_from_this(), stream->id);
}

void SimAudioHardware::closeStream(std::uint64_t streamId) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto closing = streams_.find(streamId);
  if (closing != streams_.end()) {
    const AudioObjectID device = closing->second->device;
    streams_.erase(closing);
    const bool lastOfDevice =
        std::none_of(streams_.begin(), streams_.end(),
                     [device](const auto& s) { return s.second->device == device; });
    if (lastOfDevice) clocks_.erase(device);
  }
  captureIdleCv_.wait(lock, [&] {
    return capturingStream_ != streamId || std::this_thread::get_id() == captureThreadId_;
  });
}

OSStatus SimAudioHardware::routeToInput(AudioObjectID device, const void* bytes, std::size_t length,
                                        bool fromPlay) {
  std::lock_guard<std::mutex> lock(mutex_);
  rescanLocked();
  const Device* d = findLocked(device);
  if (d == nullptr) return kAudioHardwareBadDeviceError;
  if (fromPlay ? d->spec.outputChannels == 0 : d->spec.inputChannels == 0) {
    return kAudioHardwareBadDeviceError;
  }
  if (fromPlay && !d->spec.loopsBack) return noErr;  // played to a speaker: gone
  const std::size_t frameBytes = d->spec.format.mBytesPerFrame;
  const std::size_t whole = frameBytes == 0 ? 0 : length - length % frameBytes;
  if (whole == 0 || bytes == nullptr) return noErr;
  const bool listened = std::any_of(streams_.begin(), streams_.end(),
                                    [device](const auto& s) { return s.second->device == device; });
  if (!listened) return noErr;
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  chunks_.push_back({device, std::vector<std::uint8_t>(p, p + whole)});
  auto clock = clocks_.find(device);
  if (clock != clocks_.end() && d->spec.format.mSampleRate > 0.0) {
    // The sound occupies the device's timeline from now, or from the end of what came before.
    const auto now = std::chrono::steady_clock::now();
    const std::size_t frames = whole / frameBytes;
    const double seconds = static_cast<double>(frames) / d->spec.format.mSampleRate;
    clock->second.soundEnd = std::max(clock->second.soundEnd, now) +
                             std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(seconds));
    clock->second.silenceDelivered = 0;
  }
  captureCv_.notify_all();
  return noErr;
}

std::chrono::steady_clock::time_point SimAudioHardware::queueSilenceLocked(
    std::chrono::steady_clock::time_point now) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point next = Clock::time_point::max();
  for (auto it = clocks_.begin(); it != clocks_.end();) {
    const Device* d = findLocked(it->first);
    const StreamBasicDescription* format = d == nullptr ? nullptr : &d->spec.format;
    if (format == nullptr || format->mSampleRate <= 0.0 || format->mBytesPerFrame == 0) {
      it = clocks_.erase(it);  // the device went away
      continue;
    }
    DeviceClock& clock = it->second;
    const double rate = format->mSampleRate;
    const std::uint64_t buffer = std::max<std::uint32_t>(d->spec.bufferFrameSize, 1);
    auto at = [&](std::uint64_t frames) {
      return clock.soundEnd +
             std::chrono::duration_cast<Clock::duration>(
                 std::chrono::duration<double>(static_cast<double>(frames) / rate));
    };
    const double quiet = std::chrono::duration<double>(now - clock.soundEnd).count();
    if (quiet < kSilenceDelay) {
      next = std::min(next, clock.soundEnd + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(kSilenceDelay)));
      ++it;
      continue;
    }
    // Whole buffers of silence up to now; after a long stall at most a second's worth.
    const auto due = static_cast<std::uint64_t>(quiet * rate) / buffer * buffer;
    if (due > clock.silenceDelivered) {
      const std::uint64_t owed = std::min<std::uint64_t>(
          due - clock.silenceDelivered, (static_cast<std::uint64_t>(rate) / buffer + 1) * buffer);
      chunks_.push_back({it->first, std::vector<std::uint8_t>(owed * format->mBytesPerFrame, 0)});
      clock.silenceDelivered = due;
    }
    next = std::min(next, at(clock.silenceDelivered + buffer));
    ++it;
  }
  return next;
}

OSStatus SimAudioHardware::play(AudioObjectID device, const void* bytes, std::size_t length) {
  return routeToInput(device, bytes, length, true);
}

OSStatus SimAudioHardware::injectInput(AudioObjectID device, const void* bytes,
                                       std::size_t length) {
  return routeToInput(device, bytes, length, false);
}

void SimAudioHardware::captureLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  captureThreadId_ = std::this_thread::get_id();
  for (;;) {
    if (stopping_) return;
    const auto nextSilence = queueSilenceLocked(std::chrono::steady_clock::now());
    if (chunks_.empty()) {
      // Until sound arrives, a stream opens or the next silence is due.
      const std::size_t clocks = clocks_.size();
      auto woken = [&] { return stopping_ || !chunks_.empty() || clocks_.size() != clocks; };
      if (nextSilence == std::chrono::steady_clock::time_point::max()) {
        captureCv_.wait(lock, woken);
      } else {
        captureCv_.wait_until(lock, nextSilence, woken);
      }
      continue;
    }
    Chunk chunk = std::move(chunks_.front());
    chunks_.pop_front();
    const Device* d = findLocked(chunk.device);
    if (d == nullptr) continue;
    const StreamBasicDescription format = d->spec.format;
    std::vector<std::shared_ptr<Stream>> targets;
    for (const auto& [id, s] : streams_) {
      if (s->device == chunk.device) targets.push_back(s);
    }
    for (const auto& s : targets) {
      if (streams_.count(s->id) == 0) continue;  // closed meanwhile
      capturingStream_ = s->id;
      lock.unlock();
      s->handler(format, chunk.bytes.data(), chunk.bytes.size());
      lock.lock();
      capturingStream_ = 0;
      captureIdleCv_.notify_all();
    }
  }
}

// Authorisation

AuthorizationStatus SimAudioHardware::captureAuthorizationStatus() {
  std::lock_guard<std::mutex> lock(mutex_);
  return authorization_;
}

void SimAudioHardware::requestCaptureAccess(std::function<void(bool granted)> handler) {
  bool granted = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (authorization_ == AuthorizationStatus::NotDetermined) {
      authorization_ =
          grantOnRequest_ ? AuthorizationStatus::Authorized : AuthorizationStatus::Denied;
    }
    granted = authorization_ == AuthorizationStatus::Authorized;
  }
  dispatch::Queue::global()->async([handler = std::move(handler), granted] {
    if (handler) handler(granted);
  });
}

void SimAudioHardware::setAuthorizationStatus(AuthorizationStatus status, bool grantOnRequest) {
  std::lock_guard<std::mutex> lock(mutex_);
  authorization_ = status;
  grantOnRequest_ = grantOnRequest;
}

// Test devices

AudioObjectID SimAudioHardware::addDevice(const DeviceSpec& spec) {
  std::lock_guard<std::mutex> lock(mutex_);
  Device d;
  const std::string key = "added:" + spec.name;
  d.id = ids_.idFor(key);
  for (int n = 2; findLocked(d.id) != nullptr; ++n)
    d.id = ids_.idFor(key + "#" + std::to_string(n));
  d.spec = spec;
  devices_.push_back(d);
  postLocked(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
  return d.id;
}

bool SimAudioHardware::removeDevice(AudioObjectID device) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find_if(devices_.begin(), devices_.end(),
                         [device](const Device& d) { return d.id == device; });
  if (it == devices_.end() || it->builtIn || it->fromDriver) return false;
  devices_.erase(it);
  postLocked(kAudioObjectSystemObject, kAudioHardwarePropertyDevices);
  if (defaultInput_ == device) {
    defaultInput_ = kBuiltInInputID;
    postLocked(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice);
  }
  if (defaultOutput_ == device) {
    defaultOutput_ = kBuiltInOutputID;
    postLocked(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);
  }
  return true;
}

AudioObjectID SimAudioHardware::deviceNamed(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  rescanLocked();
  for (const auto& d : devices_) {
    if (d.spec.name == name) return d.id;
  }
  return kAudioObjectUnknown;
}

}  // namespace corvane::platform::audio
