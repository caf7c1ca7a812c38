// GCDAsyncSocket: creation, destruction, delegate and configuration, state accessors,
// queue utilities and the address helpers.
#include "sockets/GCDAsyncSocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstring>

#include "platform/log/log.h"
#include "sockets/GCDAsyncReadPacket.h"
#include "sockets/GCDAsyncSocketPrivate.h"
#include "sockets/GCDAsyncWritePacket.h"

namespace corvane {

using platform::dispatch::Queue;

namespace gcd_async_socket_detail {

void shutdownAndClose(int fd) {
  if (fd < 0) return;
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
}

}  // namespace gcd_async_socket_detail

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
      sslContext_(nullptr),
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

// ---------------------------------------------------------------------------------------
// Delegate

GCDAsyncSocket::DelegatePtr GCDAsyncSocket::delegate() const {
  DelegatePtr result;
  runSync([&] { result = delegate_.lock(); });
  return result;
}

void GCDAsyncSocket::setDelegate(WeakDelegate newDelegate) {
  runAsyncOrInline([this, d = std::move(newDelegate)] { delegate_ = d; });
}

void GCDAsyncSocket::synchronouslySetDelegate(WeakDelegate newDelegate) {
  runSync([&] { delegate_ = newDelegate; });
}

GCDAsyncSocket::QueuePtr GCDAsyncSocket::delegateQueue() const {
  QueuePtr result;
  runSync([&] { result = delegateQueue_; });
  return result;
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

bool GCDAsyncSocket::isIPv4Enabled() const {
  bool result = false;
  runSync([&] { result = (config & noIPv4) == 0; });
  return result;
}

void GCDAsyncSocket::setIPv4Enabled(bool flag) {
  runAsyncOrInline([this, flag] {
    if (flag) {
      config &= static_cast<uint16_t>(~noIPv4);
    } else {
      config |= noIPv4;
    }
  });
}

bool GCDAsyncSocket::isIPv6Enabled() const {
  bool result = false;
  runSync([&] { result = (config & noIPv6) == 0; });
  return result;
}

void GCDAsyncSocket::setIPv6Enabled(bool flag) {
  runAsyncOrInline([this, flag] {
    if (flag) {
      config &= static_cast<uint16_t>(~noIPv6);
    } else {
      config |= noIPv6;
    }
  });
}

bool GCDAsyncSocket::isIPv4PreferredOverIPv6() const {
  bool result = false;
  runSync([&] { result = (config & favourIPv6) == 0; });
  return result;
}

void GCDAsyncSocket::setIPv4PreferredOverIPv6(bool flag) {
  runAsyncOrInline([this, flag] {
    if (flag) {
      config &= static_cast<uint16_t>(~favourIPv6);
    } else {
      config |= favourIPv6;
    }
  });
}

double GCDAsyncSocket::alternateAddressDelay() const {
  double result = 0;
  runSync([&] { result = alternateAddressDelay_; });
  return result;
}

void GCDAsyncSocket::setAlternateAddressDelay(double delay) {
  runAsyncOrInline([this, delay] { alternateAddressDelay_ = delay; });
}

std::shared_ptr<void> GCDAsyncSocket::userData() const {
  std::shared_ptr<void> result;
  runSync([&] { result = userData_; });
  return result;
}

void GCDAsyncSocket::setUserData(std::shared_ptr<void> arbitraryUserData) {
  runAsyncOrInline([this, d = std::move(arbitraryUserData)] { userData_ = d; });
}

bool GCDAsyncSocket::autoDisconnectOnClosedReadStream() const {
  bool result = false;
  runSync([&] { result = (config & keepOpenOnEOF) == 0; });
  return result;
}

void GCDAsyncSocket::setAutoDisconnectOnClosedReadStream(bool flag) {
  runAsyncOrInline([this, flag] {
    if (flag) {
      config &= static_cast<uint16_t>(~keepOpenOnEOF);
    } else {
      config |= keepOpenOnEOF;
    }
  });
}

// ---------------------------------------------------------------------------------------
// State

bool GCDAsyncSocket::isDisconnected() const {
  bool result = false;
  runSync([&] { result = (flags & begun) == 0; });
  return result;
}

bool GCDAsyncSocket::isConnected() const {
  bool result = false;
  runSync([&] { result = (flags & established) != 0; });
  return result;
}

std::string GCDAsyncSocket::connectedHost() const {
  std::string result;
  runSync([&] {
    if (socket4FD_ != -1) {
      result = connectedHost4();
    } else if (socket6FD_ != -1) {
      result = connectedHost6();
    }
  });
  return result;
}

uint16_t GCDAsyncSocket::connectedPort() const {
  uint16_t result = 0;
  runSync([&] {
    if (socket4FD_ != -1) {
      result = connectedPort4();
    } else if (socket6FD_ != -1) {
      result = connectedPort6();
    }
  });
  return result;
}

std::string GCDAsyncSocket::connectedUrl() const {
  std::string result;
  runSync([&] {
    if (socketUN == -1) return;
    const Bytes addr = peerAddressOf(socketUN);
    if (addr.size() > offsetof(sockaddr_un, sun_path)) {
      sockaddr_un un{};
      std::memcpy(&un, addr.data(), std::min(addr.size(), sizeof un));
      result = urlFromSockaddrUN(&un);
    }
  });
  return result;
}

std::string GCDAsyncSocket::localHost() const {
  std::string result;
  runSync([&] {
    if (socket4FD_ != -1) {
      result = localHost4();
    } else if (socket6FD_ != -1) {
      result = localHost6();
    }
  });
  return result;
}

uint16_t GCDAsyncSocket::localPort() const {
  uint16_t result = 0;
  runSync([&] {
    if (socket4FD_ != -1) {
      result = localPort4();
    } else if (socket6FD_ != -1) {
      result = localPort6();
    }
  });
  return result;
}

GCDAsyncSocket::Bytes GCDAsyncSocket::connectedAddress() const {
  Bytes result;
  runSync([&] {
    if (socket6FD_ != -1) {
      result = peerAddressOf(socket6FD_);
    } else if (socket4FD_ != -1) {
      result = peerAddressOf(socket4FD_);
    }
  });
  return result;
}

GCDAsyncSocket::Bytes GCDAsyncSocket::localAddress() const {
  Bytes result;
  runSync([&] {
    if (socket6FD_ != -1) {
      result = localAddressOf(socket6FD_);
    } else if (socket4FD_ != -1) {
      result = localAddressOf(socket4FD_);
    }
  });
  return result;
}

bool GCDAsyncSocket::isIPv4() const {
  bool result = false;
  runSync([&] { result = socket4FD_ != -1; });
  return result;
}

bool GCDAsyncSocket::isIPv6() const {
  bool result = false;
  runSync([&] { result = socket6FD_ != -1; });
  return result;
}

bool GCDAsyncSocket::isSecure() const {
  bool result = false;
  runSync([&] { result = (flags & secured) != 0; });
  return result;
}

std::string GCDAsyncSocket::connectedHost4() const {
  return socket4FD_ != -1 ? hostFromAddress(peerAddressOf(socket4FD_)) : std::string();
}
std::string GCDAsyncSocket::connectedHost6() const {
  return socket6FD_ != -1 ? hostFromAddress(peerAddressOf(socket6FD_)) : std::string();
}
uint16_t GCDAsyncSocket::connectedPort4() const {
  return socket4FD_ != -1 ? portFromAddress(peerAddressOf(socket4FD_)) : 0;
}
uint16_t GCDAsyncSocket::connectedPort6() const {
  return socket6FD_ != -1 ? portFromAddress(peerAddressOf(socket6FD_)) : 0;
}
std::string GCDAsyncSocket::localHost4() const {
  return socket4FD_ != -1 ? hostFromAddress(localAddressOf(socket4FD_)) : std::string();
}
std::string GCDAsyncSocket::localHost6() const {
  return socket6FD_ != -1 ? hostFromAddress(localAddressOf(socket6FD_)) : std::string();
}
uint16_t GCDAsyncSocket::localPort4() const {
  return socket4FD_ != -1 ? portFromAddress(localAddressOf(socket4FD_)) : 0;
}
uint16_t GCDAsyncSocket::localPort6() const {
  return socket6FD_ != -1 ? portFromAddress(localAddressOf(socket6FD_)) : 0;
}

GCDAsyncSocket::Bytes GCDAsyncSocket::peerAddressOf(int socketFD) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (::getpeername(socketFD, reinterpret_cast<sockaddr*>(&addr), &len) < 0) return {};
  const auto* p = reinterpret_cast<const uint8_t*>(&addr);
  return Bytes(p, p + std::min<size_t>(len, sizeof addr));
}

GCDAsyncSocket::Bytes GCDAsyncSocket::localAddressOf(int socketFD) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(socketFD, reinterpret_cast<sockaddr*>(&addr), &len) < 0) return {};
  const auto* p = reinterpret_cast<const uint8_t*>(&addr);
  return Bytes(p, p + std::min<size_t>(len, sizeof addr));
}

