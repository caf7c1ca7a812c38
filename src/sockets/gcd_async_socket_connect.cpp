// GCDAsyncSocket: connecting (look-up, IPv4/IPv6 choice, blocking connect on the global
// queue, connect time-out) and closing.
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sockets/gcd_async_read_packet.h"
#include "sockets/gcd_async_socket.h"
#include "sockets/gcd_async_socket_private.h"
#include "sockets/gcd_async_write_packet.h"
#include "sockets/socket_address.h"
#include "sockets/socket_error_support.h"
#include "sockets/socket_source_support.h"

namespace corvane {

using platform::dispatch::Priority;
using platform::dispatch::Queue;
using Errors = GCDAsyncSocketErrors;
using detail::shutdownAndClose;

namespace {

constexpr const char* kBothDisabled =
    "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.";

}  // namespace

// ---------------------------------------------------------------------------------------
// Public connect requests

bool GCDAsyncSocket::connectToHost(const std::string& host, uint16_t port, Error* errPtr) {
  return connectToHost(host, port, std::string(), -1, errPtr);
}

bool GCDAsyncSocket::connectToHost(const std::string& host, uint16_t port, double timeout,
                                   Error* errPtr) {
  return connectToHost(host, port, std::string(), timeout, errPtr);
}

bool GCDAsyncSocket::connectToHost(const std::string& inHost, uint16_t port,
                                   const std::string& inInterface, double timeout, Error* errPtr) {
  const std::string host = inHost;
  const std::string interface = inInterface;
  return runRequest(errPtr, [&](Error* preConnectErr) {
    if (host.empty()) {
      *preConnectErr = Errors::badParamError(
          "Invalid host parameter (nil or \"\"). Should be a domain name or IP address string.");
      return false;
    }
    if (!preConnectWithInterface(interface, preConnectErr)) return false;

    flags |= begun;

    // Look the host up on a background queue; the socket is held weakly meanwhile.
    const int aStateIndex = stateIndex;
    std::weak_ptr<GCDAsyncSocket> weakSelf = weak_from_this();
    Queue::global(Priority::Default)->async([weakSelf, host, port, aStateIndex] {
      Error lookupErr;
      std::vector<Bytes> addresses = lookupHost(host, port, &lookupErr);
      auto strongSelf = weakSelf.lock();
      if (!strongSelf) return;
      if (addresses.empty()) {
        strongSelf->socketQueue->async([strongSelf, aStateIndex, lookupErr] {
          strongSelf->lookupDidFail(aStateIndex, lookupErr);
        });
        return;
      }
      Bytes address4;
      Bytes address6;
      for (const Bytes& address : addresses) {
        if (address4.empty() && isIPv4Address(address)) {
          address4 = address;
        } else if (address6.empty() && isIPv6Address(address)) {
          address6 = address;
        }
      }
      strongSelf->socketQueue->async([strongSelf, aStateIndex, address4, address6]() mutable {
        strongSelf->lookupDidSucceed(aStateIndex, std::move(address4), std::move(address6));
      });
    });

    startConnectTimeout(timeout);
    return true;
  });
}

bool GCDAsyncSocket::connectToAddress(const Bytes& remoteAddr, Error* errPtr) {
  return connectToAddress(remoteAddr, std::string(), -1, errPtr);
}

bool GCDAsyncSocket::connectToAddress(const Bytes& remoteAddr, double timeout, Error* errPtr) {
  return connectToAddress(remoteAddr, std::string(), timeout, errPtr);
}

bool GCDAsyncSocket::connectToAddress(const Bytes& inRemoteAddr, const std::string& inInterface,
                                      double timeout, Error* errPtr) {
  const Bytes remoteAddr = inRemoteAddr;
  const std::string interface = inInterface;
  return runRequest(errPtr, [&](Error* err) {
    Bytes address4;
    Bytes address6;
    if (remoteAddr.size() == sizeof(sockaddr_in) && isIPv4Address(remoteAddr)) {
      address4 = remoteAddr;
    } else if (remoteAddr.size() == sizeof(sockaddr_in6) && isIPv6Address(remoteAddr)) {
      address6 = remoteAddr;
    } else {
      *err = Errors::badParamError("A valid IPv4 or IPv6 address was not given");
      return false;
    }
    if ((config & noIPv4) != 0 && !address4.empty()) {
      *err = Errors::badParamError("IPv4 has been disabled and an IPv4 address was passed.");
      return false;
    }
    if ((config & noIPv6) != 0 && !address6.empty()) {
      *err = Errors::badParamError("IPv6 has been disabled and an IPv6 address was passed.");
      return false;
    }
    if (!preConnectWithInterface(interface, err)) return false;

    flags |= begun;
    if (!connectWithAddress4(address4, address6, err)) {
      closeAfterFailedRequest();
      return false;
    }
    startConnectTimeout(timeout);
    return true;
  });
}

bool GCDAsyncSocket::connectToUrl(const std::string& url, double timeout, Error* errPtr) {
  return runRequest(errPtr, [&](Error* err) {
    if (pathFromUrl(url).empty()) {
      *err = Errors::badParamError("Invalid unix domain socket url.");
      return false;
    }
    if (!preConnectWithUnixAddress(unixAddressFromUrl(url), err)) return false;

    flags |= begun;
    if (!connectWithAddressUN(connectInterfaceUN, err)) {
      closeAfterFailedRequest();
      return false;
    }
    startConnectTimeout(timeout);
    return true;
  });
}

// ---------------------------------------------------------------------------------------
// Pre-connect checks

bool GCDAsyncSocket::preConnectWithInterface(const std::string& interface, Error* errPtr) {
  if (!checkDelegateFor("connect", errPtr) || !checkDisconnectedFor("connect", errPtr)) {
    return false;
  }
  const bool isIPv4Disabled = (config & noIPv4) != 0;
  const bool isIPv6Disabled = (config & noIPv6) != 0;
  if (isIPv4Disabled && isIPv6Disabled) {
    *errPtr = Errors::badConfigError(kBothDisabled);
    return false;
  }
  if (!interface.empty()) {
    detail::InterfaceAddresses addresses;
    getInterfaceAddress4(&addresses.address4, &addresses.address6, interface, 0);
    if (const char* problem = detail::interfaceProblem(addresses, isIPv4Disabled, isIPv6Disabled)) {
      *errPtr = Errors::badParamError(problem);
      return false;
    }
    connectInterface4 = std::move(addresses.address4);
    connectInterface6 = std::move(addresses.address6);
  }
  // Clear the queues (spurious reads and writes from a previous connection).
  readQueue.clear();
  writeQueue.clear();
  return true;
}

bool GCDAsyncSocket::preConnectWithUnixAddress(const Bytes& address, Error* errPtr) {
  if (!checkDelegateFor("connect", errPtr) || !checkDisconnectedFor("connect", errPtr)) {
    return false;
  }
  if (address.empty()) {
    *errPtr = Errors::badParamError(
        "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");
    return false;
  }
  connectInterfaceUN = address;
  readQueue.clear();
  writeQueue.clear();
  return true;
}

// ---------------------------------------------------------------------------------------
// Look-up results

void GCDAsyncSocket::lookupDidSucceed(int aStateIndex, Bytes address4, Bytes address6) {
  if (aStateIndex != stateIndex) return;  // timed out or closed meanwhile
  const bool isIPv4Disabled = (config & noIPv4) != 0;
  const bool isIPv6Disabled = (config & noIPv6) != 0;
  if (isIPv4Disabled && address6.empty()) {
    closeWithError(
        Errors::otherError("IPv4 has been disabled and DNS lookup found no IPv6 address."));
    return;
  }
  if (isIPv6Disabled && address4.empty()) {
    closeWithError(
        Errors::otherError("IPv6 has been disabled and DNS lookup found no IPv4 address."));
    return;
  }
  // A disabled family is never tried, even when the look-up found an address for it.
  if (isIPv4Disabled) address4.clear();
  if (isIPv6Disabled) address6.clear();
  Error err;
  if (!connectWithAddress4(std::move(address4), std::move(address6), &err)) closeWithError(err);
}

void GCDAsyncSocket::lookupDidFail(int aStateIndex, const Error& error) {
  if (aStateIndex != stateIndex) return;
  endConnectTimeout();
  closeWithError(error);
}

// ---------------------------------------------------------------------------------------
// Sockets and connect attempts

int GCDAsyncSocket::createSocket(int family, const Bytes& connectInterface, Error* errPtr) {
  const int socketFD = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socketFD < 0) {
    *errPtr = Errors::errorWithErrno(errno, "Error in socket() function");
    return -1;
  }
  if (!connectInterface.empty()) {
    if (portFromAddress(connectInterface) > 0) {
      // A fixed local port: allow re-binding it right after a previous connection.
      const int reuseOn = 1;
      ::setsockopt(socketFD, SOL_SOCKET, SO_REUSEADDR, &reuseOn, sizeof reuseOn);
    }
    if (::bind(socketFD, reinterpret_cast<const sockaddr*>(connectInterface.data()),
               static_cast<socklen_t>(connectInterface.size())) != 0) {
      *errPtr = Errors::errorWithErrno(errno, "Error in bind() function");
      ::close(socketFD);
      return -1;
    }
  }
  // No SIGPIPE option on this platform: every send uses MSG_NOSIGNAL instead.
  return socketFD;
}

