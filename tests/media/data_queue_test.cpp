#include "media/data_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "media/sw_base_encoder.h"
#include "platform/video/pixel_buffer_pool.h"
#include "support/wall_clock_shift.h"

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;
using Queue = DataQueue<int>;

std::shared_ptr<int> item(int value) { return std::make_shared<int>(value); }

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The outcome of a call made on another thread, with a bounded wait for it.
template <typename T>
class Outcome {
 public:
  void set(T value) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      value_ = std::move(value);
      when_ = Clock::now();
    }
    cv_.notify_all();
  }
  bool waitFor(double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(seconds),
                        [&] { return value_.has_value(); });
  }
  T value() {
    std::lock_guard<std::mutex> lock(mutex_);
    return *value_;
  }
  Clock::time_point when() {
    std::lock_guard<std::mutex> lock(mutex_);
    return when_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::optional<T> value_;
  Clock::time_point when_;
};

TEST(BaseArrayTest, KeepsArrivalOrderAndAnswersNilWhenEmpty) {
  BaseArray<int> array;
  EXPECT_EQ(array.take(), nullptr);
  for (int i = 1; i <= 4; ++i) EXPECT_TRUE(array.put(item(i)));
  EXPECT_EQ(array.count(), 4u);
  EXPECT_EQ(*array.elementAt(0), 1);
  EXPECT_EQ(*array.elementAt(3), 4);
  EXPECT_EQ(array.elementAt(4), nullptr);
  EXPECT_EQ(*array.take(), 1);
  EXPECT_EQ(*array.take(), 2);
  array.clear();
  EXPECT_EQ(array.count(), 0u);
  EXPECT_EQ(array.take(), nullptr);
}

TEST(DataQueueTest, FullQueueRefusesAfterOneSliceAndKeepsTheOldest) {
  auto queue = Queue::initWithCapacity(3);
  for (int i = 1; i <= 3; ++i) EXPECT_TRUE(queue->put(item(i), 0.0));
  auto refused = item(4);
  const auto start = Clock::now();
  EXPECT_FALSE(queue->put(refused, 0.0));
  const double elapsed = secondsSince(start);
  EXPECT_GE(elapsed, 0.0009);
  EXPECT_LT(elapsed, 0.1);
  EXPECT_EQ(refused.use_count(), 1) << "a refused item stays with the producer only";
  EXPECT_EQ(queue->count(), 3u);
  EXPECT_EQ(*queue->take(0.0), 1);
  EXPECT_EQ(*queue->take(0.0), 2);
  EXPECT_EQ(*queue->take(0.0), 3);
}

TEST(DataQueueTest, TakeOnEmptyQueueTimesOut) {
  auto queue = Queue::initWithCapacity(3);
  const auto start = Clock::now();
  EXPECT_EQ(queue->take(0.1), nullptr);
  const double elapsed = secondsSince(start);
  EXPECT_GE(elapsed, 0.1);
  EXPECT_LT(elapsed, 0.6);

  // A time-out that is not a number makes one attempt instead of waiting for ever.
  for (int i = 1; i <= 3; ++i) ASSERT_TRUE(queue->put(item(i), 0.0));
  const auto nanStart = Clock::now();
  EXPECT_FALSE(queue->put(item(4), std::nan("")));
  for (int i = 1; i <= 3; ++i) ASSERT_NE(queue->take(0.0), nullptr);
  EXPECT_EQ(queue->take(std::nan("")), nullptr);
  EXPECT_LT(secondsSince(nanStart), 0.1);
}

TEST(DataQueueTest, WallClockStepsNeitherStretchNorCutATimeOut) {
  // The wall clock steps at every reading: a time-out measured on it would end at the first
  // check (forward) or never (back).
  struct Case {
    const char* name;
    double drift;
  };
  test::WallClockShift clock;
  for (const Case& c :
       {Case{"forward 10 s at each reading", 10.0}, Case{"back 10 s at each reading", -10.0}}) {
    SCOPED_TRACE(c.name);
    auto queue = Queue::initWithCapacity(1);
    test::WallClockShift::setDriftPerReading(c.drift);
    // On another thread, so that a take that never times out can be released by an item.
    Outcome<double> empty;
    std::thread taker([&] {
      const auto start = Clock::now();
      auto got = queue->take(0.2);
      empty.set(got ? -1.0 : secondsSince(start));
    });
    const bool timedOut = empty.waitFor(5.0);
    if (!timedOut) queue->put(item(1), 0.0);
    taker.join();
    ASSERT_TRUE(timedOut) << "a take of 0.2 s was still waiting after 5 s";
    EXPECT_GE(empty.value(), 0.2);
    EXPECT_LT(empty.value(), 2.0);

    ASSERT_TRUE(queue->put(item(2), 0.0));
    const auto start = Clock::now();
    EXPECT_FALSE(queue->put(item(3), 0.2));
    EXPECT_GE(secondsSince(start), 0.2);
    test::WallClockShift::reset();
  }
}

