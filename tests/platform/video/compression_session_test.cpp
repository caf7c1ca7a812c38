#include "platform/video/compression_session.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

namespace corvane::platform::video {
namespace {

PixelBufferRef grey(int width, int height, std::uint8_t level) {
  PixelBufferRef buffer;
  PixelBuffer::create(width, height, kPixelFormat32BGRA, &buffer);
  buffer->lockBaseAddress(0);
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = buffer->baseAddress() + static_cast<std::size_t>(y) * buffer->bytesPerRow();
    for (int x = 0; x < width * 4; ++x) row[x] = static_cast<std::uint8_t>(level + x % 7);
  }
  buffer->unlockBaseAddress(0);
  return buffer;
}

struct Outputs {
  std::mutex mutex;
  std::vector<std::shared_ptr<const EncodedSample>> samples;
  std::vector<int> statuses;
  bool onSessionQueue = true;

  CompressionOutputHandler handler() {
    return [this](int status, const std::shared_ptr<const EncodedSample>& sample) {
      std::lock_guard<std::mutex> lock(mutex);
      statuses.push_back(status);
      if (sample) samples.push_back(sample);
      onSessionQueue = onSessionQueue && dispatch::Queue::currentLabel() == "compression_session";
    };
  }
};

TEST(CompressionSession, RefusesBadArguments) {
  Outputs outputs;
  std::shared_ptr<CompressionSession> session;
  struct Case {
    const char* what;
    int width, height;
    OSType codec;
  };
  for (const Case& c : {Case{"odd width", 641, 360, kVideoCodecTypeH264},
                        Case{"tiny", 8, 8, kVideoCodecTypeH264},
                        Case{"negative", -64, 64, kVideoCodecTypeH264},
                        Case{"other codec", 640, 360, fourCC("hvc1")}}) {
    EXPECT_EQ(CompressionSession::create(c.width, c.height, c.codec, {}, {}, outputs.handler(),
                                         &session),
              kCompressionErrorParameter)
        << c.what;
    EXPECT_EQ(session, nullptr);
  }
  EXPECT_EQ(CompressionSession::create(64, 64, kVideoCodecTypeH264, {}, {}, nullptr, &session),
            kCompressionErrorParameter);
}

TEST(CompressionSession, ChecksPropertyKindsAndFreezesThemAtTheFirstFrame) {
  Outputs outputs;
  std::shared_ptr<CompressionSession> session;
  ASSERT_EQ(CompressionSession::create(64, 64, kVideoCodecTypeH264, {}, {}, outputs.handler(),
                                       &session),
            kReturnSuccess);
  struct Case {
    const char* key;
    CompressionPropertyValue value;
    int status;
  };
  const Case cases[] = {
      {kCompressionPropertyRealTime, true, kReturnSuccess},
      {kCompressionPropertyRealTime, std::int64_t{1}, kCompressionErrorParameter},
      {kCompressionPropertyExpectedFrameRate, 23.5, kReturnSuccess},
      {kCompressionPropertyExpectedFrameRate, std::string("23"), kCompressionErrorParameter},
      {kCompressionPropertyDataRateLimits, std::vector<double>{1000, 1}, kReturnSuccess},
      {kCompressionPropertyDataRateLimits, std::vector<double>{1000}, kCompressionErrorParameter},
      {kCompressionPropertyProfileLevel, std::string("H264_High_AutoLevel"), kReturnSuccess},
      {kCompressionPropertyProfileLevel, std::string("Ultra"), kCompressionErrorParameter},
      {"NoSuchProperty", true, kCompressionErrorPropertyNotSupported},
  };
  for (const Case& c : cases) EXPECT_EQ(session->setProperty(c.key, c.value), c.status) << c.key;
  ASSERT_EQ(session->encodeFrame(grey(64, 64, 50), MediaTime{1, 1000}, {}, {}), kReturnSuccess);
  EXPECT_EQ(session->setProperty(kCompressionPropertyRealTime, false),
            kCompressionErrorPropertyNotSupported);
  EXPECT_EQ(session->encodeFrame(nullptr, MediaTime{2, 1000}, {}, {}), kCompressionErrorParameter);
  session->completeFrames();
  session->invalidate();
  EXPECT_EQ(session->encodeFrame(grey(64, 64, 50), MediaTime{3, 1000}, {}, {}),
            kCompressionErrorInvalidSession);
}

TEST(CompressionSession, EmitsLengthPrefixedFramesWithParameterSetsOnItsQueue) {
  Outputs outputs;
  std::shared_ptr<CompressionSession> session;
  ASSERT_EQ(CompressionSession::create(128, 96, kVideoCodecTypeH264, {}, {}, outputs.handler(),
                                       &session),
            kReturnSuccess);
  session->setProperty(kCompressionPropertyMaxFrameDelayCount, std::int64_t{1});
  session->setProperty(kCompressionPropertyAllowFrameReordering, false);
  for (int i = 0; i < 6; ++i) {
    // Scaled from a larger source, and a key frame forced at frame 3.
    session->encodeFrame(grey(256, 192, static_cast<std::uint8_t>(i * 20)),
                         MediaTime{1000 + 40 * i, 1000}, {}, FrameOptions{i == 3});
  }
  session->completeFrames();
  std::lock_guard<std::mutex> lock(outputs.mutex);
  EXPECT_TRUE(outputs.onSessionQueue);
  ASSERT_EQ(outputs.samples.size(), 6u) << "one frame out per frame in (no delay)";
  for (std::size_t i = 0; i < outputs.samples.size(); ++i) {
    const EncodedSample& sample = *outputs.samples[i];
    EXPECT_EQ(sample.presentationTime.value, 1000 + 40 * static_cast<std::int64_t>(i));
    EXPECT_EQ(sample.isKeyFrame, i == 0 || i == 3) << i;
    ASSERT_FALSE(sample.sequenceParameterSet.empty());
    EXPECT_EQ(sample.sequenceParameterSet[0] & 0x1f, 7);
    EXPECT_EQ(sample.pictureParameterSet[0] & 0x1f, 8);
    // Walk the length prefixes: they cover the data exactly, and no unit is a parameter set.
    std::size_t offset = 0;
    while (offset + 4 <= sample.data.size()) {
      const std::size_t length = (std::size_t{sample.data[offset]} << 24) |
                                 (std::size_t{sample.data[offset + 1]} << 16) |
                                 (std::size_t{sample.data[offset + 2]} << 8) |
                                 sample.data[offset + 3];
      ASSERT_GT(length, 0u);
      ASSERT_LE(offset + 4 + length, sample.data.size());
      const int type = sample.data[offset + 4] & 0x1f;
      EXPECT_NE(type, 7);
      EXPECT_NE(type, 8);
      offset += 4 + length;
    }
    EXPECT_EQ(offset, sample.data.size());
  }
}

}  // namespace
}  // namespace corvane::platform::video