bool GCDAsyncSocket::connectWithAddress4(Bytes address4, Bytes address6, Error* errPtr) {
  if (!address4.empty()) socket4FD_ = createSocket(AF_INET, connectInterface4, errPtr);
  if (!address6.empty()) socket6FD_ = createSocket(AF_INET6, connectInterface6, errPtr);
  if (socket4FD_ == -1 && socket6FD_ == -1) return false;  // errPtr holds the last error

  const bool preferIPv6 = (config & favourIPv6) != 0;
  const bool useIPv6 = (preferIPv6 && socket6FD_ != -1) || socket4FD_ == -1;
  const int primarySocketFD = useIPv6 ? socket6FD_ : socket4FD_;
  const int alternateSocketFD = useIPv6 ? socket4FD_ : socket6FD_;
  Bytes primaryAddress;
  Bytes alternateAddress;
  if (useIPv6) {
    primaryAddress = std::move(address6);
    alternateAddress = std::move(address4);
  } else {
    primaryAddress = std::move(address4);
    alternateAddress = std::move(address6);
  }

  connectSocket(primarySocketFD, primaryAddress, stateIndex);

  if (!alternateAddress.empty() && alternateSocketFD != -1) {
    std::weak_ptr<GCDAsyncSocket> weakSelf = weak_from_this();
    const int aStateIndex = stateIndex;
    socketQueue->after(
        alternateAddressDelay_,
        [weakSelf, alternateSocketFD, alternateAddress = std::move(alternateAddress), aStateIndex] {
          if (auto strongSelf = weakSelf.lock()) {
            strongSelf->connectSocket(alternateSocketFD, alternateAddress, aStateIndex);
          }
        });
  }
  return true;
}

