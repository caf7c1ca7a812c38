#include "platform/video/pixel_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace corvane::platform::video {
namespace {

TEST(PixelBufferTest, PlanesOfEachFormatAreAlignedAndSizedForTheImage) {
  struct Case {
    OSType format;
    std::size_t planeCount;  // as reported: 0 for the non-planar BGRA
    std::vector<int> planeWidths, planeHeights;
    std::vector<std::size_t> minRowBytes;
  };
  const Case cases[] = {
      {kPixelFormat420YpCbCr8BiPlanarVideoRange, 2, {1366, 683}, {767, 384}, {1366, 1366}},
      {kPixelFormat420YpCbCr8Planar, 3, {1366, 683, 683}, {767, 384, 384}, {1366, 683, 683}},
      {kPixelFormat32BGRA, 0, {1366}, {767}, {1366 * 4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    PixelBufferRef buffer;
    ASSERT_EQ(PixelBuffer::create(1366, 767, c.format, &buffer), kReturnSuccess);
    EXPECT_EQ(buffer->width(), 1366);
    EXPECT_EQ(buffer->height(), 767);
    EXPECT_EQ(buffer->pixelFormatType(), c.format);
    EXPECT_EQ(buffer->planeCount(), c.planeCount);
    ASSERT_EQ(buffer->lockBaseAddress(0), kReturnSuccess);
    const std::uint8_t* end = nullptr;
    for (std::size_t i = 0; i < c.planeWidths.size(); ++i) {
      EXPECT_EQ(buffer->widthOfPlane(i), c.planeWidths[i]);
      EXPECT_EQ(buffer->heightOfPlane(i), c.planeHeights[i]);
      EXPECT_GE(buffer->bytesPerRowOfPlane(i), c.minRowBytes[i]);
      EXPECT_EQ(buffer->bytesPerRowOfPlane(i) % 64, 0u);
      std::uint8_t* base = buffer->baseAddressOfPlane(i);
      ASSERT_NE(base, nullptr);
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(base) % 64, 0u);
      if (end != nullptr) {
        EXPECT_GE(base, end) << "planes do not overlap";
      }
      const std::size_t planeBytes =
          buffer->bytesPerRowOfPlane(i) * static_cast<std::size_t>(buffer->heightOfPlane(i));
      end = base + planeBytes;
      // Every byte of the plane is writable (AddressSanitizer checks the bounds).
      base[planeBytes - 1] = 0x5a;
    }
    EXPECT_EQ(buffer->baseAddressOfPlane(c.planeWidths.size()), nullptr);
    EXPECT_EQ(buffer->unlockBaseAddress(0), kReturnSuccess);
  }
}

TEST(PixelBufferTest, AddressesAreHandedOutOnlyWhileLocked) {
  PixelBufferRef buffer;
  ASSERT_EQ(PixelBuffer::create(64, 32, kPixelFormat420YpCbCr8Planar, &buffer), kReturnSuccess);
  EXPECT_FALSE(buffer->isLocked());
  EXPECT_EQ(buffer->baseAddressOfPlane(0), nullptr);
  EXPECT_EQ(buffer->unlockBaseAddress(kLockReadOnly), kReturnNotLocked);
  ASSERT_EQ(buffer->lockBaseAddress(kLockReadOnly), kReturnSuccess);
  ASSERT_EQ(buffer->lockBaseAddress(kLockReadOnly), kReturnSuccess);
  EXPECT_NE(buffer->baseAddressOfPlane(2), nullptr);
  EXPECT_EQ(buffer->unlockBaseAddress(0), kReturnNotLocked) << "flags must match the lock";
  EXPECT_EQ(buffer->unlockBaseAddress(kLockReadOnly), kReturnSuccess);
  EXPECT_TRUE(buffer->isLocked());
  EXPECT_EQ(buffer->unlockBaseAddress(kLockReadOnly), kReturnSuccess);
  EXPECT_FALSE(buffer->isLocked());
  EXPECT_EQ(buffer->baseAddressOfPlane(0), nullptr);
  EXPECT_EQ(buffer->lockBaseAddress(0x80), kReturnInvalidArgument);
}

TEST(PixelBufferTest, BadSizesAndFormatsAreRefused) {
  struct Case {
    int width, height;
    OSType format;
    int expected;
  };
  for (const Case& c :
       {Case{0, 10, kPixelFormat32BGRA, kReturnInvalidSize},
        Case{10, -1, kPixelFormat32BGRA, kReturnInvalidSize},
        Case{PixelBuffer::kMaxDimension + 1, 10, kPixelFormat32BGRA, kReturnInvalidSize},
        Case{16, 16, fourCC("abcd"), kReturnInvalidPixelFormat}}) {
    PixelBufferRef buffer;
    EXPECT_EQ(PixelBuffer::create(c.width, c.height, c.format, &buffer), c.expected);
    EXPECT_EQ(buffer, nullptr);
  }
  EXPECT_EQ(PixelBuffer::create(16, 16, kPixelFormat32BGRA, nullptr), kReturnInvalidArgument);
}

TEST(PixelBufferTest, WrappedMemoryIsReleasedOnceWhenTheBufferGoes) {
  std::vector<std::uint8_t> luma(40 * 20), chroma(40 * 10);
  int released = 0;
  PixelBufferRef buffer;
  ASSERT_EQ(PixelBuffer::createWithPlanes(
                40, 20, kPixelFormat420YpCbCr8BiPlanarVideoRange,
                {{luma.data(), 40}, {chroma.data(), 40}}, [&] { ++released; }, &buffer),
            kReturnSuccess);
  buffer->lockBaseAddress(kLockReadOnly);
  EXPECT_EQ(buffer->baseAddressOfPlane(1), chroma.data());
  EXPECT_EQ(buffer->bytesPerRowOfPlane(0), 40u);
  buffer->unlockBaseAddress(kLockReadOnly);
  buffer.reset();
  EXPECT_EQ(released, 1);

  // A stride shorter than a row, or the wrong number of planes, makes no buffer and keeps
  // the release duty with the caller.
  EXPECT_EQ(PixelBuffer::createWithPlanes(
                40, 20, kPixelFormat420YpCbCr8BiPlanarVideoRange,
                {{luma.data(), 39}, {chroma.data(), 40}}, [&] { ++released; }, &buffer),
            kReturnInvalidArgument);
  EXPECT_EQ(
      PixelBuffer::createWithPlanes(
          40, 20, kPixelFormat420YpCbCr8Planar, {{luma.data(), 40}}, [&] { ++released; }, &buffer),
      kReturnInvalidArgument);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(released, 1);
}

// A buffer made and released for every frame (as the encoder's scaled picture is) gets the
// memory of the one before back, so a running stream maps no new pages; a buffer still held,
// or one of another size or format, never shares memory with another.
TEST(PixelBufferTest, CreationRecyclesTheMemoryOfAReleasedBufferOfTheSameShape) {
  auto baseOf = [](const PixelBufferRef& buffer) {
    buffer->lockBaseAddress(kLockReadOnly);
    const std::uint8_t* base = buffer->baseAddressOfPlane(0);
    buffer->unlockBaseAddress(kLockReadOnly);
    return base;
  };
  PixelBufferRef frame;
  ASSERT_EQ(PixelBuffer::create(1920, 1072, kPixelFormat420YpCbCr8Planar, &frame), kReturnSuccess);
  const std::uint8_t* first = baseOf(frame);
  frame.reset();
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(PixelBuffer::create(1920, 1072, kPixelFormat420YpCbCr8Planar, &frame),
              kReturnSuccess);
    EXPECT_EQ(baseOf(frame), first) << "round " << i;
    EXPECT_FALSE(frame->isLocked());
    frame.reset();
  }
  PixelBufferRef held;
  PixelBufferRef other;
  ASSERT_EQ(PixelBuffer::create(1920, 1072, kPixelFormat420YpCbCr8Planar, &held), kReturnSuccess);
  ASSERT_EQ(PixelBuffer::create(1920, 1072, kPixelFormat420YpCbCr8Planar, &other), kReturnSuccess);
  EXPECT_NE(baseOf(other), baseOf(held)) << "memory still held is not handed out";
  const std::uint8_t* released = baseOf(other);
  other.reset();
  PixelBufferRef otherShape;
  ASSERT_EQ(PixelBuffer::create(1920, 1080, kPixelFormat420YpCbCr8Planar, &otherShape),
            kReturnSuccess);
  EXPECT_NE(baseOf(otherShape), released) << "another size gets memory of its own";
  EXPECT_EQ(otherShape->heightOfPlane(2), 540);
}

}  // namespace
}  // namespace corvane::platform::video

