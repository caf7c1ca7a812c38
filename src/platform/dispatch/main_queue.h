// The main queue: a serial queue whose blocks run on whichever thread drains it (the main
// thread's loop). `sync` from another thread waits until the draining thread has run the
// block, so main-queue blocks always run on the draining thread. `sync` on the main thread
// outside a main-queue block first runs the blocks submitted before it, then its own, there.
//
// Threads: `async`, `sync`, `stop` and `setWaker` from any thread; `run`, `drain` and
// `runUntil` on the thread that owns the main loop.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dispatch/dispatch.h"

namespace corvane::platform::dispatch::detail {

class MainQueueImpl final : public Queue {
 public:
  MainQueueImpl();

  static MainQueueImpl& instance();

  void async(Block block) override;
  void sync(Block block) override;
  void barrierAsync(Block block) override { async(std::move(block)); }
  void barrierSync(Block block) override { sync(std::move(block)); }

  void run();
  void stop();
  int drain() { return drainBatch(false); }
  bool runUntil(const std::function<bool()>& pred, double timeoutSeconds);
  void setWaker(std::function<void()> waker);

 private:
  int drainBatch(bool honourStop);

  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Block> items_;
  std::vector<Block> batch_;  // touched only by the draining thread
  bool draining_ = false;
  bool stopRequested_ = false;
  int sleepers_ = 0;  // threads waiting in run / runUntil
  std::shared_ptr<std::function<void()>> waker_;
};

}  // namespace corvane::platform::dispatch::detail
