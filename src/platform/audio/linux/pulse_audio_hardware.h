// The audio hardware of a PulseAudio sound server (PipeWire desktops serve the same protocol).
//
// Devices: every sink is an output device and every source that is not a monitor an input
// device, named by its description, with the channel count of its sample format,
// transport type built-in for hardware cards and virtual otherwise. Monitor sources are not
// listed, but each has an id so that a monitor that was the default source can be read,
// saved and made the default again exactly. Ids come from the server's names
// (platform/audio/device_ids.h): "sink:", "source:" or "loopback:" with the sink or source
// name, so a device has the same id in every process and after it goes and comes back.
//
// The loop-back device: while a loop-back driver bundle (platform/audio/loopback_driver.h)
// is installed under the system root, each device it names exists as a null sink described
// by that name (for the stand-in bundle "BlackHole 2ch", two channels, 44,100 Hz, float). A
// null sink of that description that the server already has is used; otherwise the backend
// loads one, and unloads it when the bundle is removed (and when the object goes away). The
// sink and its monitor are one device: output = the sink, input = the monitor, so making it
// the default input and output sets the server's default source and sink.
//
// The defaults are the server's default sink and source. The data source of a device with
// ports is its active port (a 32-bit code of the port's name). Capture (pulse_input_stream.h)
// records the device's source by its name as float32 little-endian, 44,100 Hz, stereo.
//
// The bundle is read again on every query and, on the notification thread, every 50 ms.
// Listeners run on the notification thread after the server reports a change (also one made
// by another client) or the bundle changes: "dev#" when the listed devices change, "dIn " and
// "dOut" when a default changes, "ssrc" (in the device's scope) when an active port changes.
//
// Threads: every member may be called from any thread. Ownership: the connection and the
// notification and capture threads end in the destructor, which must not run on them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/audio/audio_hardware.h"
#include "platform/audio/device_ids.h"
#include "platform/audio/device_list.h"
#include "platform/audio/linux/callback_thread.h"
#include "platform/audio/linux/pulse_connection.h"
#include "platform/audio/loopback_driver.h"

