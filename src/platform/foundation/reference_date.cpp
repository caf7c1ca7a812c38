#include "platform/foundation/reference_date.h"

#include <cmath>

namespace corvane::platform {

double ReferenceDate::now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return fromTimespec(ts);
}

double ReferenceDate::fromTimespec(const timespec& ts) {
  return fromUnixTime(static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9);
}

timespec ReferenceDate::toTimespec(double referenceSeconds) {
  // Not a number reads as the reference date; dates beyond what time_t holds are cut to its
  // range (converting them would be undefined).
  if (std::isnan(referenceSeconds)) referenceSeconds = 0;
  constexpr double kLimit = 9.0e15;  // about 285 million years, exact in a double
  double unix = std::fmax(std::fmin(toUnixTime(referenceSeconds), kLimit), -kLimit);
  double whole = std::floor(unix);
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(whole);
  long nsec = static_cast<long>(std::llround((unix - whole) * 1e9));
  if (nsec >= 1000000000L) {
    ts.tv_sec += 1;
    nsec -= 1000000000L;
  }
  ts.tv_nsec = nsec;
  return ts;
}

}  // namespace corvane::platform
