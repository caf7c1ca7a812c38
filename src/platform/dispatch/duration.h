// Conversion of the seconds that callers pass (any double) into clock durations.
#pragma once

#include <chrono>
#include <cmath>

#include "platform/dispatch/dispatch.h"

namespace corvane::platform::dispatch::detail {

// Longest span taken as given (about 95 years); longer ones are cut to it.
inline constexpr double kMaxSeconds = 3.0e9;

// `seconds` as a clock duration: NaN and negative values give zero, huge values are cut
// so that the conversion cannot overflow.
inline Clock::duration toDuration(double seconds) {
  if (!(seconds > 0.0)) return Clock::duration::zero();
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(std::fmin(seconds, kMaxSeconds)));
}

// The time `seconds` from now (see toDuration).
inline TimePoint fromNow(double seconds) { return Clock::now() + toDuration(seconds); }

}  // namespace corvane::platform::dispatch::detail
