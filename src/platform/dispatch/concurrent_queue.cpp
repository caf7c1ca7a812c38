#include "platform/dispatch/concurrent_queue.h"

#include "platform/dispatch/frame.h"

namespace corvane::platform::dispatch::detail {

ConcurrentQueue::ConcurrentQueue(std::string label, Pool& pool)
    : Queue(std::move(label), false), pool_(pool) {}

void ConcurrentQueue::submit(Block block, bool barrier) {
  enqueue(Item{std::move(block), nullptr, barrier});
}

void ConcurrentQueue::runSync(const Block& block, bool barrier) {
  if (isRunningOn(this)) {
    // Nested on this queue: waiting (for a barrier) would never end, so run it here.
    block();
    return;
  }
  // The block may drop the last outside reference to this queue.
  auto keepAlive = shared_from_this();
  OneShotSignal turn;
  enqueue(Item{nullptr, &turn, barrier});
  turn.wait();
  {
    FrameScope frame(this);
    block();
  }
  finished(barrier);
}

void ConcurrentQueue::enqueue(Item item) {
  std::vector<Item> startable;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.push_back(std::move(item));
    takeStartable(startable);
  }
  start(startable);
}

void ConcurrentQueue::takeStartable(std::vector<Item>& out) {
  while (!pending_.empty()) {
    Item& front = pending_.front();
    if (front.barrier) {
      if (running_ != 0) break;
      running_ = 1;
      barrierRunning_ = true;
      out.push_back(std::move(front));
      pending_.pop_front();
      break;
    }
    if (barrierRunning_) break;
    ++running_;
    out.push_back(std::move(front));
    pending_.pop_front();
  }
}

void ConcurrentQueue::start(std::vector<Item>& items) {
  if (items.empty()) return;
  auto self = std::static_pointer_cast<ConcurrentQueue>(shared_from_this());
  for (Item& item : items) {
    if (item.waiter != nullptr) {
      item.waiter->set();
      continue;
    }
    pool_.submit([self, block = std::move(item.block), barrier = item.barrier] {
      {
        FrameScope frame(self.get());
        block();
      }
      self->finished(barrier);
    });
  }
}

void ConcurrentQueue::finished(bool barrier) {
  std::vector<Item> startable;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --running_;
    if (barrier) barrierRunning_ = false;
    takeStartable(startable);
  }
  start(startable);
}

GlobalQueue::GlobalQueue(std::string label, Pool& pool)
    : Queue(std::move(label), false), pool_(pool) {}

void GlobalQueue::async(Block block) {
  // Global queues live until the process ends, so the raw pointer stays valid.
  pool_.submit([this, block = std::move(block)] {
    FrameScope frame(this);
    block();
  });
}

void GlobalQueue::sync(Block block) {
  FrameScope frame(this);
  block();
}

}  // namespace corvane::platform::dispatch::detail
