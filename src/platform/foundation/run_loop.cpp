#include "platform/foundation/run_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <ctime>

#include "platform/foundation/reference_date.h"
#include "platform/foundation/thread.h"

namespace corvane::platform {
namespace {

constexpr std::int64_t kNsPerSecond = 1000000000LL;
constexpr std::int64_t kForeverNs = INT64_MAX;
constexpr double kMinimumRepeatInterval = 0.0001;

std::int64_t monotonicNowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

// Seconds to nanoseconds, saturating so that huge or infinite spans mean "forever".
std::int64_t secondsToNs(double seconds) {
  if (std::isnan(seconds) || seconds <= 0) return 0;
  if (seconds >= 9.0e9) return kForeverNs / 2;
  return static_cast<std::int64_t>(seconds * 1e9);
}

std::int64_t deadlineForDate(double referenceDate) {
  double remaining = referenceDate - ReferenceDate::now();
  if (std::isnan(remaining)) return monotonicNowNs();
  if (remaining <= 0) return monotonicNowNs();
  return monotonicNowNs() + secondsToNs(remaining);
}

// The run loop of the process's initial thread, once made. Never destroyed: threads still
// running at exit may post to it.
struct MainLoop {
  std::mutex mutex;
  std::shared_ptr<RunLoop> loop;
};

MainLoop& mainLoop() {
  static MainLoop* holder = new MainLoop();
  return *holder;
}

thread_local std::shared_ptr<RunLoop> t_loop;

}  // namespace

// ---- RunLoopTimer ----

RunLoopTimer::RunLoopTimer(double interval, bool repeats, Callback callback)
    : interval_(std::isnan(interval) || interval < 0 ? 0.0 : interval),
      repeats_(repeats),
      callback_(std::move(callback)) {}

std::shared_ptr<RunLoopTimer> RunLoopTimer::create(double interval, bool repeats,
                                                   Callback callback) {
  return std::shared_ptr<RunLoopTimer>(new RunLoopTimer(interval, repeats, std::move(callback)));
}

std::shared_ptr<RunLoopTimer> RunLoopTimer::scheduledTimer(double interval, bool repeats,
                                                           Callback callback) {
  auto timer = create(interval, repeats, std::move(callback));
  RunLoop::current()->addTimer(timer);
  return timer;
}

void RunLoopTimer::invalidate() {
  if (!valid_.exchange(false, std::memory_order_acq_rel)) return;
  std::shared_ptr<RunLoop> loop;
  {
    std::lock_guard<std::mutex> lock(loopMutex_);
    loop = loop_.lock();
  }
  if (loop) loop->removeTimer(this);
}

// ---- RunLoop ----

RunLoop::RunLoop() : thread_(std::this_thread::get_id()) {
  epollFd_ = epoll_create1(EPOLL_CLOEXEC);
  eventFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  timerFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (epollFd_ >= 0) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    if (eventFd_ >= 0) {
      ev.data.fd = eventFd_;
      epoll_ctl(epollFd_, EPOLL_CTL_ADD, eventFd_, &ev);
    }
    if (timerFd_ >= 0) {
      ev.data.fd = timerFd_;
      epoll_ctl(epollFd_, EPOLL_CTL_ADD, timerFd_, &ev);
    }
  }
}

RunLoop::~RunLoop() {
  if (timerFd_ >= 0) close(timerFd_);
  if (eventFd_ >= 0) close(eventFd_);
  if (epollFd_ >= 0) close(epollFd_);
}

std::shared_ptr<RunLoop> RunLoop::current() {
  if (t_loop) return t_loop;
  if (Thread::isMainThread()) {
    t_loop = main();
    return t_loop;
  }
  t_loop = std::shared_ptr<RunLoop>(new RunLoop());
  return t_loop;
}

