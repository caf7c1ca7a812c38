// A counting gate without items: `put` takes one of `capacity` slots, `take` frees one.
// The receiver link uses one per media connection to bound the writes in flight.
//
// Thread-safety: every member may be called from any thread; `put` and `take` block the
// caller for at most their time-out (plus about 1 ms).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/dispatch/dispatch.h"

namespace corvane {

class NoDataQueue {
 public:
  // `capacity` free slots (a negative capacity counts as 0).
  static std::shared_ptr<NoDataQueue> create(int64_t capacity);
  explicit NoDataQueue(int64_t capacity);
  NoDataQueue(const NoDataQueue&) = delete;
  NoDataQueue& operator=(const NoDataQueue&) = delete;

  // Takes a free slot, waiting up to `timeout` seconds; false when none came in time.
  bool put(double timeout);
  // Frees a used slot, waiting up to `timeout` seconds for one; always answers true (also
  // when no slot was used and nothing was freed).
  bool take(double timeout);
  // Frees every used slot at once (the writes they stood for will never complete).
  void reset();

  int64_t capacity() const { return m_capacity; }

 private:
  platform::dispatch::Semaphore sem_empty;  // free slots
  platform::dispatch::Semaphore sem_full;   // used slots
  std::atomic<bool> stopped{false};         // never set
  int64_t m_capacity;
};

}  // namespace corvane
