// A block that can be cancelled before it runs: scheduled on a queue for later, it runs then
// unless `cancel` came first. Cancelling after it started changes nothing.
//
// Threads: `cancel` and `isCancelled` from any thread; the block runs on the queue it was
// scheduled on.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "platform/dispatch/dispatch.h"

namespace corvane::detail {

class CancellableWorkItem {
 public:
  explicit CancellableWorkItem(std::function<void()> body) : body_(std::move(body)) {}

  // Runs the body on `queue` `seconds` from now unless cancelled by then.
  static void schedule(const std::shared_ptr<CancellableWorkItem>& item,
                       const platform::dispatch::QueuePtr& queue, double seconds) {
    queue->after(seconds, [item] {
      if (!item->cancelled_.load()) item->body_();
    });
  }
  void cancel() { cancelled_.store(true); }
  bool isCancelled() const { return cancelled_.load(); }

 private:
  std::function<void()> body_;
  std::atomic<bool> cancelled_{false};
};

}  // namespace corvane::detail
