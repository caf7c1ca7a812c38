// The audio hardware service: a system object with the default input and output devices and
// the device list, device objects with their properties (name, stream configuration and
// format per direction, transport type, data source, safety offset, buffer size), property
// listeners, capture streams on input devices and the capture authorisation.
//
// One interface, several backends: sim/ holds the in-process device model that tests select;
// linux/ the PulseAudio sound server. The process uses the hardware that
// `systemHardware()` answers (set once at start by the application, or by a test).
//
// Threads: every member may be called from any thread. Property listeners run on the
// backend's own notification thread (never inside the call that caused the change), one
// at a time, in the order of the changes. Input stream handlers run on the backend's own
// capture thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/audio/stream_format.h"

namespace corvane::platform::audio {

using OSStatus = std::int32_t;
using AudioObjectID = std::uint32_t;

inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus kAudioHardwareUnspecifiedError = static_cast<OSStatus>(fourCC("what"));
inline constexpr OSStatus kAudioHardwareUnknownPropertyError =
    static_cast<OSStatus>(fourCC("who?"));
inline constexpr OSStatus kAudioHardwareBadObjectError = static_cast<OSStatus>(fourCC("!obj"));
inline constexpr OSStatus kAudioHardwareBadDeviceError = static_cast<OSStatus>(fourCC("!dev"));
inline constexpr OSStatus kAudioHardwareIllegalOperationError =
    static_cast<OSStatus>(fourCC("nope"));
inline constexpr OSStatus kAudioHardwareNotRunningError = static_cast<OSStatus>(fourCC("stop"));

inline constexpr AudioObjectID kAudioObjectUnknown = 0;
inline constexpr AudioObjectID kAudioObjectSystemObject = 1;

// Transport types.
inline constexpr std::uint32_t kAudioDeviceTransportTypeBuiltIn = fourCC("bltn");
inline constexpr std::uint32_t kAudioDeviceTransportTypeVirtual = fourCC("virt");

// Property selectors and scopes that listeners name.
inline constexpr std::uint32_t kAudioHardwarePropertyDevices = fourCC("dev#");
inline constexpr std::uint32_t kAudioHardwarePropertyDefaultInputDevice = fourCC("dIn ");
inline constexpr std::uint32_t kAudioHardwarePropertyDefaultOutputDevice = fourCC("dOut");
inline constexpr std::uint32_t kAudioDevicePropertyDataSource = fourCC("ssrc");
inline constexpr std::uint32_t kAudioDevicePropertyStreamFormat = fourCC("sfmt");
inline constexpr std::uint32_t kAudioObjectPropertyScopeGlobal = fourCC("glob");
inline constexpr std::uint32_t kAudioObjectPropertyScopeInput = fourCC("inpt");
inline constexpr std::uint32_t kAudioObjectPropertyScopeOutput = fourCC("outp");

struct PropertyAddress {
  std::uint32_t selector = 0;
  std::uint32_t scope = kAudioObjectPropertyScopeGlobal;

  bool operator==(const PropertyAddress&) const = default;
};

// The scope of a direction.
constexpr std::uint32_t scopeFor(bool isInput) {
  return isInput ? kAudioObjectPropertyScopeInput : kAudioObjectPropertyScopeOutput;
}

// Capture authorisation, as the capture-device class reports it.
enum class AuthorizationStatus : int {
  NotDetermined = 0,
  Restricted = 1,
  Denied = 2,
  Authorized = 3,
};

// A running capture on one input device. Destroying it stops it.
class AudioInputStream {
 public:
  virtual ~AudioInputStream() = default;
  // Ends the capture; after it returns the handler does not run again and no call of it is
  // still running (a call from inside the handler only prevents later calls). Idempotent.
  virtual void stop() = 0;
};

class AudioHardware {
 public:
  using PropertyListener = std::function<void(AudioObjectID object, const PropertyAddress& address)>;
  // 0 is never a valid token.
  using ListenerToken = std::uint64_t;
  // Interleaved sample frames as the device delivers them: `length` bytes in `format`.
  using InputHandler = std::function<void(const StreamBasicDescription& format, const void* bytes,
                                          std::size_t length)>;

