#include "platform/foundation/run_loop.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/foundation/reference_date.h"
#include "platform/foundation/thread.h"

namespace corvane::platform {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Generous upper bounds: a sanitizer build on a machine whose cores are all busy may leave
// a thread unscheduled for a long while.
constexpr double kSlack = 2.0;

TEST(RunLoopTest, OneShotTimerFiresOnceAndThenIsInvalid) {
  auto loop = RunLoop::current();
  int fired = 0;
  auto start = Clock::now();
  double firedAfter = 0;
  auto timer = RunLoopTimer::create(0.05, false, [&](RunLoopTimer&) {
    ++fired;
    firedAfter = secondsSince(start);
  });
  loop->addTimer(timer);
  loop->runFor(0.3);
  EXPECT_EQ(fired, 1);
  EXPECT_GE(firedAfter, 0.05);
  EXPECT_LT(firedAfter, 0.05 + kSlack);
  EXPECT_FALSE(timer->isValid());
  loop->addTimer(timer);  // an ended timer cannot be scheduled again
  loop->runFor(0.1);
  EXPECT_EQ(fired, 1);
}

TEST(RunLoopTest, RepeatingTimerFiresUntilInvalidated) {
  auto loop = RunLoop::current();
  int fired = 0;
  std::vector<double> times;
  auto start = Clock::now();
  RunLoopTimer::scheduledTimer(0.02, true, [&](RunLoopTimer& timer) {
    times.push_back(secondsSince(start));
    if (++fired == 3) timer.invalidate();  // the privileged task's check timer stops itself
  });
  while (fired < 3 && secondsSince(start) < 10.0) loop->runOnce(ReferenceDate::now() + 0.1);
  loop->runFor(0.1);  // an invalidated timer fires no more
  ASSERT_EQ(fired, 3);
  for (std::size_t i = 0; i < times.size(); ++i) {
    EXPECT_GE(times[i], 0.02 * static_cast<double>(i + 1) - 0.001) << i;
  }
}

TEST(RunLoopTest, TimersFireInFireDateOrder) {
  auto loop = RunLoop::current();
  std::vector<int> order;
  // Each fire date lies between the interval added to the time just before and just after
  // the timer was scheduled (a loaded machine may spread the calls apart): every two timers
  // whose windows do not overlap fire in order.
  struct Window {
    double earliest;
    double latest;
  };
  const auto start = Clock::now();
  const int intervals[] = {3, 1, 2, 5, 4};  // x 20 ms; also the timer's number
  std::vector<Window> windows;
  for (int i : intervals) {
    const double interval = 0.02 * i;
    const double before = secondsSince(start);
    RunLoopTimer::scheduledTimer(interval, false,
                                 [&order, i](RunLoopTimer&) { order.push_back(i); });
    windows.push_back({before + interval, secondsSince(start) + interval});
  }
  while (order.size() < std::size(intervals) && secondsSince(start) < 10.0) {
    loop->runOnce(ReferenceDate::now() + 0.1);
  }
  ASSERT_EQ(order.size(), std::size(intervals));
  auto position = [&](int id) { return std::find(order.begin(), order.end(), id) - order.begin(); };
  for (std::size_t a = 0; a < std::size(intervals); ++a) {
    for (std::size_t b = 0; b < std::size(intervals); ++b) {
      if (windows[a].latest < windows[b].earliest) {
        EXPECT_LT(position(intervals[a]), position(intervals[b]))
            << intervals[a] << " is due before " << intervals[b];
      }
    }
  }
}

TEST(RunLoopTest, RunUntilReturnsOnTimeWithAndWithoutTimers) {
  auto loop = RunLoop::current();
  // No timers: the loop still waits (a worker running it for 0.01 s per round must not spin).
  auto start = Clock::now();
  loop->runFor(0.1);
  double took = secondsSince(start);
  EXPECT_GE(took, 0.099);
  EXPECT_LT(took, 0.1 + kSlack);

  // A repeating timer does not keep it running past the date.
  auto timer = RunLoopTimer::scheduledTimer(0.01, true, [](RunLoopTimer&) {});
  start = Clock::now();
  loop->runUntil(ReferenceDate::now() + 0.1);
  took = secondsSince(start);
  EXPECT_GE(took, 0.099);
  EXPECT_LT(took, 0.1 + kSlack);
  timer->invalidate();

  // A date in the past returns at once; runOnce without a date never waits.
  start = Clock::now();
  loop->runUntil(ReferenceDate::now() - 10);
  EXPECT_FALSE(loop->runOnce());
  EXPECT_LT(secondsSince(start), kSlack);
}

TEST(RunLoopTest, PerformBlockFromAnotherThreadWakesAWaitingLoop) {
  std::mutex m;
  std::condition_variable cv;
  std::shared_ptr<RunLoop> workerLoop;
  std::atomic<bool> ranOnWorker{false};
  bool handled = false;
  double waited = 0;

  auto worker = Thread::create(
      [&] {
        {
          std::lock_guard<std::mutex> lock(m);
          workerLoop = RunLoop::current();
        }
        cv.notify_all();
        auto start = Clock::now();
        handled = RunLoop::current()->runOnce(ReferenceDate::now() + 30);
        waited = secondsSince(start);
      },
      "runloop.worker");
  worker->start();
  {
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return workerLoop != nullptr; }));
  }
  auto self = worker;
  workerLoop->performBlock([&ranOnWorker, self] { ranOnWorker = Thread::current() == self; });
  ASSERT_TRUE(worker->joinFor(10));
  EXPECT_TRUE(handled);
  EXPECT_TRUE(ranOnWorker);
  EXPECT_LT(waited, 10.0);
}

