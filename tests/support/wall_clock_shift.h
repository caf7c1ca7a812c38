// Moves the wall clock of the test process, and only it: every reading of CLOCK_REALTIME
// (clock_gettime, gettimeofday, time) is shifted, while the steady clocks stay untouched. The
// test executable that links this replaces the C library's wall-clock functions, so the code
// under test sees the shift without any hook of its own. With no shift set the readings are
// the real ones.
//
// Thread-safety: every function may be called from any thread.
#pragma once

namespace corvane::test {

class WallClockShift {
 public:
  // Steps the wall clock by `seconds` (negative: back), once, now.
  static void step(double seconds);
  // Makes the wall clock move by `seconds` more at each reading (negative: it runs backwards).
  static void setDriftPerReading(double seconds);
  // Back to the real wall clock.
  static void reset();

  // Resets on destruction, so that a failed test leaves a true clock behind.
  WallClockShift() = default;
  ~WallClockShift() { reset(); }
  WallClockShift(const WallClockShift&) = delete;
  WallClockShift& operator=(const WallClockShift&) = delete;
};

}  // namespace corvane::test
