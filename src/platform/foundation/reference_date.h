// The reference-date clock: wall-clock time as seconds (double) since the reference date
// 2001-01-01 00:00:00 UTC, the unit in which dates are stored and compared.
//
// All functions are pure or read the system clock; safe from any thread.
#pragma once

#include <ctime>

namespace corvane::platform {

class ReferenceDate {
 public:
  // Seconds between the Unix epoch (1970-01-01 00:00:00 UTC) and the reference date.
  static constexpr double kUnixOffset = 978307200.0;

  // Now, in seconds since the reference date (microsecond resolution or better).
  static double now();

  static constexpr double fromUnixTime(double unixSeconds) { return unixSeconds - kUnixOffset; }
  static constexpr double toUnixTime(double referenceSeconds) {
    return referenceSeconds + kUnixOffset;
  }
  static double fromTimespec(const timespec& ts);
  // NaN gives the reference date itself; infinite or far-off dates are cut to a range that
  // time_t holds.
  static timespec toTimespec(double referenceSeconds);
};

}  // namespace corvane::platform
