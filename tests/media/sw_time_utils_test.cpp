#include "media/sw_time_utils.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/foundation/reference_date.h"

namespace corvane {
namespace {

TEST(SWTimeUtilsTest, CountsMillisecondsSinceTheReferenceDate) {
  auto clock = SWTimeUtils::singleton();
  EXPECT_EQ(clock, SWTimeUtils::singleton());
  EXPECT_EQ(clock->zeroTime(), 0.0);
  const double before = platform::ReferenceDate::now();
  const std::int64_t stamp = clock->getCurrentTimeStamp();
  const double after = platform::ReferenceDate::now();
  EXPECT_GE(stamp, static_cast<std::int64_t>(before * 1000.0));
  EXPECT_LE(stamp, static_cast<std::int64_t>(after * 1000.0));
}

TEST(SWTimeUtilsTest, LowThirtyTwoBitsAdvanceByTheElapsedMilliseconds) {
  auto clock = SWTimeUtils::singleton();
  const auto start = std::chrono::steady_clock::now();
  const auto first = static_cast<std::uint32_t>(clock->getCurrentTimeStamp());
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const auto second = static_cast<std::uint32_t>(clock->getCurrentTimeStamp());
  const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
  // Unsigned differences stay right across the 32-bit wrap.
  const std::uint32_t difference = second - first;
  EXPECT_GE(difference, 29u);
  EXPECT_LE(difference, static_cast<std::uint32_t>(elapsedMs + 2));
}

}  // namespace
}  // namespace corvane
