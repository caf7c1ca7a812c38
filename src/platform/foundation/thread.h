// A named worker thread with a cancelled flag, the shape the worker loops of the media
// encoders and the receiver link expect: the owner starts it, later asks it to cancel and
// waits (by `join` or by polling `isExecuting`) until the body has returned.
//
// Ownership: a started thread keeps its own Thread object alive until its body returns, so
// the owner may drop its reference at any time (a "detached" thread).
// Thread-safety: every member may be called from any thread unless stated otherwise.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace corvane::platform {

class Thread : public std::enable_shared_from_this<Thread> {
 public:
  using Body = std::function<void()>;

  // A new, not yet started thread that will run `body`. `name` becomes the thread's
  // name (also given to the kernel, cut to its 15-byte limit).
  static std::shared_ptr<Thread> create(Body body, std::string name = "");
  // Makes and starts a thread whose object nobody keeps.
  static void detachNew(Body body, std::string name = "");

  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  const std::string& name() const { return name_; }

  // Starts the body on a new thread. Only the first call has an effect. When the system
  // cannot make a thread, the body never runs and the thread counts as finished at once.
  void start();
  // Sets the cancelled flag. The body is not interrupted: it tests `isCancelled` itself.
  void cancel() { cancelled_.store(true, std::memory_order_relaxed); }
  bool isCancelled() const { return cancelled_.load(std::memory_order_relaxed); }
  // True from `start` until the body has returned.
  bool isExecuting() const { return executing_.load(std::memory_order_acquire); }
  // True once the body has returned.
  bool isFinished() const { return finished_.load(std::memory_order_acquire); }
  // Waits until the body has returned (at once when never started). Must not be called
  // from the thread itself (returns at once there instead of deadlocking).
  void join();
  // Waits at most `seconds`; true when the body has returned.
  bool joinFor(double seconds);

  // The Thread object of the calling thread, nullptr on threads not made by this class.
  static std::shared_ptr<Thread> current();
  // The calling thread's name: the Thread's name, or what `setCurrentName` set, else "".
  static std::string currentName();
  // Names the calling thread (any thread, including the main thread and queue workers).
  static void setCurrentName(const std::string& name);
  // True on the process's initial thread.
  static bool isMainThread();

 private:
  Thread(Body body, std::string name);
  void run();

  Body body_;
  const std::string name_;
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> started_{false};
  std::atomic<bool> executing_{false};
  std::atomic<bool> finished_{false};
  std::mutex mutex_;
  std::condition_variable finishedCv_;
  std::thread thread_;
};

}  // namespace corvane::platform
