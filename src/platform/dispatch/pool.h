// A pool of worker threads that grows while all its workers are busy and lets idle workers
// go. The global concurrent queues run on one pool per priority; serial queues drain on a
// pool of their own, so that a global pool full of blocked callers cannot starve them.
//
// A worker that runs out of tasks first polls for new ones for `spinTime` (at most
// `maxSpinners` workers at a time) before it sleeps: a task submitted meanwhile is handed to
// it without a thread wake-up. A task handed to a polling worker is counted as taken, so the
// next task still goes to another worker (or a new one) while the cap allows.
//
// Threads: every member may be called from any thread. Tasks run on the pool's workers.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace corvane::platform::dispatch::detail {

class Pool {
 public:
  using Task = std::function<void()>;

  struct Options {
    std::string threadName;  // at most 15 characters are kept
    int niceness = 0;        // added to the workers' scheduling niceness (best effort)
    int maxThreads = 256;
    std::chrono::milliseconds idleTimeout{5000};
    std::chrono::microseconds spinTime{0};  // zero: idle workers sleep at once
    int maxSpinners = 1;
  };

  explicit Pool(Options options);
  // Waits until every queued task has run and every worker has left.
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  // Queues a task; wakes an idle worker, or starts a new one when none is idle and the
  // cap allows.
  void submit(Task task);

  int threadCount() const;
  // Waits until at most `count` workers are alive; false on time-out.
  bool waitForThreadCountAtMost(int count, std::chrono::milliseconds timeout) const;

 private:
  void workerMain();
  void startWorker();
  // Polls (without the lock) until a task is queued or `spinTime` has passed.
  void spinForWork() const;

  const Options options_;
  mutable std::mutex mutex_;
  std::condition_variable workCv_;
  mutable std::condition_variable exitCv_;
  std::deque<Task> tasks_;
  std::atomic<size_t> queued_{0};  // tasks_.size(), changed under the lock, read by pollers
  int threads_ = 0;
  int idle_ = 0;        // workers sleeping until there is work
  int wakeups_ = 0;     // sleeping workers already asked to wake
  int spinners_ = 0;    // workers polling for work
  int spinClaims_ = 0;  // polling workers already counted on for a queued task
  bool stopping_ = false;
};

}  // namespace corvane::platform::dispatch::detail