  virtual ~AudioHardware() = default;

  // "simulated", "pulseaudio", ... for the start-up log line.
  virtual std::string backendName() const = 0;

  // System object: the device list in the system's order, and the default devices
  // (kAudioObjectUnknown when there is none).
  virtual OSStatus getDevices(std::vector<AudioObjectID>* devices) = 0;
  virtual OSStatus getDefaultDevice(bool isInput, AudioObjectID* device) = 0;
  // Fails with kAudioHardwareBadDeviceError for an unknown id or a device without channels
  // in that direction.
  virtual OSStatus setDefaultDevice(bool isInput, AudioObjectID device) = 0;

  // Device objects; an unknown id fails with kAudioHardwareBadObjectError.
  virtual OSStatus getName(AudioObjectID device, std::string* name) = 0;
  // The channel count of each buffer of the device's stream configuration in a direction
  // (empty for a direction the device does not have).
  virtual OSStatus getStreamConfiguration(AudioObjectID device, bool isInput,
                                          std::vector<std::uint32_t>* channelsPerBuffer) = 0;
  virtual OSStatus getTransportType(AudioObjectID device, std::uint32_t* transportType) = 0;
  virtual OSStatus getDataSource(AudioObjectID device, bool isInput, std::uint32_t* source) = 0;
  virtual OSStatus setDataSource(AudioObjectID device, bool isInput, std::uint32_t source) = 0;
  virtual OSStatus getSafetyOffset(AudioObjectID device, bool isInput, std::uint32_t* frames) = 0;
  virtual OSStatus getBufferFrameSize(AudioObjectID device, std::uint32_t* frames) = 0;
  virtual OSStatus setBufferFrameSize(AudioObjectID device, std::uint32_t frames) = 0;
  virtual OSStatus getStreamFormat(AudioObjectID device, bool isInput,
                                   StreamBasicDescription* format) = 0;

  // Calls `listener` on the notification thread after every change of the property at
  // `address` of `object` (the system object or a device). Answers 0 when the object or
  // property does not exist.
  virtual ListenerToken addPropertyListener(AudioObjectID object, const PropertyAddress& address,
                                            PropertyListener listener) = 0;
  // After it returns the listener does not start again and no call of it is still running
  // on another thread. Unknown tokens are ignored.
  virtual void removePropertyListener(ListenerToken token) = 0;

  // Starts capturing an input device in its own format, interleaved. nullptr (and `status`,
  // which may be null, set) when the device has no input.
  virtual std::unique_ptr<AudioInputStream> openInputStream(AudioObjectID device,
                                                            InputHandler handler,
                                                            OSStatus* status) = 0;

  // Capture authorisation, and the request for it; `handler` runs on a thread of the
  // backend's choosing, never inside the call.
  virtual AuthorizationStatus captureAuthorizationStatus() = 0;
  virtual void requestCaptureAccess(std::function<void(bool granted)> handler) = 0;
};

// The hardware the process uses: the one set by `setSystemHardware`, else (at first use) the
// user's PulseAudio server when one answers, otherwise a simulated hardware; both under the
// foundation layer's system root. The choice is logged.
std::shared_ptr<AudioHardware> systemHardware();
// The choice `systemHardware` makes at first use (with "" and the system root): the
// PulseAudio server `server` ("" for the user's default) when it answers, else a simulated
// hardware under `systemRoot`; logs which it took.
std::shared_ptr<AudioHardware> chooseHardware(const std::string& server,
                                              const std::string& systemRoot);
// Selects the hardware for later `systemHardware` calls (objects that already hold the
// previous one keep it). nullptr goes back to the default choice.
void setSystemHardware(std::shared_ptr<AudioHardware> hardware);

}  // namespace corvane::platform::audio
