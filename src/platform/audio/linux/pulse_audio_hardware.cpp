#include "platform/audio/linux/pulse_audio_hardware.h"

#include <algorithm>
#include <cmath>

#include "platform/audio/linux/pulse_input_stream.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/file_utils.h"
#include "platform/log/log.h"

namespace corvane::platform::audio {

namespace {

constexpr auto kBundlePollInterval = std::chrono::milliseconds(50);
constexpr const char* kNullSinkDriver = "module-null-sink.c";

bool isLoopbackName(const std::vector<LoopbackDeviceSpec>& specs, const std::string& name) {
  return std::any_of(specs.begin(), specs.end(),
                     [&](const LoopbackDeviceSpec& s) { return s.name == name; });
}

// A server name for the sink of a loop-back device: letters, digits and '_' only.
std::string sinkNameFor(const std::string& deviceName) {
  std::string name = "corvane_loopback_";
  for (char c : deviceName) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    name += plain ? c : '_';
  }
  return name;
}

// The description goes inside double quotes inside single quotes of the module arguments.
bool quotable(const std::string& text) { return text.find_first_of("'\"\\") == std::string::npos; }

StreamBasicDescription pcm(double rate, std::uint32_t channels, std::uint32_t flags,
                           std::uint32_t bits, std::uint32_t bytes) {
  StreamBasicDescription d;
  d.mSampleRate = rate;
  d.mFormatID = kAudioFormatLinearPCM;
  d.mFormatFlags = flags;
  d.mBytesPerPacket = bytes * channels;
  d.mFramesPerPacket = 1;
  d.mBytesPerFrame = bytes * channels;
  d.mChannelsPerFrame = channels;
  d.mBitsPerChannel = bits;
  return d;
}

}  // namespace

// Snapshot

const PulseAudioHardware::Device* PulseAudioHardware::Snapshot::find(AudioObjectID id) const {
  for (const auto& d : devices) {
    if (d.id == id) return &d;
  }
  return nullptr;
}

DeviceList PulseAudioHardware::Snapshot::list() const {
  DeviceList list;
  list.defaultInput = defaultInput;
  list.defaultOutput = defaultOutput;
  for (const auto& d : devices) list.devices.push_back(d);  // the record part
  return list;
}

std::optional<DeviceList> PulseAudioHardware::deviceList() {
  const auto snap = snapshot();
  if (!snap.ok) return std::nullopt;
  return snap.list();
}

// Creation and teardown

std::shared_ptr<PulseAudioHardware> PulseAudioHardware::create(const std::string& server,
                                                               const std::string& systemRoot,
                                                               std::string* failure) {
  std::shared_ptr<PulseAudioHardware> hardware(
      new PulseAudioHardware(systemRoot.empty() ? "/" : systemRoot));
  if (!hardware->start(server, failure)) return nullptr;
  return hardware;
}

PulseAudioHardware::PulseAudioHardware(std::string systemRoot)
    : systemRoot_(std::move(systemRoot)) {}

bool PulseAudioHardware::start(const std::string& server, std::string* failure) {
  connection_ = detail::PulseConnection::create(
      server,
      [relay = relay_] {
        std::lock_guard<std::mutex> lock(relay->mutex);
        if (relay->hardware != nullptr) relay->hardware->scheduleRefresh();
      },
      failure);
  if (!connection_) return false;
  last_ = snapshot();
  if (!last_.ok) {
    if (failure != nullptr) *failure = "the sound server did not list its devices";
    return false;
  }
  captureThread_ = std::make_shared<detail::CallbackThread>("pulse-audio-io");
  auto notificationThread = std::make_shared<detail::CallbackThread>(
      "pulse-audio-notify", kBundlePollInterval, [this] { pollBundle(); });
  {
    std::lock_guard<std::mutex> lock(listenerMutex_);
    notificationThread_ = std::move(notificationThread);
  }
  {
    std::lock_guard<std::mutex> lock(relay_->mutex);
    relay_->hardware = this;
  }
  scheduleRefresh();  // a change between the first view and now is not lost
  return true;
}

