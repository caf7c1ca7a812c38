#include "platform/dispatch/reactor.h"

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/dispatch/source_core.h"
#include "platform/dispatch/spin.h"

namespace corvane::platform::dispatch::detail {

namespace {

constexpr uint64_t kTimerTag = 1;
constexpr uint64_t kInotifyTag = 2;
constexpr uint32_t kReadEvents = EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR;
constexpr uint32_t kWriteEvents = EPOLLOUT | EPOLLHUP | EPOLLERR;
constexpr uint32_t kWatchMask = IN_DELETE_SELF | IN_MOVE_SELF | IN_ATTRIB;

[[noreturn]] void fatal(const char* what) {
  std::fprintf(stderr, "dispatch: %s failed: errno %d\n", what, errno);
  std::abort();
}

}  // namespace

Reactor& Reactor::instance() {
  static Reactor* const reactor = new Reactor();
  return *reactor;
}

Reactor::Reactor() {
  epollFd_ = epoll_create1(EPOLL_CLOEXEC);
  if (epollFd_ < 0) fatal("epoll_create1");
  timerFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (timerFd_ < 0) fatal("timerfd_create");
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kTimerTag;
  if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, timerFd_, &ev) < 0) fatal("epoll_ctl(timerfd)");
  inotifyFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotifyFd_ >= 0) {
    ev.data.u64 = kInotifyTag;
    if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, inotifyFd_, &ev) < 0) fatal("epoll_ctl(inotify)");
  }
  std::thread([this] { loop(); }).detach();
}

void Reactor::loop() {
  pthread_setname_np(pthread_self(), "dispatch.events");
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  epoll_event events[64];
  bool busy = false;  // the last round delivered events
  for (;;) {
    int n = 0;
    if (busy) {
      // Events tend to come in runs (a reply follows a request a few microseconds later):
      // poll for a short while before sleeping, which saves this thread a wake-up.
      spinUntil(
          [&] {
            n = epoll_wait(epollFd_, events, 64, 0);
            return n != 0;
          },
          kSpinBeforeSleep);
    }
    if (n == 0) n = epoll_wait(epollFd_, events, 64, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      fatal("epoll_wait");
    }
    busy = n > 0;
    for (int i = 0; i < n; ++i) {
      const uint64_t tag = events[i].data.u64;
      if (tag == kTimerTag) {
        fireTimers();
      } else if (tag == kInotifyTag) {
        readInotify();
      } else {
        fdEvent(tag, events[i].events);
      }
    }
  }
}

// ---- timers

Reactor::TimerId Reactor::addTimer(TimePoint when, std::function<void()> fire) {
  std::lock_guard<std::mutex> lock(mutex_);
  const TimerId id = nextTimerId_++;
  auto it = timers_.emplace(when, std::make_pair(id, std::move(fire)));
  timerIndex_.emplace(id, it);
  if (when < timerFdDeadline_) armTimerFdLocked();
  return id;
}

void Reactor::removeTimer(TimerId id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = timerIndex_.find(id);
  if (found == timerIndex_.end()) return;
  timers_.erase(found->second);
  timerIndex_.erase(found);
  // The timerfd may still wake the thread once for it; that wake-up finds nothing due.
}

void Reactor::armTimerFdLocked() {
  itimerspec setting{};
  if (timers_.empty()) {
    timerFdDeadline_ = TimePoint::max();
  } else {
    timerFdDeadline_ = timers_.begin()->first;
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(timerFdDeadline_.time_since_epoch())
            .count();
    // A deadline at or before the clock's start (a time point far in the past) is due at
    // once: the timerfd refuses negative times, and a zero time would disarm it.
    if (ns <= 0) {
      setting.it_value.tv_nsec = 1;
    } else {
      setting.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
      setting.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    }
  }
  // Both clocks are CLOCK_MONOTONIC, so the deadline can be set as an absolute time.
  timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &setting, nullptr);
}

void Reactor::fireTimers() {
  uint64_t expirations = 0;
  while (read(timerFd_, &expirations, sizeof expirations) < 0 && errno == EINTR) {
  }
  std::vector<std::function<void()>> due;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = Clock::now();
    while (!timers_.empty() && timers_.begin()->first <= now) {
      auto it = timers_.begin();
      timerIndex_.erase(it->second.first);
      due.push_back(std::move(it->second.second));
      timers_.erase(it);
    }
    armTimerFdLocked();
  }
  for (auto& fire : due) fire();
}

// ---- descriptors

void Reactor::attachFd(const std::shared_ptr<SourceCore>& source, int fd, bool forWrite) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto [it, inserted] = fds_.try_emplace(fd);
  if (inserted) {
    it->second.id = nextFdId_++;
    fdById_.emplace(it->second.id, fd);
  }
  it->second.entries.push_back(FdEntry{source, forWrite, false});
}

