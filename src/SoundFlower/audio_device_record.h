// The device record: one audio device in one direction, with the properties read when the
// record is made (safety offset, I/O buffer size, stream format), over the raw property
// interface of the audio hardware.
//
// Thread-safety: a record is a plain value; its calls go to the hardware, which may be used
// from any thread.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/audio/audio_hardware.h"

namespace corvane {

class AudioDeviceRecord {
 public:
  static constexpr std::size_t kNameCapacity = 64;

  AudioDeviceRecord() = default;
  // Reads the three properties of a non-zero id (errors leave them 0).
  AudioDeviceRecord(std::shared_ptr<platform::audio::AudioHardware> hardware,
                    platform::audio::AudioObjectID deviceID, bool isInput);

  platform::audio::AudioObjectID mID = platform::audio::kAudioObjectUnknown;
  bool mIsInput = false;
  std::uint32_t mSafetyOffset = 0;
  std::uint32_t mBufferSizeFrames = 0;
  platform::audio::StreamBasicDescription mFormat;

  bool Valid() const { return mID != platform::audio::kAudioObjectUnknown; }
  // Sum of the channels of all buffers of the stream configuration in this direction; 0 when
  // the query fails.
  int CountChannels() const;
  // The device's name, NUL-terminated and cut to fit, into `buf` of `maxlen` bytes (at most
  // kNameCapacity are used); an empty string when the query fails. Answers `buf`.
  char* GetName(char* buf, std::uint32_t maxlen) const;
  // Writes the buffer size and reads it back; a failure ends the process ("ret == noErr").
  void SetBufferSize(std::uint32_t size);

 private:
  std::shared_ptr<platform::audio::AudioHardware> hardware_;
};

}  // namespace corvane
