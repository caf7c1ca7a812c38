// Helpers shared by the source files of GCDAsyncSocket; not part of its interface.
#pragma once

#include <type_traits>
#include <utility>

#include "sockets/gcd_async_socket.h"

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

template <class Get>
auto GCDAsyncSocket::syncValue(Get&& get) const {
  std::decay_t<decltype(get())> result{};
  runSync([&] { result = get(); });
  return result;
}

template <class Request>
bool GCDAsyncSocket::runRequest(Error* errPtr, Request&& request) {
  Error err;
  const bool ok = syncValue([&] { return request(&err); });
  if (!ok && errPtr != nullptr) *errPtr = std::move(err);
  return ok;
}

template <class Ask>
void GCDAsyncSocket::askForTimeoutExtension(
    const std::shared_ptr<GCDAsyncPacket>& packet, Ask ask,
    void (GCDAsyncSocket::*withExtension)(const GCDAsyncPacket*, double)) {
  const QueuePtr dq = delegateQueue_;
  DelegatePtr theDelegate = delegate_.lock();
  if (!dq || !theDelegate) {
    (this->*withExtension)(packet.get(), 0.0);
    return;
  }
  auto self = shared_from_this();
  dq->async([self, theDelegate, packet, ask = std::move(ask), withExtension] {
    const double timeoutExtension = ask(*theDelegate, self).value_or(0.0);
    self->socketQueue->async([self, packet, timeoutExtension, withExtension] {
      (self.get()->*withExtension)(packet.get(), timeoutExtension);
    });
  });
}

namespace detail {

// Closes a descriptor whose connect() may still be in flight on another thread: the
// shutdown makes that connect() return at once instead of after the SYN retries.
void shutdownAndClose(int fd);

}  // namespace detail

}  // namespace corvane