PulseAudioHardware::~PulseAudioHardware() {
  {
    std::lock_guard<std::mutex> lock(relay_->mutex);
    relay_->hardware = nullptr;
  }
  std::shared_ptr<detail::CallbackThread> notificationThread;
  {
    std::lock_guard<std::mutex> lock(listenerMutex_);
    notificationThread = std::move(notificationThread_);
  }
  notificationThread.reset();  // joins: no refresh, poll or listener runs any more
  if (connection_) {
    std::lock_guard<std::mutex> lock(loopbackMutex_);
    for (const auto& [name, module] : ownedModules_) connection_->unloadModule(module);
    ownedModules_.clear();
  }
}

// The server's view

std::vector<LoopbackDeviceSpec> PulseAudioHardware::installedSpecs() const {
  auto specs = readLoopbackDriverBundle(
      files::appendingPathComponent(systemRoot_, kLoopbackDriverInstallPath));
  return specs ? *specs : std::vector<LoopbackDeviceSpec>{};
}

AudioObjectID PulseAudioHardware::idFor(const std::string& key) {
  std::lock_guard<std::mutex> lock(idMutex_);
  return ids_.idFor(key);
}

bool PulseAudioHardware::syncLoopback(const std::vector<LoopbackDeviceSpec>& specs,
                                      const detail::PulseServerState& state) {
  bool changed = false;
  for (auto it = ownedModules_.begin(); it != ownedModules_.end();) {
    if (isLoopbackName(specs, it->first)) {
      ++it;
      continue;
    }
    if (connection_->unloadModule(it->second)) {
      unloading_.insert(it->second);
      changed = true;
    }
    it = ownedModules_.erase(it);
  }
  for (const auto& spec : specs) {
    const bool present = std::any_of(state.sinks.begin(), state.sinks.end(), [&](const auto& s) {
      return s.driver == kNullSinkDriver && s.description == spec.name &&
             unloading_.count(s.ownerModule) == 0;
    });
    if (present) continue;
    if (!quotable(spec.name)) {
      log::nslog("audio: the loop-back device name \"%s\" cannot be given to the sound server",
                 spec.name.c_str());
      continue;
    }
    const auto rate = static_cast<std::uint32_t>(std::lround(spec.sampleRate));
    const std::string arguments = "sink_name=" + sinkNameFor(spec.name) +
                                  " sink_properties='device.description=\"" + spec.name +
                                  "\"' norewinds=1 format=float32le rate=" + std::to_string(rate) +
                                  " channels=" + std::to_string(spec.channels);
    auto module = connection_->loadModule("module-null-sink", arguments);
    if (!module) {
      log::nslog("audio: the sound server refused the loop-back device \"%s\"", spec.name.c_str());
      continue;
    }
    ownedModules_[spec.name] = *module;
    changed = true;
  }
  return changed;
}

PulseAudioHardware::Snapshot PulseAudioHardware::snapshot() {
  Snapshot snap;
  bool bundleChanged = false;
  {
    // The bundle is read under the lock too: a view read before another thread's change
    // would undo that change.
    std::lock_guard<std::mutex> lock(loopbackMutex_);
    const auto specs = installedSpecs();
    detail::PulseServerState state;
    if (!connection_->readState(&state)) return {};
    if (syncLoopback(specs, state) && !connection_->readState(&state)) return {};
    dropUnloading(&state);
    bundleChanged = !appliedSpecs_ || *appliedSpecs_ != specs;
    appliedSpecs_ = specs;
    snap = build(state, specs);
  }
  // A server sink that became (or stopped being) the loop-back device changes the device
  // list without any event from the server.
  if (bundleChanged) scheduleRefresh();
  return snap;
}

void PulseAudioHardware::dropUnloading(detail::PulseServerState* state) {
  // The server confirms an unload before the module is gone: its sink may still be listed.
  std::set<std::uint32_t> stillThere;
  std::set<std::uint32_t> goingSinks;
  for (const auto& sink : state->sinks) {
    if (unloading_.count(sink.ownerModule) != 0) {
      stillThere.insert(sink.ownerModule);
      goingSinks.insert(sink.index);
    }
  }
  unloading_ = stillThere;
  if (goingSinks.empty()) return;
  auto& sinks = state->sinks;
  sinks.erase(std::remove_if(sinks.begin(), sinks.end(),
                             [&](const auto& s) { return goingSinks.count(s.index) != 0; }),
              sinks.end());
  auto& sources = state->sources;
  sources.erase(
      std::remove_if(sources.begin(), sources.end(),
                     [&](const auto& s) { return goingSinks.count(s.monitorOfSink) != 0; }),
      sources.end());
}

