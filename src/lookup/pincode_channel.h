// PincodeChannel: resolves a 6-digit server PIN into a receiver (name, version, IPv4
// addresses) through the look-up server, TCP port 10022 of the host named by the user-defaults
// string "pinserver.host" ("localhost" when absent).
//
// One look-up is one connection: connect (3.0 s time-out), send the framed request, collect
// the reply until the 4-byte header and exactly the body length it gives have arrived, however
// TCP cuts them (a header above 64 KiB closes the connection with no report), judge the reply
// (see judgeReply), report it to the PincodeDelegate and close. A close after the reply was
// judged reports nothing. There is no reply time-out: a server that never answers keeps the
// connection open until the owner ends it with `disconnect` (its own time-out does). A look-up
// started while a connection is still open is refused by the socket; the refusal is printed to
// standard output only.
//
// Threads: `findReceiverByPincode` and the accessors may be called from any thread (the PIN
// screen calls it on the main thread). Every socket callback, and so every PincodeDelegate
// operation, runs on `socketQueue()` (serial, "com.tarnwick.pelloranmac.socketqueue").
// Ownership: made with `create`; the channel owns its queue and its socket, which holds the
// channel weakly as its delegate. The channel holds its PincodeDelegate strongly.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "lookup/pincode_delegate.h"
#include "platform/dispatch/dispatch.h"
#include "sockets/gcd_async_socket.h"
#include "sockets/gcd_async_socket_delegate.h"

namespace corvane {

class PincodeChannel : public GCDAsyncSocketDelegate,
                       public std::enable_shared_from_this<PincodeChannel> {
 public:
  // Makes the queue and the socket; nothing connects yet.
  static std::shared_ptr<PincodeChannel> create();
  ~PincodeChannel() override;
  PincodeChannel(const PincodeChannel&) = delete;
  PincodeChannel& operator=(const PincodeChannel&) = delete;

  // Starts one look-up for `pincode` (any thread).
  void findReceiverByPincode(const std::string& pincode);
  // Ends the current exchange, if one runs: the connection is closed (no failure is reported
  // for that close), and when the call returns every report of the exchange already under way
  // has been delivered, so that a look-up started afterwards is a new exchange whose reports
  // follow them. Any thread but the socket queue.
  void disconnect();

  const platform::dispatch::QueuePtr& socketQueue() const { return socketQueue_; }
  const std::shared_ptr<GCDAsyncSocket>& pincodeSocket() const { return pincodeSocket_; }
  std::optional<std::string> pincode() const;
  std::shared_ptr<PincodeDelegate> pincodeDelegate() const;
  void setPincodeDelegate(std::shared_ptr<PincodeDelegate> pincodeDelegate);

  // The look-up server's host name: the user-defaults string "pinserver.host", else
  // "localhost".
  static std::string pinServerHost();

  // GCDAsyncSocketDelegate (socket queue).
  void socketDidConnectToHost(const SocketPtr& sock, const std::string& host,
                              uint16_t port) override;
  void socketDidReadData(const SocketPtr& sock, const SharedData& data, long tag) override;
  void socketDidDisconnect(const SocketPtr& sock,
                           const std::optional<platform::Error>& err) override;
  void socketDidCloseReadStream(const SocketPtr& sock) override;
  void socketDidConnectToUrl(const SocketPtr& sock, const std::string& url) override;

 private:
  PincodeChannel();

  // Every read takes whatever bytes arrive next; the channel frames the reply itself.
  static constexpr long kReplyTag = 0;

  // Socket queue: judges the body, reports it and closes the connection.
  void judge(std::span<const std::uint8_t> body);

  platform::dispatch::QueuePtr socketQueue_;
  std::shared_ptr<GCDAsyncSocket> pincodeSocket_;
  // Socket queue only: the reply bytes of the current connection, and whether it was judged.
  std::vector<std::uint8_t> reply_;
  bool replyJudged_ = false;
  mutable std::mutex mutex_;  // guards the two fields below
  std::optional<std::string> pincode_;
  std::shared_ptr<PincodeDelegate> pincodeDelegate_;
};

}  // namespace corvane
