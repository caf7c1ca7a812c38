// Descriptors and their sources, binding, connecting, multicast membership, port reuse and
// broadcast of the UDP socket. Everything here runs on the socket queue.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sockets/gcd_async_udp_socket.h"
#include "sockets/socket_address.h"
#include "sockets/socket_source_support.h"

namespace corvane {

using platform::Error;
using platform::dispatch::Source;
using Errors = GCDAsyncUdpSocketErrors;

namespace {

constexpr const char* kBothDisabledText =
    "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.";

void udpSetError(Error* errPtr, Error error) {
  if (errPtr != nullptr) *errPtr = std::move(error);
}

}  // namespace

// ---- common check

bool GCDAsyncUdpSocket::preOp(Error* errPtr) {
  if (delegate_.expired()) {
    udpSetError(errPtr, Errors::badConfigError(
                            "Attempting to use socket without a delegate. Set a delegate first."));
    return false;
  }
  if (!delegateQueue_) {
    udpSetError(errPtr, Errors::badConfigError("Attempting to use socket without a delegate "
                                               "queue. Set a delegate queue first."));
    return false;
  }
  return true;
}

bool GCDAsyncUdpSocket::preBind(Error* errPtr) {
  if (!preOp(errPtr)) return false;
  if ((flags_ & bound) != 0) {
    udpSetError(errPtr, Errors::badConfigError("Cannot bind a socket more than once."));
    return false;
  }
  if ((flags_ & (connectPending | peerFixed)) != 0) {
    udpSetError(errPtr, Errors::badConfigError(
                            "Cannot bind after connecting. If needed, bind first, then connect."));
    return false;
  }
  return true;
}

bool GCDAsyncUdpSocket::preConnect(Error* errPtr) {
  if (!preOp(errPtr)) return false;
  if ((flags_ & (connectPending | peerFixed)) != 0) {
    udpSetError(errPtr, Errors::badConfigError("Cannot connect a socket more than once."));
    return false;
  }
  if ((config_ & noIPv4) != 0 && (config_ & noIPv6) != 0) {
    udpSetError(errPtr, Errors::badConfigError(kBothDisabledText));
    return false;
  }
  return true;
}

// ---- descriptors

int GCDAsyncUdpSocket::createSocketForFamily(int domain, Error* errPtr) {
  const int fd = ::socket(domain, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd == -1) {
    udpSetError(errPtr, Errors::errnoErrorWithReason(errno, "Error in socket() function"));
    return -1;
  }
  auto fail = [&](const char* reason) {
    const int err = errno;
    ::close(fd);
    udpSetError(errPtr, Errors::errnoErrorWithReason(err, reason));
    return -1;
  };
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags == -1 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) {
    return fail("Error enabling non-blocking IO on socket (fcntl)");
  }
  int reuseOn = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuseOn, sizeof reuseOn) == -1) {
    return fail("Error enabling address reuse (setsockopt)");
  }
  // Linux raises no SIGPIPE for datagram sockets, so there is nothing to disable here.
  int bufferSize = maxSendSize_;
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize) == -1) {
    return fail("Error setting send buffer size (setsockopt)");
  }
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize) == -1) {
    return fail("Error setting receive buffer size (setsockopt)");
  }
  if (domain == AF_INET6) {
    // The IPv6 descriptor carries IPv6 only: IPv4 traffic belongs to the IPv4 descriptor,
    // also when both are bound to the same port.
    int v6Only = 1;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only);
  }
  return fd;
}

bool GCDAsyncUdpSocket::createSockets(Error* errPtr) {
  return createSocket4((config_ & noIPv4) == 0, (config_ & noIPv6) == 0, errPtr);
}

bool GCDAsyncUdpSocket::createSocket4(bool useIPv4, bool useIPv6, Error* errPtr) {
  if (!useIPv4 && !useIPv6) {
    udpSetError(errPtr, Errors::badConfigError(kBothDisabledText));
    return false;
  }
  int fd4 = -1;
  int fd6 = -1;
  if (useIPv4) {
    fd4 = createSocketForFamily(AF_INET, errPtr);
    if (fd4 == -1) return false;
  }
  if (useIPv6) {
    fd6 = createSocketForFamily(AF_INET6, errPtr);
    if (fd6 == -1) {
      if (fd4 != -1) ::close(fd4);
      return false;
    }
  }
  socket4FD_ = fd4;
  socket6FD_ = fd6;
  if (socket4FD_ != -1) setupSendAndReceiveSources(true);
  if (socket6FD_ != -1) setupSendAndReceiveSources(false);
  flags_ |= socketsMade;
  return true;
}

