// A run loop per thread: it fires the timers scheduled on it and runs blocks that other
// threads hand to it, but only while its own thread runs it (runOnce / runUntil / runFor /
// run). Used by worker threads that "run the thread's run loop" between rounds and by the
// privileged task, whose check timer fires on the run loop of the launching thread.
//
// Built on epoll, an eventfd (wake-ups) and a timerfd (the earliest timer): waiting never
// polls. Unlike some platforms, running a loop without timers still waits until the given
// date (or a wake-up), so a worker loop that runs it for 0.01 s per round never spins.
//
// Thread-safety: `current`, `main` and every run* function are for the loop's own thread
// (run* from any other thread returns at once). `addTimer`, `performBlock`, `wakeUp` and
// `stop` may be called from any thread. Timer callbacks and performed blocks run on the
// loop's thread inside a run* call, never inside the call that scheduled them.
// Ownership: the loop holds its timers until they are invalidated (or, for one-shot timers,
// have fired). A loop lives as long as its thread or any shared_ptr to it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace corvane::platform {

class RunLoop;

// A timer that fires on one run loop, once or every `interval` seconds.
// Repeating timers keep their phase: a fire that is missed because the loop did not run is
// skipped, not caught up.
class RunLoopTimer : public std::enable_shared_from_this<RunLoopTimer> {
 public:
  using Callback = std::function<void(RunLoopTimer& timer)>;

  // A timer that first fires `interval` seconds after it is added to a loop (a negative
  // interval counts as 0; a repeating timer uses at least 0.1 ms between fires).
  static std::shared_ptr<RunLoopTimer> create(double interval, bool repeats, Callback callback);
  // Creates a timer and adds it to the calling thread's run loop.
  static std::shared_ptr<RunLoopTimer> scheduledTimer(double interval, bool repeats,
                                                      Callback callback);

  // Stops the timer for good. Called on the loop's thread (for instance from its own
  // callback) the timer never fires again; called from another thread, a fire that the loop
  // has already begun may still run. Any thread.
  void invalidate();
  bool isValid() const { return valid_.load(std::memory_order_acquire); }
  double interval() const { return interval_; }
  bool repeats() const { return repeats_; }

 private:
  friend class RunLoop;
  RunLoopTimer(double interval, bool repeats, Callback callback);

  const double interval_;
  const bool repeats_;
  Callback callback_;
  std::atomic<bool> valid_{true};
  std::mutex loopMutex_;         // guards added_ and loop_
  bool added_ = false;           // added to a loop (at most once)
  std::weak_ptr<RunLoop> loop_;  // the loop it was added to
  std::int64_t fireTimeNs_ = 0;  // next fire, monotonic ns; under the loop's mutex
};

class RunLoop : public std::enable_shared_from_this<RunLoop> {
 public:
  ~RunLoop();
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  // The calling thread's run loop, made on first use.
  static std::shared_ptr<RunLoop> current();
  // The run loop of the process's initial thread (made on first use from any thread).
  static std::shared_ptr<RunLoop> main();

  // Processes what is ready (performed blocks, due timers); when nothing was ready, waits
  // until something is or until `beforeDate` (seconds since the reference date) and
  // processes that. True when a block ran or a timer fired. `runOnce()` without a date
  // never waits ("run once, until the present moment").
  bool runOnce(std::optional<double> beforeDate = std::nullopt);
  // Keeps processing until the date (seconds since the reference date) has passed or
  // `stop` is called.
  void runUntil(double date);
  // runUntil(now + seconds).
  void runFor(double seconds);
  // Keeps processing until `stop`.
  void run();
  // Makes the innermost running run* call return after its current callback. When the loop
  // is not running, the next run* call returns at once. Any thread.
  void stop();

  // Schedules a timer on this loop. A timer can belong to one loop only; adding it again or
  // to a second loop does nothing, as does adding an invalidated timer. Any thread.
  void addTimer(const std::shared_ptr<RunLoopTimer>& timer);
  // Runs the block on this loop's thread at its next run, after blocks submitted earlier.
  // Any thread.
  void performBlock(std::function<void()> block);
  // Makes a waiting runOnce return (runUntil just keeps running). Any thread.
  void wakeUp();

  // A descriptor that is readable whenever runOnce() has something to do, so that a
  // foreign event loop owning this thread (the UI loop) can watch it and call runOnce().
  int fileDescriptor() const { return epollFd_; }

 private:
  RunLoop();
  friend class RunLoopTimer;

  bool runOnceUntil(std::int64_t deadlineNs, bool wait);
  void rearmTimerLocked();
  void removeTimer(RunLoopTimer* timer);
  void signalWake();
  void drainFds();
  bool onOwnThread() const;

  int epollFd_ = -1;
  int eventFd_ = -1;
  int timerFd_ = -1;
  std::thread::id thread_;  // the owning thread (unused for the main loop)
  bool isMain_ = false;     // owned by the process's initial thread
  std::mutex mutex_;
  std::vector<std::shared_ptr<RunLoopTimer>> timers_;
  std::vector<std::function<void()>> blocks_;
  std::atomic<bool> stopRequested_{false};
};

}  // namespace corvane::platform