void GCDAsyncSocket::connectSocket(int socketFD, const Bytes& address, int aStateIndex) {
  // A late attempt of an ended connect (won by the other family, timed out or closed): its
  // descriptor was closed then, and its number may belong to a later connection now.
  if (aStateIndex != stateIndex) return;
  // The other family already won: this descriptor is not needed.
  if ((flags & established) != 0) {
    closeSocket(socketFD);
    return;
  }
  if (socketFD != socket4FD_ && socketFD != socket6FD_) return;

  // The blocking connect() runs on its own duplicate of the descriptor, so that a close
  // meanwhile can never make it act on a reused descriptor number.
  const int connectFD = ::fcntl(socketFD, F_DUPFD_CLOEXEC, 0);
  if (connectFD < 0) {
    connectAttemptFinished(socketFD, -1, errno, aStateIndex);
    return;
  }
  connectInBackground(connectFD, address,
                      [socketFD, aStateIndex](GCDAsyncSocket& sock, int result, int err) {
                        sock.connectAttemptFinished(socketFD, result, err, aStateIndex);
                      });
}

void GCDAsyncSocket::connectInBackground(int connectFD, Bytes address,
                                         std::function<void(GCDAsyncSocket&, int, int)> finished) {
  std::weak_ptr<GCDAsyncSocket> weakSelf = weak_from_this();
  Queue::global(Priority::Default)
      ->async([weakSelf, connectFD, address = std::move(address), finished = std::move(finished)] {
        const int result = ::connect(connectFD, reinterpret_cast<const sockaddr*>(address.data()),
                                     static_cast<socklen_t>(address.size()));
        const int err = errno;
        ::close(connectFD);
        auto strongSelf = weakSelf.lock();
        if (!strongSelf) return;
        strongSelf->socketQueue->async(
            [strongSelf, result, err, finished] { finished(*strongSelf, result, err); });
      });
}

