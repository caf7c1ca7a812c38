#include "platform/video/stage_cpu.h"

#include <time.h>

#include <array>
#include <atomic>

namespace corvane::platform::video {

namespace {

std::array<std::atomic<std::uint64_t>, kVideoStageCount>& totals() {
  static std::array<std::atomic<std::uint64_t>, kVideoStageCount> sums{};
  return sums;
}

}  // namespace

std::uint64_t threadCpuNanoseconds() {
  timespec now{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) return 0;
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000ULL +
         static_cast<std::uint64_t>(now.tv_nsec);
}

void addStageCpu(VideoStage stage, std::uint64_t nanoseconds) {
  const auto index = static_cast<std::size_t>(stage);
  if (index >= kVideoStageCount) return;
  totals()[index].fetch_add(nanoseconds, std::memory_order_relaxed);
}

double stageCpuSeconds(VideoStage stage) {
  const auto index = static_cast<std::size_t>(stage);
  if (index >= kVideoStageCount) return 0;
  return static_cast<double>(totals()[index].load(std::memory_order_relaxed)) / 1e9;
}

}  // namespace corvane::platform::video
