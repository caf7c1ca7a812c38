// Helpers shared by the source files of GCDAsyncSocket; not part of its interface.
#pragma once

#include <utility>

#include "sockets/GCDAsyncSocket.h"

namespace corvane {

// Posts `call(delegate, socket)` to the delegate queue when a delegate queue is set and the
// delegate is alive. The delegate is captured strongly at posting time. The socket is
// nullptr while it is being destroyed. Socket queue only.
template <class F>
void GCDAsyncSocket::notifyDelegate(F&& call) {
  QueuePtr dq = delegateQueue_;
  if (!dq) return;
  DelegatePtr d = delegate_.lock();
  if (!d) return;
  std::shared_ptr<GCDAsyncSocket> self;
  if ((flags & tearingDown) == 0) self = weak_from_this().lock();
  dq->async([d = std::move(d), self = std::move(self), call = std::forward<F>(call)]() mutable {
    call(*d, self);
  });
}

namespace gcd_async_socket_detail {

// Closes a descriptor whose connect() may still be in flight on another thread: the
// shutdown makes that connect() return at once instead of after the SYN retries.
void shutdownAndClose(int fd);

}  // namespace gcd_async_socket_detail

}  // namespace corvane
