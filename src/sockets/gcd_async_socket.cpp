// GCDAsyncSocket: creation, destruction, delegate and configuration, state accessors,
// queue utilities and the address helpers.
#include "sockets/gcd_async_socket.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstring>

#include "platform/log/log.h"
#include "sockets/gcd_async_read_packet.h"
#include "sockets/gcd_async_socket_private.h"
#include "sockets/gcd_async_write_packet.h"
#include "sockets/socket_address.h"

namespace corvane {

using platform::dispatch::Queue;

namespace detail {

void shutdownAndClose(int fd) {
  if (fd < 0) return;
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
}

}  // namespace detail

// ---------------------------------------------------------------------------------------
// Creation and destruction

GCDAsyncSocket::GCDAsyncSocket(WeakDelegate aDelegate, QueuePtr dq, QueuePtr sq)
    : flags(0),
      config(0),
      delegate_(std::move(aDelegate)),
      delegateQueue_(std::move(dq)),
      socket4FD_(-1),
      socket6FD_(-1),
      socketUN(-1),
      stateIndex(0),
      socketFDBytesAvailable(0),
      preBuffer(4096),
      sslWriteCachedLength(0),
      sslErrCode(0),
      lastSSLHandshakeError(0),
      IsOnSocketQueueOrTargetQueueKey(&IsOnSocketQueueOrTargetQueueKey),
      alternateAddressDelay_(0.3) {
  if (sq && !sq->isSerial()) {
    // All state relies on one serial context; a concurrent queue would race.
    platform::log::error("GCDAsyncSocket: the socket queue must be serial; using a private one");
    sq = nullptr;
  }
  socketQueue = sq ? std::move(sq) : Queue::createSerial("GCDAsyncSocket");
  socketQueue->setSpecific(IsOnSocketQueueOrTargetQueueKey, this);
}

std::shared_ptr<GCDAsyncSocket> GCDAsyncSocket::create() {
  return create(WeakDelegate(), nullptr, nullptr);
}

std::shared_ptr<GCDAsyncSocket> GCDAsyncSocket::create(QueuePtr sq) {
  return create(WeakDelegate(), nullptr, std::move(sq));
}

std::shared_ptr<GCDAsyncSocket> GCDAsyncSocket::create(WeakDelegate aDelegate, QueuePtr dq) {
  return create(std::move(aDelegate), std::move(dq), nullptr);
}

std::shared_ptr<GCDAsyncSocket> GCDAsyncSocket::create(WeakDelegate aDelegate, QueuePtr dq,
                                                       QueuePtr sq) {
  return std::shared_ptr<GCDAsyncSocket>(
      new GCDAsyncSocket(std::move(aDelegate), std::move(dq), std::move(sq)));
}

std::shared_ptr<GCDAsyncSocket> GCDAsyncSocket::socketFromConnectedSocketFD(int socketFD,
                                                                            QueuePtr sq,
                                                                            Error* error) {
  return socketFromConnectedSocketFD(socketFD, WeakDelegate(), nullptr, std::move(sq), error);
}

std::shared_ptr<GCDAsyncSocket> GCDAsyncSocket::socketFromConnectedSocketFD(int socketFD,
                                                                            WeakDelegate aDelegate,
                                                                            QueuePtr dq,
                                                                            Error* error) {
  return socketFromConnectedSocketFD(socketFD, std::move(aDelegate), std::move(dq), nullptr, error);
}

std::shared_ptr<GCDAsyncSocket> GCDAsyncSocket::socketFromConnectedSocketFD(
    int socketFD, WeakDelegate aDelegate, QueuePtr dq, QueuePtr sq, Error* error) {
  auto socket = create(std::move(aDelegate), std::move(dq), std::move(sq));
  bool ok = false;
  Error err;
  socket->runSync([&] {
    sockaddr_storage addr{};
    socklen_t addrLen = sizeof addr;
    if (::getpeername(socketFD, reinterpret_cast<sockaddr*>(&addr), &addrLen) < 0) {
      err = GCDAsyncSocketErrors::otherError(GCDAsyncSocketErrors::localizedString(
          "GCDAsyncSocketOtherError",
          "Attempt to create socket from socket FD failed. getpeername() failed"));
      return;
    }
    if (addr.ss_family == AF_INET) {
      socket->socket4FD_ = socketFD;
    } else if (addr.ss_family == AF_INET6) {
      socket->socket6FD_ = socketFD;
    } else {
      err = GCDAsyncSocketErrors::otherError(GCDAsyncSocketErrors::localizedString(
          "GCDAsyncSocketOtherError",
          "Attempt to create socket from socket FD failed. socket FD is neither IPv4 nor IPv6"));
      return;
    }
    socket->flags = begun;
    socket->didConnect(socket->stateIndex);
    ok = true;
  });
  if (!ok) {
    if (error != nullptr) *error = err;
    return nullptr;
  }
  return socket;
}

GCDAsyncSocket::~GCDAsyncSocket() {
  // Nothing else can run on the socket queue for this object now: every task holds the
  // socket strongly or weakly (and a weak one no longer locks).
  auto teardown = [this] {
    flags |= tearingDown;
    closeWithError(std::nullopt);
  };
  if (isOnSocketQueue()) {
    teardown();
  } else {
    socketQueue->sync(teardown);
  }
  socketQueue->setSpecific(IsOnSocketQueueOrTargetQueueKey, nullptr);
  delegate_.reset();
  delegateQueue_.reset();
  socketQueue.reset();
}

// ---------------------------------------------------------------------------------------
// Queue helpers

bool GCDAsyncSocket::isOnSocketQueue() const {
  return Queue::getCurrentSpecific(IsOnSocketQueueOrTargetQueueKey) == this;
}

void GCDAsyncSocket::runSync(const std::function<void()>& block) const {
  if (isOnSocketQueue()) {
    block();
  } else {
    socketQueue->sync(block);
  }
}

void GCDAsyncSocket::runAsyncOrInline(std::function<void()> block) {
  if (isOnSocketQueue()) {
    block();
  } else {
    socketQueue->async([self = shared_from_this(), block = std::move(block)] { block(); });
  }
}

void GCDAsyncSocket::startTimeoutTimer(SourcePtr GCDAsyncSocket::*timer, double timeout,
                                       void (GCDAsyncSocket::*onTimeout)()) {
  if (timeout < 0.0) return;
  SourcePtr& source = this->*timer;
  source = platform::dispatch::Source::createTimer(socketQueue);
  std::weak_ptr<GCDAsyncSocket> weakSelf = weak_from_this();
  std::weak_ptr<platform::dispatch::Source> weakTimer = source;
  source->setEventHandler([weakSelf, weakTimer, timer, onTimeout] {
    auto strongSelf = weakSelf.lock();
    auto fired = weakTimer.lock();
    if (!strongSelf || !fired || strongSelf.get()->*timer != fired) return;  // a stale timer
    (strongSelf.get()->*onTimeout)();
  });
  source->setTimer(timeout, platform::dispatch::kForever);
  source->resume();
}

bool GCDAsyncSocket::checkDelegateFor(const char* action, Error* errPtr) const {
  const std::string attempting = std::string("Attempting to ") + action;
  if (!delegate_.lock()) {
    *errPtr = GCDAsyncSocketErrors::badConfigError(attempting +
                                                   " without a delegate. Set a delegate first.");
    return false;
  }
  if (!delegateQueue_) {
    *errPtr = GCDAsyncSocketErrors::badConfigError(
        attempting + " without a delegate queue. Set a delegate queue first.");
    return false;
  }
  return true;
}

bool GCDAsyncSocket::checkDisconnectedFor(const char* action, Error* errPtr) const {
  if ((flags & begun) == 0) return true;
  *errPtr = GCDAsyncSocketErrors::badConfigError(
      std::string("Attempting to ") + action +
      " while connected or accepting connections. Disconnect first.");
  return false;
}

// ---------------------------------------------------------------------------------------
// Delegate

GCDAsyncSocket::DelegatePtr GCDAsyncSocket::delegate() const {
  return syncValue([this] { return delegate_.lock(); });
}

void GCDAsyncSocket::setDelegate(WeakDelegate newDelegate) {
  runAsyncOrInline([this, d = std::move(newDelegate)] { delegate_ = d; });
}

void GCDAsyncSocket::synchronouslySetDelegate(WeakDelegate newDelegate) {
  runSync([&] { delegate_ = newDelegate; });
}

GCDAsyncSocket::QueuePtr GCDAsyncSocket::delegateQueue() const {
  return syncValue([this] { return delegateQueue_; });
}

void GCDAsyncSocket::setDelegateQueue(QueuePtr newDelegateQueue) {
  runAsyncOrInline([this, q = std::move(newDelegateQueue)] { delegateQueue_ = q; });
}

void GCDAsyncSocket::synchronouslySetDelegateQueue(QueuePtr newDelegateQueue) {
  runSync([&] { delegateQueue_ = newDelegateQueue; });
}

void GCDAsyncSocket::getDelegate(DelegatePtr* delegatePtr, QueuePtr* delegateQueuePtr) const {
  runSync([&] {
    if (delegatePtr != nullptr) *delegatePtr = delegate_.lock();
    if (delegateQueuePtr != nullptr) *delegateQueuePtr = delegateQueue_;
  });
}

void GCDAsyncSocket::setDelegate(WeakDelegate newDelegate, QueuePtr newDelegateQueue) {
  runAsyncOrInline([this, d = std::move(newDelegate), q = std::move(newDelegateQueue)] {
    delegate_ = d;
    delegateQueue_ = q;
  });
}

void GCDAsyncSocket::synchronouslySetDelegate(WeakDelegate newDelegate, QueuePtr newDelegateQueue) {
  runSync([&] {
    delegate_ = newDelegate;
    delegateQueue_ = newDelegateQueue;
  });
}

// ---------------------------------------------------------------------------------------
// Configuration

void GCDAsyncSocket::setConfigBit(uint16_t bit, bool on) {
  runAsyncOrInline([this, bit, on] {
    if (on) {
      config |= bit;
    } else {
      config &= static_cast<uint16_t>(~bit);
    }
  });
}

bool GCDAsyncSocket::isIPv4Enabled() const {
  return syncValue([this] { return (config & noIPv4) == 0; });
}

void GCDAsyncSocket::setIPv4Enabled(bool flag) { setConfigBit(noIPv4, !flag); }

bool GCDAsyncSocket::isIPv6Enabled() const {
  return syncValue([this] { return (config & noIPv6) == 0; });
}

void GCDAsyncSocket::setIPv6Enabled(bool flag) { setConfigBit(noIPv6, !flag); }

bool GCDAsyncSocket::isIPv4PreferredOverIPv6() const {
  return syncValue([this] { return (config & favourIPv6) == 0; });
}

void GCDAsyncSocket::setIPv4PreferredOverIPv6(bool flag) { setConfigBit(favourIPv6, !flag); }

double GCDAsyncSocket::alternateAddressDelay() const {
  return syncValue([this] { return alternateAddressDelay_; });
}

void GCDAsyncSocket::setAlternateAddressDelay(double delay) {
  runAsyncOrInline([this, delay] { alternateAddressDelay_ = delay; });
}

std::shared_ptr<void> GCDAsyncSocket::userData() const {
  return syncValue([this] { return userData_; });
}

void GCDAsyncSocket::setUserData(std::shared_ptr<void> arbitraryUserData) {
  runAsyncOrInline([this, d = std::move(arbitraryUserData)] { userData_ = d; });
}

bool GCDAsyncSocket::autoDisconnectOnClosedReadStream() const {
  return syncValue([this] { return (config & keepOpenOnEOF) == 0; });
}

void GCDAsyncSocket::setAutoDisconnectOnClosedReadStream(bool flag) {
  setConfigBit(keepOpenOnEOF, !flag);
}

// ---------------------------------------------------------------------------------------
// State

bool GCDAsyncSocket::isDisconnected() const {
  return syncValue([this] { return (flags & begun) == 0; });
}

bool GCDAsyncSocket::isConnected() const {
  return syncValue([this] { return (flags & established) != 0; });
}

std::string GCDAsyncSocket::connectedHost() const {
  return syncValue([this] { return socket4FD_ != -1 ? connectedHost4() : connectedHost6(); });
}

uint16_t GCDAsyncSocket::connectedPort() const {
  return syncValue([this] { return socket4FD_ != -1 ? connectedPort4() : connectedPort6(); });
}

std::string GCDAsyncSocket::connectedUrl() const {
  return syncValue([this] {
    std::string url;
    if (socketUN == -1) return url;
    const Bytes addr = detail::peerAddressOf(socketUN);
    if (addr.size() > offsetof(sockaddr_un, sun_path)) {
      sockaddr_un un{};
      std::memcpy(&un, addr.data(), std::min(addr.size(), sizeof un));
      url = urlFromSockaddrUN(&un);
    }
    return url;
  });
}

std::string GCDAsyncSocket::localHost() const {
  return syncValue([this] { return socket4FD_ != -1 ? localHost4() : localHost6(); });
}

uint16_t GCDAsyncSocket::localPort() const {
  return syncValue([this] { return socket4FD_ != -1 ? localPort4() : localPort6(); });
}

GCDAsyncSocket::Bytes GCDAsyncSocket::connectedAddress() const {
  return syncValue(
      [this] { return detail::peerAddressOf(socket6FD_ != -1 ? socket6FD_ : socket4FD_); });
}

GCDAsyncSocket::Bytes GCDAsyncSocket::localAddress() const {
  return syncValue(
      [this] { return detail::localAddressOf(socket6FD_ != -1 ? socket6FD_ : socket4FD_); });
}

bool GCDAsyncSocket::isIPv4() const {
  return syncValue([this] { return socket4FD_ != -1; });
}

bool GCDAsyncSocket::isIPv6() const {
  return syncValue([this] { return socket6FD_ != -1; });
}

bool GCDAsyncSocket::isSecure() const {
  return syncValue([this] { return (flags & secured) != 0; });
}

std::string GCDAsyncSocket::connectedHost4() const {
  return hostFromAddress(detail::peerAddressOf(socket4FD_));
}
std::string GCDAsyncSocket::connectedHost6() const {
  return hostFromAddress(detail::peerAddressOf(socket6FD_));
}
uint16_t GCDAsyncSocket::connectedPort4() const {
  return portFromAddress(detail::peerAddressOf(socket4FD_));
}
uint16_t GCDAsyncSocket::connectedPort6() const {
  return portFromAddress(detail::peerAddressOf(socket6FD_));
}
std::string GCDAsyncSocket::localHost4() const {
  return hostFromAddress(detail::localAddressOf(socket4FD_));
}
std::string GCDAsyncSocket::localHost6() const {
  return hostFromAddress(detail::localAddressOf(socket6FD_));
}
uint16_t GCDAsyncSocket::localPort4() const {
  return portFromAddress(detail::localAddressOf(socket4FD_));
}
uint16_t GCDAsyncSocket::localPort6() const {
  return portFromAddress(detail::localAddressOf(socket6FD_));
}

// ---------------------------------------------------------------------------------------
// Progress

namespace {

// Hands out a packet's progress: bytesDone / total (1.0 when the total is open), or zeros
// and NaN without a packet (none current, or the TLS marker).
float reportProgress(bool hasPacket, long tag, uint64_t done, uint64_t total, long* tagPtr,
                     uint64_t* donePtr, uint64_t* totalPtr) {
  if (!hasPacket) {
    tag = 0;
    done = 0;
    total = 0;
  }
  if (tagPtr != nullptr) *tagPtr = tag;
  if (donePtr != nullptr) *donePtr = done;
  if (totalPtr != nullptr) *totalPtr = total;
  if (!hasPacket) return std::nanf("");
  return total > 0 ? static_cast<float>(done) / static_cast<float>(total) : 1.0f;
}

}  // namespace

float GCDAsyncSocket::progressOfReadReturningTag(long* tagPtr, uint64_t* donePtr,
                                                 uint64_t* totalPtr) const {
  return syncValue([&] {
    const auto* packet = dynamic_cast<const GCDAsyncReadPacket*>(currentRead.get());
    return packet == nullptr ? reportProgress(false, 0, 0, 0, tagPtr, donePtr, totalPtr)
                             : reportProgress(true, packet->tag, packet->bytesDone,
                                              packet->readLength, tagPtr, donePtr, totalPtr);
  });
}

float GCDAsyncSocket::progressOfWriteReturningTag(long* tagPtr, uint64_t* donePtr,
                                                  uint64_t* totalPtr) const {
  return syncValue([&] {
    const auto* packet = dynamic_cast<const GCDAsyncWritePacket*>(currentWrite.get());
    return packet == nullptr ? reportProgress(false, 0, 0, 0, tagPtr, donePtr, totalPtr)
                             : reportProgress(true, packet->tag, packet->bytesDone,
                                              packet->buffer.size(), tagPtr, donePtr, totalPtr);
  });
}

// ---------------------------------------------------------------------------------------
// Queue utilities

void GCDAsyncSocket::markSocketQueueTargetQueue(const QueuePtr& socketNewTargetQueue) {
  if (socketNewTargetQueue)
    socketNewTargetQueue->setSpecific(IsOnSocketQueueOrTargetQueueKey, this);
}

void GCDAsyncSocket::unmarkSocketQueueTargetQueue(const QueuePtr& socketOldTargetQueue) {
  if (socketOldTargetQueue) {
    socketOldTargetQueue->setSpecific(IsOnSocketQueueOrTargetQueueKey, nullptr);
  }
}

void GCDAsyncSocket::performBlock(const std::function<void()>& block) {
  if (block) runSync(block);
}

int GCDAsyncSocket::socketFD() const {
  if (!isOnSocketQueue()) return -1;
  return socket4FD_ != -1 ? socket4FD_ : socket6FD_;
}

int GCDAsyncSocket::socket4FD() const { return isOnSocketQueue() ? socket4FD_ : -1; }

int GCDAsyncSocket::socket6FD() const { return isOnSocketQueue() ? socket6FD_ : -1; }

std::shared_ptr<platform::secure_transport::SSLContext> GCDAsyncSocket::sslContext() const {
  return isOnSocketQueue() ? sslContext_ : nullptr;
}

// ---------------------------------------------------------------------------------------
// Class operations

std::vector<GCDAsyncSocket::Bytes> GCDAsyncSocket::lookupHost(const std::string& host,
                                                              uint16_t port, Error* errPtr) {
  int gaiCode = 0;
  std::vector<Bytes> addresses = detail::resolve(host, port, SOCK_STREAM, IPPROTO_TCP, &gaiCode);
  if (addresses.empty() && errPtr != nullptr) *errPtr = GCDAsyncSocketErrors::gaiError(gaiCode);
  return addresses;
}

std::string GCDAsyncSocket::hostFromSockaddr4(const sockaddr_in* pSockaddr4) {
  return detail::numericHost(*pSockaddr4);
}

std::string GCDAsyncSocket::hostFromSockaddr6(const sockaddr_in6* pSockaddr6) {
  return detail::numericHost(*pSockaddr6);
}

uint16_t GCDAsyncSocket::portFromSockaddr4(const sockaddr_in* pSockaddr4) {
  return ntohs(pSockaddr4->sin_port);
}

uint16_t GCDAsyncSocket::portFromSockaddr6(const sockaddr_in6* pSockaddr6) {
  return ntohs(pSockaddr6->sin6_port);
}

std::string GCDAsyncSocket::urlFromSockaddrUN(const sockaddr_un* pSockaddr) {
  const size_t n = strnlen(pSockaddr->sun_path, sizeof pSockaddr->sun_path);
  if (n == 0) return {};
  return "file://" + std::string(pSockaddr->sun_path, n);
}

std::string GCDAsyncSocket::hostFromAddress(const Bytes& address) {
  std::string host;
  return detail::hostAndPort(address, &host, nullptr, nullptr) ? host : std::string();
}

uint16_t GCDAsyncSocket::portFromAddress(const Bytes& address) {
  uint16_t port = 0;
  return detail::hostAndPort(address, nullptr, &port, nullptr) ? port : 0;
}

namespace {
sa_family_t familyOf(const std::vector<uint8_t>& address) {
  sockaddr sa{};
  std::memcpy(&sa, address.data(), sizeof sa);
  return sa.sa_family;
}
}  // namespace

bool GCDAsyncSocket::isIPv4Address(const Bytes& address) {
  return address.size() >= sizeof(sockaddr) && familyOf(address) == AF_INET;
}

bool GCDAsyncSocket::isIPv6Address(const Bytes& address) {
  return address.size() >= sizeof(sockaddr) && familyOf(address) == AF_INET6;
}

bool GCDAsyncSocket::getHost(std::string* hostPtr, uint16_t* portPtr, const Bytes& address) {
  return getHost(hostPtr, portPtr, nullptr, address);
}

bool GCDAsyncSocket::getHost(std::string* hostPtr, uint16_t* portPtr, sa_family_t* afPtr,
                             const Bytes& address) {
  int family = 0;
  if (!detail::hostAndPort(address, hostPtr, portPtr, &family)) return false;
  if (afPtr != nullptr) *afPtr = static_cast<sa_family_t>(family);
  return true;
}

GCDAsyncSocket::Bytes GCDAsyncSocket::CRLFData() { return {'\r', '\n'}; }
GCDAsyncSocket::Bytes GCDAsyncSocket::CRData() { return {'\r'}; }
GCDAsyncSocket::Bytes GCDAsyncSocket::LFData() { return {'\n'}; }
GCDAsyncSocket::Bytes GCDAsyncSocket::ZeroData() { return {0}; }

std::string GCDAsyncSocket::pathFromUrl(const std::string& url) {
  static const std::string kScheme = "file://";
  if (url.compare(0, kScheme.size(), kScheme) == 0) {
    std::string rest = url.substr(kScheme.size());
    if (!rest.empty() && rest[0] == '/') return rest;
    const size_t slash = rest.find('/');  // skip a host part ("file://localhost/p")
    return slash == std::string::npos ? std::string() : rest.substr(slash);
  }
  if (url.compare(0, 5, "file:") == 0) return url.substr(5);
  return url;
}

}  // namespace corvane
