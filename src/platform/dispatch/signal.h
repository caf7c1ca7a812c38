// A one-time wake-up between two threads: one thread waits, another sets it once.
#pragma once

#include <condition_variable>
#include <mutex>

namespace corvane::platform::dispatch::detail {

class OneShotSignal {
 public:
  // Any thread. After `set` the other side may destroy the object at once.
  void set() {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    cv_.notify_one();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return done_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
};

}  // namespace corvane::platform::dispatch::detail
