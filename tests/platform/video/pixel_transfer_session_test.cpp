#include "platform/video/pixel_transfer_session.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace corvane::platform::video {
namespace {

// Fills a buffer with one flat colour, given as Y'CbCr for the 4:2:0 formats and BGRA bytes
// for BGRA.
PixelBufferRef flat(int width, int height, OSType format, std::uint8_t a, std::uint8_t b,
                    std::uint8_t c, std::uint8_t d = 255) {
  PixelBufferRef buffer;
  if (PixelBuffer::create(width, height, format, &buffer) != kReturnSuccess) return nullptr;
  buffer->lockBaseAddress(0);
  if (format == kPixelFormat32BGRA) {
    for (int y = 0; y < height; ++y) {
      std::uint8_t* row =
          buffer->baseAddress() + static_cast<std::size_t>(y) * buffer->bytesPerRow();
      for (int x = 0; x < width; ++x) {
        row[4 * x] = a;
        row[4 * x + 1] = b;
        row[4 * x + 2] = c;
        row[4 * x + 3] = d;
      }
    }
  } else {
    const std::uint8_t values[] = {a, b, c};
    for (std::size_t plane = 0; plane < buffer->planeCount(); ++plane) {
      const bool interleaved = format == kPixelFormat420YpCbCr8BiPlanarVideoRange && plane == 1;
      for (int y = 0; y < buffer->heightOfPlane(plane); ++y) {
        std::uint8_t* row = buffer->baseAddressOfPlane(plane) +
                            static_cast<std::size_t>(y) * buffer->bytesPerRowOfPlane(plane);
        for (int x = 0; x < buffer->widthOfPlane(plane); ++x) {
          if (interleaved) {
            row[2 * x] = b;
            row[2 * x + 1] = c;
          } else {
            row[x] = values[plane];
          }
        }
      }
    }
  }
  buffer->unlockBaseAddress(0);
  return buffer;
}

// Every sample of each plane of an I420 buffer is within 2 of the expected value.
void expectFlatI420(const PixelBufferRef& buffer, int y, int cb, int cr) {
  ASSERT_EQ(buffer->lockBaseAddress(kLockReadOnly), kReturnSuccess);
  const int expected[] = {y, cb, cr};
  for (std::size_t plane = 0; plane < 3; ++plane) {
    int worst = 0;
    for (int row = 0; row < buffer->heightOfPlane(plane); ++row) {
      const std::uint8_t* p = buffer->baseAddressOfPlane(plane) +
                              static_cast<std::size_t>(row) * buffer->bytesPerRowOfPlane(plane);
      for (int x = 0; x < buffer->widthOfPlane(plane); ++x) {
        worst = std::max(worst, std::abs(p[x] - expected[plane]));
      }
    }
    EXPECT_LE(worst, 2) << "plane " << plane;
  }
  buffer->unlockBaseAddress(kLockReadOnly);
  EXPECT_FALSE(buffer->isLocked());
}

TEST(PixelTransferSessionTest, ScalesAndConvertsEverySourceFormatIntoI420) {
  struct Case {
    const char* name;
    PixelBufferRef source;
    int width, height;
    int y, cb, cr;
  };
  // BGRA (B=40, G=200, R=100) is Y'CbCr about (146, 72, 95) in BT.601 video range.
  const Case cases[] = {
      {"NV12 same size", flat(1920, 1080, kPixelFormat420YpCbCr8BiPlanarVideoRange, 81, 90, 240),
       1920, 1080, 81, 90, 240},
      {"NV12 down", flat(2880, 1800, kPixelFormat420YpCbCr8BiPlanarVideoRange, 81, 90, 240), 1920,
       1072, 81, 90, 240},
      {"NV12 odd size", flat(1366, 767, kPixelFormat420YpCbCr8BiPlanarVideoRange, 50, 60, 70), 1360,
       768, 50, 60, 70},
      {"I420 same size", flat(640, 480, kPixelFormat420YpCbCr8Planar, 16, 128, 128), 640, 480, 16,
       128, 128},
      {"I420 up", flat(320, 240, kPixelFormat420YpCbCr8Planar, 235, 20, 30), 640, 480, 235, 20, 30},
      {"BGRA same size", flat(64, 48, kPixelFormat32BGRA, 40, 200, 100), 64, 48, 146, 72, 95},
      {"BGRA down", flat(128, 96, kPixelFormat32BGRA, 40, 200, 100), 64, 48, 146, 72, 95},
  };
  auto session = PixelTransferSession::create();
  session->setScalingMode(kPixelTransferScalingModeNormal);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NE(c.source, nullptr);
    PixelBufferRef destination;
    ASSERT_EQ(PixelBuffer::create(c.width, c.height, kPixelFormat420YpCbCr8Planar, &destination),
              kReturnSuccess);
    ASSERT_EQ(session->transferImage(c.source, destination), kReturnSuccess);
    EXPECT_FALSE(c.source->isLocked());
    expectFlatI420(destination, c.y, c.cb, c.cr);
  }
}

