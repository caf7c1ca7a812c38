// A thread of the audio backend that runs posted tasks one at a time, in the order they were
// posted. Each task carries a key (a listener token, a stream id; 0 for the backend's own
// work) so that an owner can withdraw its tasks and wait until none of them runs any more.
// An optional idle task runs every `idleInterval` while nothing is queued.
//
// Threads: `post`, `cancel` and `isCurrent` from any thread (a task may call them too).
// Ownership: the destructor ends the thread (queued tasks are dropped) and must not run on
// it; whoever holds the object keeps the thread alive.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/foundation/thread.h"

namespace corvane::platform::audio::detail {

class CallbackThread {
 public:
  using Task = std::function<void()>;

  CallbackThread(const std::string& name, std::chrono::milliseconds idleInterval = {},
                 Task idle = {});
  ~CallbackThread();
  CallbackThread(const CallbackThread&) = delete;
  CallbackThread& operator=(const CallbackThread&) = delete;

  void post(std::uint64_t key, Task task);
  // Drops the queued tasks of `key` and waits until a running one has returned (at once
  // when called from the thread itself). Key 0 is never cancelled.
  void cancel(std::uint64_t key);
  bool isCurrent() const;
  // Waits until every task posted so far has run (at most `seconds`); true when it has.
  bool waitUntilDrained(double seconds);

 private:
  struct Entry {
    std::uint64_t key = 0;
    Task task;
  };
  void loop();

  const std::chrono::milliseconds idleInterval_;
  const Task idle_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable ran_;
  std::deque<Entry> tasks_;
  std::uint64_t running_ = 0;   // key of the running task
  bool busy_ = false;           // a task runs
  std::uint64_t posted_ = 0;
  std::uint64_t finished_ = 0;  // posted tasks that ran or were dropped
  bool stopping_ = false;
  std::thread::id threadId_;
  std::shared_ptr<Thread> thread_;
};

}  // namespace corvane::platform::audio::detail
