#include "platform/dispatch/source_core.h"
#include "platform/dispatch/duration.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>

namespace corvane::platform::dispatch::detail {

SourceCore::SourceCore(Kind kind, int fd, QueuePtr queue)
    : kind_(kind), fd_(fd), queue_(queue ? std::move(queue) : Queue::global()) {}

void SourceCore::attach() {
  switch (kind_) {
    case Kind::Read: {
      int accepting = 0;
      socklen_t len = sizeof accepting;
      listening_ =
          getsockopt(fd_, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len) == 0 && accepting != 0;
      Reactor::instance().attachFd(shared_from_this(), fd_, false);
      break;
    }
    case Kind::Write:
      Reactor::instance().attachFd(shared_from_this(), fd_, true);
      break;
    case Kind::FileWatch: {
      const bool ok = Reactor::instance().addWatch(shared_from_this(), fd_);
      std::lock_guard<std::mutex> lock(mutex_);
      watching_ = ok;
      break;
    }
    case Kind::Timer:
      break;
  }
}

void SourceCore::setEventHandler(Block handler) {
  auto fresh = std::make_shared<Block>(std::move(handler));
  Lock lock(mutex_);
  if (cancelled_) return;  // `fresh` goes after the lock is released
  eventHandler_.swap(fresh);
  lock.unlock();
}

void SourceCore::setCancelHandler(Block handler) {
  Lock lock(mutex_);
  if (cancelQueued_) return;
  cancelHandler_.swap(handler);
  lock.unlock();
}

void SourceCore::setTimer(TimePoint start, double intervalSeconds, double /*leewaySeconds*/) {
  if (kind_ != Kind::Timer) return;
  // The timer fires as close to its deadline as the system allows, so well within any
  // leeway the caller grants.
  Lock lock(mutex_);
  if (cancelled_) return;
  ++timerGeneration_;
  if (timerId_ != 0) Reactor::instance().removeTimer(timerId_);
  timerId_ = 0;
  pending_ = false;
  pendingData_ = 0;
  if (intervalSeconds > 0.0 && std::isfinite(intervalSeconds)) {
    interval_ = std::max<Clock::duration>(Clock::duration(1), toDuration(intervalSeconds));
  } else {
    interval_ = Clock::duration::zero();
  }
  const uint64_t generation = timerGeneration_;
  timerId_ = Reactor::instance().addTimer(start, [weak = weak_from_this(), generation, start] {
    if (auto self = weak.lock()) self->timerFired(generation, start);
  });
}

void SourceCore::timerFired(uint64_t generation, TimePoint deadline) {
  Lock lock(mutex_);
  if (cancelled_ || generation != timerGeneration_) return;
  timerId_ = 0;
  unsigned long count = 1;
  if (interval_ > Clock::duration::zero()) {
    const auto now = Clock::now();
    const auto late = now > deadline ? (now - deadline) / interval_ : 0;
    count += static_cast<unsigned long>(late);
    const TimePoint next = deadline + (late + 1) * interval_;
    timerId_ = Reactor::instance().addTimer(next, [weak = weak_from_this(), generation, next] {
      if (auto self = weak.lock()) self->timerFired(generation, next);
    });
  }
  pendingData_ += count;
  pending_ = true;
  update(lock);
}

void SourceCore::suspend() {
  Lock lock(mutex_);
  ++suspendCount_;
  // A descriptor's pending readiness may be stale by the time of `resume`; it is looked
  // at afresh then instead.
  if (isDescriptorSource()) pending_ = false;
  update(lock);
}

void SourceCore::resume() {
  Lock lock(mutex_);
  if (suspendCount_ == 0) return;
  --suspendCount_;
  if (suspendCount_ == 0) endOfFileReported_ = false;
  update(lock);
}

void SourceCore::cancel() {
  auto self = shared_from_this();
  Lock lock(mutex_);
  if (cancelled_) return;
  cancelled_ = true;
  pending_ = false;
  switch (kind_) {
    case Kind::Read:
    case Kind::Write:
      Reactor::instance().detachFd(fd_, this);
      armed_ = false;
      break;
    case Kind::Timer:
      ++timerGeneration_;
      if (timerId_ != 0) Reactor::instance().removeTimer(timerId_);
      timerId_ = 0;
      break;
    case Kind::FileWatch:
      if (watching_) Reactor::instance().removeWatch(this);
      watching_ = false;
      break;
  }
  update(lock);
}

bool SourceCore::isCancelled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cancelled_;
}

void SourceCore::fdReady() {
  Lock lock(mutex_);
  armed_ = false;
  if (cancelled_) return;
  if (suspendCount_ == 0) {
    // Read while the descriptor is known to be open (it is closed only after cancel).
    pending_ = true;
    pendingData_ = descriptorDataLocked();
  }
  // Suspended: nothing is kept; the descriptor is watched again on resume and, being
  // level-triggered, reports again if it is still ready.
  update(lock);
}

