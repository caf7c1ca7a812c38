// Audio stream formats: the 40-byte stream description that devices and sample buffers
// carry, four-character codes, and the one format the MP3 encoder reads (interleaved
// two-channel 32-bit float at 44,100 Hz).
#pragma once

#include <cstdint>

namespace corvane::platform::audio {

// A four-character code ('lpcm', 'bltn', ...) as a big-endian 32-bit value.
constexpr std::uint32_t fourCC(const char (&code)[5]) {
  return (static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

inline constexpr std::uint32_t kAudioFormatLinearPCM = fourCC("lpcm");

// Format flags of linear PCM.
inline constexpr std::uint32_t kAudioFormatFlagIsFloat = 1u << 0;
inline constexpr std::uint32_t kAudioFormatFlagIsBigEndian = 1u << 1;
inline constexpr std::uint32_t kAudioFormatFlagIsSignedInteger = 1u << 2;
inline constexpr std::uint32_t kAudioFormatFlagIsPacked = 1u << 3;
// Samples narrower than their container sit in its high bits (otherwise in its low bits).
inline constexpr std::uint32_t kAudioFormatFlagIsAlignedHigh = 1u << 4;
inline constexpr std::uint32_t kAudioFormatFlagIsNonInterleaved = 1u << 5;

struct StreamBasicDescription {
  double mSampleRate = 0.0;
  std::uint32_t mFormatID = 0;
  std::uint32_t mFormatFlags = 0;
  std::uint32_t mBytesPerPacket = 0;
  std::uint32_t mFramesPerPacket = 0;
  std::uint32_t mBytesPerFrame = 0;
  std::uint32_t mChannelsPerFrame = 0;
  std::uint32_t mBitsPerChannel = 0;
  std::uint32_t mReserved = 0;

  bool operator==(const StreamBasicDescription&) const = default;
};
static_assert(sizeof(StreamBasicDescription) == 40, "the stream description is 40 bytes");

// Interleaved, packed linear PCM of 32-bit floats.
constexpr StreamBasicDescription floatFormat(double sampleRate, std::uint32_t channels) {
  StreamBasicDescription d;
  d.mSampleRate = sampleRate;
  d.mFormatID = kAudioFormatLinearPCM;
  d.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
  d.mBytesPerPacket = 4 * channels;
  d.mFramesPerPacket = 1;
  d.mBytesPerFrame = 4 * channels;
  d.mChannelsPerFrame = channels;
  d.mBitsPerChannel = 32;
  return d;
}

// Interleaved, packed linear PCM of signed little-endian 16-bit integers.
constexpr StreamBasicDescription int16Format(double sampleRate, std::uint32_t channels) {
  StreamBasicDescription d;
  d.mSampleRate = sampleRate;
  d.mFormatID = kAudioFormatLinearPCM;
  d.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
  d.mBytesPerPacket = 2 * channels;
  d.mFramesPerPacket = 1;
  d.mBytesPerFrame = 2 * channels;
  d.mChannelsPerFrame = channels;
  d.mBitsPerChannel = 16;
  return d;
}

// What the MP3 encoder reads: 44,100 Hz, two channels, 32-bit float, interleaved (8 bytes per
// sample frame).
inline constexpr StreamBasicDescription kEncoderInputFormat = floatFormat(44100.0, 2);

}  // namespace corvane::platform::audio
