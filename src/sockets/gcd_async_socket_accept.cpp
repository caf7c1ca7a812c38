// GCDAsyncSocket: listening on IPv4/IPv6 ports and Unix-domain paths, and accepting.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sockets/gcd_async_socket.h"
#include "sockets/gcd_async_socket_private.h"
#include "sockets/socket_address.h"

namespace corvane {

using platform::dispatch::Source;
using Errors = GCDAsyncSocketErrors;

namespace {

constexpr int kListenBacklog = 1024;

bool setNonBlocking(int fd) {
  const int fl = ::fcntl(fd, F_GETFL, 0);
  return fl >= 0 && ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) >= 0;
}

}  // namespace

bool GCDAsyncSocket::acceptOnPort(uint16_t port, Error* errPtr) {
  return acceptOnInterface(std::string(), port, errPtr);
}

int GCDAsyncSocket::createAcceptSocket(int domain, const Bytes& interfaceAddr, Error* errPtr) {
  const int socketFD = ::socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socketFD < 0) {
    *errPtr = Errors::errorWithErrno(errno, "Error in socket() function");
    return -1;
  }
  if (!setNonBlocking(socketFD)) {
    *errPtr = Errors::errorWithErrno(errno, "Error enabling non-blocking IO on socket (fcntl)");
    ::close(socketFD);
    return -1;
  }
  const int reuseOn = 1;
  if (::setsockopt(socketFD, SOL_SOCKET, SO_REUSEADDR, &reuseOn, sizeof reuseOn) != 0) {
    *errPtr = Errors::errorWithErrno(errno, "Error enabling address reuse (setsockopt)");
    ::close(socketFD);
    return -1;
  }
  if (domain == AF_INET6) {
    // IPv6 only, so that an IPv4 listener may hold the same port.
    const int on = 1;
    ::setsockopt(socketFD, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  }
  if (::bind(socketFD, reinterpret_cast<const sockaddr*>(interfaceAddr.data()),
             static_cast<socklen_t>(interfaceAddr.size())) != 0) {
    *errPtr = Errors::errorWithErrno(errno, "Error in bind() function");
    ::close(socketFD);
    return -1;
  }
  if (::listen(socketFD, kListenBacklog) != 0) {
    *errPtr = Errors::errorWithErrno(errno, "Error in listen() function");
    ::close(socketFD);
    return -1;
  }
  return socketFD;
}

GCDAsyncSocket::SourcePtr GCDAsyncSocket::makeAcceptSource(int socketFD) {
  SourcePtr source = Source::createRead(socketFD, socketQueue);
  std::weak_ptr<GCDAsyncSocket> weakSelf = weak_from_this();
  std::weak_ptr<Source> weakSource = source;
  source->setEventHandler([weakSelf, weakSource, socketFD] {
    auto strongSelf = weakSelf.lock();
    auto src = weakSource.lock();
    if (!strongSelf || !src) return;
    const unsigned long numPendingConnections = src->data();
    unsigned long i = 0;
    while (strongSelf->doAccept(socketFD) && (++i < numPendingConnections)) {
    }
  });
  source->setCancelHandler([socketFD] { ::close(socketFD); });
  return source;
}

bool GCDAsyncSocket::acceptOnInterface(const std::string& inInterface, uint16_t port,
                                       Error* errPtr) {
  const std::string interface = inInterface;
  return runRequest(errPtr, [&](Error* err) {
    if (!checkDelegateFor("accept", err)) return false;
    const bool isIPv4Disabled = (config & noIPv4) != 0;
    const bool isIPv6Disabled = (config & noIPv6) != 0;
    if (isIPv4Disabled && isIPv6Disabled) {
      *err = Errors::badConfigError(
          "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.");
      return false;
    }
    if (!checkDisconnectedFor("accept", err)) return false;
    readQueue.clear();
    writeQueue.clear();

    detail::InterfaceAddresses addresses;
    getInterfaceAddress4(&addresses.address4, &addresses.address6, interface, port);
    if (const char* problem = detail::interfaceProblem(addresses, isIPv4Disabled, isIPv6Disabled)) {
      *err = Errors::badParamError(problem);
      return false;
    }
    Bytes& interface4 = addresses.address4;
    Bytes& interface6 = addresses.address6;
    const bool enableIPv4 = !isIPv4Disabled && !interface4.empty();
    const bool enableIPv6 = !isIPv6Disabled && !interface6.empty();

    if (enableIPv4) {
      socket4FD_ = createAcceptSocket(AF_INET, interface4, err);
      if (socket4FD_ == -1) return false;
    }
    if (enableIPv6) {
      if (enableIPv4 && port == 0) {
        // Let both families listen on the port the system gave the IPv4 socket.
        const uint16_t actualPort = portFromAddress(detail::localAddressOf(socket4FD_));
        sockaddr_in6 addr6{};
        std::memcpy(&addr6, interface6.data(), sizeof addr6);
        addr6.sin6_port = htons(actualPort);
        std::memcpy(interface6.data(), &addr6, sizeof addr6);
      }
      socket6FD_ = createAcceptSocket(AF_INET6, interface6, err);
      if (socket6FD_ == -1) {
        if (socket4FD_ != -1) {
          ::close(socket4FD_);
          socket4FD_ = -1;
        }
        return false;
      }
    }

    if (enableIPv4) {
      accept4Source = makeAcceptSource(socket4FD_);
      accept4Source->resume();
    }
    if (enableIPv6) {
      accept6Source = makeAcceptSource(socket6FD_);
      accept6Source->resume();
    }
    flags |= begun;
    return true;
  });
}

