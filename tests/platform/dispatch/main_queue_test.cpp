#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/test_support.h"

namespace corvane::platform::dispatch {
namespace {

using test::Counter;

// The main queue is process-wide: every case leaves it empty and without a waker.
class MainQueueTest : public ::testing::Test {
 protected:
  void TearDown() override {
    MainQueue::setWaker(nullptr);
    while (MainQueue::drain() > 0) {
    }
  }
};

TEST_F(MainQueueTest, DrainRunsSubmittedBlocksInOrderOnTheCallingThread) {
  std::vector<int> order;
  std::atomic<bool> wrongThread{false};
  std::string label;
  const auto self = std::this_thread::get_id();
  std::thread producer([&] {
    for (int i = 0; i < 5; ++i) {
      Queue::main()->async([&, i] {
        order.push_back(i);
        if (std::this_thread::get_id() != self) wrongThread = true;
        label = Queue::currentLabel();
      });
    }
  });
  producer.join();
  EXPECT_EQ(MainQueue::drain(), 5);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_FALSE(wrongThread);
  EXPECT_EQ(label, "main");
  EXPECT_EQ(MainQueue::drain(), 0);
}

TEST_F(MainQueueTest, RunReturnsAfterStopAndLeavesLaterBlocksQueued) {
  std::atomic<int> ran{0};
  std::thread producer([&] {
    Queue::main()->async([&] { ran.fetch_add(1); });
    Queue::main()->async([&] {
      ran.fetch_add(1);
      MainQueue::stop();
    });
    Queue::main()->async([&] { ran.fetch_add(1); });
  });
  MainQueue::run();
  producer.join();
  EXPECT_EQ(ran.load(), 2);
  EXPECT_EQ(MainQueue::drain(), 1);
}

TEST_F(MainQueueTest, StopFromAnotherThreadEndsAnIdleRun) {
  std::atomic<bool> stopSent{false};
  std::thread stopper([&] {
    Queue::global()->after(0.02, [&] {
      stopSent = true;
      MainQueue::stop();
    });
  });
  // A watchdog ends a run that ignores the stop, so that the test fails instead of hanging.
  std::mutex mutex;
  std::condition_variable cv;
  bool returned = false;
  bool watchdogStopped = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(mutex);
    if (!cv.wait_for(lock, test::kLongWait, [&] { return returned; })) {
      watchdogStopped = true;
      MainQueue::stop();
    }
  });
  MainQueue::run();
  const bool stoppedBySender = stopSent.load();
  {
    std::lock_guard<std::mutex> lock(mutex);
    returned = true;
  }
  cv.notify_all();
  watchdog.join();
  stopper.join();
  EXPECT_TRUE(stoppedBySender) << "run returned before the stop was sent";
  EXPECT_FALSE(watchdogStopped) << "the stop from another thread did not end the run";
  EXPECT_EQ(MainQueue::drain(), 0);  // the run stayed idle: nothing was queued
}

TEST_F(MainQueueTest, RunUntilReturnsWhenThePredicateHoldsOrTimesOut) {
  bool flag = false;  // set by a main-queue block, read on this thread
  Queue::global()->after(0.02, [&] { Queue::main()->async([&] { flag = true; }); });
  EXPECT_TRUE(MainQueue::runUntil([&] { return flag; }, 10.0));

  const auto start = Clock::now();
  EXPECT_FALSE(MainQueue::runUntil([] { return false; }, 0.05));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));
}

TEST_F(MainQueueTest, WakerIsCalledWhenABlockArrivesOnAnEmptyQueue) {
  Counter wakes;
  MainQueue::setWaker([&] { wakes.add(); });
  Queue::main()->async([] {});
  Queue::main()->async([] {});  // not empty: no second wake
  ASSERT_TRUE(wakes.waitFor(1));
  EXPECT_EQ(wakes.value(), 1);
  EXPECT_EQ(MainQueue::drain(), 2);
  Queue::main()->async([] {});
  EXPECT_EQ(wakes.value(), 2);
}

TEST_F(MainQueueTest, SyncFromAnotherThreadRunsOnTheDrainingThread) {
  const auto self = std::this_thread::get_id();
  std::thread::id ranOn;
  std::atomic<bool> returned{false};
  std::thread caller([&] {
    Queue::main()->sync([&] { ranOn = std::this_thread::get_id(); });
    returned = true;
  });
  EXPECT_TRUE(MainQueue::runUntil([&] { return returned.load(); }, 10.0));
  caller.join();
  EXPECT_EQ(ranOn, self);
}

TEST_F(MainQueueTest, ABlockThatDrainsAgainDoesNotRunLaterBlocksNested) {
  std::vector<int> order;
  Queue::main()->async([&] {
    order.push_back(1);
    EXPECT_EQ(MainQueue::drain(), 0);
    order.push_back(2);
  });
  Queue::main()->async([&] { order.push_back(3); });
  EXPECT_EQ(MainQueue::drain(), 2);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(MainQueueTest, SyncOnTheMainThreadOutsideABlockRunsEarlierBlocksThenItsOwn) {
  std::vector<int> order;
  Queue::main()->async([&] { order.push_back(1); });
  std::string label;
  Queue::main()->sync([&] {
    order.push_back(2);
    label = Queue::currentLabel();
  });
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_EQ(label, "main");
}

}  // namespace
}  // namespace corvane::platform::dispatch
