// Sending on the UDP socket: destination resolution, address choice, the send queue, the
// send filter, the send step and its time-out. Everything runs on the socket queue except
// resolution (global default-priority queue) and filters (their own queues).
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sockets/gcd_async_udp_socket.h"
#include "sockets/socket_address.h"
#include "sockets/socket_source_support.h"

namespace corvane {

using platform::Error;
using platform::dispatch::Priority;
using platform::dispatch::Queue;
using platform::dispatch::Source;
using Errors = GCDAsyncUdpSocketErrors;

namespace {

// send() failures that concern only this datagram or its destination; the socket stays
// usable and the packet is reported as not sent.
bool udpIsPacketError(int err) {
  switch (err) {
    case EMSGSIZE:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case EACCES:
    case EPERM:
    case EADDRNOTAVAIL:
      return true;
    default:
      return false;
  }
}

}  // namespace

// ---- resolution and address choice

void GCDAsyncUdpSocket::asyncResolveHost(const std::optional<std::string>& host, uint16_t port,
                                         ResolveCompletion completionBlock) {
  if (!host) {
    Error error =
        Errors::badParamError("The host param is nil. Should be domain name or IP address string.");
    socketQueue_->async(
        [completionBlock = std::move(completionBlock), error] { completionBlock({}, error); });
    return;
  }
  Queue::global(Priority::Default)
      ->async([host = *host, port, completionBlock = std::move(completionBlock),
               socketQueue = socketQueue_] {
        int gaiCode = 0;
        std::vector<Address> addresses =
            detail::resolve(host, port, SOCK_DGRAM, IPPROTO_UDP, &gaiCode);
        std::optional<Error> error;
        if (addresses.empty()) error = Errors::gaiError(gaiCode);
        socketQueue->async([completionBlock, addresses = std::move(addresses),
                            error = std::move(error)]() mutable {
          completionBlock(std::move(addresses), std::move(error));
        });
      });
}

bool GCDAsyncUdpSocket::getAddress(Address* addressPtr, int* familyPtr, Error* errorPtr,
                                   const std::vector<Address>& addresses) {
  Address address4;
  Address address6;
  bool ipv4WasFirstInList = true;
  for (const Address& candidate : addresses) {
    if (isIPv4Address(candidate)) {
      if (address4.empty()) {
        address4.assign(candidate.begin(), candidate.begin() + sizeof(sockaddr_in));
        if (address6.empty()) ipv4WasFirstInList = true;
      }
    } else if (isIPv6Address(candidate)) {
      if (address6.empty()) {
        address6.assign(candidate.begin(), candidate.begin() + sizeof(sockaddr_in6));
        if (address4.empty()) ipv4WasFirstInList = false;
      }
    }
  }
  const bool resolvedIPv4Address = !address4.empty();
  const bool resolvedIPv6Address = !address6.empty();
  if (!resolvedIPv4Address && !resolvedIPv6Address) {
    *errorPtr = Errors::badParamError("A valid IPv4 or IPv6 address was not given");
    return false;
  }

  const bool isIPv4Disabled = (config_ & noIPv4) != 0;
  const bool isIPv6Disabled = (config_ & noIPv6) != 0;
  const bool isIPv4Deactivated = (flags_ & ipv4Inactive) != 0;
  const bool isIPv6Deactivated = (flags_ & ipv6Inactive) != 0;
  const char* const ipv4Off = "IPv4 has been disabled and DNS lookup found no IPv6 address(es).";
  const char* const ipv6Off = "IPv6 has been disabled and DNS lookup found no IPv4 address(es).";
  const char* const ipv4Gone =
      "IPv4 has been deactivated due to bind/connect, and DNS lookup found no IPv6 address(es).";
  const char* const ipv6Gone =
      "IPv6 has been deactivated due to bind/connect, and DNS lookup found no IPv4 address(es).";
  if (isIPv4Disabled && !resolvedIPv6Address) {
    *errorPtr = Errors::otherError(ipv4Off);
    return false;
  }
  if (isIPv6Disabled && !resolvedIPv4Address) {
    *errorPtr = Errors::otherError(ipv6Off);
    return false;
  }
  if (isIPv4Deactivated && !resolvedIPv6Address) {
    *errorPtr = Errors::otherError(ipv4Gone);
    return false;
  }
  if (isIPv6Deactivated && !resolvedIPv4Address) {
    *errorPtr = Errors::otherError(ipv6Gone);
    return false;
  }

  // Only a family that is enabled and active can carry the datagram; with both families
  // found, a disabled or deactivated one is never chosen.
  const bool usable4 = resolvedIPv4Address && !isIPv4Disabled && !isIPv4Deactivated;
  const bool usable6 = resolvedIPv6Address && !isIPv6Disabled && !isIPv6Deactivated;
  bool useIPv4;
  if (usable4 && usable6) {
    if ((config_ & favourIPv4) != 0) {
      useIPv4 = true;
    } else if ((config_ & favourIPv6) != 0) {
      useIPv4 = false;
    } else {
      useIPv4 = ipv4WasFirstInList;
    }
  } else if (usable4 || usable6) {
    useIPv4 = usable4;
  } else {
    // Both found, neither usable: the family the preference would pick explains why.
    const bool wouldUseIPv4 =
        (config_ & favourIPv4) != 0 || ((config_ & favourIPv6) == 0 && ipv4WasFirstInList);
    if (wouldUseIPv4) {
      *errorPtr = Errors::otherError(isIPv4Disabled ? ipv4Off : ipv4Gone);
    } else {
      *errorPtr = Errors::otherError(isIPv6Disabled ? ipv6Off : ipv6Gone);
    }
    return false;
  }
  *addressPtr = useIPv4 ? std::move(address4) : std::move(address6);
  *familyPtr = useIPv4 ? AF_INET : AF_INET6;
  return true;
}

// ---- requests

void GCDAsyncUdpSocket::sendData(SharedData data, long tag) {
  sendData(std::move(data), -1.0, tag);
}

void GCDAsyncUdpSocket::sendData(SharedData data, double timeout, long tag) {
  if (data.empty()) return;
  enqueueSendPacket(std::make_shared<GCDAsyncUdpSendPacket>(std::move(data), timeout, tag));
}

void GCDAsyncUdpSocket::sendData(SharedData data, const std::string& host, uint16_t port,
                                 double timeout, long tag) {
  if (data.empty()) return;
  auto packet = std::make_shared<GCDAsyncUdpSendPacket>(std::move(data), timeout, tag);
  packet->resolveInProgress = true;
  std::weak_ptr<GCDAsyncUdpSocket> weakSelf = weak_from_this();
  asyncResolveHost(host, port,
                   [weakSelf, packet](std::vector<Address> addresses, std::optional<Error> error) {
                     auto self = weakSelf.lock();
                     if (!self) return;
                     packet->resolveInProgress = false;
                     packet->resolvedAddresses = std::move(addresses);
                     packet->resolveError = std::move(error);
                     if (packet == self->currentSend_) self->doPreSend();
                   });
  enqueueSendPacket(std::move(packet));
}

void GCDAsyncUdpSocket::sendData(SharedData data, const Address& remoteAddr, double timeout,
                                 long tag) {
  if (data.empty()) return;
  auto packet = std::make_shared<GCDAsyncUdpSendPacket>(std::move(data), timeout, tag);
  // The address goes through the same choice as a resolved one, so a malformed address or
  // one of a disabled or inactive family is reported for this packet alone.
  packet->resolvedAddresses.push_back(remoteAddr);
  enqueueSendPacket(std::move(packet));
}

void GCDAsyncUdpSocket::enqueueSendPacket(std::shared_ptr<GCDAsyncUdpSendPacket> packet) {
  auto self = shared_from_this();
  runAsync([self, packet = std::move(packet)] {
    if ((self->flags_ & ioRefused) != 0) {
      // Closing after the queued sends: later ones are refused, not silently dropped.
      self->notifyDidNotSendDataWithTag(packet->tag, Errors::socketClosedError());
      return;
    }
    self->sendQueue_.push_back(packet);
    self->maybeDequeueSend();
  });
}

void GCDAsyncUdpSocket::setSendFilter(GCDAsyncUdpSocketSendFilterBlock filterBlock,
                                      QueuePtr filterQueue) {
  setSendFilter(std::move(filterBlock), std::move(filterQueue), true);
}

void GCDAsyncUdpSocket::setSendFilter(GCDAsyncUdpSocketSendFilterBlock filterBlock,
                                      QueuePtr filterQueue, bool isAsynchronous) {
  storeFilter(std::move(filterBlock), std::move(filterQueue), isAsynchronous,
              &GCDAsyncUdpSocket::sendFilterBlock_, &GCDAsyncUdpSocket::sendFilterQueue_,
              &GCDAsyncUdpSocket::sendFilterAsync_);
}

// ---- the send queue

void GCDAsyncUdpSocket::maybeDequeueSend() {
  if (dequeueActive_) {
    dequeueAgain_ = true;
    return;
  }
  dequeueActive_ = true;
  do {
    dequeueAgain_ = false;
    dequeueSendOnce();
  } while (dequeueAgain_);
  dequeueActive_ = false;
}

void GCDAsyncUdpSocket::dequeueSendOnce() {
  if (currentSend_) return;
  if (!sendQueue_.empty() && (flags_ & socketsMade) == 0) {
    Error error;
    if (!createSockets(&error)) {
      // Without descriptors nothing can be sent: every queued request is answered with
      // the reason instead of vanishing.
      auto dropped = std::move(sendQueue_);
      sendQueue_.clear();
      for (const auto& entry : dropped) {
        if (auto packet = std::dynamic_pointer_cast<GCDAsyncUdpSendPacket>(entry)) {
          notifyDidNotSendDataWithTag(packet->tag, error);
        } else {
          notifyDidNotConnect(error);
        }
      }
      closeWithError(error);
      return;
    }
  }
  while (!sendQueue_.empty()) {
    std::shared_ptr<GCDAsyncUdpPacket> next = sendQueue_.front();
    sendQueue_.pop_front();
    if (std::dynamic_pointer_cast<GCDAsyncUdpSpecialPacket>(next)) {
      currentSend_ = next;
      maybeConnect();
      break;
    }
    auto packet = std::static_pointer_cast<GCDAsyncUdpSendPacket>(next);
    if (packet->resolveError) {
      notifyDidNotSendDataWithTag(packet->tag, *packet->resolveError);
      continue;
    }
    currentSend_ = packet;
    doPreSend();
    break;
  }
  if (!currentSend_ && sendQueue_.empty() && (flags_ & closeWhenSent) != 0) {
    closeWithError(std::nullopt);
  }
}

void GCDAsyncUdpSocket::doPreSend() {
  auto packet = std::dynamic_pointer_cast<GCDAsyncUdpSendPacket>(currentSend_);
  if (!packet) return;

  std::optional<Error> error;
  if ((flags_ & peerFixed) != 0) {
    if (packet->resolveInProgress || !packet->resolvedAddresses.empty() || packet->resolveError) {
      error = Errors::badConfigError("Cannot specify destination of packet for connected socket");
    } else {
      packet->address = cachedConnectedAddress_;
      packet->addressFamily = cachedConnectedFamily_;
    }
  } else {
    if (packet->resolveInProgress) {
      // The resolution's completion runs this step again.
      if ((flags_ & ipv4Writable) != 0) suspendSendSource(true);
      if ((flags_ & ipv6Writable) != 0) suspendSendSource(false);
      return;
    }
    if (packet->resolveError) {
      error = *packet->resolveError;
    } else if (packet->address.empty()) {
      if (packet->resolvedAddresses.empty()) {
        error = Errors::badConfigError(
            "You must specify destination of packet for a non-connected socket");
      } else {
        Error choiceError;
        if (!getAddress(&packet->address, &packet->addressFamily, &choiceError,
                        packet->resolvedAddresses)) {
          error = choiceError;
        }
      }
    }
  }

  if (error) {
    notifyDidNotSendDataWithTag(packet->tag, *error);
    endCurrentSend();
    maybeDequeueSend();
    return;
  }

  if (sendFilterBlock_ && sendFilterQueue_) {
    GCDAsyncUdpSocketSendFilterBlock filterBlock = sendFilterBlock_;
    if (sendFilterAsync_) {
      packet->filterInProgress = true;
      std::weak_ptr<GCDAsyncUdpSocket> weakSelf = weak_from_this();
      QueuePtr socketQueue = socketQueue_;
      sendFilterQueue_->async([filterBlock, packet, weakSelf, socketQueue] {
        const bool allowed = filterBlock(packet->buffer, packet->address, packet->tag);
        socketQueue->async([weakSelf, packet, allowed] {
          auto self = weakSelf.lock();
          if (!self) return;
          packet->filterInProgress = false;
          if (packet != self->currentSend_) return;
          if (allowed) {
            self->doSend();
          } else {
            // A refused datagram counts as sent.
            self->notifyDidSendDataWithTag(packet->tag);
            self->endCurrentSend();
            self->maybeDequeueSend();
          }
        });
      });
    } else {
      bool allowed = true;
      if (sendFilterQueue_ == socketQueue_) {
        allowed = filterBlock(packet->buffer, packet->address, packet->tag);
      } else {
        sendFilterQueue_->sync(
            [&] { allowed = filterBlock(packet->buffer, packet->address, packet->tag); });
      }
      if (allowed) {
        doSend();
      } else {
        notifyDidSendDataWithTag(packet->tag);
        endCurrentSend();
        maybeDequeueSend();
      }
    }
  } else {
    doSend();
  }
}

void GCDAsyncUdpSocket::doSend() {
  auto packet = std::dynamic_pointer_cast<GCDAsyncUdpSendPacket>(currentSend_);
  if (!packet) return;

  const bool useIPv4 = packet->addressFamily == AF_INET;
  const int fd = useIPv4 ? socket4FD_ : socket6FD_;
  ssize_t result = -1;
  int err = 0;
  if (fd == -1) {
    // The family's descriptor is gone (closed by connect or multicast, or never made).
    err = EBADF;
  } else if ((flags_ & peerFixed) != 0) {
    result = ::send(fd, packet->buffer.data(), packet->buffer.size(), 0);
    err = errno;
  } else {
    const socklen_t len = useIPv4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    result = ::sendto(fd, packet->buffer.data(), packet->buffer.size(), 0,
                      reinterpret_cast<const sockaddr*>(packet->address.data()), len);
    err = errno;
  }
  // The first send binds the socket implicitly.
  if (fd != -1) flags_ |= bound;

  const bool waitingForSocket =
      result == 0 || (result < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR));
  if (waitingForSocket) {
    flags_ &= ~(useIPv4 ? ipv4Writable : ipv6Writable);
    if ((flags_ & ipv4Writable) == 0) resumeSendSource(true);
    if ((flags_ & ipv6Writable) == 0) resumeSendSource(false);
    if (!sendTimer_ && packet->timeout >= 0.0) setupSendTimerWithTimeout(packet->timeout);
    return;
  }
  if (result < 0) {
    Error error = Errors::errnoErrorWithReason(err, "Error in send() function.");
    if (fd != -1 && !udpIsPacketError(err)) {
      closeWithError(error);
      return;
    }
    notifyDidNotSendDataWithTag(packet->tag, error);
  } else {
    notifyDidSendDataWithTag(packet->tag);
  }
  endCurrentSend();
  maybeDequeueSend();
}

void GCDAsyncUdpSocket::setupSendTimerWithTimeout(double timeout) {
  sendTimer_ = Source::createTimer(socketQueue_);
  std::weak_ptr<GCDAsyncUdpSocket> weakSelf = weak_from_this();
  const Source* timer = sendTimer_.get();
  sendTimer_->setEventHandler([weakSelf, timer] {
    auto self = weakSelf.lock();
    if (self && self->sendTimer_.get() == timer) self->doSendTimeout();
  });
  sendTimer_->setTimer(timeout, platform::dispatch::kForever);
  sendTimer_->resume();
}

void GCDAsyncUdpSocket::doSendTimeout() {
  auto packet = std::dynamic_pointer_cast<GCDAsyncUdpSendPacket>(currentSend_);
  if (!packet) return;
  notifyDidNotSendDataWithTag(packet->tag, Errors::sendTimeoutError());
  endCurrentSend();
  maybeDequeueSend();
}

void GCDAsyncUdpSocket::endCurrentSend() {
  detail::cancelSource(sendTimer_);
  currentSend_.reset();
}

}  // namespace corvane
