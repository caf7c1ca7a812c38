// Creation, delegate set-up, options, cached names, closing, queue utilities and the
// address helpers of the UDP socket.
#include "sockets/GCDAsyncUdpSocket.h"

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
  DelegatePtr result;
  runSync([&] { result = delegate_.lock(); });
  return result;
}

void GCDAsyncUdpSocket::setDelegate(WeakDelegate newDelegate) {
  auto self = shared_from_this();
  runAsync([self, newDelegate = std::move(newDelegate)] { self->delegate_ = newDelegate; });
}

void GCDAsyncUdpSocket::synchronouslySetDelegate(WeakDelegate newDelegate) {
  runSync([&] { delegate_ = std::move(newDelegate); });
}

GCDAsyncUdpSocket::QueuePtr GCDAsyncUdpSocket::delegateQueue() {
  QueuePtr result;
  runSync([&] { result = delegateQueue_; });
  return result;
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

bool GCDAsyncUdpSocket::isIPv4Enabled() {
  bool result = false;
  runSync([&] { result = (config_ & noIPv4) == 0; });
  return result;
}

void GCDAsyncUdpSocket::setIPv4Enabled(bool flag) {
  auto self = shared_from_this();
  runAsync([self, flag] {
    if (flag) {
      self->config_ &= static_cast<uint16_t>(~noIPv4);
    } else {
      self->config_ |= noIPv4;
    }
  });
}

bool GCDAsyncUdpSocket::isIPv6Enabled() {
  bool result = false;
  runSync([&] { result = (config_ & noIPv6) == 0; });
  return result;
}

void GCDAsyncUdpSocket::setIPv6Enabled(bool flag) {
  auto self = shared_from_this();
  runAsync([self, flag] {
    if (flag) {
      self->config_ &= static_cast<uint16_t>(~noIPv6);
    } else {
      self->config_ |= noIPv6;
    }
  });
}

bool GCDAsyncUdpSocket::isIPv4Preferred() {
  bool result = false;
  runSync([&] { result = (config_ & favourIPv4) != 0; });
  return result;
}

bool GCDAsyncUdpSocket::isIPv6Preferred() {
  bool result = false;
  runSync([&] { result = (config_ & favourIPv6) != 0; });
  return result;
}

bool GCDAsyncUdpSocket::isIPVersionNeutral() {
  bool result = false;
  runSync([&] { result = (config_ & (favourIPv4 | favourIPv6)) == 0; });
  return result;
}

void GCDAsyncUdpSocket::setPreferIPv4() {
  auto self = shared_from_this();
  runAsync([self] {
    self->config_ |= favourIPv4;
    self->config_ &= static_cast<uint16_t>(~favourIPv6);
  });
}

void GCDAsyncUdpSocket::setPreferIPv6() {
  auto self = shared_from_this();
  runAsync([self] {
    self->config_ &= static_cast<uint16_t>(~favourIPv4);
    self->config_ |= favourIPv6;
  });
}

void GCDAsyncUdpSocket::setIPVersionNeutral() {
  auto self = shared_from_this();
  runAsync([self] { self->config_ &= static_cast<uint16_t>(~(favourIPv4 | favourIPv6)); });
}

uint16_t GCDAsyncUdpSocket::maxReceiveIPv4BufferSize() {
  uint16_t result = 0;
  runSync([&] { result = max4ReceiveSize_; });
  return result;
}

void GCDAsyncUdpSocket::setMaxReceiveIPv4BufferSize(uint16_t max) {
  auto self = shared_from_this();
  runAsync([self, max] { self->max4ReceiveSize_ = max; });
}

uint32_t GCDAsyncUdpSocket::maxReceiveIPv6BufferSize() {
  uint32_t result = 0;
  runSync([&] { result = max6ReceiveSize_; });
  return result;
}

void GCDAsyncUdpSocket::setMaxReceiveIPv6BufferSize(uint32_t max) {
  auto self = shared_from_this();
  runAsync([self, max] { self->max6ReceiveSize_ = max; });
}

uint16_t GCDAsyncUdpSocket::maxSendBufferSize() {
  uint16_t result = 0;
  runSync([&] { result = maxSendSize_; });
  return result;
}

void GCDAsyncUdpSocket::setMaxSendBufferSize(uint16_t max) {
  auto self = shared_from_this();
  runAsync([self, max] { self->maxSendSize_ = max; });
}

std::any GCDAsyncUdpSocket::userData() {
  std::any result;
  runSync([&] { result = userData_; });
  return result;
}

void GCDAsyncUdpSocket::setUserData(std::any arbitraryUserData) {
  auto self = shared_from_this();
  runAsync([self, d = std::move(arbitraryUserData)] { self->userData_ = d; });
}

// ---- cached names

namespace {

GCDAsyncUdpAddress udpLocalAddressOf(int fd) {
  sockaddr_storage storage{};
  socklen_t len = sizeof storage;
  if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &len) != 0) return {};
  const auto* p = reinterpret_cast<const uint8_t*>(&storage);
  return GCDAsyncUdpAddress(p, p + std::min<size_t>(len, sizeof storage));
}

}  // namespace

