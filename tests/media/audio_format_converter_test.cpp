// The converter from what sound servers deliver to the MP3 encoder's input: every sample
// format the PulseAudio backend describes (both byte orders where it offers them), channel
// and rate changes, and the formats and rates it refuses.
#include "media/audio_format_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/audio/linux/pulse_audio_hardware.h"

namespace corvane {
namespace {

namespace audio = platform::audio;
using detail::AudioFormatConverter;

// One sample value `x` in [-1, 1) as the server would store it in `format`.
void appendSample(const audio::StreamBasicDescription& format, double x,
                  std::vector<std::uint8_t>* out) {
  const std::uint32_t container = format.mBytesPerFrame / format.mChannelsPerFrame;
  const bool big = (format.mFormatFlags & audio::kAudioFormatFlagIsBigEndian) != 0;
  std::uint64_t word = 0;
  if ((format.mFormatFlags & audio::kAudioFormatFlagIsFloat) != 0) {
    const auto f = static_cast<float>(x);
    std::uint32_t bits = 0;
    std::memcpy(&bits, &f, sizeof bits);
    word = bits;
  } else {
    const std::int64_t half = std::int64_t{1} << (format.mBitsPerChannel - 1);
    std::int64_t v = std::llround(x * static_cast<double>(half));
    v = std::min(std::max(v, -half), half - 1);
    if ((format.mFormatFlags & audio::kAudioFormatFlagIsSignedInteger) == 0) v += half;
    word = static_cast<std::uint64_t>(v) & ((std::uint64_t{1} << (container * 8)) - 1);
  }
  for (std::uint32_t i = 0; i < container; ++i) {
    const std::uint32_t shift = big ? 8 * (container - 1 - i) : 8 * i;
    out->push_back(static_cast<std::uint8_t>(word >> shift));
  }
}

TEST(AudioFormatConverterTest, EveryServerSampleFormatBecomesEncoderFloats) {
  struct Case {
    pa_sample_format_t format;
    const char* name;
    float tolerance;  // one step of the format
  };
  const Case cases[] = {
      {PA_SAMPLE_U8, "u8", 1.0f / 128},
      {PA_SAMPLE_S16LE, "s16le", 1.0f / 32768},
      {PA_SAMPLE_S16BE, "s16be", 1.0f / 32768},
      {PA_SAMPLE_S24LE, "s24le", 1.0f / 8388608},
      {PA_SAMPLE_S24BE, "s24be", 1.0f / 8388608},
      {PA_SAMPLE_S24_32LE, "s24-32le", 1.0f / 8388608},
      {PA_SAMPLE_S24_32BE, "s24-32be", 1.0f / 8388608},
      {PA_SAMPLE_S32LE, "s32le", 1e-7f},
      {PA_SAMPLE_S32BE, "s32be", 1e-7f},
      {PA_SAMPLE_FLOAT32LE, "float32le", 0.0f},
      {PA_SAMPLE_FLOAT32BE, "float32be", 0.0f},
  };
  // Stereo frames: silence, a half-scale pair of opposite signs, near full scale both ways.
  const std::vector<double> values = {0.0, 0.0, 0.5, -0.5, 0.25, -0.75, 0.96875, -1.0};
  for (const Case& c : cases) {
    const auto format = audio::PulseAudioHardware::describe({c.format, 44100, 2});
    EXPECT_TRUE(AudioFormatConverter::isReadable(format)) << c.name;
    std::vector<std::uint8_t> bytes;
    for (double v : values) appendSample(format, v, &bytes);
    ASSERT_EQ(bytes.size(), values.size() / 2 * format.mBytesPerFrame) << c.name;
    AudioFormatConverter converter;
    const auto out = converter.convert(format, bytes.data(), bytes.size());
    ASSERT_EQ(out.size(), values.size()) << c.name;
    for (std::size_t i = 0; i < values.size(); ++i) {
      EXPECT_NEAR(out[i], values[i], c.tolerance) << c.name << " sample " << i;
    }
    EXPECT_EQ(out[0], 0.0f) << c.name << ": silence stays silent";
  }
  // The middle of unsigned 8-bit is silence, its ends are full scale.
  const auto u8 = audio::PulseAudioHardware::describe({PA_SAMPLE_U8, 44100, 1});
  const std::uint8_t unsignedBytes[] = {0x80, 0x00, 0xFF};
  AudioFormatConverter converter;
  const auto out = converter.convert(u8, unsignedBytes, sizeof unsignedBytes);
  EXPECT_EQ(out, (std::vector<float>{0.0f, 0.0f, -1.0f, -1.0f, 127.0f / 128, 127.0f / 128}));
}

TEST(AudioFormatConverterTest, HighAlignedIntegersAndUnsignedWideSamplesAreRead) {
  // 24-bit samples in the high bits of 32-bit words, and unsigned 16-bit.
  audio::StreamBasicDescription high = audio::floatFormat(44100.0, 1);
  high.mFormatFlags = audio::kAudioFormatFlagIsSignedInteger | audio::kAudioFormatFlagIsAlignedHigh;
  high.mBitsPerChannel = 24;
  const std::int32_t words[] = {0x40000000, static_cast<std::int32_t>(0xC0000000u), 0x000000FF};
  AudioFormatConverter converter;
  auto out = converter.convert(high, words, sizeof words);
  EXPECT_EQ(out, (std::vector<float>{0.5f, 0.5f, -0.5f, -0.5f, 0.0f, 0.0f}))
      << "the low byte is padding";

  audio::StreamBasicDescription u16 = audio::int16Format(44100.0, 1);
  u16.mFormatFlags = audio::kAudioFormatFlagIsPacked;
  const std::uint16_t halfUp[] = {0x8000, 0xC000};
  out = converter.convert(u16, halfUp, sizeof halfUp);
  EXPECT_EQ(out, (std::vector<float>{0.0f, 0.0f, 0.5f, 0.5f}));
}

TEST(AudioFormatConverterTest, ConvertsChannelsAndRatesAndRefusesWhatItCannotRead) {
  AudioFormatConverter converter;
  const std::int16_t stereo16[] = {16384, -16384, 32767, 0};
  auto out = converter.convert(audio::int16Format(44100.0, 2), stereo16, sizeof stereo16);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_FLOAT_EQ(out[0], 0.5f);
  EXPECT_FLOAT_EQ(out[1], -0.5f);

  // Six channels: the first two are kept.
  std::vector<float> six = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f};
  out = converter.convert(audio::floatFormat(44100.0, 6), six.data(), six.size() * sizeof(float));
  EXPECT_EQ(out, (std::vector<float>{0.1f, 0.2f}));