TEST(PixelTransferSessionTest, ScalingKeepsWhereThingsAre) {
  // Left half dark, right half bright: after scaling the halves stay on their sides.
  PixelBufferRef source = flat(400, 200, kPixelFormat420YpCbCr8BiPlanarVideoRange, 16, 128, 128);
  source->lockBaseAddress(0);
  for (int y = 0; y < 200; ++y) {
    std::uint8_t* row =
        source->baseAddressOfPlane(0) + static_cast<std::size_t>(y) * source->bytesPerRowOfPlane(0);
    for (int x = 200; x < 400; ++x) row[x] = 235;
  }
  source->unlockBaseAddress(0);
  PixelBufferRef destination;
  ASSERT_EQ(PixelBuffer::create(160, 96, kPixelFormat420YpCbCr8Planar, &destination),
            kReturnSuccess);
  ASSERT_EQ(PixelTransferSession::create()->transferImage(source, destination), kReturnSuccess);
  destination->lockBaseAddress(kLockReadOnly);
  const std::uint8_t* row =
      destination->baseAddressOfPlane(0) + 50 * destination->bytesPerRowOfPlane(0);
  EXPECT_LE(row[10], 20);
  EXPECT_LE(row[75], 20);
  EXPECT_GE(row[85], 230);
  EXPECT_GE(row[150], 230);
  destination->unlockBaseAddress(kLockReadOnly);
}

TEST(PixelTransferSessionTest, RefusesWhatItCannotDo) {
  auto session = PixelTransferSession::create();
  PixelBufferRef nv12 = flat(64, 64, kPixelFormat420YpCbCr8BiPlanarVideoRange, 1, 2, 3);
  PixelBufferRef i420;
  ASSERT_EQ(PixelBuffer::create(64, 64, kPixelFormat420YpCbCr8Planar, &i420), kReturnSuccess);
  EXPECT_EQ(session->transferImage(nullptr, i420), kReturnInvalidArgument);
  EXPECT_EQ(session->transferImage(nv12, nullptr), kReturnInvalidArgument);
  EXPECT_EQ(session->transferImage(i420, nv12), kReturnInvalidPixelFormat)
      << "only planar 4:2:0 destinations";
  EXPECT_EQ(session->transferImage(i420, i420), kReturnInvalidArgument);
  session->setScalingMode("Letterbox");
  EXPECT_EQ(session->transferImage(nv12, i420), kReturnInvalidArgument);
  session->setScalingMode(kPixelTransferScalingModeNormal);
  EXPECT_EQ(session->transferImage(nv12, i420), kReturnSuccess);
  session->invalidate();
  EXPECT_EQ(session->transferImage(nv12, i420), kReturnInvalidSession);
  EXPECT_FALSE(nv12->isLocked());
  EXPECT_FALSE(i420->isLocked());
}

}  // namespace
}  // namespace corvane::platform::video
