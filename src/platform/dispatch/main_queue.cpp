#include "platform/dispatch/main_queue.h"
#include "platform/dispatch/duration.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

#include "platform/dispatch/frame.h"
#include "platform/dispatch/signal.h"

namespace corvane::platform::dispatch {

namespace detail {

namespace {
// Longest time `runUntil` sleeps before it looks at its predicate again.
constexpr auto kPredicateCheckInterval = std::chrono::milliseconds(10);
}  // namespace

MainQueueImpl::MainQueueImpl() : Queue("main", true) {}

MainQueueImpl& MainQueueImpl::instance() {
  // Never destroyed: blocks may still be submitted while the process exits.
  static auto* const queue = new std::shared_ptr<MainQueueImpl>(std::make_shared<MainQueueImpl>());
  return **queue;
}

void MainQueueImpl::async(Block block) {
  std::shared_ptr<std::function<void()>> waker;
  bool wake = false;
  bool notify = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wake = items_.empty();
    items_.push_back(std::move(block));
    waker = waker_;
    notify = sleepers_ > 0;
  }
  if (notify) cv_.notify_all();
  if (wake && waker) (*waker)();
}

void MainQueueImpl::sync(Block block) {
  if (isRunningOn(this)) {
    block();
    return;
  }
  if (static_cast<pid_t>(syscall(SYS_gettid)) == getpid()) {
    // On the main thread outside a main-queue block (start-up code, a run-loop timer):
    // nobody else would drain the queue, so run what came before, then the block, here.
    drain();
    FrameScope frame(this);
    block();
    return;
  }
  OneShotSignal done;
  async([&block, &done] {
    block();
    done.set();
  });
  done.wait();
}

int MainQueueImpl::drainBatch(bool honourStop) {
  if (isRunningOn(this)) return 0;  // a main-queue block never drains the queue again
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (draining_ || items_.empty()) return 0;
    draining_ = true;
    batch_.swap(items_);
  }
  int ran = 0;
  {
    FrameScope frame(this);
    const size_t count = batch_.size();
    for (size_t i = 0; i < count; ++i) {
      batch_[i]();
      batch_[i] = nullptr;
      ++ran;
      if (honourStop && i + 1 < count) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopRequested_) {
          const auto rest = batch_.begin() + static_cast<std::ptrdiff_t>(i + 1);
          items_.insert(items_.begin(), std::make_move_iterator(rest),
                        std::make_move_iterator(batch_.end()));
          break;
        }
      }
    }
    batch_.clear();
  }
  bool notify = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    draining_ = false;
    notify = sleepers_ > 0 && !items_.empty();
  }
  if (notify) cv_.notify_all();
  return ran;
}

void MainQueueImpl::run() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ++sleepers_;
      cv_.wait(lock, [this] { return stopRequested_ || (!items_.empty() && !draining_); });
      --sleepers_;
      if (stopRequested_) {
        stopRequested_ = false;
        return;
      }
    }
    drainBatch(true);
  }
}

void MainQueueImpl::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopRequested_ = true;
  }
  cv_.notify_all();
}

bool MainQueueImpl::runUntil(const std::function<bool()>& pred, double timeoutSeconds) {
  const auto deadline = fromNow(timeoutSeconds);
  for (;;) {
    drainBatch(false);
    if (pred()) return true;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    ++sleepers_;
    cv_.wait_until(lock, std::min(deadline, now + kPredicateCheckInterval),
                   [this] { return !items_.empty() && !draining_; });
    --sleepers_;
  }
}

void MainQueueImpl::setWaker(std::function<void()> waker) {
  std::lock_guard<std::mutex> lock(mutex_);
  waker_ = waker ? std::make_shared<std::function<void()>>(std::move(waker)) : nullptr;
}

}  // namespace detail

void MainQueue::run() { detail::MainQueueImpl::instance().run(); }
void MainQueue::stop() { detail::MainQueueImpl::instance().stop(); }
int MainQueue::drain() { return detail::MainQueueImpl::instance().drain(); }
bool MainQueue::runUntil(const std::function<bool()>& pred, double timeoutSeconds) {
  return detail::MainQueueImpl::instance().runUntil(pred, timeoutSeconds);
}
void MainQueue::setWaker(std::function<void()> waker) {
  detail::MainQueueImpl::instance().setWaker(std::move(waker));
}

}  // namespace corvane::platform::dispatch