bool GCDAsyncSocket::acceptOnUrl(const std::string& url, Error* errPtr) {
  return runRequest(errPtr, [&](Error* err) {
    if (!checkDelegateFor("accept", err) || !checkDisconnectedFor("accept", err)) return false;
    readQueue.clear();
    writeQueue.clear();

    const std::string path = pathFromUrl(url);
    struct stat st {};
    if (!path.empty() && ::lstat(path.c_str(), &st) == 0) {
      // Replace a previous socket file.
      if (::unlink(path.c_str()) != 0) {
        *err = Errors::otherError("Could not remove previous unix domain socket at given url.");
        return false;
      }
    }
    const Bytes interface = unixAddressFromUrl(url);
    if (interface.empty()) {
      *err = Errors::badParamError(
          "Invalid unix domain url. Specify a valid file url that does not exist (e.g. "
          "\"file:///tmp/socket\")");
      return false;
    }
    socketUN = createAcceptSocket(AF_UNIX, interface, err);
    if (socketUN == -1) return false;
    socketUrl = url;
    acceptUNSource = makeAcceptSource(socketUN);
    acceptUNSource->resume();
    flags |= begun;
    return true;
  });
}

bool GCDAsyncSocket::doAccept(int parentSocketFD) {
  int socketType = 0;
  sockaddr_storage addr{};
  socklen_t addrLen = sizeof addr;
  if (parentSocketFD == socket4FD_) {
    socketType = 0;
  } else if (parentSocketFD == socket6FD_) {
    socketType = 1;
  } else {
    socketType = 2;
  }
  const int childSocketFD =
      ::accept4(parentSocketFD, reinterpret_cast<sockaddr*>(&addr), &addrLen, SOCK_CLOEXEC);
  if (childSocketFD == -1) return false;  // EAGAIN or an error: try again on the next event

  if (!setNonBlocking(childSocketFD)) {
    ::close(childSocketFD);
    return false;
  }
  // No SIGPIPE option on this platform: sends use MSG_NOSIGNAL.

  const QueuePtr dq = delegateQueue_;
  if (!dq) {
    // Nobody could take the connection over.
    ::close(childSocketFD);
    return true;
  }
  const auto* p = reinterpret_cast<const uint8_t*>(&addr);
  Bytes childSocketAddress(p, p + std::min<size_t>(addrLen, sizeof addr));
  DelegatePtr theDelegate = delegate_.lock();
  auto self = shared_from_this();
  dq->async([self, theDelegate, dq, childSocketFD, socketType,
             childSocketAddress = std::move(childSocketAddress)] {
    QueuePtr childSocketQueue;
    if (theDelegate) {
      childSocketQueue =
          theDelegate->newSocketQueueForConnectionFromAddress(childSocketAddress, self);
    }
    auto acceptedSocket = create(WeakDelegate(theDelegate), dq, childSocketQueue);
    // The new socket is connected before the owner sees it: inside the callback it
    // answers isConnected() and obeys disconnect(), even when its queue is this very one.
    acceptedSocket->runSync([&acceptedSocket, childSocketFD, socketType] {
      if (socketType == 0) {
        acceptedSocket->socket4FD_ = childSocketFD;
      } else if (socketType == 1) {
        acceptedSocket->socket6FD_ = childSocketFD;
      } else {
        acceptedSocket->socketUN = childSocketFD;
      }
      acceptedSocket->flags = begun | established;
      acceptedSocket->setupReadAndWriteSourcesForNewlyConnectedSocket(childSocketFD);
    });
    if (theDelegate) theDelegate->socketDidAcceptNewSocket(self, acceptedSocket);
  });
  return true;
}

}  // namespace corvane
