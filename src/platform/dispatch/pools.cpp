#include "platform/dispatch/pools.h"
#include "platform/dispatch/spin.h"

namespace corvane::platform::dispatch::detail {

namespace {

constexpr int kGlobalPoolCap = 256;
constexpr int kSerialPoolCap = 512;
// Workers of the latency-sensitive pools that may poll for work at a time; low-priority
// and background work never polls.
constexpr int kSpinners = 2;

Pool* makePool(const char* name, int niceness, int cap, int spinners) {
  Pool::Options options;
  options.threadName = name;
  options.niceness = niceness;
  options.maxThreads = cap;
  options.spinTime = spinners > 0 ? kSpinBeforeSleep : std::chrono::microseconds(0);
  options.maxSpinners = spinners;
  return new Pool(std::move(options));
}

}  // namespace

Priority normalisedPriority(Priority priority) {
  const int value = static_cast<int>(priority);
  if (value > 0) return Priority::High;
  if (value == 0) return Priority::Default;
  if (value > static_cast<int>(Priority::Background)) return Priority::Low;
  return Priority::Background;
}

Pool& globalPool(Priority priority) {
  static Pool* const high = makePool("dispatch.high", 0, kGlobalPoolCap, kSpinners);
  static Pool* const normal = makePool("dispatch.def", 0, kGlobalPoolCap, kSpinners);
  static Pool* const low = makePool("dispatch.low", 5, kGlobalPoolCap, 0);
  static Pool* const background = makePool("dispatch.bg", 10, kGlobalPoolCap, 0);
  switch (normalisedPriority(priority)) {
    case Priority::High:
      return *high;
    case Priority::Low:
      return *low;
    case Priority::Background:
      return *background;
    case Priority::Default:
      break;
  }
  return *normal;
}

Pool& serialPool() {
  static Pool* const pool = makePool("dispatch.serial", 0, kSerialPoolCap, kSpinners);
  return *pool;
}

}  // namespace corvane::platform::dispatch::detail
