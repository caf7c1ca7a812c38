#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/test_support.h"

namespace corvane::platform::dispatch {
namespace {

using test::Counter;
using test::Gate;
using namespace std::chrono_literals;

// Runs `work` on a kind of caller: a plain thread or a block of some queue.
enum class CallerKind { PlainThread, SerialQueue, GlobalQueue, ConcurrentQueue };

void runAs(CallerKind kind, std::function<void()> work) {
  switch (kind) {
    case CallerKind::PlainThread:
      std::thread(std::move(work)).detach();
      return;
    case CallerKind::SerialQueue: {
      auto q = Queue::createSerial("caller");
      q->async(std::move(work));
      return;
    }
    case CallerKind::GlobalQueue:
      Queue::global()->async(std::move(work));
      return;
    case CallerKind::ConcurrentQueue:
      Queue::createConcurrent("caller.concurrent")->async(std::move(work));
      return;
  }
}

TEST(SerialQueue, RunsBlocksInSubmissionOrder) {
  auto q = Queue::createSerial("order");
  constexpr int kBlocks = 20000;
  std::vector<int> seen;  // touched only by blocks of `q`
  Counter done;
  for (int i = 0; i < kBlocks; ++i) {
    if (i % 1000 == 999) {
      q->sync([&seen, i] { seen.push_back(i); });
    } else {
      q->async([&seen, i] { seen.push_back(i); });
    }
  }
  q->async([&] { done.add(); });
  ASSERT_TRUE(done.waitFor(1));
  ASSERT_EQ(seen.size(), static_cast<size_t>(kBlocks));
  for (int i = 0; i < kBlocks; ++i) ASSERT_EQ(seen[static_cast<size_t>(i)], i);
}

TEST(SerialQueue, BlocksFromManyThreadsNeverOverlapAndKeepEachThreadsOrder) {
  auto q = Queue::createSerial("overlap");
  constexpr int kThreads = 8;
  constexpr int kPerThread = 2000;
  std::atomic<int> inside{0};
  std::atomic<int> maxInside{0};
  std::vector<int> last(kThreads, -1);  // plain data, guarded only by the queue
  std::atomic<bool> outOfOrder{false};
  Counter done;
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        auto block = [&, t, i] {
          const int now = inside.fetch_add(1) + 1;
          int seen = maxInside.load();
          while (now > seen && !maxInside.compare_exchange_weak(seen, now)) {
          }
          int& previous = last[static_cast<size_t>(t)];
          if (previous != i - 1) outOfOrder = true;
          previous = i;
          if (i % 64 == 0) std::this_thread::yield();  // widen the window for overlap
          inside.fetch_sub(1);
        };
        if (i % 500 == 0) {
          q->sync(block);
        } else {
          q->async(block);
        }
      }
      q->async([&] { done.add(); });
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_TRUE(done.waitFor(kThreads));
  EXPECT_EQ(maxInside.load(), 1);
  EXPECT_FALSE(outOfOrder.load());
  for (int previous : last) EXPECT_EQ(previous, kPerThread - 1);
}

class SyncFromCaller : public ::testing::TestWithParam<CallerKind> {};

TEST_P(SyncFromCaller, WaitsForEarlierBlocksAndRunsAlone) {
  auto q = Queue::createSerial("target");
  Gate gate;
  std::atomic<bool> earlierDone{false};
  q->async([&] {
    gate.wait();
    earlierDone = true;
  });
  Counter result;
  std::atomic<bool> sawEarlier{false};
  std::atomic<bool> sawLabel{false};
  runAs(GetParam(), [&] {
    q->sync([&] {
      sawEarlier = earlierDone.load();
      sawLabel = Queue::currentLabel() == "target";
    });
    result.add();
  });
  gate.open();
  ASSERT_TRUE(result.waitFor(1));
  EXPECT_TRUE(sawEarlier);
  EXPECT_TRUE(sawLabel);
}

INSTANTIATE_TEST_SUITE_P(Callers, SyncFromCaller,
                         ::testing::Values(CallerKind::PlainThread, CallerKind::SerialQueue,
                                           CallerKind::GlobalQueue, CallerKind::ConcurrentQueue));

TEST(SerialQueue, SyncFromEveryWorkerOfASaturatedGlobalPoolCompletes) {
  // More callers than the pool's cap: every worker blocks in `sync` on a queue that is
  // busy, so the queue must get through its blocks without a global worker.
  auto q = Queue::createSerial("busy");
  Gate gate;
  q->async([&] { gate.wait(); });
  constexpr int kCallers = 300;
  Counter started;
  Counter finished;
  std::atomic<int> ranOnQueue{0};
  for (int i = 0; i < kCallers; ++i) {
    Queue::global()->async([&] {
      started.add();
      q->sync([&] { ranOnQueue.fetch_add(1); });
      finished.add();
    });
  }
  ASSERT_TRUE(started.waitFor(256));  // the pool has grown to its cap
  gate.open();
  ASSERT_TRUE(finished.waitFor(kCallers, 30s));
  EXPECT_EQ(ranOnQueue.load(), kCallers);
}

TEST(SerialQueue, SyncOntoTheQueueItRunsOnRunsAtOnce) {
  auto q = Queue::createSerial("nested");
  Counter done;
  bool innerRan = false;
  q->async([&] {
    q->sync([&] { innerRan = true; });
    done.add();
  });
  ASSERT_TRUE(done.waitFor(1));
  EXPECT_TRUE(innerRan);
}

TEST(SerialQueue, KeepsRunningAfterTheLastReferenceIsDropped) {
  Counter done;
  {
    auto q = Queue::createSerial("dropped");
    for (int i = 0; i < 100; ++i) q->async([&] { done.add(); });
  }
  EXPECT_TRUE(done.waitFor(100));
}

// A sync block that drops the owner's last reference to its queue must not leave the queue
// freed under the caller (the sanitizer build reports a use after free otherwise).
TEST(Queue, SyncBlockMayDropTheLastReferenceToItsQueue) {
  for (bool serial : {true, false}) {
    QueuePtr q = serial ? Queue::createSerial("owned") : Queue::createConcurrent("owned");
    std::weak_ptr<Queue> weak = q;
    std::string label;
    q->sync([&] {
      q.reset();
      label = Queue::currentLabel();
    });
    EXPECT_EQ(label, "owned");
    EXPECT_TRUE(weak.expired()) << (serial ? "serial" : "concurrent");
  }
}

TEST(ConcurrentQueue, RunsBlocksInParallel) {
  // Two blocks that each wait for the other can only both finish when they run at once.
  for (const auto& q : {Queue::createConcurrent("parallel"), Queue::global()}) {
    Gate a;
    Gate b;
    Counter done;
    std::atomic<bool> ok{true};
    q->async([&] {
      a.open();
      if (!b.wait()) ok = false;
      done.add();
    });
    q->async([&] {
      b.open();
      if (!a.wait()) ok = false;
      done.add();
    });
    ASSERT_TRUE(done.waitFor(2, 20s));
    EXPECT_TRUE(ok);
  }
}

class Barrier : public ::testing::TestWithParam<bool> {};

TEST_P(Barrier, RunsAloneAfterEveryEarlierBlock) {
  const bool useSync = GetParam();
  auto q = Queue::createConcurrent("barrier");
  constexpr int kBlocks = 8;
  Gate gate;
  Counter started;
  std::atomic<int> running{0};
  std::atomic<int> earlierFinished{0};
  std::atomic<bool> barrierDone{false};
  std::atomic<int> runningAtBarrier{-1};
  std::atomic<int> finishedAtBarrier{-1};
  std::atomic<int> laterBeforeBarrier{0};
  Counter laterDone;
  for (int i = 0; i < kBlocks; ++i) {
    q->async([&] {
      running.fetch_add(1);
      started.add();
      gate.wait();
      earlierFinished.fetch_add(1);
      running.fetch_sub(1);
    });
  }
  ASSERT_TRUE(started.waitFor(kBlocks));  // the earlier blocks run side by side
  auto barrier = [&] {
    runningAtBarrier = running.load();
    finishedAtBarrier = earlierFinished.load();
    barrierDone = true;
  };
  auto later = [&] {
    for (int i = 0; i < kBlocks; ++i) {
      q->async([&] {
        if (!barrierDone) laterBeforeBarrier.fetch_add(1);
        laterDone.add();
      });
    }
  };
  if (useSync) {
    std::thread opener([&] { gate.open(); });
    q->barrierSync(barrier);
    EXPECT_TRUE(barrierDone);  // ran before barrierSync returned
    opener.join();
    later();
  } else {
    q->barrierAsync(barrier);
    later();  // queued behind the barrier while the earlier blocks still run
    gate.open();
  }
  ASSERT_TRUE(laterDone.waitFor(kBlocks));
  EXPECT_EQ(runningAtBarrier.load(), 0);
  EXPECT_EQ(finishedAtBarrier.load(), kBlocks);
  EXPECT_EQ(laterBeforeBarrier.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(AsyncAndSync, Barrier, ::testing::Bool());

TEST(ConcurrentQueue, BarrierHoldsBackBlocksSubmittedAfterIt) {
  auto q = Queue::createConcurrent("barrier.hold");
  Gate gate;
  Counter barrierStarted;
  std::atomic<bool> barrierFinished{false};
  std::atomic<int> laterEarly{0};
  Counter laterDone;
  q->barrierAsync([&] {
    barrierStarted.add();
    gate.wait();
    barrierFinished = true;
  });
  ASSERT_TRUE(barrierStarted.waitFor(1));
  for (int i = 0; i < 8; ++i) {
    q->async([&] {
      if (!barrierFinished) laterEarly.fetch_add(1);
      laterDone.add();
    });
  }
  gate.open();
  ASSERT_TRUE(laterDone.waitFor(8));
  EXPECT_EQ(laterEarly.load(), 0);
}

TEST(QueueSpecific, SetGetRemoveAndCurrentLookup) {
  static int keyA;
  static int keyB;
  int valueA = 1;
  int valueB = 2;
  auto outer = Queue::createSerial("outer");
  auto inner = Queue::createSerial("inner");
  outer->setSpecific(&keyA, &valueA);
  inner->setSpecific(&keyB, &valueB);
  EXPECT_EQ(outer->getSpecific(&keyA), &valueA);
  EXPECT_EQ(outer->getSpecific(&keyB), nullptr);
  EXPECT_EQ(Queue::getCurrentSpecific(&keyA), nullptr);  // plain thread

  void* onOuter = nullptr;
  void* onInnerA = &valueB;
  void* onInnerB = nullptr;
  void* backOnOuter = nullptr;
  outer->sync([&] {
    onOuter = Queue::getCurrentSpecific(&keyA);
    inner->sync([&] {
      onInnerA = Queue::getCurrentSpecific(&keyA);  // innermost queue only
      onInnerB = Queue::getCurrentSpecific(&keyB);
    });
    backOnOuter = Queue::getCurrentSpecific(&keyA);
  });
  EXPECT_EQ(onOuter, &valueA);
  EXPECT_EQ(onInnerA, nullptr);
  EXPECT_EQ(onInnerB, &valueB);
  EXPECT_EQ(backOnOuter, &valueA);

  outer->setSpecific(&keyA, &valueB);
  EXPECT_EQ(outer->getSpecific(&keyA), &valueB);
  outer->setSpecific(&keyA, nullptr);
  EXPECT_EQ(outer->getSpecific(&keyA), nullptr);
}

TEST(QueueSpecific, CurrentLookupOnAsyncBlocksOfEachQueueKind) {
  static int key;
  int value = 7;
  for (const auto& q : {Queue::createSerial("s"), Queue::createConcurrent("c")}) {
    q->setSpecific(&key, &value);
    Counter done;
    std::atomic<void*> seen{nullptr};
    q->async([&] {
      seen = Queue::getCurrentSpecific(&key);
      done.add();
    });
    ASSERT_TRUE(done.waitFor(1));
    EXPECT_EQ(seen.load(), &value) << q->label();
  }
}

TEST(CurrentQueue, LabelAndQueueInsideBlocks) {
  struct Case {
    QueuePtr queue;
    std::string label;
  };
  const std::vector<Case> cases = {
      {Queue::createSerial("corvane.test.serial"), "corvane.test.serial"},
      {Queue::createConcurrent("corvane.test.concurrent"), "corvane.test.concurrent"},
      {Queue::global(Priority::High), "global.high"},
      {Queue::global(Priority::Default), "global.default"},
      {Queue::global(Priority::Low), "global.low"},
      {Queue::global(Priority::Background), "global.background"},
  };
  for (const auto& c : cases) {
    Counter done;
    std::string label;
    QueuePtr current;
    c.queue->async([&] {
      label = Queue::currentLabel();
      current = Queue::current();
      done.add();
    });
    ASSERT_TRUE(done.waitFor(1)) << c.label;
    EXPECT_EQ(label, c.label);
    EXPECT_EQ(current, c.queue) << c.label;
  }
  EXPECT_EQ(Queue::currentLabel(), "");
  EXPECT_EQ(Queue::current(), nullptr);
  EXPECT_EQ(Queue::global(Priority::High), Queue::global(Priority::High));
  EXPECT_TRUE(Queue::createSerial("x")->isSerial());
  EXPECT_FALSE(Queue::global()->isSerial());
}

TEST(GlobalQueue, GrowsWhileAllWorkersAreBlocked) {
  // Far more blocking blocks than processors: all of them must be running at once.
  constexpr int kBlocks = 64;
  Counter arrived;
  Gate allArrived;
  Counter done;
  std::atomic<int> sawAll{0};
  for (int i = 0; i < kBlocks; ++i) {
    Queue::global(Priority::Low)->async([&] {
      arrived.add();
      if (arrived.waitFor(kBlocks)) sawAll.fetch_add(1);
      done.add();
    });
  }
  ASSERT_TRUE(done.waitFor(kBlocks, 30s));
  EXPECT_EQ(sawAll.load(), kBlocks);
}

TEST(Queue, AfterRunsOnTheQueueNoEarlierThanTheDelay) {
  auto q = Queue::createSerial("after");
  Counter done;
  std::string label;
  const auto start = Clock::now();
  TimePoint ranAt;
  q->after(0.05, [&] {
    ranAt = Clock::now();
    label = Queue::currentLabel();
    done.add();
  });
  ASSERT_TRUE(done.waitFor(1));
  EXPECT_GE(ranAt - start, std::chrono::milliseconds(50));
  EXPECT_EQ(label, "after");

  // A delay of zero or less runs soon, but never inside the call: submitted from a block
  // of the same serial queue, it can only run after that block has returned.
  std::atomic<bool> ranInside{true};
  bool inCall = false;  // touched only by blocks of q
  q->async([&] {
    inCall = true;
    q->after(-1.0, [&] {
      ranInside = inCall;
      done.add();
    });
    inCall = false;
    q->after(0.0, [&] { done.add(); });
    std::this_thread::yield();
  });
  ASSERT_TRUE(done.waitFor(3));
  EXPECT_FALSE(ranInside);
}

TEST(Queue, AfterBlocksRunInDeadlineOrder) {
  // Absolute deadlines from one moment. A block runs before one with a later deadline when
  // it was submitted before that deadline passed; a loaded machine that stalls the calls
  // past a later deadline may let that block come due (and run) first, which no layer can
  // undo, so such a pair is not checked.
  {
    auto q = Queue::createSerial("after.order.time");
    std::vector<int> order;  // on q
    Counter done;
    const TimePoint base = Clock::now() + 50ms;
    auto deadline = [&](int i) { return base + i * 10ms; };
    std::vector<std::pair<int, TimePoint>> submitted;  // block, when its call returned
    for (int i : {3, 1, 2}) {
      q->afterTime(deadline(i), [&, i] {
        order.push_back(i);
        done.add();
      });
      submitted.emplace_back(i, Clock::now());
    }
    ASSERT_TRUE(done.waitFor(3));
    q->sync([&] {
      ASSERT_EQ(order.size(), 3u);
      auto position = [&](int id) { return std::find(order.begin(), order.end(), id); };
      for (const auto& [a, aSubmitted] : submitted) {
        for (const auto& [b, bSubmitted] : submitted) {
          if (a < b && aSubmitted < deadline(b)) {
            EXPECT_LT(position(a), position(b)) << a << " is due before " << b;
          }
        }
      }
    });
  }
  // Relative delays are counted from the moment of each call, which a loaded machine may
  // spread apart: each deadline lies between the delay added to the time just before and
  // just after its call, and every two blocks whose windows do not overlap run in order.
  {
    auto q = Queue::createSerial("after.order");
    std::vector<int> order;  // on q
    Counter done;
    struct Window {
      TimePoint earliest;
      TimePoint latest;
    };
    std::vector<Window> windows;
    const int delays[] = {3, 1, 2, 5, 4};  // x 20 ms; also the block's number
    for (int i : delays) {
      const auto delay = i * 20ms;
      const TimePoint before = Clock::now();
      q->after(0.02 * i, [&, i] {
        order.push_back(i);
        done.add();
      });
      windows.push_back({before + delay, Clock::now() + delay});
    }
    ASSERT_TRUE(done.waitFor(static_cast<int>(std::size(delays))));
    q->sync([&] {
      ASSERT_EQ(order.size(), std::size(delays));
      auto position = [&](int id) {
        return std::find(order.begin(), order.end(), id) - order.begin();
      };
      for (std::size_t a = 0; a < std::size(delays); ++a) {
        for (std::size_t b = 0; b < std::size(delays); ++b) {
          if (windows[a].latest < windows[b].earliest) {
            EXPECT_LT(position(delays[a]), position(delays[b]))
                << delays[a] << " is due before " << delays[b];
          }
        }
      }
    });
  }
}

TEST(Queue, OverdueAfterBlockWaitsBehindAnEarlierDeadlineNotYetFired) {
  // The timers' thread is held inside the hand-over of a main-queue block (in the main
  // queue's waker) while a block falls due on a serial queue; then a block whose deadline
  // lies between that one's and the present is submitted. It must wait behind the first.
  Gate release;
  Gate stalled;
  MainQueue::setWaker([&] {
    stalled.open();
    release.wait();
  });
  struct Restore {
    Gate& release;
    ~Restore() {
      release.open();
      MainQueue::setWaker(nullptr);
      MainQueue::drain();
    }
  } restore{release};
  Queue::main()->after(0.005, [] {});
  ASSERT_TRUE(stalled.wait());

  auto q = Queue::createSerial("after.overdue");
  std::vector<std::string> order;  // on q
  Counter done;
  const TimePoint first = Clock::now() + 2ms;
  q->afterTime(first, [&] {
    order.emplace_back("earlier deadline");
    done.add();
  });
  std::this_thread::sleep_until(first + 2ms);  // both deadlines have passed
  q->afterTime(first + 1ms, [&] {
    order.emplace_back("later deadline, submitted overdue");
    done.add();
  });
  release.open();
  ASSERT_TRUE(done.waitFor(2));
  q->sync([&] {
    EXPECT_EQ(order,
              (std::vector<std::string>{"earlier deadline", "later deadline, submitted overdue"}));
  });
}

TEST(Queue, ADeadlineBeforeTheClocksStartRunsAtOnceAndLaterTimersStillFire) {
  auto q = Queue::createSerial("after.ancient");
  Counter done;
  q->afterTime(TimePoint::min(), [&] { done.add(); });
  q->afterTime(TimePoint{} - 1h, [&] { done.add(); });
  ASSERT_TRUE(done.waitFor(2));
  q->after(0.01, [&] { done.add(); });
  EXPECT_TRUE(done.waitFor(3));
}

}  // namespace
}  // namespace corvane::platform::dispatch
