// Helpers for the dispatch tests: bounded, event-driven waiting.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace corvane::platform::dispatch::test {

using namespace std::chrono_literals;

inline constexpr auto kLongWait = 10s;

// Counts events from any thread; a test waits, with a deadline, for a count.
class Counter {
 public:
  void add(int n = 1) {
    std::lock_guard<std::mutex> lock(mutex_);
    value_ += n;
    cv_.notify_all();
  }
  int value() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return value_;
  }
  bool waitFor(int target, std::chrono::milliseconds timeout = kLongWait) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return value_ >= target; });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  int value_ = 0;
};

// A gate that blocked work waits on until the test opens it.
class Gate {
 public:
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  bool wait(std::chrono::milliseconds timeout = kLongWait) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return open_; });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  bool open_ = false;
};

}  // namespace corvane::platform::dispatch::test
