// Dispatch queues, sources, timers, semaphores, groups and once: the project's own
// replacement for the platform's dispatch library, built on threads, epoll and timerfd.
//
// Guarantees:
// - Blocks of one serial queue never overlap and run in submission order.
// - `sync` onto a serial queue from any other queue or thread never deadlocks. The block
//   runs on the calling thread once every earlier block has run (main queue: on the thread
//   that drains it). A `sync` onto a queue the caller is already running on runs the block
//   at once instead of waiting for itself.
// - Serial queues drain on a pool of their own, apart from the global pools, so that
//   callers blocked on a global pool never keep a serial queue from running.
// - The global concurrent queues share one pool per priority that grows while all
//   its workers are busy (blocking work such as connect() or name look-up runs there),
//   up to a generous cap, and lets idle workers go.
// - Idle workers of the serial and the high/default global pools, semaphore waits, `sync`
//   callers and the event thread poll for up to 50 us before they sleep: a hand-off that
//   follows closely (the usual case for socket traffic) then costs no thread wake-up.
// - A callback never runs inside the call that submitted it.
// - `after` / `afterTime` blocks of one serial queue run in deadline order (equal deadlines in
//   submission order), overdue ones too: a block whose deadline has passed when it is
//   submitted still waits behind every block of the queue with an earlier deadline that has
//   not been handed to the queue yet. The order cannot reach back: a block submitted after
//   one with a later deadline has already come due (and may have run) runs after that one.
// - Event handlers of one source never run concurrently; events that arrive while a
//   handler is pending coalesce; after `cancel` no further event handler starts, and the
//   cancel handler runs exactly once, on the target queue, after the last event handler
//   has returned.
//
// Every object here is thread-safe; all functions may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace corvane::platform::dispatch {

// A unit of work. Blocks must not let exceptions escape (one that does ends the process).
using Block = std::function<void()>;

// Monotonic time used for all dispatch deadlines.
using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

// "Wait forever" for semaphore and group waits and for timer intervals.
inline constexpr double kForever = -1.0;

// Priorities of the global concurrent queues.
enum class Priority : int {
  High = 2,
  Default = 0,
  Low = -2,
  Background = -32768,
};

class Queue;
using QueuePtr = std::shared_ptr<Queue>;

// A dispatch queue. Serial queues run one block at a time in submission order;
// concurrent queues run blocks in parallel on the global pool, except barrier blocks,
// which run alone after every earlier block has finished.
class Queue : public std::enable_shared_from_this<Queue> {
 public:
  virtual ~Queue();

  // A new serial queue. The label may be empty.
  static QueuePtr createSerial(std::string label);
  // A new concurrent queue whose blocks run on the global pool of `priority`.
  static QueuePtr createConcurrent(std::string label, Priority priority = Priority::Default);
  // The global concurrent queue of a priority (labelled "global.high", "global.default", ...).
  static QueuePtr global(Priority priority = Priority::Default);
  // The main queue (label "main"): a serial queue drained by whoever owns the main thread
  // (see MainQueue below).
  static QueuePtr main();  // NOLINT(bugprone-exception-escape): not the program's main

  // The queue whose block the calling thread is running, or nullptr on a plain thread.
  static QueuePtr current();
  // The label of `current()`, or "" when the caller runs on no queue.
  static std::string currentLabel();

  const std::string& label() const { return label_; }
  bool isSerial() const { return serial_; }

  // Submits a block; returns at once.
  virtual void async(Block block) = 0;
  // Submits a block and waits until it has run.
  virtual void sync(Block block) = 0;
  // Submits a block to run no earlier than `seconds` from now (negative or 0: now), or no
  // earlier than `when`. Either way it goes through the timers, which hand due blocks to the
  // queue in deadline order; a plain `async` does not wait behind them.
  void after(double seconds, Block block);
  void afterTime(TimePoint when, Block block);
  // Barrier blocks: on a concurrent queue the block runs alone, after every earlier block
  // and before every later one. On a serial queue they are plain async / sync.
  virtual void barrierAsync(Block block) = 0;
  virtual void barrierSync(Block block) = 0;

  // Queue-specific values, keyed by address. Setting nullptr removes the key.
  void setSpecific(const void* key, void* value);
  void* getSpecific(const void* key) const;
  // The value for `key` of the queue the caller is running on (innermost when blocks
  // run nested through `sync`), or nullptr.
  static void* getCurrentSpecific(const void* key);

 protected:
  Queue(std::string label, bool serial);

 private:
  struct Specifics;
  std::string label_;
  bool serial_;
  std::unique_ptr<Specifics> specifics_;
};

