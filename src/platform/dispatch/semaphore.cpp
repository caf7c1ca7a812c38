#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/duration.h"
#include "platform/dispatch/spin.h"

namespace corvane::platform::dispatch {

struct Semaphore::State {
  std::mutex mutex;
  std::condition_variable cv;
  std::atomic<long> value{0};  // changed under the lock; polled without it
};

Semaphore::Semaphore(long value) : state_(std::make_unique<State>()) { state_->value = value; }

Semaphore::~Semaphore() = default;

bool Semaphore::wait(double timeoutSeconds) {
  const bool forever = timeoutSeconds < 0.0;
  const auto timeout = detail::toDuration(timeoutSeconds);
  const TimePoint deadline = forever ? TimePoint::max() : Clock::now() + timeout;
  // An untimed wait first polls briefly, so a count that arrives within microseconds is
  // taken without sleeping. Timed waits do not poll: the media queues wait in 1 ms slices,
  // and polling in every slice would make an idle consumer cost CPU.
  if (forever) {
    detail::spinUntil([this] { return state_->value.load(std::memory_order_acquire) > 0; },
                      detail::kSpinBeforeSleep);
  }
  std::unique_lock<std::mutex> lock(state_->mutex);
  auto ready = [this] { return state_->value.load(std::memory_order_relaxed) > 0; };
  if (forever) {
    state_->cv.wait(lock, ready);
  } else if (!state_->cv.wait_until(lock, deadline, ready)) {
    return false;
  }
  state_->value.fetch_sub(1, std::memory_order_relaxed);
  return true;
}

void Semaphore::signal() {
  // Notified under the lock: a waiter that takes the count may destroy the semaphore as
  // soon as it has the lock, so nothing here may touch the state after releasing it.
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->value.fetch_add(1, std::memory_order_release);
  state_->cv.notify_one();
}

}  // namespace corvane::platform::dispatch