PulseAudioHardware::Snapshot PulseAudioHardware::build(
    const detail::PulseServerState& state, const std::vector<LoopbackDeviceSpec>& specs) {
  Snapshot snap;
  snap.ok = true;
  std::map<std::string, std::size_t> loopbackMonitors;  // monitor source -> device
  for (const auto& sink : state.sinks) {
    const bool loopback = sink.driver == kNullSinkDriver && isLoopbackName(specs, sink.description);
    Device d;
    d.id = idFor((loopback ? "loopback:" : "sink:") + sink.name);
    d.name = sink.description.empty() ? sink.name : sink.description;
    d.sink = sink.name;
    d.outputChannels = sink.spec.channels;
    d.outputFormat = describe(sink.spec);
    d.transportType =
        sink.hardware ? kAudioDeviceTransportTypeBuiltIn : kAudioDeviceTransportTypeVirtual;
    d.outputPorts = sink.ports;
    d.outputPort = sink.activePort;
    if (loopback && !sink.monitorSource.empty()) {
      loopbackMonitors[sink.monitorSource] = snap.devices.size();
    }
    snap.devices.push_back(std::move(d));
  }
  for (const auto& source : state.sources) {
    auto merged = loopbackMonitors.find(source.name);
    if (merged != loopbackMonitors.end()) {
      Device& d = snap.devices[merged->second];
      d.source = source.name;
      d.inputChannels = source.spec.channels;
      d.inputFormat = describe(source.spec);
      continue;
    }
    Device d;
    d.id = idFor("source:" + source.name);
    d.listed = source.monitorOfSink == PA_INVALID_INDEX;
    d.name = source.description.empty() ? source.name : source.description;
    d.source = source.name;
    d.inputChannels = source.spec.channels;
    d.inputFormat = describe(source.spec);
    d.transportType =
        source.hardware ? kAudioDeviceTransportTypeBuiltIn : kAudioDeviceTransportTypeVirtual;
    d.inputPorts = source.ports;
    d.inputPort = source.activePort;
    snap.devices.push_back(std::move(d));
  }
  for (const auto& d : snap.devices) {
    if (!d.sink.empty() && d.sink == state.defaultSink) snap.defaultOutput = d.id;
    if (!d.source.empty() && d.source == state.defaultSource) snap.defaultInput = d.id;
  }
  return snap;
}

std::string PulseAudioHardware::sinkName(AudioObjectID device) {
  const auto snap = snapshot();
  const Device* d = snap.find(device);
  return d == nullptr ? std::string() : d->sink;
}

std::string PulseAudioHardware::sourceName(AudioObjectID device) {
  const auto snap = snapshot();
  const Device* d = snap.find(device);
  return d == nullptr ? std::string() : d->source;
}

// AudioHardware: system object

OSStatus PulseAudioHardware::setDefaultDevice(bool isInput, AudioObjectID device) {
  const auto snap = snapshot();
  if (!snap.ok) return kAudioHardwareNotRunningError;
  bool unchanged = false;
  const OSStatus status = snap.list().checkNewDefault(isInput, device, &unchanged);
  if (status != noErr || unchanged) return status;
  const Device* d = snap.find(device);
  const std::string& name = isInput ? d->source : d->sink;
  if (name.empty()) return kAudioHardwareBadDeviceError;
  const bool ok = isInput ? connection_->setDefaultSource(name) : connection_->setDefaultSink(name);
  return ok ? noErr : kAudioHardwareUnspecifiedError;
}

// AudioHardware: devices

OSStatus PulseAudioHardware::getDataSource(AudioObjectID device, bool isInput,
                                           std::uint32_t* source) {
  if (source == nullptr) return kAudioHardwareIllegalOperationError;
  const auto snap = snapshot();
  const Device* d = snap.find(device);
  if (d == nullptr) return kAudioHardwareBadObjectError;
  const std::string& port = isInput ? d->inputPort : d->outputPort;
  if (port.empty()) return kAudioHardwareUnknownPropertyError;
  *source = portCode(port);
  return noErr;
}

