#include "platform/dispatch/pool.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/dispatch/test_support.h"

namespace corvane::platform::dispatch::detail {
namespace {

using test::Counter;
using test::Gate;
using namespace std::chrono_literals;

Pool::Options options(int cap, std::chrono::milliseconds idle) {
  Pool::Options o;
  o.threadName = "test.pool";
  o.maxThreads = cap;
  o.idleTimeout = idle;
  return o;
}

TEST(Pool, GrowsWhileAllWorkersAreBusyAndIdleWorkersLeave) {
  Pool pool(options(64, 50ms));
  constexpr int kTasks = 24;
  Gate gate;
  Counter started;
  Counter done;
  for (int i = 0; i < kTasks; ++i) {
    pool.submit([&] {
      started.add();
      gate.wait();
      done.add();
    });
  }
  ASSERT_TRUE(started.waitFor(kTasks));  // every task runs at once: one worker each
  EXPECT_EQ(pool.threadCount(), kTasks);
  gate.open();
  ASSERT_TRUE(done.waitFor(kTasks));
  EXPECT_TRUE(pool.waitForThreadCountAtMost(0, 10s));
  // A pool whose workers all left starts again on demand.
  Counter again;
  pool.submit([&] { again.add(); });
  EXPECT_TRUE(again.waitFor(1));
}

TEST(Pool, QueuesTasksBeyondTheCapAndRunsThemAll) {
  Pool pool(options(2, 5s));
  Gate gate;
  Counter started;
  Counter done;
  for (int i = 0; i < 10; ++i) {
    pool.submit([&] {
      started.add();
      gate.wait();
      done.add();
    });
  }
  ASSERT_TRUE(started.waitFor(2));
  EXPECT_EQ(pool.threadCount(), 2);
  EXPECT_EQ(started.value(), 2);
  gate.open();
  EXPECT_TRUE(done.waitFor(10));
}

}  // namespace
}  // namespace corvane::platform::dispatch::detail
