// Bounded busy-waiting before a thread goes to sleep. Waking a sleeping thread on another
// CPU costs far more (tens of microseconds on a virtual machine whose idle CPUs halt) than
// the gap between two closely spaced hand-offs (a write completing, its callback, the next
// write), so the waiting side first polls for a short while: a few CPU pauses, then
// yields, so that a thread woken onto the same CPU (the peer of a socket just written to)
// runs at once instead of waiting behind the poller.
//
// Threads: any.
#pragma once

#include <chrono>
#include <thread>

namespace corvane::platform::dispatch::detail {

// How long pool workers, semaphores and `sync` callers poll before they sleep.
inline constexpr std::chrono::microseconds kSpinBeforeSleep{50};

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

// Polls `ready` until it returns true (returns true) or about `limit` has passed (returns
// false).
template <class Ready>
bool spinUntil(Ready&& ready, std::chrono::nanoseconds limit) {
  if (ready()) return true;
  if (limit <= std::chrono::nanoseconds::zero()) return false;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  constexpr int kPauses = 64;  // about 2-5 us of pause instructions, then yields
  for (int i = 0; i < kPauses; ++i) {
    cpuRelax();
    if (ready()) return true;
  }
  for (;;) {
    std::this_thread::yield();
    if (ready()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
}

}  // namespace corvane::platform::dispatch::detail
