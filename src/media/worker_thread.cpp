#include "media/worker_thread.h"

#include <pthread.h>

#include <system_error>

#include "platform/log/log.h"

namespace corvane::detail {

WorkerThread::~WorkerThread() {
  if (!thread_.joinable()) return;
  // The last owner reference went away on the worker itself (it ends right after), or an
  // owner never stopped it: neither may wait here.
  if (isCurrent()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

bool WorkerThread::start(std::function<void()> body, const std::string& name) {
  if (thread_.joinable()) return true;
  try {
    thread_ = std::thread([this, body = std::move(body), name] {
      // Set before the body runs, so that the body can tell it is on the worker.
      id_.store(std::this_thread::get_id());
      pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
      body();
    });
  } catch (const std::system_error& e) {
    platform::log::nslog("thread \"%s\" could not start: %s", name.c_str(), e.what());
    return false;
  }
  return true;
}

bool WorkerThread::isCurrent() const { return id_.load() == std::this_thread::get_id(); }

void WorkerThread::join() {
  if (!thread_.joinable() || isCurrent()) return;
  thread_.join();
  id_.store(std::thread::id());
}

}  // namespace corvane::detail