void GCDAsyncUdpSocket::maybeUpdateCachedLocalAddress4Info() {
  if (!cachedLocalAddress4_.empty() || (flags_ & bound) == 0 || socket4FD_ == -1) return;
  Address address = udpLocalAddressOf(socket4FD_);
  std::string host;
  uint16_t port = 0;
  int family = 0;
  // Port 0: not really bound yet (an implicit bind by a send on the other family).
  if (getHost(&host, &port, &family, address) && family == AF_INET && port != 0) {
    cachedLocalAddress4_ = std::move(address);
    cachedLocalHost4_ = std::move(host);
    cachedLocalPort4_ = port;
  }
}

void GCDAsyncUdpSocket::maybeUpdateCachedLocalAddress6Info() {
  if (!cachedLocalAddress6_.empty() || (flags_ & bound) == 0 || socket6FD_ == -1) return;
  Address address = udpLocalAddressOf(socket6FD_);
  std::string host;
  uint16_t port = 0;
  int family = 0;
  if (getHost(&host, &port, &family, address) && family == AF_INET6 && port != 0) {
    cachedLocalAddress6_ = std::move(address);
    cachedLocalHost6_ = std::move(host);
    cachedLocalPort6_ = port;
  }
}

GCDAsyncUdpSocket::Address GCDAsyncUdpSocket::localAddress() {
  Address result;
  runSync([&] {
    if (socket4FD_ != -1) {
      maybeUpdateCachedLocalAddress4Info();
      result = cachedLocalAddress4_;
    } else {
      maybeUpdateCachedLocalAddress6Info();
      result = cachedLocalAddress6_;
    }
  });
  return result;
}

std::string GCDAsyncUdpSocket::localHost() {
  std::string result;
  runSync([&] {
    if (socket4FD_ != -1) {
      maybeUpdateCachedLocalAddress4Info();
      result = cachedLocalHost4_;
    } else {
      maybeUpdateCachedLocalAddress6Info();
      result = cachedLocalHost6_;
    }
  });
  return result;
}

uint16_t GCDAsyncUdpSocket::localPort() {
  uint16_t result = 0;
  runSync([&] {
    if (socket4FD_ != -1) {
      maybeUpdateCachedLocalAddress4Info();
      result = cachedLocalPort4_;
    } else {
      maybeUpdateCachedLocalAddress6Info();
      result = cachedLocalPort6_;
    }
  });
  return result;
}

GCDAsyncUdpSocket::Address GCDAsyncUdpSocket::localAddress_IPv4() {
  Address result;
  runSync([&] {
    maybeUpdateCachedLocalAddress4Info();
    result = cachedLocalAddress4_;
  });
  return result;
}

std::string GCDAsyncUdpSocket::localHost_IPv4() {
  std::string result;
  runSync([&] {
    maybeUpdateCachedLocalAddress4Info();
    result = cachedLocalHost4_;
  });
  return result;
}

uint16_t GCDAsyncUdpSocket::localPort_IPv4() {
  uint16_t result = 0;
  runSync([&] {
    maybeUpdateCachedLocalAddress4Info();
    result = cachedLocalPort4_;
  });
  return result;
}

GCDAsyncUdpSocket::Address GCDAsyncUdpSocket::localAddress_IPv6() {
  Address result;
  runSync([&] {
    maybeUpdateCachedLocalAddress6Info();
    result = cachedLocalAddress6_;
  });
  return result;
}

std::string GCDAsyncUdpSocket::localHost_IPv6() {
  std::string result;
  runSync([&] {
    maybeUpdateCachedLocalAddress6Info();
    result = cachedLocalHost6_;
  });
  return result;
}

uint16_t GCDAsyncUdpSocket::localPort_IPv6() {
  uint16_t result = 0;
  runSync([&] {
    maybeUpdateCachedLocalAddress6Info();
    result = cachedLocalPort6_;
  });
  return result;
}

GCDAsyncUdpSocket::Address GCDAsyncUdpSocket::connectedAddress() {
  Address result;
  runSync([&] { result = cachedConnectedAddress_; });
  return result;
}

std::string GCDAsyncUdpSocket::connectedHost() {
  std::string result;
  runSync([&] { result = cachedConnectedHost_; });
  return result;
}

uint16_t GCDAsyncUdpSocket::connectedPort() {
  uint16_t result = 0;
  runSync([&] { result = cachedConnectedPort_; });
  return result;
}

bool GCDAsyncUdpSocket::isConnected() {
  bool result = false;
  runSync([&] { result = (flags_ & peerFixed) != 0; });
  return result;
}