OSStatus PulseAudioHardware::setDataSource(AudioObjectID device, bool isInput,
                                           std::uint32_t source) {
  const auto snap = snapshot();
  const Device* d = snap.find(device);
  if (d == nullptr) return kAudioHardwareBadObjectError;
  const auto& ports = isInput ? d->inputPorts : d->outputPorts;
  if (ports.empty()) return kAudioHardwareUnknownPropertyError;
  auto port = std::find_if(ports.begin(), ports.end(),
                           [source](const std::string& p) { return portCode(p) == source; });
  if (port == ports.end()) return kAudioHardwareIllegalOperationError;
  if (*port == (isInput ? d->inputPort : d->outputPort)) return noErr;
  const bool ok = isInput ? connection_->setSourcePort(d->source, *port)
                          : connection_->setSinkPort(d->sink, *port);
  return ok ? noErr : kAudioHardwareUnspecifiedError;
}

OSStatus PulseAudioHardware::getBufferFrameSize(AudioObjectID device, std::uint32_t* frames) {
  if (frames == nullptr) return kAudioHardwareIllegalOperationError;
  const auto snap = snapshot();
  if (snap.find(device) == nullptr) return kAudioHardwareBadObjectError;
  std::lock_guard<std::mutex> lock(idMutex_);
  auto it = bufferFrames_.find(device);
  *frames = it == bufferFrames_.end() ? detail::PulseInputStream::kFragmentFrames : it->second;
  return noErr;
}

OSStatus PulseAudioHardware::setBufferFrameSize(AudioObjectID device, std::uint32_t frames) {
  const auto snap = snapshot();
  if (snap.find(device) == nullptr) return kAudioHardwareBadObjectError;
  if (!isValidBufferFrameSize(frames)) return kAudioHardwareIllegalOperationError;
  std::lock_guard<std::mutex> lock(idMutex_);
  bufferFrames_[device] = frames;
  return noErr;
}

// Listeners

AudioHardware::ListenerToken PulseAudioHardware::addPropertyListener(AudioObjectID object,
                                                                     const PropertyAddress& address,
                                                                     PropertyListener listener) {
  if (!listener || !canListen(object, address)) return 0;
  std::lock_guard<std::mutex> lock(listenerMutex_);
  const ListenerToken token = nextToken_++;
  listeners_.push_back(
      {token, object, address, std::make_shared<PropertyListener>(std::move(listener))});
  return token;
}

void PulseAudioHardware::removePropertyListener(ListenerToken token) {
  if (token == 0) return;
  {
    std::lock_guard<std::mutex> lock(listenerMutex_);
    listeners_.erase(std::remove_if(listeners_.begin(), listeners_.end(),
                                    [token](const Listener& l) { return l.token == token; }),
                     listeners_.end());
  }
  notificationThread_->cancel(token);
}

bool PulseAudioHardware::waitUntilNotificationsDelivered(double seconds) {
  // The first wait covers the pending refreshes, the second the deliveries they posted.
  return notificationThread_->waitUntilDrained(seconds) &&
         notificationThread_->waitUntilDrained(seconds);
}

void PulseAudioHardware::scheduleRefresh() {
  std::lock_guard<std::mutex> lock(listenerMutex_);
  if (refreshPending_ || !notificationThread_) return;
  refreshPending_ = true;
  notificationThread_->post(0, [this] {
    {
      std::lock_guard<std::mutex> pending(listenerMutex_);
      refreshPending_ = false;
    }
    refresh();
  });
}

void PulseAudioHardware::pollBundle() {
  {
    // Compared with what the last view applied (a query may have applied it), not with
    // what the last poll saw: a bundle installed and removed between two polls still counts.
    std::lock_guard<std::mutex> lock(loopbackMutex_);
    if (appliedSpecs_ && *appliedSpecs_ == installedSpecs()) return;
  }
  refresh();
}

void PulseAudioHardware::refresh() {
  Snapshot snap = snapshot();
  if (!snap.ok) return;
  if (snap.list().listedIDs() != last_.list().listedIDs()) {
    notify(kAudioObjectSystemObject, {kAudioHardwarePropertyDevices});
  }
  if (snap.defaultInput != last_.defaultInput) {
    notify(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultInputDevice});
  }
  if (snap.defaultOutput != last_.defaultOutput) {
    notify(kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice});
  }
  for (const auto& d : snap.devices) {
    const Device* before = last_.find(d.id);
    if (before == nullptr) continue;
    if (d.inputPort != before->inputPort) {
      notify(d.id, {kAudioDevicePropertyDataSource, kAudioObjectPropertyScopeInput});
    }
    if (d.outputPort != before->outputPort) {
      notify(d.id, {kAudioDevicePropertyDataSource, kAudioObjectPropertyScopeOutput});
    }
  }
  last_ = std::move(snap);
}

