#include "session/no_data_queue.h"

#include <chrono>

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

constexpr double kStep = 0.001;  // each wait lasts 1 ms, so `stopped` is seen promptly

}  // namespace

std::shared_ptr<NoDataQueue> NoDataQueue::create(int64_t capacity) {
  return std::make_shared<NoDataQueue>(capacity);
}

NoDataQueue::NoDataQueue(int64_t capacity)
    : sem_empty(capacity > 0 ? static_cast<long>(capacity) : 0),
      sem_full(0),
      m_capacity(capacity > 0 ? capacity : 0) {}

bool NoDataQueue::put(double timeout) {
  const auto start = Clock::now();
  for (;;) {
    if (stopped.load(std::memory_order_relaxed)) return false;
    if (sem_empty.wait(kStep)) {
      sem_full.signal();
      return true;
    }
    if (secondsSince(start) > timeout) return false;
  }
}

bool NoDataQueue::take(double timeout) {
  const auto start = Clock::now();
  for (;;) {
    if (stopped.load(std::memory_order_relaxed)) return true;
    if (sem_full.wait(kStep)) {
      sem_empty.signal();
      return true;
    }
    if (secondsSince(start) > timeout) return true;
  }
}

void NoDataQueue::reset() {
  while (sem_full.wait(0.0)) sem_empty.signal();
}

}  // namespace corvane