void GCDAsyncUdpSocket::setupSendAndReceiveSources(bool ipv4) {
  const int fd = ipv4 ? socket4FD_ : socket6FD_;
  platform::dispatch::SourcePtr& sendSource = ipv4 ? send4Source_ : send6Source_;
  platform::dispatch::SourcePtr& receiveSource = ipv4 ? receive4Source_ : receive6Source_;
  sendSource = Source::createWrite(fd, socketQueue_);
  receiveSource = Source::createRead(fd, socketQueue_);
  std::weak_ptr<GCDAsyncUdpSocket> weakSelf = weak_from_this();
  const Source* sendRaw = sendSource.get();
  const Source* receiveRaw = receiveSource.get();
  sendSource->setEventHandler([weakSelf, ipv4, sendRaw] {
    if (auto self = weakSelf.lock()) self->sendSourceEvent(ipv4, sendRaw);
  });
  receiveSource->setEventHandler([weakSelf, ipv4, receiveRaw] {
    if (auto self = weakSelf.lock()) self->receiveSourceEvent(ipv4, receiveRaw);
  });
  detail::closeWhenBothCancelled(*sendSource, *receiveSource, fd);
  (ipv4 ? socket4FDBytesAvailable_ : socket6FDBytesAvailable_) = 0;
  flags_ |= ipv4 ? (send4Paused | receive4Paused | ipv4Writable)
                 : (send6Paused | receive6Paused | ipv6Writable);
}

// ---- source suspension (tracked by the paused bits, so counts stay balanced)

void GCDAsyncUdpSocket::suspendSendSource(bool ipv4) {
  detail::suspendOnce(ipv4 ? send4Source_ : send6Source_, flags_,
                              ipv4 ? send4Paused : send6Paused);
}

void GCDAsyncUdpSocket::resumeSendSource(bool ipv4) {
  detail::resumeOnce(ipv4 ? send4Source_ : send6Source_, flags_,
                             ipv4 ? send4Paused : send6Paused);
}

void GCDAsyncUdpSocket::suspendReceiveSource(bool ipv4) {
  detail::suspendOnce(ipv4 ? receive4Source_ : receive6Source_, flags_,
                              ipv4 ? receive4Paused : receive6Paused);
}

void GCDAsyncUdpSocket::resumeReceiveSource(bool ipv4) {
  detail::resumeOnce(ipv4 ? receive4Source_ : receive6Source_, flags_,
                             ipv4 ? receive4Paused : receive6Paused);
}

void GCDAsyncUdpSocket::sendSourceEvent(bool ipv4, const Source* source) {
  if (source != (ipv4 ? send4Source_.get() : send6Source_.get())) return;  // a closed one
  flags_ |= ipv4 ? ipv4Writable : ipv6Writable;
  auto packet = std::dynamic_pointer_cast<GCDAsyncUdpSendPacket>(currentSend_);
  if (packet && !packet->resolveInProgress && !packet->filterInProgress) {
    doSend();
  } else {
    suspendSendSource(ipv4);
  }
}

void GCDAsyncUdpSocket::receiveSourceEvent(bool ipv4, const Source* source) {
  if (source != (ipv4 ? receive4Source_.get() : receive6Source_.get())) return;
  // On Linux the count is the size of the next datagram, which is 0 for an empty one (or
  // for a pending socket error). A datagram socket has no end of stream, so a readable
  // descriptor always means one datagram (or error) is waiting: the receive step reads it.
  uint64_t available = source->data();
  if (available == 0) available = 1;
  if (ipv4) {
    socket4FDBytesAvailable_ = available;
  } else {
    socket6FDBytesAvailable_ = available;
  }
  doReceive();
}

// ---- interface descriptions

void GCDAsyncUdpSocket::convertIntefaceDescription(
    const std::optional<std::string>& interfaceDescription, uint16_t port,
    Address* interfaceAddr4Ptr, Address* interfaceAddr6Ptr, unsigned int* interfaceIndex6Ptr) {
  detail::InterfaceAddresses addresses =
      detail::interfaceAddresses(interfaceDescription.value_or(std::string()), port);
  if (interfaceAddr4Ptr != nullptr) *interfaceAddr4Ptr = std::move(addresses.address4);
  if (interfaceAddr6Ptr != nullptr) *interfaceAddr6Ptr = std::move(addresses.address6);
  if (interfaceIndex6Ptr != nullptr) *interfaceIndex6Ptr = addresses.index6;
}