void PulseAudioHardware::notify(AudioObjectID object, const PropertyAddress& address) {
  std::lock_guard<std::mutex> lock(listenerMutex_);
  if (!notificationThread_) return;
  for (const auto& l : listeners_) {
    if (l.object != object || !(l.address == address)) continue;
    notificationThread_->post(
        l.token, [callback = l.callback, object, address] { (*callback)(object, address); });
  }
}

// Capture

std::unique_ptr<AudioInputStream> PulseAudioHardware::openInputStream(AudioObjectID device,
                                                                      InputHandler handler,
                                                                      OSStatus* status) {
  auto fail = [status](OSStatus s) -> std::unique_ptr<AudioInputStream> {
    if (status != nullptr) *status = s;
    return nullptr;
  };
  if (!handler) return fail(kAudioHardwareIllegalOperationError);
  const auto snap = snapshot();
  if (!snap.ok) return fail(kAudioHardwareNotRunningError);
  const Device* d = snap.find(device);
  if (d == nullptr || d->source.empty() || d->inputChannels == 0) {
    return fail(kAudioHardwareBadDeviceError);
  }
  std::uint64_t key = 0;
  {
    std::lock_guard<std::mutex> lock(listenerMutex_);
    key = nextStream_++;
  }
  return detail::PulseInputStream::open(connection_, captureThread_, key, d->source,
                                        std::move(handler), status);
}

// Authorisation

AuthorizationStatus PulseAudioHardware::captureAuthorizationStatus() {
  return AuthorizationStatus::Authorized;
}

void PulseAudioHardware::requestCaptureAccess(std::function<void(bool granted)> handler) {
  dispatch::Queue::global()->async([handler = std::move(handler)] {
    if (handler) handler(true);
  });
}

// Helpers

std::uint32_t PulseAudioHardware::portCode(const std::string& port) {
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (char c : port) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 16777619u;
  }
  return hash;
}

StreamBasicDescription PulseAudioHardware::describe(const detail::PulseSampleSpec& spec) {
  const double rate = spec.rate;
  const std::uint32_t ch = spec.channels;
  constexpr std::uint32_t kSigned = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
  constexpr std::uint32_t kFloat = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
  constexpr std::uint32_t kBig = kAudioFormatFlagIsBigEndian;
  switch (spec.format) {
    case PA_SAMPLE_U8:
      return pcm(rate, ch, kAudioFormatFlagIsPacked, 8, 1);
    case PA_SAMPLE_S16LE:
      return pcm(rate, ch, kSigned, 16, 2);
    case PA_SAMPLE_S16BE:
      return pcm(rate, ch, kSigned | kBig, 16, 2);
    case PA_SAMPLE_S24LE:
      return pcm(rate, ch, kSigned, 24, 3);
    case PA_SAMPLE_S24BE:
      return pcm(rate, ch, kSigned | kBig, 24, 3);
    case PA_SAMPLE_S24_32LE:
      return pcm(rate, ch, kAudioFormatFlagIsSignedInteger, 24, 4);
    case PA_SAMPLE_S24_32BE:
      return pcm(rate, ch, kAudioFormatFlagIsSignedInteger | kBig, 24, 4);
    case PA_SAMPLE_S32LE:
      return pcm(rate, ch, kSigned, 32, 4);
    case PA_SAMPLE_S32BE:
      return pcm(rate, ch, kSigned | kBig, 32, 4);
    case PA_SAMPLE_FLOAT32LE:
      return pcm(rate, ch, kFloat, 32, 4);
    case PA_SAMPLE_FLOAT32BE:
      return pcm(rate, ch, kFloat | kBig, 32, 4);
    default:
      break;
  }
  StreamBasicDescription other;  // a-law, mu-law: not linear PCM
  other.mSampleRate = rate;
  other.mChannelsPerFrame = ch;
  other.mFormatID = spec.format == PA_SAMPLE_ALAW ? fourCC("alaw") : fourCC("ulaw");
  return other;
}

}  // namespace corvane::platform::audio