TEST(RunLoopTest, WakeUpFromAnotherThreadEndsAWaitingRunOnce) {
  std::mutex m;
  std::condition_variable cv;
  std::shared_ptr<RunLoop> workerLoop;
  bool returned = false;
  bool handled = true;
  double waited = 0;
  auto worker = Thread::create(
      [&] {
        {
          std::lock_guard<std::mutex> lock(m);
          workerLoop = RunLoop::current();
        }
        cv.notify_all();
        auto start = Clock::now();
        bool result = RunLoop::current()->runOnce(ReferenceDate::now() + 30);
        std::lock_guard<std::mutex> lock(m);
        handled = result;
        waited = secondsSince(start);
        returned = true;
        cv.notify_all();
      },
      "runloop.wake");
  worker->start();
  std::unique_lock<std::mutex> lock(m);
  ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return workerLoop != nullptr; }));
  // The worker may not be waiting yet (a wake-up before its wait is drained with the rest),
  // so wake it until it returns; without working wake-ups it would sleep for 30 s.
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!returned && Clock::now() < deadline) {
    workerLoop->wakeUp();
    cv.wait_for(lock, std::chrono::milliseconds(20), [&] { return returned; });
  }
  EXPECT_TRUE(returned);
  lock.unlock();
  ASSERT_TRUE(worker->joinFor(30));
  EXPECT_FALSE(handled);  // a wake-up is not work
  EXPECT_LT(waited, 10.0);
}

TEST(RunLoopTest, RepeatingTimerSkipsFiresMissedWhileTheLoopDidNotRun) {
  auto loop = RunLoop::current();
  int fired = 0;
  auto timer = RunLoopTimer::scheduledTimer(0.02, true, [&](RunLoopTimer&) { ++fired; });
  // The thread is busy elsewhere for five periods: the loop does not run meanwhile.
  std::this_thread::sleep_for(std::chrono::milliseconds(110));
  EXPECT_TRUE(loop->runOnce());
  EXPECT_EQ(fired, 1);  // one fire for the missed ones, not five
  // It keeps its period afterwards: at most one fire per period that passed (and one for
  // the period under way), however long the loop takes to get there.
  const auto resumed = Clock::now();
  while (fired < 3 && secondsSince(resumed) < 10.0) loop->runOnce(ReferenceDate::now() + 0.1);
  const double ran = secondsSince(resumed);
  timer->invalidate();
  EXPECT_EQ(fired, 3);
  EXPECT_LE(fired - 1, static_cast<int>(ran / 0.02) + 1);
}

