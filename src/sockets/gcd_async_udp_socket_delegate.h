// Receiver of a GCDAsyncUdpSocket's outcomes. Every operation is optional (default bodies
// do nothing) and is always called asynchronously on the socket's delegate queue, never
// inside the call that started the work.
//
// The socket holds its delegate weakly; each callback holds it strongly while it runs.
#pragma once

#include <any>
#include <memory>
#include <optional>

#include "platform/foundation/error.h"
#include "sockets/gcd_async_udp_socket_types.h"
#include "sockets/shared_data.h"

namespace corvane {

class GCDAsyncUdpSocket;

class GCDAsyncUdpSocketDelegate {
 public:
  using SocketPtr = std::shared_ptr<GCDAsyncUdpSocket>;

  virtual ~GCDAsyncUdpSocketDelegate() = default;

  // A connect request succeeded; `address` is the peer.
  virtual void udpSocketDidConnectToAddress(const SocketPtr& /*sock*/,
                                            const GCDAsyncUdpAddress& /*address*/) {}
  // A connect request failed (resolution or connect error).
  virtual void udpSocketDidNotConnect(const SocketPtr& /*sock*/,
                                      const std::optional<platform::Error>& /*error*/) {}
  // The datagram with `tag` was sent, or refused by the send filter.
  virtual void udpSocketDidSendDataWithTag(const SocketPtr& /*sock*/, long /*tag*/) {}
  // The datagram with `tag` could not be sent or timed out.
  virtual void udpSocketDidNotSendDataWithTag(const SocketPtr& /*sock*/, long /*tag*/,
                                              const std::optional<platform::Error>& /*error*/) {}
  // A datagram arrived from `address` and passed the receive filter; `data` is exactly the
  // datagram's bytes. `filterContext` is what the filter stored (empty without a filter).
  virtual void udpSocketDidReceiveData(const SocketPtr& /*sock*/, const SharedData& /*data*/,
                                       const GCDAsyncUdpAddress& /*address*/,
                                       const std::any& /*filterContext*/) {}
  // The socket closed after descriptors had been created; `error` is empty for a requested
  // close. `sock` is nullptr when the socket is being destroyed.
  virtual void udpSocketDidClose(const SocketPtr& /*sock*/,
                                 const std::optional<platform::Error>& /*error*/) {}
};

}  // namespace corvane
