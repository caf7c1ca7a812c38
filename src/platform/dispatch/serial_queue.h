// A serial queue: one block at a time, in submission order, drained in batches on the
// serial pool. `sync` runs its block on the calling thread once every earlier block has
// run, with the queue handed over to the caller for that time.
//
// Threads: every member may be called from any thread.
#pragma once

#include <mutex>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/signal.h"

namespace corvane::platform::dispatch::detail {

class SerialQueue final : public Queue {
 public:
  explicit SerialQueue(std::string label);

  void async(Block block) override;
  void sync(Block block) override;
  void barrierAsync(Block block) override { async(std::move(block)); }
  void barrierSync(Block block) override { sync(std::move(block)); }

 private:
  // A block, or (block empty) a `sync` caller waiting for its turn.
  struct Item {
    Block block;
    OneShotSignal* waiter = nullptr;
  };

  void scheduleDrain();  // called with `running_` just set
  void drain();          // on a serial-pool worker
  void release();        // by a `sync` caller done with the queue

  std::mutex mutex_;
  std::vector<Item> items_;
  bool running_ = false;     // a drain or a `sync` caller owns the queue
  std::vector<Item> batch_;  // touched only by the owner
};

}  // namespace corvane::platform::dispatch::detail