void GCDAsyncSocket::connectAttemptFinished(int socketFD, int result, int err, int aStateIndex) {
  // Ended meanwhile: closeWithError or the winning family already closed the descriptor.
  if (aStateIndex != stateIndex) return;
  if ((flags & established) != 0) {
    closeSocket(socketFD);
    return;
  }
  if (result != 0) {
    closeSocket(socketFD);
    if (socket4FD_ == -1 && socket6FD_ == -1) {
      didNotConnect(aStateIndex, Errors::errorWithErrno(err, "Error in connect() function"));
    }
    return;
  }
  closeUnusedSocket(socketFD);
  didConnect(aStateIndex);
}

void GCDAsyncSocket::closeSocket(int socketFD) {
  if (socketFD == -1) return;
  if (socketFD == socket4FD_) {
    shutdownAndClose(socketFD);
    socket4FD_ = -1;
  } else if (socketFD == socket6FD_) {
    shutdownAndClose(socketFD);
    socket6FD_ = -1;
  }
}

void GCDAsyncSocket::closeUnusedSocket(int usedSocketFD) {
  if (usedSocketFD != socket4FD_) {
    closeSocket(socket4FD_);
  } else if (usedSocketFD != socket6FD_) {
    closeSocket(socket6FD_);
  }
}

bool GCDAsyncSocket::connectWithAddressUN(const Bytes& address, Error* errPtr) {
  socketUN = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socketUN < 0) {
    *errPtr = Errors::errorWithErrno(errno, "Error in socket() function");
    socketUN = -1;
    return false;
  }
  const int reuseOn = 1;
  ::setsockopt(socketUN, SOL_SOCKET, SO_REUSEADDR, &reuseOn, sizeof reuseOn);

  const int connectFD = ::fcntl(socketUN, F_DUPFD_CLOEXEC, 0);
  if (connectFD < 0) {
    *errPtr = Errors::errorWithErrno(errno, "Error in socket() function");
    return false;
  }
  const int aStateIndex = stateIndex;
  connectInBackground(connectFD, address, [aStateIndex](GCDAsyncSocket& sock, int result, int err) {
    if (result == 0) {
      sock.didConnect(aStateIndex);
    } else {
      if (aStateIndex == sock.stateIndex) detail::printSystemMessage("connect", err);
      sock.didNotConnect(aStateIndex, Errors::errorWithErrno(err, "Error in connect() function"));
    }
  });
  return true;
}

// ---------------------------------------------------------------------------------------
// Connected / not connected

