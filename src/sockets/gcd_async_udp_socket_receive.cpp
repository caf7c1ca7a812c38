// Receiving on the UDP socket: one-shot and continuous modes, the receive filter and the
// receive step. Everything runs on the socket queue except filters (their own queues).
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "sockets/gcd_async_udp_socket.h"

namespace corvane {

using platform::Error;
using Errors = GCDAsyncUdpSocketErrors;

namespace {

constexpr const char* kMustBindText =
    "Must bind socket before you can receive data. You can do this explicitly via bind, or "
    "implicitly via connect or by sending data.";

// True when `sender` is the same address and port as the connected peer `peer`.
bool udpSameEndpoint(const GCDAsyncUdpAddress& sender, const GCDAsyncUdpAddress& peer, bool ipv4) {
  if (ipv4) {
    if (!GCDAsyncUdpSocket::isIPv4Address(sender) || !GCDAsyncUdpSocket::isIPv4Address(peer)) {
      return false;
    }
    sockaddr_in a{};
    sockaddr_in b{};
    std::memcpy(&a, sender.data(), sizeof a);
    std::memcpy(&b, peer.data(), sizeof b);
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
  }
  if (!GCDAsyncUdpSocket::isIPv6Address(sender) || !GCDAsyncUdpSocket::isIPv6Address(peer)) {
    return false;
  }
  sockaddr_in6 a{};
  sockaddr_in6 b{};
  std::memcpy(&a, sender.data(), sizeof a);
  std::memcpy(&b, peer.data(), sizeof b);
  return std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0 &&
         a.sin6_port == b.sin6_port;
}

// What is known to be waiting on `fd` after a datagram was taken: the size of the next
// datagram (at least 1, so that an empty one counts), or 0 when nothing waits. On Linux
// the read source reports only the next datagram's size, not everything queued, so the
// count is asked again rather than reduced.
uint64_t udpPendingBytes(int fd) {
  const ssize_t next = ::recv(fd, nullptr, 0, MSG_PEEK | MSG_DONTWAIT | MSG_TRUNC);
  if (next < 0) return 0;
  return next == 0 ? 1 : static_cast<uint64_t>(next);
}

}  // namespace

// ---- requests

bool GCDAsyncUdpSocket::startReceiving(uint32_t mode, Error* errPtr) {
  bool result = true;
  Error err;
  runSync([&] {
    if ((flags_ & mode) != 0) return;
    if ((flags_ & socketsMade) == 0) {
      err = Errors::badConfigError(kMustBindText);
      result = false;
      return;
    }
    flags_ |= mode;
    flags_ &= ~(mode == receiveOneShot ? receiveStream : receiveOneShot);
    auto self = shared_from_this();
    socketQueue_->async([self] { self->doReceive(); });
  });
  if (!result && errPtr != nullptr) *errPtr = std::move(err);
  return result;
}

bool GCDAsyncUdpSocket::receiveOnce(Error* errPtr) {
  return startReceiving(receiveOneShot, errPtr);
}

bool GCDAsyncUdpSocket::beginReceiving(Error* errPtr) {
  return startReceiving(receiveStream, errPtr);
}

void GCDAsyncUdpSocket::pauseReceiving() {
  auto self = shared_from_this();
  runAsync([self] {
    self->flags_ &= ~(receiveOneShot | receiveStream);
    if (self->socket4FDBytesAvailable_ > 0) self->suspendReceiveSource(true);
    if (self->socket6FDBytesAvailable_ > 0) self->suspendReceiveSource(false);
  });
}

void GCDAsyncUdpSocket::setReceiveFilter(GCDAsyncUdpSocketReceiveFilterBlock filterBlock,
                                         QueuePtr filterQueue) {
  setReceiveFilter(std::move(filterBlock), std::move(filterQueue), true);
}

void GCDAsyncUdpSocket::setReceiveFilter(GCDAsyncUdpSocketReceiveFilterBlock filterBlock,
                                         QueuePtr filterQueue, bool isAsynchronous) {
  storeFilter(std::move(filterBlock), std::move(filterQueue), isAsynchronous,
              &GCDAsyncUdpSocket::receiveFilterBlock_, &GCDAsyncUdpSocket::receiveFilterQueue_,
              &GCDAsyncUdpSocket::receiveFilterAsync_);
}

void GCDAsyncUdpSocket::applicationWillEnterForeground() {
  auto self = shared_from_this();
  runAsync([self] {
    self->resumeReceiveSource(true);
    self->resumeReceiveSource(false);
  });
}

// ---- the receive step

bool GCDAsyncUdpSocket::receiveStepMustWait() {
  if ((flags_ & (receiveOneShot | receiveStream)) == 0 ||
      ((flags_ & receiveOneShot) != 0 && pendingFilterOperations_ > 0)) {
    // Not receiving (or a one-shot datagram is still with the filter): a level-triggered
    // source with bytes would fire again and again.
    if (socket4FDBytesAvailable_ > 0) suspendReceiveSource(true);
    if (socket6FDBytesAvailable_ > 0) suspendReceiveSource(false);
    return true;
  }
  if (socket4FDBytesAvailable_ == 0 && socket6FDBytesAvailable_ == 0) {
    resumeReceiveSource(true);
    resumeReceiveSource(false);
    return true;
  }
  return false;
}

bool GCDAsyncUdpSocket::chooseReceiveFamily() {
  if ((flags_ & peerFixed) != 0) return socket4FD_ != -1;
  if (socket4FDBytesAvailable_ > 0 && socket6FDBytesAvailable_ > 0) {
    const bool ipv4 = (flags_ & alternateFamily) != 0;
    flags_ ^= alternateFamily;
    return ipv4;
  }
  return socket4FDBytesAvailable_ > 0;
}

GCDAsyncUdpSocket::ReceivedDatagram GCDAsyncUdpSocket::receiveDatagram(bool ipv4) {
  ReceivedDatagram received;
  const int fd = ipv4 ? socket4FD_ : socket6FD_;
  uint64_t& bytesAvailable = ipv4 ? socket4FDBytesAvailable_ : socket6FDBytesAvailable_;
  if (fd == -1) {
    bytesAvailable = 0;
    received.outcome = ReceivedDatagram::Outcome::ignored;
    return received;
  }

  // A buffer of the full maximum size, whatever the source reported: the count need not
  // match one datagram. MSG_TRUNC makes recvfrom() report the datagram's real length, so a
  // datagram larger than the maximum is recognised and dropped instead of being delivered
  // cut short.
  const size_t bufferSize = ipv4 ? max4ReceiveSize_ : max6ReceiveSize_;
  std::unique_ptr<uint8_t[]> buffer;
  try {
    buffer = std::make_unique_for_overwrite<uint8_t[]>(bufferSize == 0 ? 1 : bufferSize);
  } catch (const std::bad_alloc&) {
    buffer.reset();
  }
  sockaddr_storage sockaddrStorage{};
  socklen_t sockaddrLength = ipv4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  // Without memory the datagram is consumed and dropped, so the socket cannot stall.
  const ssize_t result =
      ::recvfrom(fd, buffer ? buffer.get() : nullptr, buffer ? bufferSize : 0, MSG_TRUNC,
                 reinterpret_cast<sockaddr*>(&sockaddrStorage), &sockaddrLength);
  const int err = errno;

  if (result == 0 && sockaddrLength == 0) {
    // No datagram and no sender: the receiving side was shut down.
    received.outcome = ReceivedDatagram::Outcome::endOfStream;
    return received;
  }
  bytesAvailable = result >= 0 ? udpPendingBytes(fd) : 0;

  if (result < 0) {
    if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
      received.outcome = ReceivedDatagram::Outcome::waiting;
    } else {
      received.outcome = ReceivedDatagram::Outcome::failed;
      received.error = Errors::errnoErrorWithReason(err, "Error in recvfrom() function");
    }
    return received;
  }
  if (result == 0 || !buffer || static_cast<size_t>(result) > bufferSize) {
    // An empty datagram (consumed, nothing to hand over), or one larger than the maximum (or
    // no memory): dropped whole.
    received.outcome = ReceivedDatagram::Outcome::ignored;
    return received;
  }
  // Exactly the datagram's bytes, in a buffer of their own size.
  received.data = SharedData(std::vector<uint8_t>(buffer.get(), buffer.get() + result));
  const auto* sa = reinterpret_cast<const uint8_t*>(&sockaddrStorage);
  received.address.assign(sa, sa + std::min<size_t>(sockaddrLength, sizeof sockaddrStorage));
  if ((flags_ & peerFixed) != 0 &&
      !udpSameEndpoint(received.address, cachedConnectedAddress_, ipv4)) {
    // A connected socket takes datagrams from its peer only.
    received.outcome = ReceivedDatagram::Outcome::ignored;
    return received;
  }
  received.outcome = ReceivedDatagram::Outcome::datagram;
  return received;
}

