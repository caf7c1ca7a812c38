// The worker thread of a media encoder, joined by its owner: `join` returns only once the
// operating-system thread has exited (its thread-local buffers freed), so that nothing of a
// stopped encoder runs on past its `stop`.
//
// Threads: `start`, `join` and the destructor run on the owner's thread, one at a time (the
// owner serialises them); `isCurrent` may be called from any thread. On the worker itself,
// `join` returns at once and the destructor lets the thread end on its own.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace corvane::detail {

class WorkerThread {
 public:
  WorkerThread() = default;
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // Runs `body` on a new thread named `name` (cut to the kernel's 15 bytes). False, with a
  // log line, when the system made no thread: then nothing runs.
  bool start(std::function<void()> body, const std::string& name);
  // True from `start` until `join` has returned.
  bool exists() const { return thread_.joinable(); }
  // True on the worker thread itself.
  bool isCurrent() const;
  // Waits until the thread has exited; at once when none exists or on the worker itself.
  void join();

 private:
  std::thread thread_;
  std::atomic<std::thread::id> id_{};
};

}  // namespace corvane::detail
