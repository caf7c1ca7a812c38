// What the audio backends share: a device list (each device's id, name, channels and format
// per direction, transport type and safety offset, and the system's defaults) and the
// property queries answered from it, so that the simulated model and the PulseAudio backend
// answer them alike.
//
// A backend derives from DeviceListHardware and gives it a fresh list per query; the queries
// of the system object and of the device properties that every backend has come from that
// list. What differs (data sources, buffer sizes, capture, listeners, setting the defaults)
// stays with the backend, which checks its arguments with the helpers here.
//
// Thread-safety: DeviceList is a plain value. DeviceListHardware's members may be called from
// any thread when `deviceList` may.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/audio_hardware.h"

namespace corvane::platform::audio {

struct DeviceRecord {
  AudioObjectID id = kAudioObjectUnknown;
  bool listed = true;  // in the system's device list (a device may be known but not listed)
  std::string name;
  std::uint32_t inputChannels = 0;
  std::uint32_t outputChannels = 0;
  StreamBasicDescription inputFormat;
  StreamBasicDescription outputFormat;
  std::uint32_t transportType = kAudioDeviceTransportTypeVirtual;
  std::uint32_t safetyOffset = 0;  // frames, in either direction the device has

  std::uint32_t channels(bool isInput) const { return isInput ? inputChannels : outputChannels; }
  const StreamBasicDescription& format(bool isInput) const {
    return isInput ? inputFormat : outputFormat;
  }
};

struct DeviceList {
  std::vector<DeviceRecord> devices;  // in the system's order
  AudioObjectID defaultInput = kAudioObjectUnknown;
  AudioObjectID defaultOutput = kAudioObjectUnknown;

  const DeviceRecord* find(AudioObjectID id) const;
  AudioObjectID defaultDevice(bool isInput) const { return isInput ? defaultInput : defaultOutput; }
  // The ids of the listed devices, in order.
  std::vector<AudioObjectID> listedIDs() const;
  // Whether `device` may become the default of a direction: kAudioHardwareBadDeviceError for
  // an unknown id or a device without channels there, else noErr with `unchanged` telling
  // whether it is the default already.
  OSStatus checkNewDefault(bool isInput, AudioObjectID device, bool* unchanged) const;
};

// The buffer frame sizes a device accepts.
inline constexpr std::uint32_t kMinBufferFrameSize = 15;
inline constexpr std::uint32_t kMaxBufferFrameSize = 4096;
constexpr bool isValidBufferFrameSize(std::uint32_t frames) {
  return frames >= kMinBufferFrameSize && frames <= kMaxBufferFrameSize;
}

// The system object's properties that listeners may watch.
bool isSystemObjectListenable(const PropertyAddress& address);

class DeviceListHardware : public AudioHardware {
 public:
  OSStatus getDevices(std::vector<AudioObjectID>* devices) override;
  OSStatus getDefaultDevice(bool isInput, AudioObjectID* device) override;
  OSStatus getName(AudioObjectID device, std::string* name) override;
  OSStatus getStreamConfiguration(AudioObjectID device, bool isInput,
                                  std::vector<std::uint32_t>* channelsPerBuffer) override;
  OSStatus getTransportType(AudioObjectID device, std::uint32_t* transportType) override;
  OSStatus getSafetyOffset(AudioObjectID device, bool isInput, std::uint32_t* frames) override;
  OSStatus getStreamFormat(AudioObjectID device, bool isInput,
                           StreamBasicDescription* format) override;

 protected:
  // The devices as they are now; std::nullopt when the system cannot say (its server has
  // gone): the system object's queries then fail with kAudioHardwareNotRunningError, a
  // device's with kAudioHardwareBadObjectError.
  virtual std::optional<DeviceList> deviceList() = 0;
  // Whether a listener may be added at `address` of `object`: a listenable property of the
  // system object, or any property of a device in the list.
  bool canListen(AudioObjectID object, const PropertyAddress& address);
};

}  // namespace corvane::platform::audio
