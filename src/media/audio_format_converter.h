// AudioFormatConverter: turns interleaved linear PCM of any layout a sound server delivers into
// the MP3 encoder's input (44,100 Hz, two channels, 32-bit float, interleaved). Integer
// samples (signed or unsigned, 8 to 32 bits in containers of 1 to 4 bytes, either byte order,
// low- or high-aligned) and 32/64-bit floats (either byte order) are scaled to [-1, 1]; mono is
// doubled, extra channels are dropped, other rates are resampled linearly, keeping the
// resampling phase from one buffer to the next.
//
// Rates outside what a sound server delivers (8,000 to 384,000 Hz) are refused: resampling is
// bounded by at most 5.5 output frames per input frame.
//
// Thread-safety: one object carries the state of one stream of buffers; it is used by one
// thread (or one serial queue) at a time. `isReadable` and `isEncoderFormat` are pure.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/audio/stream_format.h"

namespace corvane::detail {

class AudioFormatConverter {
 public:
  static constexpr double kMinSampleRate = 8000.0;
  static constexpr double kMaxSampleRate = 384000.0;
  static constexpr unsigned kMaxChannels = 64;

  // Samples of `bytes` (`length` bytes in `format`; a cut last frame is ignored) as encoder
  // input, two floats per frame; empty for a format it cannot read (see `isReadable`) or a
  // buffer too short to yield a frame yet.
  std::vector<float> convert(const platform::audio::StreamBasicDescription& format,
                             const void* bytes, std::size_t length);
  // Whether `convert` reads buffers in this format.
  static bool isReadable(const platform::audio::StreamBasicDescription& format);
  // Whether buffers in this format are passed on untouched.
  static bool isEncoderFormat(const platform::audio::StreamBasicDescription& format);

 private:
  double phase_ = 0.0;  // position of the next output frame, in input frames
  double lastRate_ = 0.0;
  float last_[2] = {0.0f, 0.0f};  // the previous buffer's last frame
  bool haveLast_ = false;
};

}  // namespace corvane::detail
