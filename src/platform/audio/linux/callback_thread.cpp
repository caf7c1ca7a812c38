#include "platform/audio/linux/callback_thread.h"

#include <algorithm>

namespace corvane::platform::audio::detail {

CallbackThread::CallbackThread(const std::string& name, std::chrono::milliseconds idleInterval,
                               Task idle)
    : idleInterval_(idleInterval), idle_(std::move(idle)) {
  thread_ = Thread::create([this] { loop(); }, name);
  thread_->start();
}

CallbackThread::~CallbackThread() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_->join();
}

void CallbackThread::post(std::uint64_t key, Task task) {
  if (!task) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    tasks_.push_back({key, std::move(task)});
    ++posted_;
  }
  wake_.notify_all();
}

void CallbackThread::cancel(std::uint64_t key) {
  if (key == 0) return;
  std::unique_lock<std::mutex> lock(mutex_);
  const auto before = tasks_.size();
  tasks_.erase(std::remove_if(tasks_.begin(), tasks_.end(),
                              [key](const Entry& e) { return e.key == key; }),
               tasks_.end());
  finished_ += before - tasks_.size();
  ran_.notify_all();
  if (std::this_thread::get_id() == threadId_) return;
  ran_.wait(lock, [&] { return !busy_ || running_ != key; });
}

bool CallbackThread::isCurrent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::this_thread::get_id() == threadId_;
}

bool CallbackThread::waitUntilDrained(double seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  const std::uint64_t target = posted_;
  return ran_.wait_for(lock, std::chrono::duration<double>(seconds),
                       [&] { return finished_ >= target; });
}

void CallbackThread::loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  threadId_ = std::this_thread::get_id();
  while (!stopping_) {
    if (tasks_.empty()) {
      if (idle_ && idleInterval_.count() > 0) {
        if (!wake_.wait_for(lock, idleInterval_, [&] { return stopping_ || !tasks_.empty(); })) {
          lock.unlock();
          idle_();
          lock.lock();
        }
      } else {
        wake_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
      }
      continue;
    }
    Entry entry = std::move(tasks_.front());
    tasks_.pop_front();
    running_ = entry.key;
    busy_ = true;
    lock.unlock();
    entry.task();
    entry.task = nullptr;  // captured state goes before the task counts as done
    lock.lock();
    busy_ = false;
    running_ = 0;
    ++finished_;
    ran_.notify_all();
  }
  finished_ += tasks_.size();
  tasks_.clear();
  ran_.notify_all();
}

}  // namespace corvane::platform::audio::detail
