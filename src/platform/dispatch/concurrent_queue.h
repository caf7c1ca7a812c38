// Concurrent queues. A created concurrent queue runs its blocks in parallel on the global
// pool of its priority and keeps barrier blocks alone; a global queue hands blocks straight
// to its pool (barriers there are plain blocks). `sync` runs its block on the calling thread.
//
// Threads: every member may be called from any thread.
#pragma once

#include <deque>
#include <mutex>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/pool.h"
#include "platform/dispatch/signal.h"

namespace corvane::platform::dispatch::detail {

class ConcurrentQueue final : public Queue {
 public:
  ConcurrentQueue(std::string label, Pool& pool);

  void async(Block block) override { submit(std::move(block), false); }
  void sync(Block block) override { runSync(block, false); }
  void barrierAsync(Block block) override { submit(std::move(block), true); }
  void barrierSync(Block block) override { runSync(block, true); }

 private:
  struct Item {
    Block block;
    OneShotSignal* waiter = nullptr;  // a `sync` caller, block empty
    bool barrier = false;
  };

  void submit(Block block, bool barrier);
  void runSync(const Block& block, bool barrier);
  void enqueue(Item item);
  // With the lock held: takes the items that may start now.
  void takeStartable(std::vector<Item>& out);
  void start(std::vector<Item>& items);
  void finished(bool barrier);

  Pool& pool_;
  std::mutex mutex_;
  std::deque<Item> pending_;
  int running_ = 0;
  bool barrierRunning_ = false;
};

class GlobalQueue final : public Queue {
 public:
  GlobalQueue(std::string label, Pool& pool);

  void async(Block block) override;
  void sync(Block block) override;
  void barrierAsync(Block block) override { async(std::move(block)); }
  void barrierSync(Block block) override { sync(std::move(block)); }

 private:
  Pool& pool_;
};

}  // namespace corvane::platform::dispatch::detail
