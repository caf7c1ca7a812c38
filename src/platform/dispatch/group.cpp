#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/duration.h"

namespace corvane::platform::dispatch {

struct Group::State {
  std::mutex mutex;
  std::condition_variable cv;
  long count = 0;
  std::vector<std::pair<QueuePtr, Block>> notifications;

  void leave() {
    std::vector<std::pair<QueuePtr, Block>> due;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (count == 0) return;  // unbalanced leave: ignored
      if (--count != 0) return;
      due.swap(notifications);
      cv.notify_all();
    }
    for (auto& [queue, block] : due) queue->async(std::move(block));
  }
};

Group::Group() : state_(std::make_shared<State>()) {}

Group::~Group() = default;

void Group::async(const QueuePtr& queue, Block block) {
  if (!queue) return;
  enter();
  queue->async([state = state_, block = std::move(block)] {
    block();
    state->leave();
  });
}

void Group::enter() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  ++state_->count;
}

void Group::leave() { state_->leave(); }

bool Group::wait(double timeoutSeconds) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  auto empty = [this] { return state_->count == 0; };
  if (timeoutSeconds < 0.0) {
    state_->cv.wait(lock, empty);
    return true;
  }
  return state_->cv.wait_until(lock, detail::fromNow(timeoutSeconds), empty);
}

void Group::notify(const QueuePtr& queue, Block block) {
  if (!queue) return;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->count != 0) {
      state_->notifications.emplace_back(queue, std::move(block));
      return;
    }
  }
  queue->async(std::move(block));
}

}  // namespace corvane::platform::dispatch
