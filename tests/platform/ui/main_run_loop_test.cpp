// The application's main loop also runs the main thread's run loop: timers scheduled on it
// fire and blocks performed on it run, on the main thread, whether they were added from the
// main thread or from another one, without anyone running the run loop by hand.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

#include "platform/foundation/run_loop.h"
#include "ui_test_support.h"

namespace corvane::platform::ui {
namespace {

bool onMainThread() { return static_cast<pid_t>(syscall(SYS_gettid)) == getpid(); }

TEST(MainRunLoopTest, TimersAndBlocksOfTheMainRunLoopRunInsideTheApplicationLoop) {
  testing::app();
  std::atomic<int> fires{0};
  std::atomic<bool> allOnMain{true};
  // A repeating timer added on the main thread, stopped by its own third fire.
  auto repeating = RunLoopTimer::create(0.02, true, [&](RunLoopTimer& t) {
    if (!onMainThread()) allOnMain = false;
    if (++fires == 3) t.invalidate();
  });
  RunLoop::current()->addTimer(repeating);
  ASSERT_TRUE(testing::waitFor([&] { return fires.load() == 3; })) << fires.load() << " fires";

  // A block and a one-shot timer handed over from another thread.
  std::atomic<bool> blockRan{false};
  std::atomic<bool> timerFired{false};
  std::thread worker([&] {
    RunLoop::main()->performBlock([&] {
      if (!onMainThread()) allOnMain = false;
      blockRan = true;
    });
    RunLoop::main()->addTimer(RunLoopTimer::create(0.05, false, [&](RunLoopTimer&) {
      if (!onMainThread()) allOnMain = false;
      timerFired = true;
    }));
  });
  worker.join();
  EXPECT_TRUE(testing::waitFor([&] { return blockRan.load() && timerFired.load(); }));
  EXPECT_TRUE(allOnMain);
  EXPECT_EQ(fires.load(), 3);  // the invalidated timer stayed quiet meanwhile
}

}  // namespace
}  // namespace corvane::platform::ui