GCDAsyncUdpSocket::Delivery GCDAsyncUdpSocket::deliverDatagram(const SharedData& data,
                                                               const Address& address) {
  if (!receiveFilterBlock_ || !receiveFilterQueue_) {
    notifyDidReceiveData(data, address, std::any());
    return Delivery::notified;
  }
  GCDAsyncUdpSocketReceiveFilterBlock filterBlock = receiveFilterBlock_;
  if (receiveFilterAsync_) {
    filterAsynchronously(filterBlock, data, address);
    return Delivery::filtering;
  }
  std::any filterContext;
  bool allowed = true;
  if (receiveFilterQueue_ == socketQueue_) {
    allowed = filterBlock(data, address, &filterContext);
  } else {
    receiveFilterQueue_->sync([&] { allowed = filterBlock(data, address, &filterContext); });
  }
  if (!allowed) return Delivery::ignored;
  notifyDidReceiveData(data, address, std::move(filterContext));
  return Delivery::notified;
}

void GCDAsyncUdpSocket::filterAsynchronously(const GCDAsyncUdpSocketReceiveFilterBlock& filterBlock,
                                             const SharedData& data, const Address& address) {
  pendingFilterOperations_++;
  std::weak_ptr<GCDAsyncUdpSocket> weakSelf = weak_from_this();
  QueuePtr socketQueue = socketQueue_;
  receiveFilterQueue_->async([filterBlock, data, address, weakSelf, socketQueue] {
    std::any filterContext;
    const bool allowed = filterBlock(data, address, &filterContext);
    socketQueue->async(
        [weakSelf, data, address, allowed, filterContext = std::move(filterContext)]() mutable {
          auto self = weakSelf.lock();
          if (!self) return;
          if (self->pendingFilterOperations_ > 0) self->pendingFilterOperations_--;
          if (allowed) {
            self->notifyDidReceiveData(data, address, std::move(filterContext));
            if ((self->flags_ & receiveOneShot) != 0) self->flags_ &= ~receiveOneShot;
          } else if ((self->flags_ & receiveOneShot) != 0 && self->pendingFilterOperations_ == 0) {
            self->doReceive();
          }
        });
  });
}

