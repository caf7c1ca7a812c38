#include "platform/dispatch/serial_queue.h"

#include <iterator>

#include "platform/dispatch/frame.h"
#include "platform/dispatch/pools.h"

namespace corvane::platform::dispatch::detail {

SerialQueue::SerialQueue(std::string label) : Queue(std::move(label), true) {}

void SerialQueue::async(Block block) {
  bool schedule = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back(Item{std::move(block), nullptr});
    if (!running_) {
      running_ = true;
      schedule = true;
    }
  }
  if (schedule) scheduleDrain();
}

void SerialQueue::sync(Block block) {
  if (isRunningOn(this)) {
    // Already on this queue (nested): waiting would never end, so run it here.
    block();
    return;
  }
  // The block may drop the last outside reference to this queue; keep it alive until the
  // queue has been handed on.
  auto keepAlive = shared_from_this();
  OneShotSignal turn;
  bool wait = false;
  bool schedule = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_ && items_.empty()) {
      running_ = true;
    } else {
      items_.push_back(Item{nullptr, &turn});
      wait = true;
      if (!running_) {
        running_ = true;
        schedule = true;
      }
    }
  }
  if (schedule) scheduleDrain();
  if (wait) turn.wait();
  {
    FrameScope frame(this);
    block();
  }
  release();
}

void SerialQueue::scheduleDrain() {
  auto self = std::static_pointer_cast<SerialQueue>(shared_from_this());
  serialPool().submit([self = std::move(self)] { self->drain(); });
}

void SerialQueue::release() {
  OneShotSignal* next = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (items_.empty()) {
      running_ = false;
      return;
    }
    if (items_.front().waiter != nullptr) {
      // Hand the queue straight to the next `sync` caller: no worker needed.
      next = items_.front().waiter;
      items_.erase(items_.begin());
    }
  }
  if (next != nullptr) {
    next->set();
  } else {
    scheduleDrain();
  }
}

void SerialQueue::drain() {
  FrameScope frame(this);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (items_.empty()) {
        running_ = false;
        return;
      }
      batch_.swap(items_);
    }
    const size_t count = batch_.size();
    for (size_t i = 0; i < count; ++i) {
      Item& item = batch_[i];
      if (item.waiter != nullptr) {
        // A `sync` caller's turn: put the rest back in front and hand the queue over.
        OneShotSignal* waiter = item.waiter;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          const auto rest = batch_.begin() + static_cast<std::ptrdiff_t>(i + 1);
          items_.insert(items_.begin(), std::make_move_iterator(rest),
                        std::make_move_iterator(batch_.end()));
        }
        batch_.clear();
        waiter->set();
        return;
      }
      item.block();
      item.block = nullptr;
    }
    batch_.clear();
  }
}

}  // namespace corvane::platform::dispatch::detail