// ---- binding

bool GCDAsyncUdpSocket::bindToPort(uint16_t port, Error* errPtr) {
  return bindToPort(port, std::nullopt, errPtr);
}

bool GCDAsyncUdpSocket::bindToPort(uint16_t port, const std::optional<std::string>& interface,
                                   Error* errPtr) {
  return runRequest(errPtr, [&](Error* err) {
    if (!preBind(err)) return false;
    const bool isIPv4Disabled = (config_ & noIPv4) != 0;
    const bool isIPv6Disabled = (config_ & noIPv6) != 0;
    if (isIPv4Disabled && isIPv6Disabled) {
      *err = Errors::badConfigError(kBothDisabledText);
      return false;
    }
    detail::InterfaceAddresses addresses;
    convertIntefaceDescription(interface, port, &addresses.address4, &addresses.address6);
    if (const char* problem =
            detail::interfaceProblem(addresses, isIPv4Disabled, isIPv6Disabled)) {
      *err = Errors::badParamError(problem);
      return false;
    }
    const Address& interface4 = addresses.address4;
    const Address& interface6 = addresses.address6;
    const bool useIPv4 = !isIPv4Disabled && !interface4.empty();
    const bool useIPv6 = !isIPv6Disabled && !interface6.empty();
    if ((flags_ & socketsMade) == 0 && !createSocket4(useIPv4, useIPv6, err)) return false;

    if (useIPv4) {
      if (::bind(socket4FD_, reinterpret_cast<const sockaddr*>(interface4.data()),
                 sizeof(sockaddr_in)) != 0) {
        *err = Errors::errnoErrorWithReason(errno, "Error in bind() function");
        closeSockets();
        return false;
      }
    }
    if (useIPv6) {
      if (::bind(socket6FD_, reinterpret_cast<const sockaddr*>(interface6.data()),
                 sizeof(sockaddr_in6)) != 0) {
        *err = Errors::errnoErrorWithReason(errno, "Error in bind() function");
        closeSockets();
        return false;
      }
    }
    flags_ |= bound;
    if (!useIPv4) flags_ |= ipv4Inactive;
    if (!useIPv6) flags_ |= ipv6Inactive;
    return true;
  });
}

bool GCDAsyncUdpSocket::bindToAddress(const Address& localAddr, Error* errPtr) {
  return runRequest(errPtr, [&](Error* err) {
    if (!preBind(err)) return false;
    const bool useIPv4 = isIPv4Address(localAddr);
    const bool useIPv6 = !useIPv4 && isIPv6Address(localAddr);
    if (!useIPv4 && !useIPv6) {
      *err = Errors::badParamError("A valid IPv4 or IPv6 address was not given");
      return false;
    }
    if (useIPv4 && (config_ & noIPv4) != 0) {
      *err = Errors::badParamError("IPv4 has been disabled and an IPv4 address was passed.");
      return false;
    }
    if (useIPv6 && (config_ & noIPv6) != 0) {
      *err = Errors::badParamError("IPv6 has been disabled and an IPv6 address was passed.");
      return false;
    }
    if ((flags_ & socketsMade) == 0 && !createSocket4(useIPv4, useIPv6, err)) return false;

    const int fd = useIPv4 ? socket4FD_ : socket6FD_;
    const socklen_t len = useIPv4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(localAddr.data()), len) != 0) {
      *err = Errors::errnoErrorWithReason(errno, "Error in bind() function");
      closeSockets();
      return false;
    }
    flags_ |= bound;
    flags_ |= useIPv4 ? ipv6Inactive : ipv4Inactive;
    return true;
  });
}

// ---- port reuse and broadcast

bool GCDAsyncUdpSocket::enableReusePort(bool flag, Error* errPtr) {
  return runRequest(errPtr, [&](Error* err) {
    if (!preOp(err)) return false;
    if ((flags_ & socketsMade) == 0 && !createSockets(err)) return false;
    int value = flag ? 1 : 0;
    bool took = false;
    for (const int fd : {socket4FD_, socket6FD_}) {
      if (fd == -1) continue;
      if (setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &value, sizeof value) != 0) {
        *err = Errors::errnoErrorWithReason(errno, "Error in setsockopt() function");
        return false;
      }
      took = true;
    }
    return took;
  });
}

