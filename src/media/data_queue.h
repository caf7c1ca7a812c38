// DataQueue: the bounded hand-over queue between the threads of the media pipeline.
//
// Capacity-limited put and take that wait in slices (1 ms, growing to 16 ms) on two counting
// semaphores (free places, stored items) up to a time-out, a one-way stop switch, and a clean-up
// block that receives every item still stored when the queue is cleared or destroyed. A full queue
// refuses the new item; the queue never drops or releases an item on its own, so a refused
// item still belongs to the producer.
//
// Thread-safety: `put`, `take`, `stopBlocking`, `count` and `setDestroyBlock` may be called
// from any thread at once. `clear` (also run by the destructor) is meant for a queue that
// nobody else uses any more.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "media/base_array.h"
#include "platform/dispatch/dispatch.h"

namespace corvane {

// The time-out of `put` / `take` without one: the largest single-precision float, in seconds.
inline constexpr double kDataQueueWaitForever = 3.4028234663852886e38;

template <typename T>
class DataQueue : public BaseArray<T> {
 public:
  using Item = typename BaseArray<T>::Item;
  using DestroyBlock = std::function<void(const Item&)>;

  // A running queue with `capacity` free places (a capacity below 1 refuses every item).
  static std::shared_ptr<DataQueue> initWithCapacity(std::int64_t capacity) {
    return std::make_shared<DataQueue>(capacity);
  }

  explicit DataQueue(std::int64_t capacity)
      : m_capacity(capacity),
        sem_empty(std::make_shared<platform::dispatch::Semaphore>(freePlaces(capacity))),
        sem_full(std::make_shared<platform::dispatch::Semaphore>(0)) {}

  ~DataQueue() override { clear(); }

  // Stores the item when a place frees before `timeout` seconds have passed and the queue is
  // not stopped. A time-out of 0 makes exactly one 1 ms attempt. A stop releases a waiting
  // call within 16 ms.
  bool put(const Item& item, double timeout) {
    const auto start = Clock::now();
    for (double slice = kSlice;; slice = nextSlice(slice)) {
      if (stopped.load(std::memory_order_relaxed)) return false;
      auto empty = semaphore(sem_empty);
      if (empty->wait(sliceWithin(slice, start, timeout))) {
        BaseArray<T>::put(item);
        semaphore(sem_full)->signal();
        return true;
      }
      if (timedOut(start, timeout)) return false;
    }
  }
  bool put(const Item& item) override { return put(item, kDataQueueWaitForever); }

  // The oldest item once one is stored before `timeout` seconds have passed; nullptr when the
  // queue is stopped or nothing arrived in time.
  Item take(double timeout) {
    const auto start = Clock::now();
    for (double slice = kSlice;; slice = nextSlice(slice)) {
      if (stopped.load(std::memory_order_relaxed)) return nullptr;
      auto full = semaphore(sem_full);
      if (full->wait(sliceWithin(slice, start, timeout))) {
        Item item = BaseArray<T>::take();
        semaphore(sem_empty)->signal();
        return item;
      }
      if (timedOut(start, timeout)) return nullptr;
    }
  }
  Item take() override { return take(kDataQueueWaitForever); }

  // Makes every later put and take fail at once; final.
  void stopBlocking() { stopped.store(true, std::memory_order_relaxed); }
  bool isStopped() const { return stopped.load(std::memory_order_relaxed); }

  // Hands every stored item to the destroy block (when set) and resets the semaphores, so that
  // the queue again holds nothing and accepts `capacity` items. Ignores the stop switch.
  void clear() override {
    DestroyBlock destroy = destroyBlock();
    while (BaseArray<T>::count() != 0) {
      semaphore(sem_full)->wait(platform::dispatch::kForever);
      Item item = BaseArray<T>::take();
      if (destroy && item) destroy(item);
      semaphore(sem_empty)->signal();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    sem_empty = std::make_shared<platform::dispatch::Semaphore>(freePlaces(m_capacity));
    sem_full = std::make_shared<platform::dispatch::Semaphore>(0);
  }

  DestroyBlock destroyBlock() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return destroyBlock_;
  }
  void setDestroyBlock(DestroyBlock block) {
    std::lock_guard<std::mutex> lock(mutex_);
    destroyBlock_ = std::move(block);
  }

  std::int64_t capacity() const { return m_capacity; }

 private:
  using SemaphoreRef = std::shared_ptr<platform::dispatch::Semaphore>;
  // Time-outs are measured on the steady clock: a step of the wall clock neither stretches
  // nor cuts a wait.
  using Clock = std::chrono::steady_clock;
  // A wait starts with a 1 ms slice and doubles it up to 16 ms, so that a long idle wait (an
  // encoder waiting for frames of a still screen) wakes about 60 times a second instead of a
  // thousand; an arriving item or place ends a slice at once, and a stop is seen within one
  // slice.
  static constexpr double kSlice = 0.001;
  static constexpr double kMaxSlice = 0.016;
  static double nextSlice(double slice) { return slice * 2 < kMaxSlice ? slice * 2 : kMaxSlice; }
  // The slice, cut to what is left of the time-out (but never below 1 ms, so that a time-out
  // of 0 still makes one 1 ms attempt).
  static double sliceWithin(double slice, Clock::time_point start, double timeout) {
    const double left = timeout - std::chrono::duration<double>(Clock::now() - start).count();
    if (!(left < slice)) return slice;
    return left > kSlice ? left : kSlice;
  }

  // True once more than `timeout` seconds have passed since `start` (a NaN time-out counts as
  // passed, so that it cannot make a call wait for ever).
  static bool timedOut(Clock::time_point start, double timeout) {
    return !(std::chrono::duration<double>(Clock::now() - start).count() <= timeout);
  }

  // A negative capacity stores nothing, like a capacity of 0.
  static long freePlaces(std::int64_t capacity) {
    return capacity > 0 ? static_cast<long>(capacity) : 0;
  }

  // A waiter keeps its own reference, so that `clear` replacing a semaphore never frees one
  // that another thread is still waiting on.
  SemaphoreRef semaphore(const SemaphoreRef& which) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return which;
  }

  const std::int64_t m_capacity;
  mutable std::mutex mutex_;  // guards the two semaphore references and the destroy block
  SemaphoreRef sem_empty;
  SemaphoreRef sem_full;
  std::atomic<bool> stopped{false};
  DestroyBlock destroyBlock_;
};

}  // namespace corvane