TEST(DataQueueTest, BlockedCallsCompleteWhenTheOtherSideMoves) {
  auto queue = Queue::initWithCapacity(1);
  // A taker without time limit gets an item put later by another thread.
  Outcome<int> taken;
  std::thread taker([&] { taken.set(*queue->take()); });
  EXPECT_FALSE(taken.waitFor(0.02));
  EXPECT_TRUE(queue->put(item(7)));
  ASSERT_TRUE(taken.waitFor(5.0));
  EXPECT_EQ(taken.value(), 7);
  taker.join();

  // A putter on a full queue succeeds within its time-out once a place frees.
  ASSERT_TRUE(queue->put(item(8), 0.0));
  Outcome<bool> put;
  std::thread putter([&] { put.set(queue->put(item(9), 5.0)); });
  EXPECT_FALSE(put.waitFor(0.02));
  EXPECT_EQ(*queue->take(1.0), 8);
  ASSERT_TRUE(put.waitFor(5.0));
  EXPECT_TRUE(put.value());
  putter.join();
  EXPECT_EQ(*queue->take(1.0), 9);

  // A putter whose time-out passes gives up.
  ASSERT_TRUE(queue->put(item(10), 0.0));
  const auto start = Clock::now();
  EXPECT_FALSE(queue->put(item(11), 0.05));
  EXPECT_GE(secondsSince(start), 0.05);
}

TEST(DataQueueTest, StopRefusesAtOnceAndDestructionHandsEachItemToTheDestroyBlock) {
  std::map<int, int> destroyed;
  {
    auto queue = Queue::initWithCapacity(3);
    queue->setDestroyBlock([&](const Queue::Item& i) { ++destroyed[*i]; });
    for (int i = 1; i <= 2; ++i) ASSERT_TRUE(queue->put(item(i), 0.0));
    queue->stopBlocking();
    auto start = Clock::now();
    EXPECT_FALSE(queue->put(item(3)));
    EXPECT_EQ(queue->take(), nullptr);
    EXPECT_LT(secondsSince(start), 0.05);
    EXPECT_EQ(queue->count(), 2u);
    EXPECT_TRUE(destroyed.empty());
  }
  EXPECT_EQ(destroyed, (std::map<int, int>{{1, 1}, {2, 1}}));
}

TEST(DataQueueTest, StopReleasesABlockedPutAndABlockedTakeWithinAFewMilliseconds) {
  struct Case {
    const char* name;
    int stored;  // items in the queue of capacity 3 before the call blocks
    bool put;    // a put without time limit on the full queue, else a take on the empty one
  };
  for (const Case& c :
       {Case{"put on a full queue", 3, true}, Case{"take on an empty queue", 0, false}}) {
    SCOPED_TRACE(c.name);
    auto queue = Queue::initWithCapacity(3);
    for (int i = 1; i <= c.stored; ++i) ASSERT_TRUE(queue->put(item(i), 0.0));
    Outcome<bool> outcome;  // true: the call stored or returned an item
    std::thread caller(
        [&] { outcome.set(c.put ? queue->put(item(4)) : queue->take() != nullptr); });
    EXPECT_FALSE(outcome.waitFor(0.05)) << "the call must block";
    const auto stoppedAt = Clock::now();
    queue->stopBlocking();
    ASSERT_TRUE(outcome.waitFor(2.0));
    EXPECT_FALSE(outcome.value());
    EXPECT_LT(std::chrono::duration<double>(outcome.when() - stoppedAt).count(), 0.05);
    caller.join();
    EXPECT_EQ(queue->count(), static_cast<std::uint64_t>(c.stored));
  }
}

