// The signals that end a desktop application (SIGTERM, SIGINT, SIGHUP: a logout, Ctrl-C, a
// closed terminal) read as events of the main loop.
//
// `block` blocks them before any other thread exists, so that no thread takes them, and reads
// them from a signal descriptor. `watch` has the Qt loop of the application watch that
// descriptor. Qt's loop watches it also inside a modal alert's loop, where main-queue blocks
// wait for the block that opened the alert, so an ending signal closes any open alert and
// terminates the application at once (Application::terminate: the same teardown as a quit).
//
// Threads: `block` first thing in `main`, on the main thread before any other thread is made;
// everything else on the main thread. Ownership: `main` keeps the object for the life of the
// loop.
#pragma once

#include <initializer_list>
#include <memory>

class QSocketNotifier;

namespace corvane::platform::ui {

class Application;

class EndingSignals {
 public:
  // Blocks the signals `numbers` in the calling thread (and so in every thread made after it) and
  // opens a descriptor to read them. nullptr when that fails; the signals are then left as they
  // were (their default action ends the process).
  static std::unique_ptr<EndingSignals> block(std::initializer_list<int> numbers);
  ~EndingSignals();
  EndingSignals(const EndingSignals&) = delete;
  EndingSignals& operator=(const EndingSignals&) = delete;

  // From now on each signal (also one that came before this call) is logged and terminates
  // `app`. Call it once, after the application exists.
  void watch(Application& app);

 private:
  explicit EndingSignals(int fd);

  int fd_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace corvane::platform::ui
