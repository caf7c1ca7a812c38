#include "platform/foundation/process_info.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <ctime>

#include "platform/foundation/reference_date.h"

namespace corvane::platform {
namespace {

TEST(ProcessInfoTest, NameIdAndProcessors) {
  EXPECT_EQ(ProcessInfo::processName(), "foundation_tests");
  EXPECT_EQ(ProcessInfo::processIdentifier(), getpid());
  EXPECT_GE(ProcessInfo::processorCount(), 1u);
}

TEST(ProcessInfoTest, ActivitiesAreRecordedUntilEnded) {
  EXPECT_EQ(ProcessInfo::kUserInitiated, 0x00FFFFFFu);
  EXPECT_EQ(ProcessInfo::kUserInitiatedAllowingIdleSystemSleep, 0x00EFFFFFu);
  auto before = ProcessInfo::activities().size();
  auto first = ProcessInfo::beginActivity(0x00FFFFFF, "Batch processing files");
  auto second = ProcessInfo::beginActivity(0x00EFFFFF, "just not sleep");
  EXPECT_NE(first, 0u);
  EXPECT_NE(first, second);
  auto now = ProcessInfo::activities();
  ASSERT_EQ(now.size(), before + 2);
  EXPECT_EQ(now[before].reason, "Batch processing files");
  EXPECT_EQ(now[before].options, 0x00FFFFFFu);
  EXPECT_EQ(now[before + 1].token, second);

  ProcessInfo::endActivity(second);
  ProcessInfo::endActivity(second);  // ended twice: ignored
  ProcessInfo::endActivity(0);
  now = ProcessInfo::activities();
  ASSERT_EQ(now.size(), before + 1);
  EXPECT_EQ(now.back().token, first);  // the first one stays in force
  ProcessInfo::endActivity(first);
  EXPECT_EQ(ProcessInfo::activities().size(), before);
}

TEST(ProcessInfoTest, SystemPathsMapUnderTheSystemRoot) {
  std::string saved = ProcessInfo::systemRoot();
  ProcessInfo::setSystemRoot("/");
  EXPECT_EQ(ProcessInfo::systemPath("/Library/Audio/Plug-Ins/HAL"), "/Library/Audio/Plug-Ins/HAL");
  ProcessInfo::setSystemRoot("/tmp/root/");
  EXPECT_EQ(ProcessInfo::systemPath("/Library/Audio/Plug-Ins/HAL/BlackHole.driver"),
            "/tmp/root/Library/Audio/Plug-Ins/HAL/BlackHole.driver");
  ProcessInfo::setSystemRoot("");
  EXPECT_EQ(ProcessInfo::systemRoot(), "/");
  ProcessInfo::setSystemRoot(saved);
}

TEST(ReferenceDateTest, ClockCountsFromTwoThousandOne) {
  EXPECT_EQ(ReferenceDate::fromUnixTime(978307200.0), 0.0);
  EXPECT_EQ(ReferenceDate::toUnixTime(0.0), 978307200.0);
  double now = ReferenceDate::now();
  double expected = static_cast<double>(std::time(nullptr)) - 978307200.0;
  EXPECT_NEAR(now, expected, 2.0);
  EXPECT_GT(now, 7.0e8);  // later than 2023
  double later = ReferenceDate::now();
  EXPECT_GE(later, now);

  for (double d : {0.0, 1.5, -0.25, 794012345.123456}) {
    EXPECT_NEAR(ReferenceDate::fromTimespec(ReferenceDate::toTimespec(d)), d, 1e-6) << d;
  }
  timespec ts = ReferenceDate::toTimespec(-0.25);
  EXPECT_GE(ts.tv_nsec, 0);
  EXPECT_LT(ts.tv_nsec, 1000000000L);

  // Dates that time_t cannot hold give a valid time instead of an undefined conversion.
  EXPECT_EQ(ReferenceDate::toTimespec(std::nan("")).tv_sec, 978307200);
  for (double huge : {HUGE_VAL, -HUGE_VAL, 1e300, -1e300}) {
    ts = ReferenceDate::toTimespec(huge);
    EXPECT_EQ(ts.tv_sec > 0, huge > 0) << huge;
    EXPECT_GE(ts.tv_nsec, 0) << huge;
    EXPECT_LT(ts.tv_nsec, 1000000000L) << huge;
  }
}

}  // namespace
}  // namespace corvane::platform