TEST(DataQueueTest, ClearEmptiesTheQueueAndRestoresItsCapacity) {
  struct Case {
    const char* name;
    bool withDestroyBlock;
  };
  for (const Case& c : {Case{"without destroy block", false}, Case{"with destroy block", true}}) {
    SCOPED_TRACE(c.name);
    std::vector<int> destroyed;
    auto queue = Queue::initWithCapacity(3);
    if (c.withDestroyBlock)
      queue->setDestroyBlock([&](const Queue::Item& i) { destroyed.push_back(*i); });
    // Move items through so that both semaphores have counted up and down.
    for (int i = 0; i < 5; ++i) {
      ASSERT_TRUE(queue->put(item(i), 0.0));
      ASSERT_NE(queue->take(0.0), nullptr);
    }
    auto held = item(20);
    ASSERT_TRUE(queue->put(held, 0.0));
    ASSERT_TRUE(queue->put(item(21), 0.0));
    queue->clear();
    EXPECT_EQ(queue->count(), 0u);
    EXPECT_EQ(held.use_count(), 1) << "the queue keeps no reference after clear";
    const std::vector<int> expected =
        c.withDestroyBlock ? std::vector<int>{20, 21} : std::vector<int>{};
    EXPECT_EQ(destroyed, expected);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(queue->put(item(30 + i), 0.0)) << i;
    EXPECT_FALSE(queue->put(item(33), 0.0));
    EXPECT_EQ(*queue->take(0.0), 30);
  }
}

TEST(DataQueueTest, OneProducerAndOneConsumerPassEveryItemInOrder) {
  constexpr int kItems = 500;
  auto queue = Queue::initWithCapacity(3);
  std::thread producer([&] {
    for (int i = 0; i < kItems; ++i) ASSERT_TRUE(queue->put(item(i)));
  });
  std::vector<int> received;
  while (received.size() < kItems) {
    auto next = queue->take(5.0);
    ASSERT_NE(next, nullptr);
    received.push_back(*next);
  }
  producer.join();
  for (int i = 0; i < kItems; ++i) ASSERT_EQ(received[static_cast<std::size_t>(i)], i);
  EXPECT_EQ(queue->count(), 0u);
}

}  // namespace
}  // namespace corvane

namespace corvane {
namespace {

namespace video = platform::video;

const std::uint8_t* memoryOf(const video::PixelBufferRef& buffer) {
  buffer->lockBaseAddress(video::kLockReadOnly);
  const std::uint8_t* base = buffer->baseAddressOfPlane(0);
  buffer->unlockBaseAddress(video::kLockReadOnly);
  return base;
}

// Frames from a pool wait in the raw-video queue as the capture puts them there: while they
// wait, the pool hands their memory to nobody else; taken and dropped, or cleared out with the
// recorder's destroy block, their memory serves the next frames.
TEST(RawVideoQueueWithPool, QueuedFramesKeepTheirMemoryUntilTakenOrCleared) {
  video::PixelBufferPoolRef pool;
  ASSERT_EQ(video::PixelBufferPool::create(
                {320, 180, video::kPixelFormat420YpCbCr8BiPlanarVideoRange, 4}, &pool),
            video::kReturnSuccess);
  auto queue = RawVideoQueue::initWithCapacity(3);
  queue->setDestroyBlock([](const RawVideoQueue::Item& frame) { frame->buffer.reset(); });
  std::vector<const std::uint8_t*> queued;
  for (int i = 0; i < 3; ++i) {
    auto frame = std::make_shared<RawVideoFrame>();
    ASSERT_EQ(pool->createPixelBuffer(&frame->buffer), video::kReturnSuccess);
    queued.push_back(memoryOf(frame->buffer));
    ASSERT_TRUE(queue->put(frame, 0.0));
  }
  video::PixelBufferRef other;
  ASSERT_EQ(pool->createPixelBuffer(&other), video::kReturnSuccess);
  EXPECT_EQ(std::count(queued.begin(), queued.end(), memoryOf(other)), 0);
  video::PixelBufferRef none;
  EXPECT_EQ(pool->createPixelBuffer(&none), video::kReturnWouldExceedAllocationThreshold)
      << "three frames in the queue and one out: all four are in use";

  auto taken = queue->take(0.0);
  ASSERT_NE(taken, nullptr);
  const std::uint8_t* first = memoryOf(taken->buffer);
  taken.reset();  // the encoder is done with the oldest frame
  video::PixelBufferRef next;
  ASSERT_EQ(pool->createPixelBuffer(&next), video::kReturnSuccess);
  EXPECT_EQ(memoryOf(next), first) << "only the memory of the frame taken comes back";

  queue->clear();
  EXPECT_EQ(pool->buffersInUse(), 2) << "the two frames left in the queue went back";
}

}  // namespace
}  // namespace corvane
