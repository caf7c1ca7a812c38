// Shared pieces of the session-controller tests: a recording `MirrorChannelDelegate`, the
// process's descriptor and thread counts with settling, and bounded polling.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "session/link_fixture.h"
#include "session/mirror_channel_delegate.h"

namespace corvane::testing {

class RecordingMirrorDelegate : public MirrorChannelDelegate {
 public:
  // Runs inside each report, after it is recorded, on the reporting thread. Reports come on
  // link threads at any time, so the hook is set and read under the lock.
  void setOnReport(std::function<void(const std::string&)> hook) {
    std::lock_guard lock(mutex_);
    onReport_ = std::move(hook);
  }

  void onConnectToReceiverSuccess() override { add("onConnectToReceiverSuccess"); }
  void onConnectToReceiverFailed(int code) override { add("onConnectToReceiverFailed", code); }
  void onRequestMirrorOnSuccess() override { add("onRequestMirrorOnSuccess"); }
  void onRequestMirrorOnFailed(int code) override { add("onRequestMirrorOnFailed", code); }
  void onRequestMirrorOffSuccess() override { add("onRequestMirrorOffSuccess"); }
  void onRequestReceiverVersionSuccess(const std::string& version) override {
    add("onRequestReceiverVersionSuccess", 0, version);
  }

  size_t count(const std::string& name) const {
    std::lock_guard lock(mutex_);
    return countLocked(name);
  }
  std::vector<LinkEvent> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  bool waitFor(const std::string& name, size_t n = 1, double seconds = 10.0) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_until(lock, deadlineAfter(seconds), [&] { return countLocked(name) >= n; });
  }

 private:
  size_t countLocked(const std::string& name) const {
    return static_cast<size_t>(std::count_if(events_.begin(), events_.end(),
                                             [&](const LinkEvent& e) { return e.name == name; }));
  }
  void add(const std::string& name, int value = 0, std::optional<std::string> text = std::nullopt) {
    std::function<void(const std::string&)> hook;
    {
      std::lock_guard lock(mutex_);
      events_.emplace_back(name, value, std::move(text), Clock::now());
      cv_.notify_all();
      hook = onReport_;
    }
    if (hook) hook(name);
  }
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<LinkEvent> events_;
  std::function<void(const std::string&)> onReport_;
};

inline size_t entriesIn(const char* folder) {
  std::error_code error;
  size_t n = 0;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    ++n;
  }
  return n;
}
inline size_t threadCount() { return entriesIn("/proc/self/task"); }
inline size_t descriptorCount() { return entriesIn("/proc/self/fd"); }

// Waits until `count()` is back to at most `limit`; answers the last count.
template <typename F>
size_t settleTo(F count, size_t limit, double seconds) {
  const auto deadline = deadlineAfter(seconds);
  size_t now = count();
  while (now > limit && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    now = count();
  }
  return now;
}

// Polls `done` every 10 ms for at most `seconds`.
template <typename F>
bool waitUntil(F done, double seconds = 10.0) {
  const auto deadline = deadlineAfter(seconds);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace corvane::testing