  // 22,050 Hz doubles the frame count (linear interpolation across buffers too).
  AudioFormatConverter up;
  std::vector<float> mono(100, 0.25f);
  std::size_t produced = 0;
  for (int i = 0; i < 10; ++i) {
    produced += up.convert(audio::floatFormat(22050.0, 1), mono.data(), mono.size() * sizeof(float))
                    .size() /
                2;
  }
  EXPECT_NEAR(static_cast<double>(produced), 2000.0, 2.0);

  auto bad = audio::floatFormat(44100.0, 2);
  bad.mFormatFlags |= audio::kAudioFormatFlagIsNonInterleaved;
  EXPECT_TRUE(converter.convert(bad, six.data(), 8).empty());
  bad = audio::floatFormat(44100.0, 2);
  bad.mFormatID = audio::fourCC("aac ");
  EXPECT_TRUE(converter.convert(bad, six.data(), 8).empty());
  bad = audio::floatFormat(0.0, 2);
  EXPECT_TRUE(converter.convert(bad, six.data(), 8).empty());
  bad = audio::floatFormat(44100.0, 2);
  bad.mBytesPerFrame = 3;  // inconsistent with the sample size
  EXPECT_TRUE(converter.convert(bad, six.data(), 8).empty());
  EXPECT_TRUE(AudioFormatConverter::isEncoderFormat(audio::kEncoderInputFormat));
  EXPECT_FALSE(AudioFormatConverter::isEncoderFormat(audio::floatFormat(48000.0, 2)));
}

TEST(AudioFormatConverterTest, RatesASoundServerCannotDeliverAreRefusedAndOthersStayBounded) {
  // A 4,096-frame buffer, as a server hands them.
  const std::vector<float> buffer(4096 * 2, 0.25f);
  const std::size_t length = buffer.size() * sizeof(float);
  struct Case {
    double rate;
    std::size_t frames;  // output frames of the first buffer, 0 for refused
  };
  const Case cases[] = {
      {1.0, 0},
      {7999.0, 0},
      {384001.0, 0},
      {1e9, 0},
      {std::numeric_limits<double>::quiet_NaN(), 0},
      {std::numeric_limits<double>::infinity(), 0},
      {8000.0, 22574},  // frames 0 to 4095 at steps of 8000 / 44100
      {384000.0, 471},
  };
  for (const Case& c : cases) {
    AudioFormatConverter converter;
    EXPECT_EQ(AudioFormatConverter::isReadable(audio::floatFormat(c.rate, 2)), c.frames != 0)
        << c.rate;
    const auto out = converter.convert(audio::floatFormat(c.rate, 2), buffer.data(), length);
    EXPECT_NEAR(static_cast<double>(out.size() / 2), static_cast<double>(c.frames), 1.0) << c.rate;
  }
}

}  // namespace
}  // namespace corvane
