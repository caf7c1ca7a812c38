#include "SoundFlower/audio_device_record.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace corvane {

namespace audio = platform::audio;

AudioDeviceRecord::AudioDeviceRecord(std::shared_ptr<audio::AudioHardware> hardware,
                                     audio::AudioObjectID deviceID, bool isInput)
    : mID(deviceID), mIsInput(isInput), hardware_(std::move(hardware)) {
  if (mID == audio::kAudioObjectUnknown || !hardware_) return;
  // Errors leave the fields at 0, as the record's users expect.
  hardware_->getSafetyOffset(mID, mIsInput, &mSafetyOffset);
  hardware_->getBufferFrameSize(mID, &mBufferSizeFrames);
  hardware_->getStreamFormat(mID, mIsInput, &mFormat);
}

int AudioDeviceRecord::CountChannels() const {
  if (!hardware_ || !Valid()) return 0;
  std::vector<std::uint32_t> buffers;
  if (hardware_->getStreamConfiguration(mID, mIsInput, &buffers) != audio::noErr) return 0;
  long long total = 0;
  for (std::uint32_t channels : buffers) total += channels;
  return total > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(total);
}

char* AudioDeviceRecord::GetName(char* buf, std::uint32_t maxlen) const {
  if (buf == nullptr || maxlen == 0) return buf;
  const std::size_t capacity = maxlen < kNameCapacity ? maxlen : kNameCapacity;
  buf[0] = '\0';
  std::string name;
  if (!hardware_ || hardware_->getName(mID, &name) != audio::noErr) return buf;
  const std::size_t n = name.size() < capacity - 1 ? name.size() : capacity - 1;
  std::memcpy(buf, name.data(), n);
  buf[n] = '\0';
  return buf;
}

void AudioDeviceRecord::SetBufferSize(std::uint32_t size) {
  audio::OSStatus ret = hardware_ ? hardware_->setBufferFrameSize(mID, size)
                                  : audio::kAudioHardwareBadObjectError;
  if (ret == audio::noErr) ret = hardware_->getBufferFrameSize(mID, &mBufferSizeFrames);
  if (ret != audio::noErr) {
    std::fprintf(stderr, "Assertion failed: (ret == noErr), function SetBufferSize\n");
    std::abort();
  }
}

}  // namespace corvane