namespace corvane::platform::video {
namespace {

long residentKb() {
  std::ifstream in("/proc/self/status");
  std::string key;
  while (in >> key) {
    if (key == "VmRSS:") {
      long kb = 0;
      in >> kb;
      return kb;
    }
    in.ignore(4096, '\n');
  }
  return 0;
}

// Frames are made and dropped on many threads; their memory must go back when they go, also
// after the heap allocator has raised its threshold for own mappings (which a large block
// freed anywhere in the process does).
TEST(PixelBufferMemory, FramesMadeOnManyThreadsAreReturnedWhenReleased) {
  {
    std::vector<std::uint8_t> big(24u << 20, 1);  // allocated and freed: the threshold rises
  }
  const long before = residentKb();
  std::vector<std::thread> threads;
  threads.reserve(8);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([] {
      for (int round = 0; round < 3; ++round) {
        std::shared_ptr<PixelBuffer> frame;
        ASSERT_EQ(PixelBuffer::create(1920, 1080, kPixelFormat32BGRA, &frame), kReturnSuccess);
        ASSERT_EQ(frame->lockBaseAddress(0), kReturnSuccess);
        ASSERT_NE(frame->baseAddress(), nullptr);
        std::memset(frame->baseAddress(), round,
                    frame->bytesPerRow() * static_cast<std::size_t>(frame->height()));
        frame->unlockBaseAddress(0);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  // Eight threads each held an 8 MB frame at a time: kept by the heap, that is 64 MB more.
  EXPECT_LT(residentKb() - before, 16 * 1024);
}

}  // namespace
}  // namespace corvane::platform::video
