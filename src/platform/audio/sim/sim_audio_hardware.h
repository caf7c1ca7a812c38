// The simulated audio hardware: an in-process device model.
//
// At creation it holds a built-in output ("Built-in Output": two output channels, 44,100 Hz
// float) and a built-in input ("Built-in Microphone": one input channel, 48,000 Hz 16-bit
// integer, data sources "imic"/"emic"), both the defaults. While a loop-back driver bundle
// (platform/audio/loopback_driver.h) is installed under the model's system root, each device
// it names exists as a virtual two-way device (for the stand-in bundle: "BlackHole 2ch", two
// channels each way, 44,100 Hz float); what is played to it comes back on its input. Tests
// add further devices with `addDevice`.
//
// Device ids are stable: the built-in devices have fixed ids, every other device the id of
// its name (platform/audio/device_ids.h), the same in every model and whenever the device
// comes back.
//
// A loop-back device runs at its rate like a real one: while an input stream is open on it
// and nothing has been played to it for kSilenceDelay, it delivers silence (zero samples) at
// its sample rate in whole buffers (`bufferFrameSize` frames), counted from the end of the
// last sound played: the first delivery holds the quiet time so far, later ones a buffer
// each. What is played reaches the input at once, in the chunks played.
//
// The model re-reads the bundle on every query and, on its notification thread, every
// 50 ms, so an installed or removed bundle shows within that time even without a query.
// A device that disappears while it is a default hands that default to the built-in device.
//
// Threads: every member may be called from any thread. Listeners and property changes are
// delivered on the model's own notification thread; capture handlers run on its capture
// thread. Ownership: the notification and capture threads end in the destructor, which must
// not run on them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/audio_hardware.h"
#include "platform/audio/device_ids.h"
#include "platform/audio/device_list.h"
#include "platform/foundation/thread.h"