bool GCDAsyncUdpSocket::enableBroadcast(bool flag, Error* errPtr) {
  return runRequest(errPtr, [&](Error* err) {
    if (!preOp(err)) return false;
    if ((flags_ & socketsMade) == 0 && !createSockets(err)) return false;
    int value = flag ? 1 : 0;
    if (setsockopt(socket4FD_, SOL_SOCKET, SO_BROADCAST, &value, sizeof value) != 0) {
      *err = Errors::errnoErrorWithReason(errno, "Error in setsockopt() function");
      return false;
    }
    return true;
  });
}

// ---- connecting

bool GCDAsyncUdpSocket::connectToHost(const std::optional<std::string>& host, uint16_t port,
                                      Error* errPtr) {
  return runRequest(errPtr, [&](Error* err) {
    if (!preConnect(err)) return false;
    if (!host) {
      *err = Errors::badParamError(
          "The host param is nil. Should be domain name or IP address string.");
      return false;
    }
    if ((flags_ & socketsMade) == 0 && !createSockets(err)) return false;

    auto packet = std::make_shared<GCDAsyncUdpSpecialPacket>();
    packet->resolveInProgress = true;
    std::weak_ptr<GCDAsyncUdpSocket> weakSelf = weak_from_this();
    asyncResolveHost(
        host, port, [weakSelf, packet](std::vector<Address> addresses, std::optional<Error> error) {
          auto self = weakSelf.lock();
          if (!self) return;
          packet->resolveInProgress = false;
          packet->addresses = std::move(addresses);
          packet->error = std::move(error);
          if (packet == self->currentSend_) self->maybeConnect();
        });
    flags_ |= connectPending;
    sendQueue_.push_back(packet);
    maybeDequeueSend();
    return true;
  });
}

bool GCDAsyncUdpSocket::connectToAddress(const Address& remoteAddr, Error* errPtr) {
  return runRequest(errPtr, [&](Error* err) {
    if (!preConnect(err)) return false;
    if (remoteAddr.empty()) {
      *err = Errors::badParamError("The address param is nil. Should be a valid address.");
      return false;
    }
    if (!isIPv4Address(remoteAddr) && !isIPv6Address(remoteAddr)) {
      *err = Errors::badParamError("A valid IPv4 or IPv6 address was not given");
      return false;
    }
    if ((flags_ & socketsMade) == 0 && !createSockets(err)) return false;

    auto packet = std::make_shared<GCDAsyncUdpSpecialPacket>();
    packet->addresses.push_back(remoteAddr);
    flags_ |= connectPending;
    sendQueue_.push_back(packet);
    maybeDequeueSend();
    return true;
  });
}

void GCDAsyncUdpSocket::maybeConnect() {
  auto connectPacket = std::dynamic_pointer_cast<GCDAsyncUdpSpecialPacket>(currentSend_);
  if (!connectPacket || connectPacket->resolveInProgress) return;

  if (connectPacket->error) {
    notifyDidNotConnect(*connectPacket->error);
  } else {
    Address address;
    int addressFamily = 0;
    Error error;
    if (!getAddress(&address, &addressFamily, &error, connectPacket->addresses)) {
      notifyDidNotConnect(error);
    } else {
      const int fd = addressFamily == AF_INET6 ? socket6FD_ : socket4FD_;
      const socklen_t len = addressFamily == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
      if (::connect(fd, reinterpret_cast<const sockaddr*>(address.data()), len) == 0) {
        if (addressFamily == AF_INET6) {
          closeSocket4();
          flags_ |= ipv4Inactive;
        } else {
          closeSocket6();
          flags_ |= ipv6Inactive;
        }
        flags_ |= bound | peerFixed;
        cachedConnectedAddress_ = address;
        std::string host;
        uint16_t port = 0;
        getHost(&host, &port, address);
        cachedConnectedHost_ = host;
        cachedConnectedPort_ = port;
        cachedConnectedFamily_ = addressFamily;
        notifyDidConnectToAddress(address);
      } else {
        notifyDidNotConnect(Errors::errnoErrorWithReason(errno, "Error in connect() function"));
      }
    }
  }
  flags_ &= ~connectPending;
  endCurrentSend();
  maybeDequeueSend();
}