bool GCDAsyncUdpSocket::isClosed() {
  bool result = true;
  runSync([&] { result = (flags_ & socketsMade) == 0; });
  return result;
}

bool GCDAsyncUdpSocket::isIPv4() {
  bool result = false;
  runSync(
      [&] { result = (flags_ & socketsMade) != 0 ? socket4FD_ != -1 : (config_ & noIPv4) == 0; });
  return result;
}

bool GCDAsyncUdpSocket::isIPv6() {
  bool result = false;
  runSync(
      [&] { result = (flags_ & socketsMade) != 0 ? socket6FD_ != -1 : (config_ & noIPv6) == 0; });
  return result;
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
  flags_ = 0;
  pendingFilterOperations_ = 0;
  if (shouldCallDelegate) notifyDidClose(error);
}

void GCDAsyncUdpSocket::closeSockets() {
  closeSocket4();
  closeSocket6();
  flags_ &= ~socketsMade;
}

void GCDAsyncUdpSocket::closeSocket4() {
  if (socket4FD_ != -1) {
    // The sources' shared cancel counter closes the descriptor once both are cancelled
    // (cancelling a suspended source is allowed).
    if (send4Source_) send4Source_->cancel();
    if (receive4Source_) receive4Source_->cancel();
    send4Source_.reset();
    receive4Source_.reset();
    socket4FD_ = -1;
    socket4FDBytesAvailable_ = 0;
    flags_ &= ~(ipv4Writable | send4Paused | receive4Paused);
    cachedLocalAddress4_.clear();
    cachedLocalHost4_.clear();
    cachedLocalPort4_ = 0;
  }
}

void GCDAsyncUdpSocket::closeSocket6() {
  if (socket6FD_ != -1) {
    if (send6Source_) send6Source_->cancel();
    if (receive6Source_) receive6Source_->cancel();
    send6Source_.reset();
    receive6Source_.reset();
    socket6FD_ = -1;
    socket6FDBytesAvailable_ = 0;
    flags_ &= ~(ipv6Writable | send6Paused | receive6Paused);
    cachedLocalAddress6_.clear();
    cachedLocalHost6_.clear();
    cachedLocalPort6_ = 0;
  }
}

// ---- address helpers

namespace {

bool udpReadFamily(const GCDAsyncUdpAddress& address, sa_family_t* family) {
  if (address.size() < sizeof(sa_family_t)) return false;
  std::memcpy(family, address.data() + offsetof(sockaddr, sa_family), sizeof(sa_family_t));
  return true;
}

}  // namespace

std::string GCDAsyncUdpSocket::hostFromSockaddr4(const struct sockaddr_in* pSockaddr4) {
  if (pSockaddr4 == nullptr) return {};
  char buf[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &pSockaddr4->sin_addr, buf, sizeof buf) == nullptr) return {};
  return buf;
}

std::string GCDAsyncUdpSocket::hostFromSockaddr6(const struct sockaddr_in6* pSockaddr6) {
  if (pSockaddr6 == nullptr) return {};
  char buf[INET6_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET6, &pSockaddr6->sin6_addr, buf, sizeof buf) == nullptr) return {};
  return buf;
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
  sa_family_t family = 0;
  return address.size() >= sizeof(sockaddr_in) && udpReadFamily(address, &family) &&
         family == AF_INET;
}

bool GCDAsyncUdpSocket::isIPv6Address(const Address& address) {
  sa_family_t family = 0;
  return address.size() >= sizeof(sockaddr_in6) && udpReadFamily(address, &family) &&
         family == AF_INET6;
}

bool GCDAsyncUdpSocket::getHost(std::string* hostPtr, uint16_t* portPtr, const Address& address) {
  return getHost(hostPtr, portPtr, nullptr, address);
}

bool GCDAsyncUdpSocket::getHost(std::string* hostPtr, uint16_t* portPtr, int* afPtr,
                                const Address& address) {
  if (isIPv4Address(address)) {
    sockaddr_in sin{};
    std::memcpy(&sin, address.data(), sizeof sin);
    if (hostPtr != nullptr) *hostPtr = hostFromSockaddr4(&sin);
    if (portPtr != nullptr) *portPtr = portFromSockaddr4(&sin);
    if (afPtr != nullptr) *afPtr = AF_INET;
    return true;
  }
  if (isIPv6Address(address)) {
    sockaddr_in6 sin6{};
    std::memcpy(&sin6, address.data(), sizeof sin6);
    if (hostPtr != nullptr) *hostPtr = hostFromSockaddr6(&sin6);
    if (portPtr != nullptr) *portPtr = portFromSockaddr6(&sin6);
    if (afPtr != nullptr) *afPtr = AF_INET6;
    return true;
  }
  return false;
}

}  // namespace corvane
