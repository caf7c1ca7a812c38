// QueryServerChannel: asks a receiver at a known address who it is. `lookFor(ip)` sends the
// one-byte question 0x01 six times to UDP port 11105 of the address; every valid answer (see
// lookup/receiver_answer.h) that arrives on the channel's socket becomes a ReceiverData for the
// QueryReceiverDelegate. Answers with another code are logged ("unkown code:<code>") and
// dropped; short answers, invalid UTF-8 and unreadable source addresses are dropped. The
// sender of an answer is not checked against the addresses asked.
//
// Threads: `lookFor`, `sendScandData` and the accessors may be called from any thread.
// Socket callbacks, and so `onFoundReceiver`, run on `socketQueue()` (serial,
// "com.tarnwick.pelloranphone.QueryDeviceSocketQueue"), one datagram at a time.
// Ownership: made with `create`; the channel owns its queue and its socket (bound to any port
// until `close`; receiving, once begun, is stopped only by `close`), which holds the channel
// weakly. The channel holds its listener strongly until `close`.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "lookup/query_receiver_delegate.h"
#include "platform/dispatch/dispatch.h"
#include "sockets/gcd_async_udp_socket.h"
#include "sockets/gcd_async_udp_socket_delegate.h"

namespace corvane {

class QueryServerChannel : public GCDAsyncUdpSocketDelegate,
                           public std::enable_shared_from_this<QueryServerChannel> {
 public:
  // Makes the queue and the socket and binds it (port 0, reuse on); a failure is only logged
  // ("got error.") and the channel is returned all the same.
  static std::shared_ptr<QueryServerChannel> create();
  ~QueryServerChannel() override;
  QueryServerChannel(const QueryServerChannel&) = delete;
  QueryServerChannel& operator=(const QueryServerChannel&) = delete;

  // Sends the question six times to `ip` (numeric or a name the socket resolves).
  void lookFor(const std::string& ip);
  // Sends the question once to the broadcast address of interface "en0"; nothing in the
  // application calls it.
  void sendScandData();
  // For an owner that is done with the channel: lets the listener go and closes the socket for
  // good (its port is freed; later questions are not sent and no answer is reported).
  void close();

  const platform::dispatch::QueuePtr& socketQueue() const { return socketQueue_; }
  const std::shared_ptr<GCDAsyncUdpSocket>& queryDeviceSocket() const { return queryDeviceSocket_; }
  std::shared_ptr<QueryReceiverDelegate> queryReceiverDelegate() const;
  void setQueryReceiverDelegate(std::shared_ptr<QueryReceiverDelegate> delegate);
  // Fields the channel declares and never uses.
  bool scanningReceiver() const { return false; }

  // GCDAsyncUdpSocketDelegate (socket queue).
  void udpSocketDidReceiveData(const SocketPtr& sock, const SharedData& data,
                               const GCDAsyncUdpAddress& address,
                               const std::any& filterContext) override;

 private:
  QueryServerChannel();
  static constexpr int kQuestionsPerLookFor = 6;

  platform::dispatch::QueuePtr socketQueue_;
  std::shared_ptr<GCDAsyncUdpSocket> queryDeviceSocket_;
  mutable std::mutex mutex_;  // guards the listener
  std::shared_ptr<QueryReceiverDelegate> queryReceiverDelegate_;
};

}  // namespace corvane
