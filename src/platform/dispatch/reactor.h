// The event thread behind timers and sources: one epoll set holding a timerfd for every
// deadline, an inotify descriptor for file watches and the descriptors of read and write
// sources (one-shot registrations, re-armed when their source is ready for more). After a
// round that delivered events the thread polls the set for a short while before it sleeps,
// since events tend to follow each other closely (a reply a few microseconds after a request).
//
// Threads: every member may be called from any thread; callbacks (timer functions and the
// sources' `fd*`/`file*`/`timer*` entries) run on the reactor thread, never under its lock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/dispatch/dispatch.h"

namespace corvane::platform::dispatch::detail {

class SourceCore;

class Reactor {
 public:
  using TimerId = uint64_t;

  // The process-wide reactor (started on first use, never destroyed).
  static Reactor& instance();

  // Runs `fire` on the reactor thread at `when` (at once when it has passed).
  TimerId addTimer(TimePoint when, std::function<void()> fire);
  // Forgets a timer that has not fired yet; unknown ids are ignored.
  void removeTimer(TimerId id);

  // Descriptor sources. A source is attached once, armed while it wants an event (each
  // event disarms it), and detached when cancelled.
  void attachFd(const std::shared_ptr<SourceCore>& source, int fd, bool forWrite);
  // Returns true when the descriptor cannot be watched (a regular file), which counts as
  // always ready: the caller then delivers at once instead of waiting for an event.
  bool setFdArmed(int fd, const SourceCore* source, bool armed);
  void detachFd(int fd, const SourceCore* source);

  // File watches on an open descriptor; false when the file cannot be watched.
  bool addWatch(const std::shared_ptr<SourceCore>& source, int fd);
  void removeWatch(const SourceCore* source);

 private:
  Reactor();
  void loop();
  void fireTimers();
  void readInotify();
  void fdEvent(uint64_t id, uint32_t events);
  void armTimerFdLocked();

  struct FdEntry {
    std::shared_ptr<SourceCore> source;
    bool forWrite = false;
    bool armed = false;
  };
  struct FdRegistration {
    uint64_t id = 0;
    std::vector<FdEntry> entries;
    uint32_t mask = 0;  // events enabled in the epoll set now
    bool added = false;
    bool alwaysReady = false;
  };
  void applyMaskLocked(int fd, FdRegistration& reg);

  int epollFd_ = -1;
  int timerFd_ = -1;
  int inotifyFd_ = -1;

  std::mutex mutex_;
  std::multimap<TimePoint, std::pair<TimerId, std::function<void()>>> timers_;
  std::unordered_map<TimerId, decltype(timers_)::iterator> timerIndex_;
  TimerId nextTimerId_ = 1;
  TimePoint timerFdDeadline_ = TimePoint::max();

  std::unordered_map<int, FdRegistration> fds_;
  std::unordered_map<uint64_t, int> fdById_;
  uint64_t nextFdId_ = 16;

  std::unordered_map<int, std::vector<std::shared_ptr<SourceCore>>> watches_;
  std::unordered_map<const SourceCore*, int> watchOf_;
};

}  // namespace corvane::platform::dispatch::detail
