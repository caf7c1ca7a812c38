// The state machine behind a `Source`: suspension count, pending (coalesced) event data,
// at most one delivery queued or running on the target queue, and a cancel handler that
// runs once after the last delivery.
//
// Threads: public members from any thread; `fdReady`, `fileChanged` and the timer entry
// from the reactor thread; deliveries run on the target queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/reactor.h"

namespace corvane::platform::dispatch::detail {

class SourceCore : public std::enable_shared_from_this<SourceCore> {
 public:
  enum class Kind { Read, Write, Timer, FileWatch };

  SourceCore(Kind kind, int fd, QueuePtr queue);

  // Registers with the reactor; called once right after construction.
  void attach();

  void setEventHandler(Block handler);
  void setCancelHandler(Block handler);
  void setTimer(TimePoint start, double intervalSeconds, double leewaySeconds);
  void suspend();
  void resume();
  void cancel();
  bool isCancelled() const;
  unsigned long data() const { return data_.load(std::memory_order_relaxed); }
  int handle() const { return kind_ == Kind::Timer ? -1 : fd_; }

  // Reactor thread.
  void fdReady();
  void fileChanged(uint32_t inotifyMask);

 private:
  using Lock = std::unique_lock<std::mutex>;

  void timerFired(uint64_t generation, TimePoint deadline);
  // Called last with the lock held: arms the descriptor as the state allows, releases the
  // lock and then submits a delivery or the cancel handler when one is due.
  void update(Lock& lock);
  unsigned long descriptorDataLocked() const;
  void deliver();    // on the target queue
  void runCancel();  // on the target queue
  bool isDescriptorSource() const { return kind_ == Kind::Read || kind_ == Kind::Write; }

  const Kind kind_;
  const int fd_;
  const QueuePtr queue_;
  bool listening_ = false;  // read source on a listening socket

  mutable std::mutex mutex_;
  long suspendCount_ = 1;
  bool cancelled_ = false;
  bool cancelQueued_ = false;
  bool pending_ = false;
  unsigned long pendingData_ = 0;
  bool deliveryQueued_ = false;  // a delivery is queued or its handler is running
  bool armed_ = false;           // the reactor watches the descriptor for us
  bool watching_ = false;        // file watch registered
  // Read source on a descriptor that cannot be polled (a regular file): end of file was
  // reported since the last resume, so the source stays quiet until bytes arrive with the
  // next resume.
  bool endOfFileReported_ = false;
  std::shared_ptr<Block> eventHandler_;
  Block cancelHandler_;
  std::atomic<unsigned long> data_{0};

  // Timer configuration.
  uint64_t timerGeneration_ = 0;
  Reactor::TimerId timerId_ = 0;
  Clock::duration interval_{0};  // zero: one-shot
};

}  // namespace corvane::platform::dispatch::detail