// ---- multicast

bool GCDAsyncUdpSocket::joinMulticastGroup(const std::string& group, Error* errPtr) {
  return performMulticastRequest(true, group, std::nullopt, errPtr);
}

bool GCDAsyncUdpSocket::joinMulticastGroup(const std::string& group,
                                           const std::optional<std::string>& interface,
                                           Error* errPtr) {
  return performMulticastRequest(true, group, interface, errPtr);
}

bool GCDAsyncUdpSocket::leaveMulticastGroup(const std::string& group, Error* errPtr) {
  return performMulticastRequest(false, group, std::nullopt, errPtr);
}

bool GCDAsyncUdpSocket::leaveMulticastGroup(const std::string& group,
                                            const std::optional<std::string>& interface,
                                            Error* errPtr) {
  return performMulticastRequest(false, group, interface, errPtr);
}

bool GCDAsyncUdpSocket::performMulticastRequest(bool join, const std::string& group,
                                                const std::optional<std::string>& interface,
                                                Error* errPtr) {
  return runRequest(errPtr, [&](Error* err) {
    if (!preOp(err)) return false;
    if ((flags_ & bound) == 0) {
      *err = Errors::badConfigError("Must bind a socket before joining a multicast group.");
      return false;
    }
    if ((flags_ & (connectPending | peerFixed)) != 0) {
      *err = Errors::badConfigError("Cannot join a multicast group if connected.");
      return false;
    }
    // The group must be a numeric address.
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* groupInfo = nullptr;
    if (getaddrinfo(group.c_str(), nullptr, &hints, &groupInfo) != 0 || groupInfo == nullptr) {
      if (groupInfo != nullptr) freeaddrinfo(groupInfo);
      *err = Errors::badParamError("Unknown group. Specify valid group IP address.");
      return false;
    }
    Address groupAddr(reinterpret_cast<const uint8_t*>(groupInfo->ai_addr),
                      reinterpret_cast<const uint8_t*>(groupInfo->ai_addr) + groupInfo->ai_addrlen);
    freeaddrinfo(groupInfo);

    detail::InterfaceAddresses addresses;
    convertIntefaceDescription(interface, 0, &addresses.address4, &addresses.address6,
                               &addresses.index6);
    if (const char* problem = detail::interfaceProblem(addresses, false, false)) {
      *err = Errors::badParamError(problem);
      return false;
    }
    const Address& interface4 = addresses.address4;
    const Address& interface6 = addresses.address6;
    const unsigned int interfaceIndex6 = addresses.index6;

    if (isIPv4Address(groupAddr) && !interface4.empty() && socket4FD_ != -1) {
      sockaddr_in groupSin{};
      sockaddr_in ifaceSin{};
      std::memcpy(&groupSin, groupAddr.data(), sizeof groupSin);
      std::memcpy(&ifaceSin, interface4.data(), sizeof ifaceSin);
      ip_mreq imreq{};
      imreq.imr_multiaddr = groupSin.sin_addr;
      imreq.imr_interface = ifaceSin.sin_addr;
      if (setsockopt(socket4FD_, IPPROTO_IP, join ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &imreq,
                     sizeof imreq) != 0) {
        *err = Errors::errnoErrorWithReason(errno, "Error in setsockopt() function");
        return false;
      }
      closeSocket6();
      flags_ |= ipv6Inactive;
      return true;
    }
    if (isIPv6Address(groupAddr) && !interface6.empty() && socket6FD_ != -1) {
      sockaddr_in6 groupSin6{};
      std::memcpy(&groupSin6, groupAddr.data(), sizeof groupSin6);
      ipv6_mreq imreq{};
      imreq.ipv6mr_multiaddr = groupSin6.sin6_addr;
      imreq.ipv6mr_interface = interfaceIndex6;
      if (setsockopt(socket6FD_, IPPROTO_IPV6, join ? IPV6_JOIN_GROUP : IPV6_LEAVE_GROUP, &imreq,
                     sizeof imreq) != 0) {
        *err = Errors::errnoErrorWithReason(errno, "Error in setsockopt() function");
        return false;
      }
      closeSocket4();
      flags_ |= ipv4Inactive;
      return true;
    }
    *err = Errors::badParamError("Socket, group, and interface do not have matching IP versions");
    return false;
  });
}

}  // namespace corvane
