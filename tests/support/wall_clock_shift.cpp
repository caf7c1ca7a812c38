#include "support/wall_clock_shift.h"

#include <dlfcn.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace corvane::test {
namespace {

constexpr int64_t kNanosPerSecond = 1000000000;

std::atomic<int64_t> g_offsetNs{0};
std::atomic<int64_t> g_driftNs{0};

using ClockGettime = int (*)(clockid_t, timespec*);

// The C library's own clock_gettime (fast, through the vDSO); the system call when the
// dynamic linker cannot name it.
int realClockGettime(clockid_t clock, timespec* ts) {
  static const ClockGettime real =
      reinterpret_cast<ClockGettime>(dlsym(RTLD_NEXT, "clock_gettime"));
  if (real != nullptr) return real(clock, ts);
  return static_cast<int>(syscall(SYS_clock_gettime, clock, ts));
}

bool isWallClock(clockid_t clock) {
  return clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE;
}

void shift(timespec* ts) {
  const int64_t drift = g_driftNs.load(std::memory_order_relaxed);
  const int64_t offset =
      drift != 0 ? g_offsetNs.fetch_add(drift) + drift : g_offsetNs.load(std::memory_order_relaxed);
  if (offset == 0) return;
  int64_t ns = static_cast<int64_t>(ts->tv_sec) * kNanosPerSecond + ts->tv_nsec + offset;
  ts->tv_sec = static_cast<time_t>(ns / kNanosPerSecond);
  ns %= kNanosPerSecond;
  if (ns < 0) {
    ns += kNanosPerSecond;
    --ts->tv_sec;
  }
  ts->tv_nsec = static_cast<long>(ns);
}

int64_t toNanos(double seconds) { return static_cast<int64_t>(seconds * 1e9); }

}  // namespace

void WallClockShift::step(double seconds) { g_offsetNs.fetch_add(toNanos(seconds)); }

void WallClockShift::setDriftPerReading(double seconds) { g_driftNs.store(toNanos(seconds)); }

void WallClockShift::reset() {
  g_driftNs.store(0);
  g_offsetNs.store(0);
}

}  // namespace corvane::test

// The replacements of the C library's wall-clock readings.
extern "C" {

int clock_gettime(clockid_t clock, timespec* ts) noexcept {
  const int result = corvane::test::realClockGettime(clock, ts);
  if (result == 0 && corvane::test::isWallClock(clock)) corvane::test::shift(ts);
  return result;
}

int gettimeofday(timeval* tv, void* /*tz*/) noexcept {
  timespec ts{};
  const int result = clock_gettime(CLOCK_REALTIME, &ts);
  if (result == 0) {
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = static_cast<suseconds_t>(ts.tv_nsec / 1000);
  }
  return result;
}

time_t time(time_t* out) noexcept {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  if (out != nullptr) *out = ts.tv_sec;
  return ts.tv_sec;
}

}  // extern "C"
