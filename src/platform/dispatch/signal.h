// A one-time wake-up between two threads: one thread waits, another sets it once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/dispatch/spin.h"

namespace corvane::platform::dispatch::detail {

class OneShotSignal {
 public:
  // Any thread. After `set` the other side may destroy the object at once.
  void set() {
    std::lock_guard<std::mutex> lock(mutex_);
    done_.store(true, std::memory_order_release);
    cv_.notify_one();
  }
  void wait() {
    // A hand-over within a few microseconds is seen without sleeping. The lock is taken
    // either way, so that `set` has left the object before `wait` returns.
    spinUntil([this] { return done_.load(std::memory_order_acquire); }, kSpinBeforeSleep);
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return done_.load(std::memory_order_relaxed); });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::atomic<bool> done_{false};
};

}  // namespace corvane::platform::dispatch::detail