void GCDAsyncSocket::didConnect(int aStateIndex) {
  if (aStateIndex != stateIndex) return;  // closed or timed out meanwhile

  flags |= established;
  endConnectTimeout();

  if (delegateQueue_) {
    const std::string host = connectedHost();
    const uint16_t port = connectedPort();
    std::string url;
    if (host.empty()) url = connectedUrl();
    if (!host.empty()) {
      notifyDelegate([host, port](GCDAsyncSocketDelegate& d, const SocketPtr& sock) {
        d.socketDidConnectToHost(sock, host, port);
      });
    } else if (!url.empty()) {
      notifyDelegate([url](GCDAsyncSocketDelegate& d, const SocketPtr& sock) {
        d.socketDidConnectToUrl(sock, url);
      });
    }
  }

  const int socketFD = connectedDescriptor();
  const int fl = ::fcntl(socketFD, F_GETFL, 0);
  if (fl < 0 || ::fcntl(socketFD, F_SETFL, fl | O_NONBLOCK) < 0) {
    closeWithError(Errors::otherError("Error enabling non-blocking IO on socket (fcntl)"));
    return;
  }
  setupReadAndWriteSourcesForNewlyConnectedSocket(socketFD);

  // Dequeue any pending read and write requests.
  maybeDequeueRead();
  maybeDequeueWrite();
}

void GCDAsyncSocket::didNotConnect(int aStateIndex, const Error& error) {
  if (aStateIndex != stateIndex) return;
  closeWithError(error);
}

int GCDAsyncSocket::connectedDescriptor() const {
  if (socket4FD_ != -1) return socket4FD_;
  if (socket6FD_ != -1) return socket6FD_;
  return socketUN;
}

// ---------------------------------------------------------------------------------------
// Connect time-out

void GCDAsyncSocket::startConnectTimeout(double timeout) {
  startTimeoutTimer(&GCDAsyncSocket::connectTimer, timeout, &GCDAsyncSocket::doConnectTimeout);
}

void GCDAsyncSocket::endConnectTimeout() {
  detail::cancelSource(connectTimer);
  // Late look-up and connect results carry the old index and are ignored.
  ++stateIndex;
  connectInterface4.clear();
  connectInterface6.clear();
}

void GCDAsyncSocket::doConnectTimeout() {
  endConnectTimeout();
  closeWithError(Errors::connectTimeoutError());
}

// ---------------------------------------------------------------------------------------
// Interface descriptions

void GCDAsyncSocket::getInterfaceAddress4(Bytes* interfaceAddr4Ptr, Bytes* interfaceAddr6Ptr,
                                          const std::string& interfaceDescription, uint16_t port) {
  // "name" or "name:port"
  const size_t colon = interfaceDescription.find(':');
  const std::string interface = interfaceDescription.substr(0, colon);
  if (colon != std::string::npos && port == 0) {
    const size_t next = interfaceDescription.find(':', colon + 1);
    const std::string portText = interfaceDescription.substr(
        colon + 1, next == std::string::npos ? std::string::npos : next - colon - 1);
    const long portL = std::strtol(portText.c_str(), nullptr, 10);
    if (portL > 0 && portL <= 0xFFFF) port = static_cast<uint16_t>(portL);
  }
  detail::InterfaceAddresses addresses = detail::interfaceAddresses(interface, port);
  if (interfaceAddr4Ptr != nullptr) *interfaceAddr4Ptr = std::move(addresses.address4);
  if (interfaceAddr6Ptr != nullptr) *interfaceAddr6Ptr = std::move(addresses.address6);
}

GCDAsyncSocket::Bytes GCDAsyncSocket::unixAddressFromUrl(const std::string& url) {
  const std::string path = pathFromUrl(url);
  sockaddr_un nativeAddr{};
  // A path that does not fit is refused rather than cut (a cut path names another file).
  if (path.empty() || path.size() >= sizeof nativeAddr.sun_path) return {};
  nativeAddr.sun_family = AF_UNIX;
  std::memcpy(nativeAddr.sun_path, path.data(), path.size());
  const size_t length = offsetof(sockaddr_un, sun_path) + path.size() + 1;
  const auto* p = reinterpret_cast<const uint8_t*>(&nativeAddr);
  return Bytes(p, p + length);
}

// ---------------------------------------------------------------------------------------
// Closing

void GCDAsyncSocket::disconnect() {
  runSync([this] {
    if ((flags & begun) != 0) closeWithError(std::nullopt);
  });
}

