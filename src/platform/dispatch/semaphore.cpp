#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/duration.h"

namespace corvane::platform::dispatch {

struct Semaphore::State {
  std::mutex mutex;
  std::condition_variable cv;
  long value = 0;
};

Semaphore::Semaphore(long value) : state_(std::make_unique<State>()) { state_->value = value; }

Semaphore::~Semaphore() = default;

bool Semaphore::wait(double timeoutSeconds) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  auto ready = [this] { return state_->value > 0; };
  if (timeoutSeconds < 0.0) {
    state_->cv.wait(lock, ready);
  } else {
    if (!state_->cv.wait_until(lock, detail::fromNow(timeoutSeconds), ready)) return false;
  }
  --state_->value;
  return true;
}

void Semaphore::signal() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    ++state_->value;
  }
  state_->cv.notify_one();
}

}  // namespace corvane::platform::dispatch