void GCDAsyncUdpSocket::doReceive() {
  // A loop rather than recursion: continuous receiving reads datagram after datagram.
  for (;;) {
    if (receiveStepMustWait()) return;
    ReceivedDatagram received = receiveDatagram(chooseReceiveFamily());
    Delivery delivery = Delivery::ignored;
    switch (received.outcome) {
      case ReceivedDatagram::Outcome::endOfStream:
        doReceiveEOF();
        return;
      case ReceivedDatagram::Outcome::waiting:
        if (socket4FDBytesAvailable_ == 0) resumeReceiveSource(true);
        if (socket6FDBytesAvailable_ == 0) resumeReceiveSource(false);
        return;
      case ReceivedDatagram::Outcome::failed:
        closeWithError(*received.error);
        return;
      case ReceivedDatagram::Outcome::ignored:
        break;
      case ReceivedDatagram::Outcome::datagram:
        delivery = deliverDatagram(received.data, received.address);
        break;
    }
    // After the datagram: continuous mode goes on; one-shot mode ends once the delegate was
    // told, goes on past an ignored datagram and otherwise waits for the filter.
    if ((flags_ & receiveStream) != 0) continue;
    if ((flags_ & receiveOneShot) == 0) return;
    if (delivery == Delivery::notified) {
      flags_ &= ~receiveOneShot;
      return;
    }
    if (delivery == Delivery::ignored) continue;
    return;
  }
}

void GCDAsyncUdpSocket::doReceiveEOF() { closeWithError(Errors::socketClosedError()); }

}  // namespace corvane