void GCDAsyncSocket::disconnectAfterReading() {
  socketQueue->async([self = shared_from_this()] {
    if ((self->flags & begun) != 0) {
      self->flags |= (ioRefused | closeWhenReadsDone);
      self->maybeClose();
    }
  });
}

void GCDAsyncSocket::disconnectAfterWriting() {
  socketQueue->async([self = shared_from_this()] {
    if ((self->flags & begun) != 0) {
      self->flags |= (ioRefused | closeWhenWritesDone);
      self->maybeClose();
    }
  });
}

void GCDAsyncSocket::disconnectAfterReadingAndWriting() {
  socketQueue->async([self = shared_from_this()] {
    if ((self->flags & begun) != 0) {
      self->flags |= (ioRefused | closeWhenReadsDone | closeWhenWritesDone);
      self->maybeClose();
    }
  });
}

void GCDAsyncSocket::maybeClose() {
  bool shouldClose = false;
  if ((flags & closeWhenReadsDone) != 0) {
    if (readQueue.empty() && !currentRead) {
      if ((flags & closeWhenWritesDone) != 0) {
        shouldClose = writeQueue.empty() && !currentWrite;
      } else {
        shouldClose = true;
      }
    }
  } else if ((flags & closeWhenWritesDone) != 0) {
    shouldClose = writeQueue.empty() && !currentWrite;
  }
  if (shouldClose) closeWithError(std::nullopt);
}

void GCDAsyncSocket::closeAfterFailedRequest() {
  // The caller learns of the failure from the request's return and error.
  flags &= ~begun;
  closeWithError(std::nullopt);
}

void GCDAsyncSocket::closeWithError(const std::optional<Error>& error) {
  endConnectTimeout();
  if (currentRead) endCurrentRead();
  if (currentWrite) endCurrentWrite();
  readQueue.clear();
  writeQueue.clear();
  preBuffer.reset();
  if (sslPreBuffer) sslPreBuffer->reset();
  sslErrCode = 0;
  lastSSLHandshakeError = 0;
  if (sslContext_) {
    // Tell the peer the session ends (best effort), then release it.
    sslContext_->close();
    sslContext_.reset();
  }

  if (!accept4Source && !accept6Source && !acceptUNSource && !readSource && !writeSource) {
    // Nothing watches the descriptors: close them here. A connect() may still be in flight
    // on one of them; the shutdown ends it.
    if (socket4FD_ != -1) {
      shutdownAndClose(socket4FD_);
      socket4FD_ = -1;
    }
    if (socket6FD_ != -1) {
      shutdownAndClose(socket6FD_);
      socket6FD_ = -1;
    }
    if (socketUN != -1) {
      shutdownAndClose(socketUN);
      socketUN = -1;
    }
  } else {
    // The sources' cancel handlers close the descriptors.
    detail::cancelSource(accept4Source);
    detail::cancelSource(accept6Source);
    detail::cancelSource(acceptUNSource);
    // A suspended source must be resumed, or its cancel handler might never run.
    detail::resumeOnce(readSource, flags, readSourcePaused);
    detail::cancelSource(readSource);
    detail::resumeOnce(writeSource, flags, writeSourcePaused);
    detail::cancelSource(writeSource);
    socket4FD_ = -1;
    socket6FD_ = -1;
    socketUN = -1;
  }
  // A listening Unix-domain socket's file goes with it.
  if (!socketUrl.empty()) {
    const std::string path = pathFromUrl(socketUrl);
    if (!path.empty()) ::unlink(path.c_str());
    socketUrl.clear();
  }

  const bool shouldCallDelegate = (flags & begun) != 0;
  socketFDBytesAvailable = 0;
  // `tearingDown` must survive until the callback below has taken its (empty) socket.
  const uint32_t keep = flags & tearingDown;
  flags = keep;
  sslWriteCachedLength = 0;

  if (shouldCallDelegate) {
    notifyDelegate([error](GCDAsyncSocketDelegate& d, const SocketPtr& sock) {
      d.socketDidDisconnect(sock, error);
    });
  }
  flags = 0;
}

}  // namespace corvane