void SourceCore::fileChanged(uint32_t inotifyMask) {
  Lock lock(mutex_);
  if (cancelled_) return;
  unsigned long bits = 0;
  if ((inotifyMask & IN_DELETE_SELF) != 0) bits |= Source::kFileDelete;
  if ((inotifyMask & IN_MOVE_SELF) != 0) bits |= Source::kFileRename;
  if ((inotifyMask & IN_ATTRIB) != 0) {
    // Unlinking an open file changes only its link count; the inode lives on.
    struct stat st {};
    if (fstat(fd_, &st) == 0 && st.st_nlink == 0) bits |= Source::kFileDelete;
  }
  if (bits == 0) return;
  pendingData_ |= bits;
  pending_ = true;
  update(lock);
}

unsigned long SourceCore::descriptorDataLocked() const {
  if (kind_ == Kind::Read) {
    if (listening_) return 1;
    int available = 0;
    if (ioctl(fd_, FIONREAD, &available) == 0)
      return static_cast<unsigned long>(std::max(0, available));
    return 1;  // readable, size unknown
  }
  struct stat st {};
  if (fstat(fd_, &st) == 0) {
    if (S_ISSOCK(st.st_mode)) {
      int sendBuffer = 0;
      socklen_t len = sizeof sendBuffer;
      int queued = 0;
      if (getsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &sendBuffer, &len) == 0 &&
          ioctl(fd_, SIOCOUTQ, &queued) == 0) {
        return static_cast<unsigned long>(std::max(1, sendBuffer - queued));
      }
    } else if (S_ISFIFO(st.st_mode)) {
      const int size = fcntl(fd_, F_GETPIPE_SZ);
      int queued = 0;
      if (size > 0 && ioctl(fd_, FIONREAD, &queued) == 0) {
        return static_cast<unsigned long>(std::max(1, size - queued));
      }
    }
  }
  return 1;  // writable, room unknown
}

void SourceCore::update(Lock& lock) {
  bool postDelivery = false;
  bool postCancel = false;
  if (cancelled_) {
    if (!deliveryQueued_ && !cancelQueued_) {
      cancelQueued_ = true;
      postCancel = true;
    }
  } else {
    if (suspendCount_ == 0 && pending_ && !deliveryQueued_) {
      deliveryQueued_ = true;
      postDelivery = true;
    }
    if (isDescriptorSource()) {
      const bool want = suspendCount_ == 0 && !deliveryQueued_ && !pending_;
      if (want != armed_) {
        armed_ = want;
        const bool alwaysReady = Reactor::instance().setFdArmed(fd_, this, want);
        if (want && alwaysReady) {
          // Such a descriptor never reports readiness itself, so it is delivered at once:
          // a read source while bytes remain, and at end of file once per resume (else
          // it would fire again forever with nothing to read). When quiet it stays
          // "armed", so it is looked at again only after a suspend and resume.
          const unsigned long available = descriptorDataLocked();
          const bool atEnd = kind_ == Kind::Read && available == 0;
          if (!atEnd || !endOfFileReported_) {
            if (atEnd) endOfFileReported_ = true;
            armed_ = false;
            pending_ = true;
            pendingData_ = available;
            deliveryQueued_ = true;
            postDelivery = true;
          }
        }
      }
    }
  }
  lock.unlock();
  // Submitted outside the lock: the queue (or the main queue's waker) never runs under it.
  if (postDelivery) queue_->async([self = shared_from_this()] { self->deliver(); });
  if (postCancel) queue_->async([self = shared_from_this()] { self->runCancel(); });
}

void SourceCore::deliver() {
  Lock lock(mutex_);
  if (cancelled_ || suspendCount_ > 0 || !pending_) {
    deliveryQueued_ = false;
    // A descriptor's readiness is looked at afresh when it is watched again.
    if (isDescriptorSource()) pending_ = false;
    update(lock);
    return;
  }
  data_.store(pendingData_, std::memory_order_relaxed);
  pending_ = false;
  pendingData_ = 0;
  std::shared_ptr<Block> handler = eventHandler_;
  lock.unlock();
  if (handler && *handler) (*handler)();
  handler.reset();
  lock.lock();
  deliveryQueued_ = false;
  update(lock);
}

void SourceCore::runCancel() {
  Lock lock(mutex_);
  Block handler = std::move(cancelHandler_);
  cancelHandler_ = nullptr;
  std::shared_ptr<Block> eventHandler = std::move(eventHandler_);
  eventHandler_.reset();
  lock.unlock();
  // Dropping the handlers here breaks reference cycles through their captures.
  eventHandler.reset();
  if (handler) handler();
}

}  // namespace corvane::platform::dispatch::detail
