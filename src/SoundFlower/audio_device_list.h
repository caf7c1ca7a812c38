// AudioDeviceList: the devices of one direction that have channels in it, in the system's
// order, each as a 68-byte entry (NUL-terminated name of at most 63 bytes, then the id).
// Built fresh from the hardware when made.
//
// Thread-safety: a plain value.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/audio/audio_hardware.h"

namespace corvane {

class AudioDeviceList {
 public:
  struct Device {
    char mName[64] = {};
    platform::audio::AudioObjectID mID = platform::audio::kAudioObjectUnknown;
  };
  static_assert(sizeof(Device) == 68, "a list entry is 68 bytes");
  using DeviceList = std::vector<Device>;

  AudioDeviceList(std::shared_ptr<platform::audio::AudioHardware> hardware, bool inputs);

  DeviceList& GetList() { return mDevices; }
  const DeviceList& GetList() const { return mDevices; }

 private:
  void BuildList(platform::audio::AudioHardware& hardware);

  bool mInputs;
  DeviceList mDevices;
};

}  // namespace corvane
