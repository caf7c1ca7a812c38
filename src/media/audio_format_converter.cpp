#include "media/audio_format_converter.h"

#include <cmath>
#include <cstdint>
#include <cstring>

namespace corvane::detail {

namespace audio = platform::audio;

namespace {

constexpr double kEncoderRate = 44100.0;
constexpr std::uint32_t kKnownFlags =
    audio::kAudioFormatFlagIsFloat | audio::kAudioFormatFlagIsBigEndian |
    audio::kAudioFormatFlagIsSignedInteger | audio::kAudioFormatFlagIsPacked |
    audio::kAudioFormatFlagIsAlignedHigh | audio::kAudioFormatFlagIsNonInterleaved;

// How one sample lies in its container.
struct SampleLayout {
  std::uint32_t container = 0;  // bytes
  std::uint32_t bits = 0;
  bool isFloat = false;
  bool isSigned = false;
  bool bigEndian = false;
  bool alignedHigh = false;
};

// The layout of a readable format; false for any other.
bool layoutOf(const audio::StreamBasicDescription& f, SampleLayout* layout) {
  if (f.mFormatID != audio::kAudioFormatLinearPCM) return false;
  if ((f.mFormatFlags & ~kKnownFlags) != 0) return false;
  if ((f.mFormatFlags & audio::kAudioFormatFlagIsNonInterleaved) != 0) return false;
  if (f.mChannelsPerFrame < 1 || f.mChannelsPerFrame > AudioFormatConverter::kMaxChannels) {
    return false;
  }
  // NaN fails both comparisons.
  if (!(f.mSampleRate >= AudioFormatConverter::kMinSampleRate &&
        f.mSampleRate <= AudioFormatConverter::kMaxSampleRate)) {
    return false;
  }
  if (f.mBytesPerFrame == 0 || f.mBytesPerFrame % f.mChannelsPerFrame != 0) return false;
  SampleLayout l;
  l.container = f.mBytesPerFrame / f.mChannelsPerFrame;
  l.bits = f.mBitsPerChannel;
  l.isFloat = (f.mFormatFlags & audio::kAudioFormatFlagIsFloat) != 0;
  l.isSigned = (f.mFormatFlags & audio::kAudioFormatFlagIsSignedInteger) != 0;
  l.bigEndian = (f.mFormatFlags & audio::kAudioFormatFlagIsBigEndian) != 0;
  l.alignedHigh = (f.mFormatFlags & audio::kAudioFormatFlagIsAlignedHigh) != 0;
  if (l.isFloat) {
    if (!((l.bits == 32 && l.container == 4) || (l.bits == 64 && l.container == 8))) return false;
  } else {
    const bool knownBits = l.bits == 8 || l.bits == 16 || l.bits == 24 || l.bits == 32;
    if (!knownBits || l.container < l.bits / 8 || l.container > 4) return false;
  }
  *layout = l;
  return true;
}

// One sample as a float in [-1, 1].
float readSample(const std::uint8_t* p, const SampleLayout& l) {
  std::uint64_t raw = 0;
  for (std::uint32_t i = 0; i < l.container; ++i) {
    raw = (raw << 8) | (l.bigEndian ? p[i] : p[l.container - 1 - i]);
  }
  if (l.isFloat) {
    if (l.container == 4) {
      const auto word = static_cast<std::uint32_t>(raw);
      float value = 0.0f;
      std::memcpy(&value, &word, sizeof value);
      return value;
    }
    double value = 0.0;
    std::memcpy(&value, &raw, sizeof value);
    return static_cast<float>(value);
  }
  const std::uint32_t spare = l.container * 8 - l.bits;
  const std::uint64_t mask = (std::uint64_t{1} << l.bits) - 1;
  const std::uint64_t bits = (l.alignedHigh ? raw >> spare : raw) & mask;
  const std::int64_t half = std::int64_t{1} << (l.bits - 1);
  std::int64_t value = 0;
  if (l.isSigned) {
    // Two's complement of `bits` wide.
    value = (bits & static_cast<std::uint64_t>(half)) != 0
                ? static_cast<std::int64_t>(bits) - 2 * half
                : static_cast<std::int64_t>(bits);
  } else {
    value = static_cast<std::int64_t>(bits) - half;  // offset binary: the middle is silence
  }
  return static_cast<float>(static_cast<double>(value) / static_cast<double>(half));
}

}  // namespace

bool AudioFormatConverter::isReadable(const audio::StreamBasicDescription& format) {
  SampleLayout layout;
  return layoutOf(format, &layout);
}

bool AudioFormatConverter::isEncoderFormat(const audio::StreamBasicDescription& f) {
  return f.mFormatID == audio::kAudioFormatLinearPCM && f.mSampleRate == kEncoderRate &&
         f.mChannelsPerFrame == 2 && f.mBitsPerChannel == 32 && f.mBytesPerFrame == 8 &&
         (f.mFormatFlags & audio::kAudioFormatFlagIsFloat) != 0 &&
         (f.mFormatFlags &
          (audio::kAudioFormatFlagIsNonInterleaved | audio::kAudioFormatFlagIsBigEndian)) == 0;
}

std::vector<float> AudioFormatConverter::convert(const audio::StreamBasicDescription& f,
                                                 const void* bytes, std::size_t length) {
  SampleLayout layout;
  if (bytes == nullptr || !layoutOf(f, &layout)) return {};

  const std::size_t frames = length / f.mBytesPerFrame;
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  auto frameAt = [&](std::size_t i, float* out) {
    const std::uint8_t* frame = p + i * f.mBytesPerFrame;
    out[0] = readSample(frame, layout);
    out[1] = f.mChannelsPerFrame > 1 ? readSample(frame + layout.container, layout) : out[0];
  };

  if (f.mSampleRate != lastRate_) {
    lastRate_ = f.mSampleRate;
    phase_ = 0.0;
    haveLast_ = false;
  }
  std::vector<float> out;
  if (f.mSampleRate == kEncoderRate) {
    out.resize(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) frameAt(i, &out[i * 2]);
    return out;
  }
  // Linear interpolation between input frames; index -1 is the previous buffer's last frame.
  const double step = f.mSampleRate / kEncoderRate;
  out.reserve(static_cast<std::size_t>(static_cast<double>(frames) / step) * 2 + 4);
  const double first = haveLast_ ? -1.0 : 0.0;
  if (phase_ < first) phase_ = first;
  float a[2];
  float b[2];
  while (frames > 0 && phase_ <= static_cast<double>(frames - 1)) {
    const double floorPos = std::floor(phase_);
    const auto index = static_cast<long long>(floorPos);
    const auto t = static_cast<float>(phase_ - floorPos);
    if (index < 0) {
      a[0] = last_[0];
      a[1] = last_[1];
    } else {
      frameAt(static_cast<std::size_t>(index), a);
    }
    const auto next = static_cast<std::size_t>(index + 1);
    if (next < frames) {
      frameAt(next, b);
    } else {
      b[0] = a[0];
      b[1] = a[1];
    }
    out.push_back(a[0] + (b[0] - a[0]) * t);
    out.push_back(a[1] + (b[1] - a[1]) * t);
    phase_ += step;
  }
  if (frames > 0) {
    frameAt(frames - 1, last_);
    haveLast_ = true;
    phase_ -= static_cast<double>(frames);  // relative to the next buffer's first frame
  }
  return out;
}

}  // namespace corvane::detail
