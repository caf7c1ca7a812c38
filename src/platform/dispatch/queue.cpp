#include <mutex>
#include <utility>
#include <vector>

#include "platform/dispatch/concurrent_queue.h"
#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/duration.h"
#include "platform/dispatch/frame.h"
#include "platform/dispatch/main_queue.h"
#include "platform/dispatch/pools.h"
#include "platform/dispatch/reactor.h"
#include "platform/dispatch/serial_queue.h"

namespace corvane::platform::dispatch {

struct Queue::Specifics {
  mutable std::mutex mutex;
  std::vector<std::pair<const void*, void*>> values;
};

Queue::Queue(std::string label, bool serial)
    : label_(std::move(label)), serial_(serial), specifics_(std::make_unique<Specifics>()) {}

Queue::~Queue() = default;

QueuePtr Queue::createSerial(std::string label) {
  return std::make_shared<detail::SerialQueue>(std::move(label));
}

QueuePtr Queue::createConcurrent(std::string label, Priority priority) {
  return std::make_shared<detail::ConcurrentQueue>(std::move(label), detail::globalPool(priority));
}

QueuePtr Queue::global(Priority priority) {
  // Never destroyed: workers may still run global blocks while the process exits.
  static auto* const queues = new QueuePtr[4]{
      std::make_shared<detail::GlobalQueue>("global.high", detail::globalPool(Priority::High)),
      std::make_shared<detail::GlobalQueue>("global.default",
                                            detail::globalPool(Priority::Default)),
      std::make_shared<detail::GlobalQueue>("global.low", detail::globalPool(Priority::Low)),
      std::make_shared<detail::GlobalQueue>("global.background",
                                            detail::globalPool(Priority::Background)),
  };
  switch (detail::normalisedPriority(priority)) {
    case Priority::High:
      return queues[0];
    case Priority::Low:
      return queues[2];
    case Priority::Background:
      return queues[3];
    case Priority::Default:
      break;
  }
  return queues[1];
}

// NOLINTNEXTLINE(bugprone-exception-escape): not the program's main
QueuePtr Queue::main() { return detail::MainQueueImpl::instance().shared_from_this(); }

QueuePtr Queue::current() {
  detail::Frame* frame = detail::currentFrame();
  return frame != nullptr ? frame->queue->shared_from_this() : nullptr;
}

std::string Queue::currentLabel() {
  detail::Frame* frame = detail::currentFrame();
  return frame != nullptr ? frame->queue->label() : std::string();
}

void Queue::after(double seconds, Block block) {
  afterTime(seconds > 0.0 ? detail::fromNow(seconds) : Clock::now(), std::move(block));
}

void Queue::afterTime(TimePoint when, Block block) {
  // A deadline that has passed still goes through the reactor: handing the block to the
  // queue here could overtake an earlier deadline of the same queue that the reactor has
  // not fired yet. The reactor fires a passed deadline at once, in deadline order.
  detail::Reactor::instance().addTimer(
      when, [self = shared_from_this(), block = std::move(block)]() mutable {
        self->async(std::move(block));
      });
}

void Queue::setSpecific(const void* key, void* value) {
  std::lock_guard<std::mutex> lock(specifics_->mutex);
  auto& values = specifics_->values;
  for (auto it = values.begin(); it != values.end(); ++it) {
    if (it->first == key) {
      if (value != nullptr) {
        it->second = value;
      } else {
        values.erase(it);
      }
      return;
    }
  }
  if (value != nullptr) values.emplace_back(key, value);
}

void* Queue::getSpecific(const void* key) const {
  std::lock_guard<std::mutex> lock(specifics_->mutex);
  for (const auto& [k, v] : specifics_->values) {
    if (k == key) return v;
  }
  return nullptr;
}

void* Queue::getCurrentSpecific(const void* key) {
  detail::Frame* frame = detail::currentFrame();
  return frame != nullptr ? frame->queue->getSpecific(key) : nullptr;
}

}  // namespace corvane::platform::dispatch
