#include "SoundFlower/audio_device.h"

namespace corvane {

std::shared_ptr<AudioDevice> AudioDevice::create(platform::audio::AudioObjectID deviceID,
                                                 std::string deviceName) {
  return std::shared_ptr<AudioDevice>(new AudioDevice(deviceID, std::move(deviceName)));
}

std::string AudioDevice::description() const {
  return "<AudioDevice: " + std::to_string(deviceID_) + ", " + deviceName_ + ">";
}

}  // namespace corvane
