// Creation, delegate set-up, options, cached names, closing, queue utilities and the
// address helpers of the UDP socket.
#include "sockets/gcd_async_udp_socket.h"
#include "platform/log/log.h"
#include "sockets/socket_address.h"
#include "sockets/socket_source_support.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>
#include <utility>

namespace corvane {

using platform::Error;
using platform::dispatch::Block;
using platform::dispatch::Queue;

// ---- creation

std::shared_ptr<GCDAsyncUdpSocket> GCDAsyncUdpSocket::create() {
  return create({}, nullptr, nullptr);
}

std::shared_ptr<GCDAsyncUdpSocket> GCDAsyncUdpSocket::create(QueuePtr sq) {
  return create({}, nullptr, std::move(sq));
}

std::shared_ptr<GCDAsyncUdpSocket> GCDAsyncUdpSocket::create(WeakDelegate aDelegate, QueuePtr dq) {
  return create(std::move(aDelegate), std::move(dq), nullptr);
}

std::shared_ptr<GCDAsyncUdpSocket> GCDAsyncUdpSocket::create(WeakDelegate aDelegate, QueuePtr dq,
                                                             QueuePtr sq) {
  return std::shared_ptr<GCDAsyncUdpSocket>(
      new GCDAsyncUdpSocket(std::move(aDelegate), std::move(dq), std::move(sq)));
}

GCDAsyncUdpSocket::GCDAsyncUdpSocket(WeakDelegate aDelegate, QueuePtr dq, QueuePtr sq)
    : delegate_(std::move(aDelegate)), delegateQueue_(std::move(dq)) {
  if (sq && !sq->isSerial()) {
    // All state relies on one serial context; a concurrent queue would race.
    platform::log::error("GCDAsyncUdpSocket: the socket queue must be serial; using a private one");
    sq = nullptr;
  }
  socketQueue_ = sq ? std::move(sq) : Queue::createSerial("GCDAsyncUdpSocket");
  socketQueue_->setSpecific(&IsOnSocketQueueOrTargetQueueKey, this);
}

GCDAsyncUdpSocket::~GCDAsyncUdpSocket() {
  runSync([this] { closeWithError(std::nullopt); });
  if (socketQueue_->getSpecific(&IsOnSocketQueueOrTargetQueueKey) == this) {
    socketQueue_->setSpecific(&IsOnSocketQueueOrTargetQueueKey, nullptr);
  }
}

// ---- queue helpers

bool GCDAsyncUdpSocket::isOnSocketQueue() const {
  return Queue::getCurrentSpecific(&IsOnSocketQueueOrTargetQueueKey) == this;
}

void GCDAsyncUdpSocket::runAsync(Block f) {
  if (isOnSocketQueue()) {
    f();
  } else {
    socketQueue_->async(std::move(f));
  }
}

void GCDAsyncUdpSocket::markSocketQueueTargetQueue(const QueuePtr& socketNewTargetQueue) {
  if (socketNewTargetQueue)
    socketNewTargetQueue->setSpecific(&IsOnSocketQueueOrTargetQueueKey, this);
}

void GCDAsyncUdpSocket::unmarkSocketQueueTargetQueue(const QueuePtr& socketOldTargetQueue) {
  if (socketOldTargetQueue) {
    socketOldTargetQueue->setSpecific(&IsOnSocketQueueOrTargetQueueKey, nullptr);
  }
}

void GCDAsyncUdpSocket::performBlock(const Block& block) {
  if (block) runSync([&block] { block(); });
}

int GCDAsyncUdpSocket::socketFD() {
  if (!isOnSocketQueue()) return -1;
  return socket4FD_ != -1 ? socket4FD_ : socket6FD_;
}

int GCDAsyncUdpSocket::socket4FD() { return isOnSocketQueue() ? socket4FD_ : -1; }

int GCDAsyncUdpSocket::socket6FD() { return isOnSocketQueue() ? socket6FD_ : -1; }

// ---- delegate set-up

GCDAsyncUdpSocket::DelegatePtr GCDAsyncUdpSocket::delegate() {
  return syncValue([this] { return delegate_.lock(); });
}

void GCDAsyncUdpSocket::setDelegate(WeakDelegate newDelegate) {
  auto self = shared_from_this();
  runAsync([self, newDelegate = std::move(newDelegate)] { self->delegate_ = newDelegate; });
}

void GCDAsyncUdpSocket::synchronouslySetDelegate(WeakDelegate newDelegate) {
  runSync([&] { delegate_ = std::move(newDelegate); });
}

GCDAsyncUdpSocket::QueuePtr GCDAsyncUdpSocket::delegateQueue() {
  return syncValue([this] { return delegateQueue_; });
}

void GCDAsyncUdpSocket::setDelegateQueue(QueuePtr newDelegateQueue) {
  auto self = shared_from_this();
  runAsync([self, q = std::move(newDelegateQueue)] { self->delegateQueue_ = q; });
}

void GCDAsyncUdpSocket::synchronouslySetDelegateQueue(QueuePtr newDelegateQueue) {
  runSync([&] { delegateQueue_ = std::move(newDelegateQueue); });
}

void GCDAsyncUdpSocket::getDelegate(DelegatePtr* delegatePtr, QueuePtr* delegateQueuePtr) {
  runSync([&] {
    if (delegatePtr != nullptr) *delegatePtr = delegate_.lock();
    if (delegateQueuePtr != nullptr) *delegateQueuePtr = delegateQueue_;
  });
}

void GCDAsyncUdpSocket::setDelegate(WeakDelegate newDelegate, QueuePtr newDelegateQueue) {
  auto self = shared_from_this();
  runAsync([self, d = std::move(newDelegate), q = std::move(newDelegateQueue)] {
    self->delegate_ = d;
    self->delegateQueue_ = q;
  });
}

void GCDAsyncUdpSocket::synchronouslySetDelegate(WeakDelegate newDelegate,
                                                 QueuePtr newDelegateQueue) {
  runSync([&] {
    delegate_ = std::move(newDelegate);
    delegateQueue_ = std::move(newDelegateQueue);
  });
}

// ---- options

void GCDAsyncUdpSocket::changeConfig(uint16_t setBits, uint16_t clearBits) {
  auto self = shared_from_this();
  runAsync([self, setBits, clearBits] {
    self->config_ = static_cast<uint16_t>((self->config_ & ~clearBits) | setBits);
  });
}

bool GCDAsyncUdpSocket::isIPv4Enabled() {
  return syncValue([this] { return (config_ & noIPv4) == 0; });
}

void GCDAsyncUdpSocket::setIPv4Enabled(bool flag) {
  changeConfig(flag ? 0 : noIPv4, flag ? noIPv4 : 0);
}

bool GCDAsyncUdpSocket::isIPv6Enabled() {
  return syncValue([this] { return (config_ & noIPv6) == 0; });
}

void GCDAsyncUdpSocket::setIPv6Enabled(bool flag) {
  changeConfig(flag ? 0 : noIPv6, flag ? noIPv6 : 0);
}

bool GCDAsyncUdpSocket::isIPv4Preferred() {
  return syncValue([this] { return (config_ & favourIPv4) != 0; });
}

bool GCDAsyncUdpSocket::isIPv6Preferred() {
  return syncValue([this] { return (config_ & favourIPv6) != 0; });
}

bool GCDAsyncUdpSocket::isIPVersionNeutral() {
  return syncValue([this] { return (config_ & (favourIPv4 | favourIPv6)) == 0; });
}

void GCDAsyncUdpSocket::setPreferIPv4() { changeConfig(favourIPv4, favourIPv6); }

void GCDAsyncUdpSocket::setPreferIPv6() { changeConfig(favourIPv6, favourIPv4); }

void GCDAsyncUdpSocket::setIPVersionNeutral() { changeConfig(0, favourIPv4 | favourIPv6); }

uint16_t GCDAsyncUdpSocket::maxReceiveIPv4BufferSize() {
  return syncValue([this] { return max4ReceiveSize_; });
}

void GCDAsyncUdpSocket::setMaxReceiveIPv4BufferSize(uint16_t max) {
  auto self = shared_from_this();
  runAsync([self, max] { self->max4ReceiveSize_ = max; });
}

uint32_t GCDAsyncUdpSocket::maxReceiveIPv6BufferSize() {
  return syncValue([this] { return max6ReceiveSize_; });
}

void GCDAsyncUdpSocket::setMaxReceiveIPv6BufferSize(uint32_t max) {
  auto self = shared_from_this();
  runAsync([self, max] { self->max6ReceiveSize_ = max; });
}

uint16_t GCDAsyncUdpSocket::maxSendBufferSize() {
  return syncValue([this] { return maxSendSize_; });
}

void GCDAsyncUdpSocket::setMaxSendBufferSize(uint16_t max) {
  auto self = shared_from_this();
  runAsync([self, max] { self->maxSendSize_ = max; });
}

std::any GCDAsyncUdpSocket::userData() {
  return syncValue([this] { return userData_; });
}

void GCDAsyncUdpSocket::setUserData(std::any arbitraryUserData) {
  auto self = shared_from_this();
  runAsync([self, d = std::move(arbitraryUserData)] { self->userData_ = d; });
}

// ---- cached names

void GCDAsyncUdpSocket::maybeUpdateCachedLocalAddressInfo(bool ipv4) {
  const int fd = ipv4 ? socket4FD_ : socket6FD_;
  Address& cachedAddress = ipv4 ? cachedLocalAddress4_ : cachedLocalAddress6_;
  if (!cachedAddress.empty() || (flags_ & bound) == 0 || fd == -1) return;
  Address address = detail::localAddressOf(fd);
  std::string host;
  uint16_t port = 0;
  int family = 0;
  // Port 0: not really bound yet (an implicit bind by a send on the other family).
  if (getHost(&host, &port, &family, address) && family == (ipv4 ? AF_INET : AF_INET6) &&
      port != 0) {
    cachedAddress = std::move(address);
    (ipv4 ? cachedLocalHost4_ : cachedLocalHost6_) = std::move(host);
    (ipv4 ? cachedLocalPort4_ : cachedLocalPort6_) = port;
  }
}

template <class T>
T GCDAsyncUdpSocket::localInfo(int family, T GCDAsyncUdpSocket::*field4,
                               T GCDAsyncUdpSocket::*field6) {
  return syncValue([&] {
    const bool ipv4 = family == AF_UNSPEC ? socket4FD_ != -1 : family == AF_INET;
    maybeUpdateCachedLocalAddressInfo(ipv4);
    return this->*(ipv4 ? field4 : field6);
  });
}

GCDAsyncUdpSocket::Address GCDAsyncUdpSocket::localAddress() {
  return localInfo(AF_UNSPEC, &GCDAsyncUdpSocket::cachedLocalAddress4_,
                   &GCDAsyncUdpSocket::cachedLocalAddress6_);
}

std::string GCDAsyncUdpSocket::localHost() {
  return localInfo(AF_UNSPEC, &GCDAsyncUdpSocket::cachedLocalHost4_,
                   &GCDAsyncUdpSocket::cachedLocalHost6_);
}

uint16_t GCDAsyncUdpSocket::localPort() {
  return localInfo(AF_UNSPEC, &GCDAsyncUdpSocket::cachedLocalPort4_,
                   &GCDAsyncUdpSocket::cachedLocalPort6_);
}

GCDAsyncUdpSocket::Address GCDAsyncUdpSocket::localAddress_IPv4() {
  return localInfo(AF_INET, &GCDAsyncUdpSocket::cachedLocalAddress4_,
                   &GCDAsyncUdpSocket::cachedLocalAddress6_);
}

std::string GCDAsyncUdpSocket::localHost_IPv4() {
  return localInfo(AF_INET, &GCDAsyncUdpSocket::cachedLocalHost4_,
                   &GCDAsyncUdpSocket::cachedLocalHost6_);
}

uint16_t GCDAsyncUdpSocket::localPort_IPv4() {
  return localInfo(AF_INET, &GCDAsyncUdpSocket::cachedLocalPort4_,
                   &GCDAsyncUdpSocket::cachedLocalPort6_);
}

GCDAsyncUdpSocket::Address GCDAsyncUdpSocket::localAddress_IPv6() {
  return localInfo(AF_INET6, &GCDAsyncUdpSocket::cachedLocalAddress4_,
                   &GCDAsyncUdpSocket::cachedLocalAddress6_);
}

std::string GCDAsyncUdpSocket::localHost_IPv6() {
  return localInfo(AF_INET6, &GCDAsyncUdpSocket::cachedLocalHost4_,
                   &GCDAsyncUdpSocket::cachedLocalHost6_);
}

uint16_t GCDAsyncUdpSocket::localPort_IPv6() {
  return localInfo(AF_INET6, &GCDAsyncUdpSocket::cachedLocalPort4_,
                   &GCDAsyncUdpSocket::cachedLocalPort6_);
}

GCDAsyncUdpSocket::Address GCDAsyncUdpSocket::connectedAddress() {
  return syncValue([this] { return cachedConnectedAddress_; });
}

std::string GCDAsyncUdpSocket::connectedHost() {
  return syncValue([this] { return cachedConnectedHost_; });
}

uint16_t GCDAsyncUdpSocket::connectedPort() {
  return syncValue([this] { return cachedConnectedPort_; });
}

bool GCDAsyncUdpSocket::isConnected() {
  return syncValue([this] { return (flags_ & peerFixed) != 0; });
}

bool GCDAsyncUdpSocket::isClosed() {
  return syncValue([this] { return (flags_ & socketsMade) == 0; });
}

bool GCDAsyncUdpSocket::isIPv4() {
  return syncValue(
      [this] { return (flags_ & socketsMade) != 0 ? socket4FD_ != -1 : (config_ & noIPv4) == 0; });
}

bool GCDAsyncUdpSocket::isIPv6() {
  return syncValue(
      [this] { return (flags_ & socketsMade) != 0 ? socket6FD_ != -1 : (config_ & noIPv6) == 0; });
}

// ---- delegate notifications

template <class F>
void GCDAsyncUdpSocket::notifyDelegate(F f) {
  DelegatePtr theDelegate = delegate_.lock();
  if (!theDelegate || !delegateQueue_) return;
  // Empty while the socket is being destroyed.
  std::shared_ptr<GCDAsyncUdpSocket> self = weak_from_this().lock();
  delegateQueue_->async([theDelegate, self, f = std::move(f)] { f(*theDelegate, self); });
}

void GCDAsyncUdpSocket::notifyDidConnectToAddress(const Address& address) {
  notifyDelegate(
      [address](GCDAsyncUdpSocketDelegate& d, const std::shared_ptr<GCDAsyncUdpSocket>& s) {
        d.udpSocketDidConnectToAddress(s, address);
      });
}

void GCDAsyncUdpSocket::notifyDidNotConnect(const Error& error) {
  notifyDelegate(
      [error](GCDAsyncUdpSocketDelegate& d, const std::shared_ptr<GCDAsyncUdpSocket>& s) {
        d.udpSocketDidNotConnect(s, error);
      });
}

void GCDAsyncUdpSocket::notifyDidSendDataWithTag(long tag) {
  notifyDelegate([tag](GCDAsyncUdpSocketDelegate& d, const std::shared_ptr<GCDAsyncUdpSocket>& s) {
    d.udpSocketDidSendDataWithTag(s, tag);
  });
}

void GCDAsyncUdpSocket::notifyDidNotSendDataWithTag(long tag, const Error& error) {
  notifyDelegate(
      [tag, error](GCDAsyncUdpSocketDelegate& d, const std::shared_ptr<GCDAsyncUdpSocket>& s) {
        d.udpSocketDidNotSendDataWithTag(s, tag, error);
      });
}

void GCDAsyncUdpSocket::notifyDidReceiveData(const SharedData& data, const Address& address,
                                             std::any context) {
  notifyDelegate([data, address, context = std::move(context)](
                     GCDAsyncUdpSocketDelegate& d, const std::shared_ptr<GCDAsyncUdpSocket>& s) {
    d.udpSocketDidReceiveData(s, data, address, context);
  });
}

void GCDAsyncUdpSocket::notifyDidClose(const std::optional<Error>& error) {
  notifyDelegate(
      [error](GCDAsyncUdpSocketDelegate& d, const std::shared_ptr<GCDAsyncUdpSocket>& s) {
        d.udpSocketDidClose(s, error);
      });
}

// ---- closing

void GCDAsyncUdpSocket::close() {
  runSync([this] { closeWithError(std::nullopt); });
}

void GCDAsyncUdpSocket::closeAfterSending() {
  auto self = shared_from_this();
  runAsync([self] {
    // New sends are refused from now on, so the queue can drain.
    self->flags_ |= closeWhenSent | ioRefused;
    if (!self->currentSend_ && self->sendQueue_.empty()) {
      self->closeWithError(std::nullopt);
    }
  });
}

void GCDAsyncUdpSocket::closeWithError(const std::optional<Error>& error) {
  const bool shouldCallDelegate = (flags_ & socketsMade) != 0;
  endCurrentSend();
  sendQueue_.clear();
  closeSockets();
  // A later connect names its own peer; until then there is none.
  cachedConnectedAddress_.clear();
  cachedConnectedHost_.clear();
  cachedConnectedPort_ = 0;
  cachedConnectedFamily_ = 0;
  flags_ = 0;
  pendingFilterOperations_ = 0;
  if (shouldCallDelegate) notifyDidClose(error);
}

void GCDAsyncUdpSocket::closeSockets() {
  closeSocket4();
  closeSocket6();
  flags_ &= ~socketsMade;
}

void GCDAsyncUdpSocket::closeSocket4() { closeSocketOfFamily(true); }

void GCDAsyncUdpSocket::closeSocket6() { closeSocketOfFamily(false); }

void GCDAsyncUdpSocket::closeSocketOfFamily(bool ipv4) {
  int& fd = ipv4 ? socket4FD_ : socket6FD_;
  if (fd == -1) return;
  // The sources' shared cancel counter closes the descriptor once both are cancelled
  // (cancelling a suspended source is allowed).
  detail::cancelSource(ipv4 ? send4Source_ : send6Source_);
  detail::cancelSource(ipv4 ? receive4Source_ : receive6Source_);
  fd = -1;
  (ipv4 ? socket4FDBytesAvailable_ : socket6FDBytesAvailable_) = 0;
  flags_ &= ipv4 ? ~(ipv4Writable | send4Paused | receive4Paused)
                 : ~(ipv6Writable | send6Paused | receive6Paused);
  (ipv4 ? cachedLocalAddress4_ : cachedLocalAddress6_).clear();
  (ipv4 ? cachedLocalHost4_ : cachedLocalHost6_).clear();
  (ipv4 ? cachedLocalPort4_ : cachedLocalPort6_) = 0;
}

// ---- address helpers

std::string GCDAsyncUdpSocket::hostFromSockaddr4(const struct sockaddr_in* pSockaddr4) {
  return pSockaddr4 != nullptr ? detail::numericHost(*pSockaddr4) : std::string();
}

std::string GCDAsyncUdpSocket::hostFromSockaddr6(const struct sockaddr_in6* pSockaddr6) {
  return pSockaddr6 != nullptr ? detail::numericHost(*pSockaddr6) : std::string();
}

uint16_t GCDAsyncUdpSocket::portFromSockaddr4(const struct sockaddr_in* pSockaddr4) {
  return pSockaddr4 != nullptr ? ntohs(pSockaddr4->sin_port) : 0;
}

uint16_t GCDAsyncUdpSocket::portFromSockaddr6(const struct sockaddr_in6* pSockaddr6) {
  return pSockaddr6 != nullptr ? ntohs(pSockaddr6->sin6_port) : 0;
}

std::optional<std::string> GCDAsyncUdpSocket::hostFromAddress(const Address& address) {
  std::string host;
  if (!getHost(&host, nullptr, nullptr, address)) return std::nullopt;
  return host;
}

uint16_t GCDAsyncUdpSocket::portFromAddress(const Address& address) {
  uint16_t port = 0;
  if (!getHost(nullptr, &port, nullptr, address)) return 0;
  return port;
}

int GCDAsyncUdpSocket::familyFromAddress(const Address& address) {
  int family = AF_UNSPEC;
  if (!getHost(nullptr, nullptr, &family, address)) return AF_UNSPEC;
  return family;
}

bool GCDAsyncUdpSocket::isIPv4Address(const Address& address) {
  return familyFromAddress(address) == AF_INET;
}

bool GCDAsyncUdpSocket::isIPv6Address(const Address& address) {
  return familyFromAddress(address) == AF_INET6;
}

bool GCDAsyncUdpSocket::getHost(std::string* hostPtr, uint16_t* portPtr, const Address& address) {
  return getHost(hostPtr, portPtr, nullptr, address);
}

bool GCDAsyncUdpSocket::getHost(std::string* hostPtr, uint16_t* portPtr, int* afPtr,
                                const Address& address) {
  return detail::hostAndPort(address, hostPtr, portPtr, afPtr);
}

}  // namespace corvane