bool Reactor::setFdArmed(int fd, const SourceCore* source, bool armed) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = fds_.find(fd);
  if (it == fds_.end()) return false;
  FdRegistration& reg = it->second;
  for (auto& entry : reg.entries) {
    if (entry.source.get() == source) entry.armed = armed;
  }
  applyMaskLocked(fd, reg);
  return reg.alwaysReady;
}

void Reactor::detachFd(int fd, const SourceCore* source) {
  std::shared_ptr<SourceCore> keep;  // released after the lock
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = fds_.find(fd);
  if (it == fds_.end()) return;
  FdRegistration& reg = it->second;
  for (auto e = reg.entries.begin(); e != reg.entries.end(); ++e) {
    if (e->source.get() == source) {
      keep = std::move(e->source);
      reg.entries.erase(e);
      break;
    }
  }
  if (reg.entries.empty()) {
    if (reg.added) epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
    fdById_.erase(reg.id);
    fds_.erase(it);
  } else {
    applyMaskLocked(fd, reg);
  }
}

void Reactor::applyMaskLocked(int fd, FdRegistration& reg) {
  if (reg.alwaysReady) return;
  uint32_t mask = 0;
  for (const auto& entry : reg.entries) {
    if (entry.armed) mask |= entry.forWrite ? EPOLLOUT : (EPOLLIN | EPOLLRDHUP);
  }
  if (mask == reg.mask) return;
  if (mask == 0) {
    if (reg.added) epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
    reg.added = false;
    reg.mask = 0;
    return;
  }
  epoll_event ev{};
  ev.events = mask | EPOLLONESHOT;
  ev.data.u64 = reg.id;
  int rc = epoll_ctl(epollFd_, reg.added ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev);
  if (rc < 0 && errno == ENOENT) {
    rc = epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &ev);
  } else if (rc < 0 && errno == EEXIST) {
    rc = epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &ev);
  }
  if (rc == 0) {
    reg.added = true;
    reg.mask = mask;
  } else if (errno == EPERM) {
    // Regular files and the like cannot be polled: they are always ready.
    reg.alwaysReady = true;
    reg.added = false;
    reg.mask = 0;
  } else {
    // A closed or invalid descriptor: nothing will ever be reported for it.
    reg.added = false;
    reg.mask = 0;
  }
}

void Reactor::fdEvent(uint64_t id, uint32_t events) {
  std::vector<std::shared_ptr<SourceCore>> ready;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto byId = fdById_.find(id);
    if (byId == fdById_.end()) return;
    const int fd = byId->second;
    FdRegistration& reg = fds_.at(fd);
    reg.mask = 0;  // one-shot: the registration is disabled until re-armed
    for (auto& entry : reg.entries) {
      if (entry.armed && (events & (entry.forWrite ? kWriteEvents : kReadEvents)) != 0) {
        entry.armed = false;
        ready.push_back(entry.source);
      }
    }
    applyMaskLocked(fd, reg);
  }
  for (auto& source : ready) source->fdReady();
}

// ---- file watches

bool Reactor::addWatch(const std::shared_ptr<SourceCore>& source, int fd) {
  if (inotifyFd_ < 0 || fd < 0) return false;
  // The descriptor's own link follows the open file even after it has been renamed.
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  const int wd = inotify_add_watch(inotifyFd_, path.c_str(), kWatchMask);
  if (wd < 0) return false;
  watches_[wd].push_back(source);
  watchOf_[source.get()] = wd;
  return true;
}

void Reactor::removeWatch(const SourceCore* source) {
  std::shared_ptr<SourceCore> keep;
  std::lock_guard<std::mutex> lock(mutex_);
  auto of = watchOf_.find(source);
  if (of == watchOf_.end()) return;
  const int wd = of->second;
  watchOf_.erase(of);
  auto it = watches_.find(wd);
  if (it == watches_.end()) return;
  auto& list = it->second;
  for (auto s = list.begin(); s != list.end(); ++s) {
    if (s->get() == source) {
      keep = std::move(*s);
      list.erase(s);
      break;
    }
  }
  if (list.empty()) {
    inotify_rm_watch(inotifyFd_, wd);
    watches_.erase(it);
  }
}

void Reactor::readInotify() {
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t n = read(inotifyFd_, buffer, sizeof buffer);
    if (n <= 0) return;
    std::vector<std::pair<std::shared_ptr<SourceCore>, uint32_t>> changed;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + off);
        off += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        auto it = watches_.find(event->wd);
        if (it == watches_.end()) continue;
        for (const auto& source : it->second) changed.emplace_back(source, event->mask);
        if ((event->mask & IN_IGNORED) != 0) {
          // The kernel dropped the watch (the file is gone): forget it.
          for (const auto& source : it->second) watchOf_.erase(source.get());
          watches_.erase(it);
        }
      }
    }
    for (auto& [source, mask] : changed) source->fileChanged(mask);
  }
}

}  // namespace corvane::platform::dispatch::detail