namespace corvane::platform::audio {

class PulseAudioHardware : public DeviceListHardware,
                           public std::enable_shared_from_this<PulseAudioHardware> {
 public:
  // Connects to `server` ("" for the user's default server) and presents the loop-back
  // driver installed under `systemRoot` ("/" when empty). nullptr, with the reason in
  // `failure` (may be null), when no sound server answers.
  static std::shared_ptr<PulseAudioHardware> create(const std::string& server,
                                                    const std::string& systemRoot,
                                                    std::string* failure = nullptr);
  ~PulseAudioHardware() override;
  PulseAudioHardware(const PulseAudioHardware&) = delete;
  PulseAudioHardware& operator=(const PulseAudioHardware&) = delete;

  // AudioHardware.
  std::string backendName() const override { return "pulseaudio"; }
  // (The device list and the properties every backend has: DeviceListHardware.)
  OSStatus setDefaultDevice(bool isInput, AudioObjectID device) override;
  OSStatus getDataSource(AudioObjectID device, bool isInput, std::uint32_t* source) override;
  OSStatus setDataSource(AudioObjectID device, bool isInput, std::uint32_t source) override;
  OSStatus getBufferFrameSize(AudioObjectID device, std::uint32_t* frames) override;
  OSStatus setBufferFrameSize(AudioObjectID device, std::uint32_t frames) override;
  ListenerToken addPropertyListener(AudioObjectID object, const PropertyAddress& address,
                                    PropertyListener listener) override;
  void removePropertyListener(ListenerToken token) override;
  std::unique_ptr<AudioInputStream> openInputStream(AudioObjectID device, InputHandler handler,
                                                    OSStatus* status) override;
  // Linux asks no permission for capture: always authorised.
  AuthorizationStatus captureAuthorizationStatus() override;
  void requestCaptureAccess(std::function<void(bool granted)> handler) override;

  const std::string& systemRoot() const { return systemRoot_; }
  // The server's names behind a device ("" where it has no such side).
  std::string sinkName(AudioObjectID device);
  std::string sourceName(AudioObjectID device);
  // Waits until every change seen so far has been delivered to the listeners (at most
  // `seconds`); true when it has. Not on the notification thread.
  bool waitUntilNotificationsDelivered(double seconds);

  // The data source code of a port name.
  static std::uint32_t portCode(const std::string& port);
  // A server sample format as a stream description.
  static StreamBasicDescription describe(const detail::PulseSampleSpec& spec);

 private:
  // A device record (a monitor source is not listed) with the server's names behind it.
  struct Device : DeviceRecord {
    std::string sink;    // output side
    std::string source;  // input side
    std::vector<std::string> inputPorts, outputPorts;
    std::string inputPort, outputPort;
  };
  struct Snapshot {
    bool ok = false;
    std::vector<Device> devices;  // listed devices first-class, monitors unlisted
    AudioObjectID defaultInput = kAudioObjectUnknown;
    AudioObjectID defaultOutput = kAudioObjectUnknown;
    const Device* find(AudioObjectID id) const;
    DeviceList list() const;
  };
  // Hands the connection's events to the notification thread while the object lives.
  struct Relay {
    std::mutex mutex;
    PulseAudioHardware* hardware = nullptr;
  };
  struct Listener {
    ListenerToken token = 0;
    AudioObjectID object = 0;
    PropertyAddress address;
    std::shared_ptr<PropertyListener> callback;
  };

  explicit PulseAudioHardware(std::string systemRoot);
  // DeviceListHardware.
  std::optional<DeviceList> deviceList() override;
  bool start(const std::string& server, std::string* failure);
  // A fresh view of the server, with the loop-back sinks made to match the bundle first.
  Snapshot snapshot();
  // Loads or unloads loop-back sinks so that `state` matches `specs`; true when it changed
  // anything on the server.
  bool syncLoopback(const std::vector<LoopbackDeviceSpec>& specs,
                    const detail::PulseServerState& state);
  std::vector<LoopbackDeviceSpec> installedSpecs() const;
  AudioObjectID idFor(const std::string& key);
  // Leaves out the sinks (and their monitors) of modules being unloaded.
  void dropUnloading(detail::PulseServerState* state);
  Snapshot build(const detail::PulseServerState& state,
                 const std::vector<LoopbackDeviceSpec>& specs);
  // Notification thread.
  void scheduleRefresh();
  void refresh();
  void pollBundle();
  void notify(AudioObjectID object, const PropertyAddress& address);

  const std::string systemRoot_;
  const std::shared_ptr<Relay> relay_ = std::make_shared<Relay>();
  std::shared_ptr<detail::PulseConnection> connection_;
  std::shared_ptr<detail::CallbackThread>
      notificationThread_;  // set and cleared under listenerMutex_
  std::shared_ptr<detail::CallbackThread> captureThread_;

  std::mutex idMutex_;
  DeviceIDTable ids_;
  std::map<AudioObjectID, std::uint32_t> bufferFrames_;

  std::mutex loopbackMutex_;                           // serialises loading and unloading
  std::map<std::string, std::uint32_t> ownedModules_;  // loop-back name -> module we loaded
  std::optional<std::vector<LoopbackDeviceSpec>> appliedSpecs_;  // the bundle as last applied
  std::set<std::uint32_t> unloading_;  // modules unloaded whose sinks may still be listed

  std::mutex listenerMutex_;
  std::vector<Listener> listeners_;
  ListenerToken nextToken_ = 1;
  std::uint64_t nextStream_ = 1;
  bool refreshPending_ = false;

  // Notification thread only.
  Snapshot last_;
};

}  // namespace corvane::platform::audio