// ---------------------------------------------------------------------------------------
// Progress

float GCDAsyncSocket::progressOfReadReturningTag(long* tagPtr, uint64_t* donePtr,
                                                 uint64_t* totalPtr) const {
  float result = 0;
  runSync([&] {
    const auto* packet = dynamic_cast<const GCDAsyncReadPacket*>(currentRead.get());
    if (packet == nullptr) {
      // No current read, or the TLS marker.
      if (tagPtr != nullptr) *tagPtr = 0;
      if (donePtr != nullptr) *donePtr = 0;
      if (totalPtr != nullptr) *totalPtr = 0;
      result = std::nanf("");
      return;
    }
    if (tagPtr != nullptr) *tagPtr = packet->tag;
    if (donePtr != nullptr) *donePtr = packet->bytesDone;
    if (totalPtr != nullptr) *totalPtr = packet->readLength;
    result = packet->readLength > 0
                 ? static_cast<float>(packet->bytesDone) / static_cast<float>(packet->readLength)
                 : 1.0f;
  });
  return result;
}

float GCDAsyncSocket::progressOfWriteReturningTag(long* tagPtr, uint64_t* donePtr,
                                                  uint64_t* totalPtr) const {
  float result = 0;
  runSync([&] {
    const auto* packet = dynamic_cast<const GCDAsyncWritePacket*>(currentWrite.get());
    if (packet == nullptr) {
      if (tagPtr != nullptr) *tagPtr = 0;
      if (donePtr != nullptr) *donePtr = 0;
      if (totalPtr != nullptr) *totalPtr = 0;
      result = std::nanf("");
      return;
    }
    if (tagPtr != nullptr) *tagPtr = packet->tag;
    if (donePtr != nullptr) *donePtr = packet->bytesDone;
    if (totalPtr != nullptr) *totalPtr = packet->buffer.size();
    result = static_cast<float>(packet->bytesDone) / static_cast<float>(packet->buffer.size());
  });
  return result;
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

void* GCDAsyncSocket::sslContext() const { return isOnSocketQueue() ? sslContext_ : nullptr; }

// ---------------------------------------------------------------------------------------
// Class operations

std::vector<GCDAsyncSocket::Bytes> GCDAsyncSocket::lookupHost(const std::string& host,
                                                              uint16_t port, Error* errPtr) {
  std::vector<Bytes> addresses;
  if (host == "localhost" || host == "loopback") {
    // Use the loopback addresses directly: no resolver round trip.
    sockaddr_in nativeAddr4{};
    nativeAddr4.sin_family = AF_INET;
    nativeAddr4.sin_port = htons(port);
    nativeAddr4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in6 nativeAddr6{};
    nativeAddr6.sin6_family = AF_INET6;
    nativeAddr6.sin6_port = htons(port);
    nativeAddr6.sin6_addr = in6addr_loopback;
    const auto* p4 = reinterpret_cast<const uint8_t*>(&nativeAddr4);
    const auto* p6 = reinterpret_cast<const uint8_t*>(&nativeAddr6);
    addresses.emplace_back(p4, p4 + sizeof nativeAddr4);
    addresses.emplace_back(p6, p6 + sizeof nativeAddr6);
    return addresses;
  }

  char portText[8];
  std::snprintf(portText, sizeof portText, "%hu", port);
  addrinfo hints{};
  hints.ai_family = PF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* res0 = nullptr;
  const int gaiError = ::getaddrinfo(host.c_str(), portText, &hints, &res0);
  if (gaiError != 0) {
    if (errPtr != nullptr) *errPtr = GCDAsyncSocketErrors::gaiError(gaiError);
    return {};
  }
  for (addrinfo* res = res0; res != nullptr; res = res->ai_next) {
    if (res->ai_family == AF_INET && res->ai_addrlen >= sizeof(sockaddr_in)) {
      const auto* p = reinterpret_cast<const uint8_t*>(res->ai_addr);
      addresses.emplace_back(p, p + sizeof(sockaddr_in));
    } else if (res->ai_family == AF_INET6 && res->ai_addrlen >= sizeof(sockaddr_in6)) {
      auto* sockaddr6 = reinterpret_cast<sockaddr_in6*>(res->ai_addr);
      if (sockaddr6->sin6_port == 0) sockaddr6->sin6_port = htons(port);
      const auto* p = reinterpret_cast<const uint8_t*>(sockaddr6);
      addresses.emplace_back(p, p + sizeof(sockaddr_in6));
    }
  }
  ::freeaddrinfo(res0);
  if (addresses.empty() && errPtr != nullptr) *errPtr = GCDAsyncSocketErrors::gaiError(EAI_FAIL);
  return addresses;
}

std::string GCDAsyncSocket::hostFromSockaddr4(const sockaddr_in* pSockaddr4) {
  char addrBuf[INET_ADDRSTRLEN];
  if (::inet_ntop(AF_INET, &pSockaddr4->sin_addr, addrBuf, sizeof addrBuf) == nullptr) return {};
  return addrBuf;
}

std::string GCDAsyncSocket::hostFromSockaddr6(const sockaddr_in6* pSockaddr6) {
  char addrBuf[INET6_ADDRSTRLEN];
  if (::inet_ntop(AF_INET6, &pSockaddr6->sin6_addr, addrBuf, sizeof addrBuf) == nullptr) return {};
  return addrBuf;
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
  return getHost(&host, nullptr, nullptr, address) ? host : std::string();
}

uint16_t GCDAsyncSocket::portFromAddress(const Bytes& address) {
  uint16_t port = 0;
  return getHost(nullptr, &port, nullptr, address) ? port : 0;
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
  if (address.size() < sizeof(sockaddr)) return false;
  const sa_family_t family = familyOf(address);
  if (family == AF_INET && address.size() >= sizeof(sockaddr_in)) {
    sockaddr_in sockaddr4{};
    std::memcpy(&sockaddr4, address.data(), sizeof sockaddr4);
    if (hostPtr != nullptr) *hostPtr = hostFromSockaddr4(&sockaddr4);
    if (portPtr != nullptr) *portPtr = portFromSockaddr4(&sockaddr4);
    if (afPtr != nullptr) *afPtr = AF_INET;
    return true;
  }
  if (family == AF_INET6 && address.size() >= sizeof(sockaddr_in6)) {
    sockaddr_in6 sockaddr6{};
    std::memcpy(&sockaddr6, address.data(), sizeof sockaddr6);
    if (hostPtr != nullptr) *hostPtr = hostFromSockaddr6(&sockaddr6);
    if (portPtr != nullptr) *portPtr = portFromSockaddr6(&sockaddr6);
    if (afPtr != nullptr) *afPtr = AF_INET6;
    return true;
  }
  return false;
}

GCDAsyncSocket::Bytes GCDAsyncSocket::CRLFData() { return {'\r', '\n'}; }
GCDAsyncSocket::Bytes GCDAsyncSocket::CRData() { return {'\r'}; }
GCDAsyncSocket::Bytes GCDAsyncSocket::LFData() { return {'\n'}; }
GCDAsyncSocket::Bytes GCDAsyncSocket::ZeroData() { return {0}; }

std::string GCDAsyncSocket::pathFromUrl(const std::string& url) {
  static const std::string kScheme = "file://";
  if (url.compare(0, kScheme.size(), kScheme) == 0) {
    const std::string rest = url.substr(kScheme.size());
    if (!rest.empty() && rest[0] == '/') return rest;
    const size_t slash = rest.find('/');  // skip a host part ("file://localhost/p")
    return slash == std::string::npos ? std::string() : rest.substr(slash);
  }
  if (url.compare(0, 5, "file:") == 0) return url.substr(5);
  return url;
}

}  // namespace corvane
