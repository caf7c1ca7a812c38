// Receiver of a GCDAsyncSocket's outcomes. Every operation is optional (default bodies do
// nothing) and is always called asynchronously on the socket's delegate queue, never
// inside the call that started the work. With a concurrent delegate queue, callbacks of
// one socket may overlap.
//
// The socket holds its delegate weakly; each callback holds it strongly while it runs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/error.h"
#include "platform/secure_transport/secure_transport.h"
#include "sockets/shared_data.h"

namespace corvane {

class GCDAsyncSocket;

class GCDAsyncSocketDelegate {
 public:
  using SocketPtr = std::shared_ptr<GCDAsyncSocket>;

  virtual ~GCDAsyncSocketDelegate() = default;

  // A listening socket accepted a connection from `address` (a raw socket address) and
  // needs the queue for the new socket; nullptr = a new private serial queue.
  virtual platform::dispatch::QueuePtr newSocketQueueForConnectionFromAddress(
      const std::vector<uint8_t>& /*address*/, const SocketPtr& /*sock*/) {
    return nullptr;
  }
  // `newSocket` is connected and reading; the delegate must keep it.
  virtual void socketDidAcceptNewSocket(const SocketPtr& /*sock*/, const SocketPtr& /*newSocket*/) {
  }
  virtual void socketDidConnectToHost(const SocketPtr& /*sock*/, const std::string& /*host*/,
                                      uint16_t /*port*/) {}
  virtual void socketDidConnectToUrl(const SocketPtr& /*sock*/, const std::string& /*url*/) {}
  // A read completed. For a read into the caller's buffer `data` views that buffer.
  virtual void socketDidReadData(const SocketPtr& /*sock*/, const SharedData& /*data*/,
                                 long /*tag*/) {}
  // A read pass added `partialLength` bytes without completing the read.
  virtual void socketDidReadPartialDataOfLength(const SocketPtr& /*sock*/,
                                                uint64_t /*partialLength*/, long /*tag*/) {}
  virtual void socketDidWriteDataWithTag(const SocketPtr& /*sock*/, long /*tag*/) {}
  virtual void socketDidWritePartialDataOfLength(const SocketPtr& /*sock*/,
                                                 uint64_t /*partialLength*/, long /*tag*/) {}
  // A read's time-out fired after `elapsed` seconds (including earlier extensions). A value
  // > 0 extends the read by that many seconds; 0, a negative value or std::nullopt (not
  // implemented) lets it time out, which closes the socket with code 4.
  virtual std::optional<double> socketShouldTimeoutReadWithTag(const SocketPtr& /*sock*/,
                                                               long /*tag*/, double /*elapsed*/,
                                                               uint64_t /*length*/) {
    return std::nullopt;
  }
  // As above for writes (code 5).
  virtual std::optional<double> socketShouldTimeoutWriteWithTag(const SocketPtr& /*sock*/,
                                                                long /*tag*/, double /*elapsed*/,
                                                                uint64_t /*length*/) {
    return std::nullopt;
  }
  // Half-duplex (autoDisconnectOnClosedReadStream off): the peer closed its sending side.
  virtual void socketDidCloseReadStream(const SocketPtr& /*sock*/) {}
  // The socket closed; `err` is empty for a requested close. `sock` is nullptr when the
  // socket is being destroyed.
  virtual void socketDidDisconnect(const SocketPtr& /*sock*/,
                                   const std::optional<platform::Error>& /*err*/) {}
  // The TLS handshake completed.
  virtual void socketDidSecure(const SocketPtr& /*sock*/) {}
  // Manual trust evaluation during a TLS handshake (client side): return true when
  // implemented and call `completionHandler` once (from any thread, now or later) with the
  // decision. The default (false) means "not implemented", which closes the socket.
  virtual bool socketDidReceiveTrust(
      const SocketPtr& /*sock*/,
      const std::shared_ptr<platform::secure_transport::SecTrust>& /*trust*/,
      std::function<void(bool shouldTrustPeer)> /*completionHandler*/) {
    return false;
  }
};

}  // namespace corvane