std::shared_ptr<RunLoop> RunLoop::main() {
  MainLoop& holder = mainLoop();
  std::lock_guard<std::mutex> lock(holder.mutex);
  if (!holder.loop) {
    holder.loop = std::shared_ptr<RunLoop>(new RunLoop());
    // Possibly made on another thread: it belongs to the initial thread all the same.
    holder.loop->thread_ = std::thread::id();
    holder.loop->isMain_ = true;
  }
  return holder.loop;
}

bool RunLoop::onOwnThread() const {
  if (isMain_) return Thread::isMainThread();
  return std::this_thread::get_id() == thread_;
}

void RunLoop::signalWake() {
  if (eventFd_ < 0) return;
  std::uint64_t one = 1;
  // A full counter (EAGAIN) still leaves the descriptor readable, which is all we need.
  ssize_t n = write(eventFd_, &one, sizeof(one));
  (void)n;
}

void RunLoop::drainFds() {
  std::uint64_t value = 0;
  if (eventFd_ >= 0) {
    ssize_t n = read(eventFd_, &value, sizeof(value));
    (void)n;
  }
  if (timerFd_ >= 0) {
    ssize_t n = read(timerFd_, &value, sizeof(value));
    (void)n;
  }
}

void RunLoop::rearmTimerLocked() {
  if (timerFd_ < 0) return;
  std::int64_t earliest = kForeverNs;
  for (const auto& timer : timers_) earliest = std::min(earliest, timer->fireTimeNs_);
  itimerspec spec{};
  if (earliest != kForeverNs) {
    // An absolute time of 0 would disarm the timer; anything due is at least 1 ns.
    std::int64_t when = std::max<std::int64_t>(earliest, 1);
    spec.it_value.tv_sec = static_cast<time_t>(when / kNsPerSecond);
    spec.it_value.tv_nsec = static_cast<long>(when % kNsPerSecond);
  }
  timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &spec, nullptr);
}

void RunLoop::addTimer(const std::shared_ptr<RunLoopTimer>& timer) {
  if (!timer || !timer->isValid()) return;
  {
    std::lock_guard<std::mutex> timerLock(timer->loopMutex_);
    if (timer->added_) return;
    timer->added_ = true;
    timer->loop_ = weak_from_this();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // invalidate() may have run between the checks above; it then found no timer to remove.
    if (!timer->isValid()) return;
    timer->fireTimeNs_ = monotonicNowNs() + secondsToNs(timer->interval_);
    timers_.push_back(timer);
    rearmTimerLocked();
  }
  // A loop waiting on another thread must recompute its wait.
  if (!onOwnThread()) signalWake();
}

void RunLoop::removeTimer(RunLoopTimer* timer) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find_if(timers_.begin(), timers_.end(),
                         [timer](const auto& t) { return t.get() == timer; });
  if (it == timers_.end()) return;
  timers_.erase(it);
  rearmTimerLocked();
}

void RunLoop::performBlock(std::function<void()> block) {
  if (!block) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    blocks_.push_back(std::move(block));
  }
  signalWake();
}

void RunLoop::wakeUp() { signalWake(); }

void RunLoop::stop() {
  stopRequested_.store(true, std::memory_order_release);
  signalWake();
}

bool RunLoop::runOnce(std::optional<double> beforeDate) {
  if (!onOwnThread()) return false;
  if (stopRequested_.exchange(false, std::memory_order_acq_rel)) return false;
  std::int64_t deadline = beforeDate ? deadlineForDate(*beforeDate) : 0;
  bool handled = runOnceUntil(deadline, beforeDate.has_value());
  // A stop that arrived while this call ran belongs to it.
  stopRequested_.store(false, std::memory_order_release);
  return handled;
}

void RunLoop::runUntil(double date) {
  if (!onOwnThread()) return;
  std::int64_t deadline = deadlineForDate(date);
  while (true) {
    if (stopRequested_.exchange(false, std::memory_order_acq_rel)) return;
    runOnceUntil(deadline, true);
    if (monotonicNowNs() >= deadline) {
      // A stop that arrived during the last round belongs to this call.
      stopRequested_.store(false, std::memory_order_release);
      return;
    }
  }
}

