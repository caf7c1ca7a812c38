// AudioDevice: the model object of a device (id and name) that the device manager hands out.
//
// Thread-safety: immutable after creation.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/audio/audio_hardware.h"

namespace corvane {

class AudioDevice {
 public:
  static std::shared_ptr<AudioDevice> create(platform::audio::AudioObjectID deviceID,
                                             std::string deviceName);

  platform::audio::AudioObjectID deviceID() const { return deviceID_; }
  const std::string& deviceName() const { return deviceName_; }
  // "<AudioDevice: <id>, <name>>".
  std::string description() const;

 private:
  AudioDevice(platform::audio::AudioObjectID deviceID, std::string deviceName)
      : deviceID_(deviceID), deviceName_(std::move(deviceName)) {}

  const platform::audio::AudioObjectID deviceID_;
  const std::string deviceName_;
};

using AudioDeviceArray = std::vector<std::shared_ptr<AudioDevice>>;

}  // namespace corvane
