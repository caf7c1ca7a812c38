#include "platform/video/pixel_buffer_pool.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <set>
#include <thread>
#include <vector>

#include "platform/video/surface.h"

namespace corvane::platform::video {
namespace {

PixelBufferPoolRef makePool(int count, int width = 1920, int height = 1080,
                            OSType format = kPixelFormat420YpCbCr8BiPlanarVideoRange) {
  PixelBufferPoolRef pool;
  EXPECT_EQ(PixelBufferPool::create({width, height, format, count}, &pool), kReturnSuccess);
  return pool;
}

// The first byte of a buffer's memory: two buffers with the same one share their memory.
const std::uint8_t* memoryOf(const PixelBufferRef& buffer) {
  buffer->lockBaseAddress(kLockReadOnly);
  const std::uint8_t* base = buffer->baseAddressOfPlane(0);
  buffer->unlockBaseAddress(kLockReadOnly);
  return base;
}

TEST(PixelBufferPool, AReleasedBufferIsHandedOutAgainWithItsMemoryAndPicture) {
  auto pool = makePool(2);
  PixelBufferRef first;
  ASSERT_EQ(pool->createPixelBuffer(&first), kReturnSuccess);
  EXPECT_EQ(first->width(), 1920);
  EXPECT_EQ(first->height(), 1080);
  EXPECT_EQ(first->pixelFormatType(), kPixelFormat420YpCbCr8BiPlanarVideoRange);
  first->lockBaseAddress(0);
  first->baseAddressOfPlane(1)[7] = 0x5a;
  std::uint8_t* base = first->baseAddressOfPlane(0);
  first->unlockBaseAddress(0);
  first.reset();
  EXPECT_EQ(pool->buffersFree(), 1);

  for (int round = 0; round < 20; ++round) {
    PixelBufferRef again;
    ASSERT_EQ(pool->createPixelBuffer(&again), kReturnSuccess);
    EXPECT_FALSE(again->isLocked()) << "a reused buffer starts unlocked";
    EXPECT_EQ(memoryOf(again), base);
    again->lockBaseAddress(kLockReadOnly);
    EXPECT_EQ(again->baseAddressOfPlane(1)[7], 0x5a) << "the memory is reused, not cleared";
    again->unlockBaseAddress(kLockReadOnly);
  }
  EXPECT_EQ(pool->buffersAllocated(), 1) << "one frame at a time needs one buffer";
}

TEST(PixelBufferPool, KeepsToItsBoundAndGivesRoomBackWhenABufferGoes) {
  auto pool = makePool(3);
  std::vector<PixelBufferRef> held(3);
  for (auto& buffer : held) ASSERT_EQ(pool->createPixelBuffer(&buffer), kReturnSuccess);
  PixelBufferRef extra;
  EXPECT_EQ(pool->createPixelBuffer(&extra), kReturnWouldExceedAllocationThreshold);
  EXPECT_EQ(extra, nullptr);
  EXPECT_EQ(pool->buffersInUse(), 3);
  held[1].reset();
  EXPECT_EQ(pool->createPixelBuffer(&extra), kReturnSuccess);
  EXPECT_EQ(pool->buffersAllocated(), 3);
  pool->flush();  // nothing is free: nothing changes
  EXPECT_EQ(pool->buffersInUse(), 3);
  held.clear();
  extra.reset();
  EXPECT_EQ(pool->buffersFree(), 3);
  pool->flush();
  EXPECT_EQ(pool->buffersFree(), 0);
}

TEST(PixelBufferPool, ABufferStillHeldIsNeverHandedOutAgain) {
  // A queue of frames on its way to a consumer, as the raw-video queue holds them: the pool
  // must give out other memory while they wait, and theirs only once the consumer let go.
  auto pool = makePool(4, 640, 360);
  std::deque<PixelBufferRef> queue;
  std::set<const std::uint8_t*> waiting;
  for (int frame = 0; frame < 200; ++frame) {
    PixelBufferRef buffer;
    ASSERT_EQ(pool->createPixelBuffer(&buffer), kReturnSuccess) << frame;
    const std::uint8_t* memory = memoryOf(buffer);
    EXPECT_EQ(waiting.count(memory), 0u) << "frame " << frame << " got memory still queued";
    waiting.insert(memory);
    queue.push_back(std::move(buffer));
    // The consumer takes a frame now and then, so the queue is often full.
    if (queue.size() == 4 || frame % 3 == 0) {
      waiting.erase(memoryOf(queue.front()));
      queue.pop_front();
    }
  }
  EXPECT_LE(pool->buffersAllocated(), 4);
}

TEST(PixelBufferPool, BuffersReleasedOnOtherThreadsAndAfterThePoolWentAreSafe) {
  auto pool = makePool(4, 320, 240, kPixelFormat420YpCbCr8Planar);
  std::vector<PixelBufferRef> out(4);
  for (auto& buffer : out) ASSERT_EQ(pool->createPixelBuffer(&buffer), kReturnSuccess);
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&pool, buffer = std::move(out[static_cast<std::size_t>(t)])]() mutable {
      for (int i = 0; i < 500; ++i) {
        buffer.reset();
        // Another thread may have taken the free one: then this one waits its turn.
        while (pool->createPixelBuffer(&buffer) != kReturnSuccess) std::this_thread::yield();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_LE(pool->buffersAllocated(), 4);
  pool.reset();  // two buffers are still out (AddressSanitizer sees them freed later)
  out[2]->lockBaseAddress(0);
  out[2]->baseAddressOfPlane(2)[0] = 1;
  out[2]->unlockBaseAddress(0);
  out.clear();
}

TEST(PixelBufferPool, MakesItsMinimumUpFrontAndNeverMoreThanItsMaximum) {
  PixelBufferPoolRef pool;
  ASSERT_EQ(PixelBufferPool::create({64, 32, kPixelFormat32BGRA, 3, 2}, &pool), kReturnSuccess);
  EXPECT_EQ(pool->buffersAllocated(), 2);
  EXPECT_EQ(pool->buffersFree(), 2);
  std::vector<PixelBufferRef> held(3);
  for (auto& buffer : held) ASSERT_EQ(pool->createPixelBuffer(&buffer), kReturnSuccess);
  EXPECT_EQ(pool->buffersAllocated(), 3);
  ASSERT_EQ(PixelBufferPool::create({64, 32, kPixelFormat32BGRA, 2, 9}, &pool), kReturnSuccess);
  EXPECT_EQ(pool->buffersAllocated(), 2) << "a minimum above the maximum is cut to it";
}

TEST(PixelBufferPool, RefusesBadAttributes) {
  PixelBufferPoolRef pool;
  EXPECT_EQ(PixelBufferPool::create({0, 10, kPixelFormat32BGRA, 2}, &pool), kReturnInvalidSize);
  EXPECT_EQ(PixelBufferPool::create({10, 10, fourCC("abcd"), 2}, &pool), kReturnInvalidPixelFormat);
  EXPECT_EQ(PixelBufferPool::create({10, 10, kPixelFormat32BGRA, 0}, &pool),
            kReturnInvalidArgument);
  EXPECT_EQ(pool, nullptr);
  EXPECT_EQ(PixelBufferPool::create({10, 10, kPixelFormat32BGRA, 2}, nullptr),
            kReturnInvalidArgument);
}

TEST(PixelBufferPool, SurfacesOfAPoolReturnTheirMemoryWhenTheLastWrappingBufferGoes) {
  auto pool = makePool(1, 64, 32);
  int released = 0;
  SurfaceRef surface;
  ASSERT_EQ(Surface::create(
                pool, [&released] { ++released; }, &surface),
            kReturnSuccess);
  EXPECT_EQ(surface->width(), 64);
  EXPECT_EQ(surface->pixelFormat(), kPixelFormat420YpCbCr8BiPlanarVideoRange);
  PixelBufferRef wrapping;
  ASSERT_EQ(createPixelBufferWithSurface(surface, &wrapping), kReturnSuccess);
  surface.reset();
  SurfaceRef second;
  EXPECT_EQ(Surface::create(pool, nullptr, &second), kReturnWouldExceedAllocationThreshold)
      << "the buffer that wraps the surface keeps its memory out";
  EXPECT_EQ(released, 0);
  wrapping.reset();
  EXPECT_EQ(released, 1);
  EXPECT_EQ(Surface::create(pool, nullptr, &second), kReturnSuccess);
}

}  // namespace
}  // namespace corvane::platform::video
