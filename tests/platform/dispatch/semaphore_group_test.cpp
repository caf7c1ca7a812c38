#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/test_support.h"

namespace corvane::platform::dispatch {
namespace {

using test::Counter;
using test::Gate;

TEST(Semaphore, WaitTimesOutWithoutACountAndSucceedsWithOne) {
  Semaphore empty;
  const auto start = Clock::now();
  EXPECT_FALSE(empty.wait(0.05));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));
  EXPECT_FALSE(empty.wait(0.0));

  Semaphore two(2);
  EXPECT_TRUE(two.wait(0.0));
  EXPECT_TRUE(two.wait(0.0));
  EXPECT_FALSE(two.wait(0.0));
  two.signal();
  EXPECT_TRUE(two.wait(0.0));
}

TEST(Semaphore, SignalFromAnotherThreadWakesAWaiter) {
  Semaphore sem;
  std::thread signaller([&] { sem.signal(); });
  EXPECT_TRUE(sem.wait(10.0));
  signaller.join();

  // Every signal is one wake-up: N signals let exactly N waits through.
  constexpr int kCount = 100;
  std::thread many([&] {
    for (int i = 0; i < kCount; ++i) sem.signal();
  });
  for (int i = 0; i < kCount; ++i) ASSERT_TRUE(sem.wait(10.0));
  many.join();
  EXPECT_FALSE(sem.wait(0.0));
}

// The usual hand-off: a waiter returns and its semaphore goes out of scope while the
// signalling thread may still be inside `signal`. That must not touch freed memory (the
// sanitizer builds report it when `signal` uses the semaphore after releasing its lock).
TEST(Semaphore, WaiterMayDestroyTheSemaphoreAsSoonAsItsWaitReturns) {
  auto q = Queue::global(Priority::High);
  for (int i = 0; i < 2000; ++i) {
    auto semaphore = std::make_unique<Semaphore>();
    Semaphore* raw = semaphore.get();
    q->async([raw] { raw->signal(); });
    ASSERT_TRUE(semaphore->wait(10.0));
    semaphore.reset();
  }
}

TEST(Group, WaitTimesOutWhileAMemberRunsAndSucceedsAfter) {
  Group group;
  Gate gate;
  std::atomic<bool> finished{false};
  group.async(Queue::global(), [&] {
    gate.wait();
    finished = true;
  });
  EXPECT_FALSE(group.wait(0.05));
  gate.open();
  EXPECT_TRUE(group.wait(10.0));
  EXPECT_TRUE(finished);
  EXPECT_TRUE(group.wait(0.0));  // empty again
}

TEST(Group, NotifyRunsOnItsQueueAfterEveryMember) {
  Group group;
  constexpr int kMembers = 16;
  Gate gate;
  std::atomic<int> finished{0};
  std::atomic<int> finishedAtNotify{-1};
  std::string label;
  Counter notified;
  for (int i = 0; i < kMembers; ++i) {
    group.async(Queue::global(), [&] {
      gate.wait();
      finished.fetch_add(1);
    });
  }
  group.enter();  // a manual member, left below
  auto q = Queue::createSerial("notify");
  group.notify(q, [&] {
    finishedAtNotify = finished.load();
    label = Queue::currentLabel();
    notified.add();
  });
  gate.open();
  ASSERT_TRUE(group.wait(0.05) == false);  // the manual member is still in
  group.leave();
  ASSERT_TRUE(notified.waitFor(1));
  EXPECT_EQ(finishedAtNotify.load(), kMembers);
  EXPECT_EQ(label, "notify");
}

TEST(Group, NotifyOnAnEmptyGroupRunsSoonButNotInsideTheCall) {
  // Called from a block of the notify queue itself, the notification can run only after
  // that block has returned; run inside the call it would see `inCall` still set.
  Group group;
  Counter notified;
  std::atomic<bool> ranInsideCall{true};
  auto q = Queue::createSerial("notify.empty");
  bool inCall = false;  // touched only by blocks of q
  q->async([&] {
    inCall = true;
    group.notify(q, [&] {
      ranInsideCall = inCall;
      notified.add();
    });
    inCall = false;
  });
  ASSERT_TRUE(notified.waitFor(1));
  EXPECT_FALSE(ranInsideCall);
}

TEST(Group, UnbalancedLeaveIsIgnored) {
  Group group;
  group.leave();  // nothing entered
  group.enter();
  EXPECT_FALSE(group.wait(0.0));
  group.leave();
  EXPECT_TRUE(group.wait(0.0));
}

TEST(Once, RunsTheBlockOnceAcrossThreads) {
  Once once;
  std::atomic<int> runs{0};
  std::vector<std::thread> threads;
  threads.reserve(8);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] { once([&] { runs.fetch_add(1); }); });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(runs.load(), 1);
}

}  // namespace
}  // namespace corvane::platform::dispatch