void RunLoop::runFor(double seconds) {
  if (std::isnan(seconds) || seconds < 0) seconds = 0;
  runUntil(ReferenceDate::now() + seconds);
}

void RunLoop::run() {
  if (!onOwnThread()) return;
  while (!stopRequested_.exchange(false, std::memory_order_acq_rel)) {
    runOnceUntil(kForeverNs, true);
  }
}

bool RunLoop::runOnceUntil(std::int64_t deadlineNs, bool wait) {
  // Keep the loop alive while callbacks run, whatever they release.
  std::shared_ptr<RunLoop> self = shared_from_this();
  bool handled = false;
  for (int round = 0; round < 2; ++round) {
    drainFds();
    // Blocks submitted so far, in order; blocks they submit wait for the next round.
    std::vector<std::function<void()>> blocks;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      blocks.swap(blocks_);
    }
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      blocks[i]();
      handled = true;
      if (stopRequested_.load(std::memory_order_acquire) && i + 1 < blocks.size()) {
        // Keep the rest for the next run, ahead of anything submitted meanwhile.
        std::lock_guard<std::mutex> lock(mutex_);
        const auto next = blocks.begin() + static_cast<std::ptrdiff_t>(i + 1);
        std::vector<std::function<void()>> rest(std::make_move_iterator(next),
                                                std::make_move_iterator(blocks.end()));
        rest.insert(rest.end(), std::make_move_iterator(blocks_.begin()),
                    std::make_move_iterator(blocks_.end()));
        blocks_.swap(rest);
        signalWake();
        return handled;
      }
    }
    if (stopRequested_.load(std::memory_order_acquire)) return handled;
    // Due timers, earliest first; each fires at most once per round.
    std::int64_t now = monotonicNowNs();
    std::vector<std::shared_ptr<RunLoopTimer>> due;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const auto& timer : timers_) {
        if (timer->fireTimeNs_ <= now) due.push_back(timer);
      }
      std::sort(due.begin(), due.end(),
                [](const auto& a, const auto& b) { return a->fireTimeNs_ < b->fireTimeNs_; });
      for (const auto& timer : due) {
        if (timer->repeats_) {
          std::int64_t step = secondsToNs(std::max(timer->interval_, kMinimumRepeatInterval));
          // Next fire on the original phase, skipping fires missed while the loop did not run.
          std::int64_t late = now - timer->fireTimeNs_;
          timer->fireTimeNs_ += (late / step + 1) * step;
        } else {
          timers_.erase(std::find(timers_.begin(), timers_.end(), timer));
        }
      }
      rearmTimerLocked();
    }
    for (const auto& timer : due) {
      if (!timer->isValid()) continue;
      if (!timer->repeats_) timer->valid_.store(false, std::memory_order_release);
      // Every due timer fires even after a stop: one-shot timers are already off the list.
      if (timer->callback_) timer->callback_(*timer);
      handled = true;
    }
    if (stopRequested_.load(std::memory_order_acquire)) return handled;
    if (handled || !wait || round == 1) break;

    // Nothing was ready: wait for a wake-up, a timer or the deadline, then one more round.
    std::int64_t remainingNs = deadlineNs == kForeverNs ? -1 : deadlineNs - monotonicNowNs();
    if (remainingNs == 0 || (remainingNs < 0 && deadlineNs != kForeverNs)) break;
    int timeoutMs = -1;
    if (remainingNs > 0) {
      std::int64_t ms = (remainingNs + 999999) / 1000000;
      timeoutMs = static_cast<int>(std::min<std::int64_t>(ms, INT_MAX));
    }
    epoll_event events[2];
    int n = epoll_wait(epollFd_, events, 2, timeoutMs);
    if (n < 0 && errno != EINTR) break;
  }
  return handled;
}

}  // namespace corvane::platform
