#include "platform/dispatch/pool.h"
#include "platform/dispatch/spin.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <system_error>
#include <thread>

namespace corvane::platform::dispatch::detail {

Pool::Pool(Options options) : options_(std::move(options)) {}

Pool::~Pool() {
  std::unique_lock<std::mutex> lock(mutex_);
  stopping_ = true;
  workCv_.notify_all();
  exitCv_.wait(lock, [this] { return threads_ == 0; });
}

void Pool::submit(Task task) {
  bool spawn = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
    queued_.store(tasks_.size(), std::memory_order_release);
    if (spinners_ > spinClaims_) {
      // A polling worker sees the task without being woken.
      ++spinClaims_;
    } else if (idle_ > wakeups_) {
      ++wakeups_;
      workCv_.notify_one();
    } else if (threads_ < options_.maxThreads) {
      ++threads_;
      spawn = true;
    }
    // Otherwise every worker is busy and the cap is reached: the task waits for the
    // first worker that finishes.
  }
  if (spawn) startWorker();
}

void Pool::startWorker() {
  try {
    std::thread([this] { workerMain(); }).detach();
  } catch (const std::system_error& e) {
    std::lock_guard<std::mutex> lock(mutex_);
    --threads_;
    std::fprintf(stderr, "dispatch: cannot start a worker thread: %s\n", e.what());
    exitCv_.notify_all();
  }
}

int Pool::threadCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return threads_;
}

bool Pool::waitForThreadCountAtMost(int count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return exitCv_.wait_for(lock, timeout, [&] { return threads_ <= count; });
}

void Pool::spinForWork() const {
  spinUntil([this] { return queued_.load(std::memory_order_acquire) != 0; }, options_.spinTime);
}

void Pool::workerMain() {
  if (!options_.threadName.empty()) {
    pthread_setname_np(pthread_self(), options_.threadName.substr(0, 15).c_str());
  }
  if (options_.niceness != 0) {
    const auto tid = static_cast<id_t>(syscall(SYS_gettid));
    const int current = getpriority(PRIO_PROCESS, tid);
    (void)setpriority(PRIO_PROCESS, tid, current + options_.niceness);
  }

  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    while (!tasks_.empty()) {
      Task task = std::move(tasks_.front());
      tasks_.pop_front();
      queued_.store(tasks_.size(), std::memory_order_relaxed);
      lock.unlock();
      task();
      task = nullptr;  // captured state goes before the lock is taken again
      lock.lock();
    }
    if (stopping_) break;
    if (options_.spinTime.count() > 0 && spinners_ < options_.maxSpinners) {
      ++spinners_;
      lock.unlock();
      spinForWork();
      lock.lock();
      --spinners_;
      // Claims are not tied to one poller: whoever stops polling first takes one over.
      if (spinClaims_ > 0) --spinClaims_;
      if (!tasks_.empty()) continue;
      if (stopping_) break;
    }
    ++idle_;
    const bool woken =
        workCv_.wait_for(lock, options_.idleTimeout, [this] { return wakeups_ > 0 || stopping_; });
    --idle_;
    if (wakeups_ > 0) {
      --wakeups_;
      continue;
    }
    if (stopping_) continue;  // run what is left, then leave
    if (!woken && tasks_.empty()) break;
  }
  --threads_;
  exitCv_.notify_all();
}

}  // namespace corvane::platform::dispatch::detail
