#include "platform/foundation/thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <system_error>

namespace corvane::platform {
namespace {

// The Thread running on this OS thread (weak: the thread's own strong reference is held by
// the body wrapper) and the name given by setCurrentName.
thread_local std::weak_ptr<Thread> t_current;
thread_local std::string t_name;

void setKernelName(const std::string& name) {
  // The kernel keeps at most 15 bytes plus the terminator.
  std::string cut = name.substr(0, 15);
  pthread_setname_np(pthread_self(), cut.c_str());
}

}  // namespace

std::shared_ptr<Thread> Thread::create(Body body, std::string name) {
  return std::shared_ptr<Thread>(new Thread(std::move(body), std::move(name)));
}

void Thread::detachNew(Body body, std::string name) {
  create(std::move(body), std::move(name))->start();
}

Thread::Thread(Body body, std::string name) : body_(std::move(body)), name_(std::move(name)) {}

Thread::~Thread() {
  // The last reference may go away on the thread itself (after its body) or on an owner that
  // never joined; neither may block here.
  if (thread_.joinable()) thread_.detach();
}

void Thread::start() {
  if (started_.exchange(true)) return;
  executing_.store(true, std::memory_order_release);
  std::shared_ptr<Thread> self = shared_from_this();
  std::lock_guard<std::mutex> lock(mutex_);
  try {
    thread_ = std::thread([self]() { self->run(); });
  } catch (const std::system_error& e) {
    // No thread could be made (resource limits): the body never runs. Report the thread
    // as ended so that owners waiting for it (join, polling isExecuting) do not wait for ever.
    std::fprintf(stderr, "Thread \"%s\" could not start: %s\n", name_.c_str(), e.what());
    body_ = nullptr;
    executing_.store(false, std::memory_order_release);
    finished_.store(true, std::memory_order_release);
    finishedCv_.notify_all();
  }
}

void Thread::run() {
  t_current = weak_from_this();
  t_name = name_;
  if (!name_.empty()) setKernelName(name_);
  if (body_) body_();
  body_ = nullptr;  // release what the body captured before reporting the end
  {
    std::lock_guard<std::mutex> lock(mutex_);
    executing_.store(false, std::memory_order_release);
    finished_.store(true, std::memory_order_release);
  }
  finishedCv_.notify_all();
}

void Thread::join() {
  if (!started_.load()) return;
  if (current().get() == this) return;
  std::unique_lock<std::mutex> lock(mutex_);
  finishedCv_.wait(lock, [this] { return finished_.load(std::memory_order_acquire); });
}

bool Thread::joinFor(double seconds) {
  if (!started_.load()) return true;
  if (current().get() == this) return false;
  std::unique_lock<std::mutex> lock(mutex_);
  return finishedCv_.wait_for(lock, std::chrono::duration<double>(seconds < 0 ? 0 : seconds),
                              [this] { return finished_.load(std::memory_order_acquire); });
}

std::shared_ptr<Thread> Thread::current() { return t_current.lock(); }

std::string Thread::currentName() { return t_name; }

void Thread::setCurrentName(const std::string& name) {
  t_name = name;
  setKernelName(name);
}

bool Thread::isMainThread() { return static_cast<pid_t>(syscall(SYS_gettid)) == getpid(); }

}  // namespace corvane::platform
