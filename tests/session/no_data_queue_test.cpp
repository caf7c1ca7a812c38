// The in-flight gate: capacity, time-outs, freeing and the reset after a lost connection.
#include "session/no_data_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace corvane {
namespace {

double timed(const std::function<void()>& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

TEST(NoDataQueue, GrantsCapacitySlotsThenRefusesAfterTheTimeOut) {
  auto gate = NoDataQueue::create(3);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(gate->put(0.0));
  bool granted = true;
  const double waited = timed([&] { granted = gate->put(0.05); });
  EXPECT_FALSE(granted);
  EXPECT_GE(waited, 0.05);
  EXPECT_LT(waited, 1.0);

  EXPECT_TRUE(gate->take(0.0));
  EXPECT_TRUE(gate->put(0.0)) << "a freed slot is granted again";
  EXPECT_FALSE(gate->put(0.0));
}

TEST(NoDataQueue, TakeAnswersTrueEvenWhenNothingWasInUse) {
  auto gate = NoDataQueue::create(1);
  EXPECT_TRUE(gate->take(0.01));
  // Nothing was freed: still exactly one slot.
  EXPECT_TRUE(gate->put(0.0));
  EXPECT_FALSE(gate->put(0.0));
}

TEST(NoDataQueue, ResetFreesEveryUsedSlot) {
  auto gate = NoDataQueue::create(10);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(gate->put(0.0));
  gate->reset();
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(gate->put(0.0)) << i;
  EXPECT_FALSE(gate->put(0.0));
}

TEST(NoDataQueue, AWaitingPutIsGrantedWhenAnotherThreadFreesASlot) {
  auto gate = NoDataQueue::create(2);
  ASSERT_TRUE(gate->put(0.0));
  ASSERT_TRUE(gate->put(0.0));
  std::atomic<int> granted{0};
  std::vector<std::thread> putters;
  for (int i = 0; i < 4; ++i)
    putters.emplace_back([&] {
      if (gate->put(5.0)) ++granted;
    });
  for (int i = 0; i < 4; ++i) gate->take(5.0);
  for (auto& t : putters) t.join();
  EXPECT_EQ(granted.load(), 4);
  EXPECT_FALSE(gate->put(0.0)) << "both slots are in use again";
}

}  // namespace
}  // namespace corvane