TEST(RunLoopTest, TimerAddedFromAnotherThreadRearmsTheWait) {
  auto loop = RunLoop::current();
  std::atomic<int> fired{0};
  std::thread other(
      [&] { loop->addTimer(RunLoopTimer::create(0.0, false, [&](RunLoopTimer&) { ++fired; })); });
  auto start = Clock::now();
  bool handled = false;
  // The first round may see nothing (the timer not yet added); loop until it fired.
  while (fired == 0 && secondsSince(start) < 10) handled = loop->runOnce(ReferenceDate::now() + 10);
  other.join();
  EXPECT_TRUE(handled);
  EXPECT_EQ(fired, 1);
  EXPECT_LT(secondsSince(start), 10.0);
}

TEST(RunLoopTest, StopFromAnotherThreadEndsRun) {
  auto loop = RunLoop::current();
  std::atomic<int> ticks{0};
  auto timer = RunLoopTimer::scheduledTimer(0.005, true, [&](RunLoopTimer&) { ++ticks; });
  std::thread stopper([&] {
    // Bounded: a loop whose timer never fires is stopped all the same, and fails below.
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (ticks < 3 && Clock::now() < deadline) std::this_thread::yield();
    loop->stop();
  });
  auto start = Clock::now();
  loop->run();
  stopper.join();
  timer->invalidate();
  EXPECT_GE(ticks, 3);
  EXPECT_LT(secondsSince(start), 10.0);

  // A stop while the loop is not running ends the next run at once, and only that one.
  loop->stop();
  start = Clock::now();
  loop->run();
  EXPECT_LT(secondsSince(start), kSlack);
  EXPECT_FALSE(loop->runOnce());
  loop->runFor(0.02);
  EXPECT_GE(secondsSince(start), 0.019);
}

TEST(RunLoopTest, InvalidatedTimerNeverFires) {
  auto loop = RunLoop::current();
  std::atomic<int> fired{0};
  auto timer = RunLoopTimer::scheduledTimer(0.02, false, [&](RunLoopTimer&) { ++fired; });
  std::thread other([&] { timer->invalidate(); });
  other.join();
  loop->runFor(0.1);
  EXPECT_EQ(fired, 0);
}

TEST(RunLoopTest, FileDescriptorSignalsPendingWork) {
  auto loop = RunLoop::current();
  pollfd pfd{loop->fileDescriptor(), POLLIN, 0};
  while (loop->runOnce()) {
  }
  EXPECT_EQ(poll(&pfd, 1, 0), 0);
  bool ran = false;
  std::thread other([&] { loop->performBlock([&] { ran = true; }); });
  other.join();
  EXPECT_EQ(poll(&pfd, 1, 5000), 1);
  EXPECT_TRUE(loop->runOnce());
  EXPECT_TRUE(ran);
}

TEST(RunLoopTest, LoopsBelongToTheirThreads) {
  auto mine = RunLoop::current();
  EXPECT_EQ(mine, RunLoop::current());
  std::shared_ptr<RunLoop> theirs;
  std::thread other([&] {
    theirs = RunLoop::current();
    EXPECT_EQ(RunLoop::main(), RunLoop::main());
  });
  other.join();
  EXPECT_NE(mine, theirs);
  // Running another thread's loop does nothing.
  bool ran = false;
  theirs->performBlock([&] { ran = true; });
  EXPECT_FALSE(theirs->runOnce());
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace corvane::platform