// Drains the main queue. The owner of the main thread decides how: a plain loop
// (`run` / `stop`) or a UI loop that installs a waker and calls `drain` when woken.
class MainQueue {
 public:
  // Runs main-queue blocks on the calling thread until `stop` is called.
  static void run();
  // Makes `run` return after the block it is running (callable from any thread).
  static void stop();
  // Runs the main-queue blocks submitted so far on the calling thread; returns how many ran.
  static int drain();
  // Runs main-queue blocks until `pred` is true or the time-out passes; returns pred().
  // `pred` is checked after each batch of blocks and at least every 10 ms.
  static bool runUntil(const std::function<bool()>& pred, double timeoutSeconds);
  // Called (from any thread) whenever a block is added to an empty main queue, so that a
  // foreign loop can schedule a `drain`. nullptr restores the default (wakes `run`).
  static void setWaker(std::function<void()> waker);
};

// Counting semaphore.
class Semaphore {
 public:
  explicit Semaphore(long value = 0);
  ~Semaphore();
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;
  // Waits for a count; `timeoutSeconds` < 0 waits forever. Returns false on time-out.
  bool wait(double timeoutSeconds = kForever);
  // Returns a count, waking one waiter.
  void signal();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A group of blocks whose completion can be waited for or notified.
class Group {
 public:
  Group();
  ~Group();
  Group(const Group&) = delete;
  Group& operator=(const Group&) = delete;
  void async(const QueuePtr& queue, Block block);
  void enter();
  void leave();
  // Waits until every block of the group has finished; false on time-out.
  bool wait(double timeoutSeconds = kForever);
  // Submits `block` to `queue` once the group is empty (at once if it is empty now).
  void notify(const QueuePtr& queue, Block block);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Runs a block exactly once across all threads; later callers wait until it has run.
class Once {
 public:
  void operator()(const std::function<void()>& block);

 private:
  std::once_flag flag_;
};

class Source;
using SourcePtr = std::shared_ptr<Source>;

namespace detail {
class SourceCore;
}

// A source of events delivered to a target queue. Created suspended (suspend count 1);
// each `resume` lowers the count, each `suspend` raises it, and events are delivered
// only at count 0. Events that arrive while a handler is pending or the source is
// suspended coalesce into one delivery (read and write sources are level-triggered: while
// suspended they keep nothing and report again after `resume` if still ready). Dropping
// the last reference to a source cancels it. A null queue means the default global queue.
class Source : public std::enable_shared_from_this<Source> {
 public:
  virtual ~Source();

  // A read source: fires while `fd` is readable; `data()` is the number of bytes readable
  // (for a listening socket, the number of pending connections, at least 1). On a regular
  // file it fires while bytes remain after the file position, and at end of file once (0)
  // per `resume`.
  static SourcePtr createRead(int fd, QueuePtr queue);
  // A write source: fires while `fd` is writable; `data()` estimates the free buffer space.
  static SourcePtr createWrite(int fd, QueuePtr queue);
  // A timer source; configure it with `setTimer`. `data()` is the number of firings since
  // the last handler run.
  static SourcePtr createTimer(QueuePtr queue);
  // Watches an open file descriptor for deletion and renaming of its file. `data()` holds
  // the event bits that occurred (kFileDelete | kFileRename).
  static SourcePtr createFileWatch(int fd, QueuePtr queue);

  static constexpr unsigned long kFileDelete = 0x1;
  static constexpr unsigned long kFileRename = 0x20;

  void setEventHandler(Block handler);
  void setCancelHandler(Block handler);

  // Timer: first firing at `start`, then every `intervalSeconds` (kForever, or any value
  // <= 0, = one-shot).
  // The timer may fire up to `leewaySeconds` late. May be called again to re-arm; firings
  // not yet delivered are then dropped.
  void setTimer(TimePoint start, double intervalSeconds, double leewaySeconds = 0.0);
  void setTimer(double startAfterSeconds, double intervalSeconds, double leewaySeconds = 0.0);

  // Counted suspension. A `resume` that would take the count below 0 is ignored.
  void suspend();
  void resume();
  // Stops further events. The cancel handler runs once on the queue after any event
  // handler that is running or pending has returned. Safe to call more than once and
  // while suspended (the cancel handler still runs; resuming is not required).
  void cancel();
  bool isCancelled() const;

  // The event's data; meaningful inside the event handler.
  unsigned long data() const;
  // The descriptor the source watches, or -1 for a timer.
  int handle() const;

 protected:
  Source() = default;

  std::shared_ptr<detail::SourceCore> core_;
};

}  // namespace corvane::platform::dispatch