namespace corvane::platform::audio {

class SimAudioHardware : public DeviceListHardware,
                         public std::enable_shared_from_this<SimAudioHardware> {
 public:
  struct DeviceSpec {
    std::string name;
    std::uint32_t inputChannels = 0;
    std::uint32_t outputChannels = 0;
    std::uint32_t transportType = kAudioDeviceTransportTypeVirtual;
    StreamBasicDescription format = kEncoderInputFormat;  // the format of both directions
    std::uint32_t dataSource = 0;
    std::uint32_t safetyOffset = 32;
    std::uint32_t bufferFrameSize = 512;
    // Played sound comes back on the input.
    bool loopsBack = false;
  };

  // A model under `systemRoot` ("/" when empty), with the capture authorisation
  // `authorization`.
  static std::shared_ptr<SimAudioHardware> create(
      std::string systemRoot, AuthorizationStatus authorization = AuthorizationStatus::Authorized);
  ~SimAudioHardware() override;
  SimAudioHardware(const SimAudioHardware&) = delete;
  SimAudioHardware& operator=(const SimAudioHardware&) = delete;

  // AudioHardware.
  std::string backendName() const override { return "simulated"; }
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
  AuthorizationStatus captureAuthorizationStatus() override;
  void requestCaptureAccess(std::function<void(bool granted)> handler) override;

  // Test controls.
  const std::string& systemRoot() const { return systemRoot_; }
  // How long a loop-back device with an open input stream hears nothing before its input
  // delivers silence.
  static constexpr double kSilenceDelay = 0.2;
  // The fixed ids of the built-in devices.
  static constexpr AudioObjectID kBuiltInOutputID = 40;
  static constexpr AudioObjectID kBuiltInInputID = 41;
  // Adds a device (listed after the existing ones) and answers its id, which follows from
  // its name (a second device of the same name present at once gets another).
  AudioObjectID addDevice(const DeviceSpec& spec);
  // Removes an added device; false for an unknown or built-in id.
  bool removeDevice(AudioObjectID device);
  // The id of the device with exactly this name, kAudioObjectUnknown if none.
  AudioObjectID deviceNamed(const std::string& name);
  // Plays `length` bytes of interleaved sound in the output device's format: on a loop-back
  // device it reaches the open input streams of that device (on the capture thread, in
  // order); elsewhere it is discarded. kAudioHardwareBadDeviceError for a device without
  // output.
  OSStatus play(AudioObjectID device, const void* bytes, std::size_t length);
  // Sound arriving at an input device (a microphone): reaches its open input streams.
  OSStatus injectInput(AudioObjectID device, const void* bytes, std::size_t length);
  // The answer of later authorisation queries; a request for access on NotDetermined
  // answers `grantOnRequest` and makes the status Authorized or Denied.
  void setAuthorizationStatus(AuthorizationStatus status, bool grantOnRequest = true);
  // Re-reads the driver bundle now (queries do it anyway).
  void rescan();
  // Waits until every notification posted so far has been delivered (at most `seconds`);
  // true when it has. Not on the notification thread.
  bool waitUntilNotificationsDelivered(double seconds);

 private:
  struct Device {
    AudioObjectID id = 0;
    DeviceSpec spec;
    bool builtIn = false;
    bool fromDriver = false;
  };
  struct Listener {
    ListenerToken token = 0;
    AudioObjectID object = 0;
    PropertyAddress address;
    PropertyListener callback;
  };
  struct Change {
    AudioObjectID object = 0;
    PropertyAddress address;
  };
  struct Chunk {
    AudioObjectID device = 0;
    std::vector<std::uint8_t> bytes;
  };
  // The timeline of a loop-back device that has input streams open.
  struct DeviceClock {
    std::chrono::steady_clock::time_point soundEnd;  // where the last played sound ends
    std::uint64_t silenceDelivered = 0;              // silent frames delivered since then
  };
  struct Stream;
  class InputStream;

  SimAudioHardware(std::string systemRoot, AuthorizationStatus authorization);
  // DeviceListHardware.
  std::optional<DeviceList> deviceList() override;
  DeviceList listLocked() const;
  void startThreads();
  void rescanLocked();
  Device* findLocked(AudioObjectID id);
  void postLocked(AudioObjectID object, std::uint32_t selector,
                  std::uint32_t scope = kAudioObjectPropertyScopeGlobal);
  void notificationLoop();
  void captureLoop();
  void closeStream(std::uint64_t streamId);
  // Queues the silence that idle loop-back devices owe by `now`; answers when the next is due
  // (time_point::max() when no device has a clock).
  std::chrono::steady_clock::time_point queueSilenceLocked(
      std::chrono::steady_clock::time_point now);
  OSStatus routeToInput(AudioObjectID device, const void* bytes, std::size_t length, bool fromPlay);

  const std::string systemRoot_;
  mutable std::mutex mutex_;
  std::vector<Device> devices_;
  AudioObjectID defaultInput_ = kBuiltInInputID;
  AudioObjectID defaultOutput_ = kBuiltInOutputID;
  DeviceIDTable ids_;
  AuthorizationStatus authorization_;
  bool grantOnRequest_ = true;

  // Notification thread state (under mutex_).
  std::vector<Listener> listeners_;
  ListenerToken nextToken_ = 1;
  std::deque<Change> changes_;
  std::uint64_t postedCount_ = 0;
  std::uint64_t deliveredCount_ = 0;
  ListenerToken deliveringToken_ = 0;
  std::condition_variable notifyCv_;     // new changes, stop
  std::condition_variable deliveredCv_;  // a delivery ended
  std::thread::id notificationThreadId_;

  // Capture thread state (under mutex_).
  std::map<std::uint64_t, std::shared_ptr<Stream>> streams_;
  std::uint64_t nextStreamId_ = 1;
  std::deque<Chunk> chunks_;
  std::map<AudioObjectID, DeviceClock> clocks_;  // loop-back devices with open streams
  std::uint64_t capturingStream_ = 0;
  std::condition_variable captureCv_;
  std::condition_variable captureIdleCv_;
  std::thread::id captureThreadId_;

  bool stopping_ = false;
  std::shared_ptr<Thread> notificationThread_;
  std::shared_ptr<Thread> captureThread_;
};

}  // namespace corvane::platform::audio
