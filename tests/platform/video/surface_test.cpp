#include "platform/video/surface.h"

#include <gtest/gtest.h>

namespace corvane::platform::video {
namespace {

TEST(Surface, WrappingBufferKeepsTheSurfaceInUseUntilItGoes) {
  bool released = false;
  SurfaceRef surface;
  ASSERT_EQ(Surface::create(64, 32, kPixelFormat420YpCbCr8BiPlanarVideoRange,
                            [&released] { released = true; }, &surface),
            kReturnSuccess);
  EXPECT_EQ(surface->planeCount(), 2u);
  surface->baseAddressOfPlane(0)[0] = 77;
  PixelBufferRef buffer;
  ASSERT_EQ(createPixelBufferWithSurface(surface, &buffer), kReturnSuccess);
  EXPECT_TRUE(surface->isInUse());
  EXPECT_EQ(buffer->width(), 64);
  EXPECT_EQ(buffer->pixelFormatType(), kPixelFormat420YpCbCr8BiPlanarVideoRange);
  buffer->lockBaseAddress(kLockReadOnly);
  EXPECT_EQ(buffer->baseAddressOfPlane(0), surface->baseAddressOfPlane(0)) << "no copy";
  EXPECT_EQ(buffer->baseAddressOfPlane(0)[0], 77);
  buffer->unlockBaseAddress(kLockReadOnly);
  surface.reset();
  EXPECT_FALSE(released) << "the buffer keeps its surface";
  buffer.reset();
  EXPECT_TRUE(released);
}

TEST(Surface, RefusesBadArguments) {
  SurfaceRef surface;
  EXPECT_NE(Surface::create(0, 10, kPixelFormat32BGRA, nullptr, &surface), kReturnSuccess);
  EXPECT_EQ(surface, nullptr);
  EXPECT_NE(Surface::create(10, 10, fourCC("abcd"), nullptr, &surface), kReturnSuccess);
  PixelBufferRef buffer;
  EXPECT_EQ(createPixelBufferWithSurface(nullptr, &buffer), kReturnInvalidArgument);
  ASSERT_EQ(Surface::create(8, 8, kPixelFormat32BGRA, nullptr, &surface), kReturnSuccess);
  EXPECT_EQ(surface->planeCount(), 1u) << "the one plane of a 32-bit surface";
  EXPECT_EQ(createPixelBufferWithSurface(surface, nullptr), kReturnInvalidArgument);
  EXPECT_FALSE(surface->isInUse());
}

}  // namespace
}  // namespace corvane::platform::video
