// Test helpers for the UDP socket: a recording delegate, plain POSIX datagram peers on
// loopback and address helpers.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <any>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "socket_test_support.h"
#include "sockets/gcd_async_udp_socket.h"

namespace corvane::udp_test {

using namespace socket_test;
using socket_test::text;  // overloaded below
using Address = GCDAsyncUdpAddress;
using UdpSocketPtr = std::shared_ptr<GCDAsyncUdpSocket>;

inline std::string text(const SharedData& d) { return d.toString(); }

inline const char* loopbackText(int family) { return family == AF_INET ? "127.0.0.1" : "::1"; }

struct UdpEvent {
  enum Kind { Connect, NotConnect, Sent, NotSent, Received, Closed };
  explicit UdpEvent(Kind k) : kind(k) {}
  Kind kind;
  long tag = 0;
  std::optional<Error> error;
  SharedData data;
  Address address;
  std::any context;
  bool nullSocket = false;
  std::string queueLabel;  // label of the queue the callback ran on
};

// Records every callback; tests wait on it with a deadline.
class RecordingUdpDelegate : public GCDAsyncUdpSocketDelegate,
                             public socket_test::EventLog<UdpEvent> {
 public:
  void udpSocketDidConnectToAddress(const SocketPtr& sock, const Address& address) override {
    UdpEvent e(UdpEvent::Connect);
    e.address = address;
    record(sock, std::move(e));
  }
  void udpSocketDidNotConnect(const SocketPtr& sock, const std::optional<Error>& error) override {
    UdpEvent e(UdpEvent::NotConnect);
    e.error = error;
    record(sock, std::move(e));
  }
  void udpSocketDidSendDataWithTag(const SocketPtr& sock, long tag) override {
    UdpEvent e(UdpEvent::Sent);
    e.tag = tag;
    record(sock, std::move(e));
  }
  void udpSocketDidNotSendDataWithTag(const SocketPtr& sock, long tag,
                                      const std::optional<Error>& error) override {
    UdpEvent e(UdpEvent::NotSent);
    e.tag = tag;
    e.error = error;
    record(sock, std::move(e));
  }
  void udpSocketDidReceiveData(const SocketPtr& sock, const SharedData& data,
                               const Address& address, const std::any& context) override {
    UdpEvent e(UdpEvent::Received);
    e.data = data;
    e.address = address;
    e.context = context;
    record(sock, std::move(e));
  }
  void udpSocketDidClose(const SocketPtr& sock, const std::optional<Error>& error) override {
    UdpEvent e(UdpEvent::Closed);
    e.error = error;
    record(sock, std::move(e));
  }

 private:
  void record(const SocketPtr& sock, UdpEvent e) {
    e.nullSocket = sock == nullptr;
    EventLog::record(std::move(e));
  }
};

// A socket with a recording delegate on its own serial delegate queue.
struct UdpFixture {
  std::shared_ptr<RecordingUdpDelegate> delegate = std::make_shared<RecordingUdpDelegate>();
  QueuePtr delegateQueue = Queue::createSerial("udp.delegate");
  UdpSocketPtr socket = GCDAsyncUdpSocket::create(delegate, delegateQueue);

  // Everything the socket has done so far has been reported: the socket queue is idle and
  // the delegate queue has run every callback posted before.
  void settle() {
    socket->performBlock([] {});
    delegateQueue->sync([] {});
  }
};

// A received datagram of a plain peer.
struct Datagram {
  Bytes data;
  Address from;
};

// A plain POSIX datagram socket bound to the loopback address of one family.
class PlainUdpPeer {
 public:
  explicit PlainUdpPeer(int family)
      : family_(family), fd_(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    int size = 1 << 20;
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    Address addr = loopbackAddress(family, 0);
    ::bind(fd_.get(), reinterpret_cast<const sockaddr*>(addr.data()),
           static_cast<socklen_t>(addr.size()));
    port_ = socket_test::boundPort(fd_.get());
  }

  uint16_t port() const { return port_; }
  int family() const { return family_; }
  Address address() const { return loopbackAddress(family_, port_); }

  bool sendTo(const Address& dest, const Bytes& data) const {
    return ::sendto(fd_.get(), data.data(), data.size(), 0,
                    reinterpret_cast<const sockaddr*>(dest.data()),
                    static_cast<socklen_t>(dest.size())) == static_cast<ssize_t>(data.size());
  }

  // Waits (bounded) for one datagram.
  std::optional<Datagram> receive(double seconds = kWait) const {
    pollfd p{fd_.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(seconds * 1000)) != 1) return std::nullopt;
    Datagram d;
    d.data.resize(65536);
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    const ssize_t n = ::recvfrom(fd_.get(), d.data.data(), d.data.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&ss), &len);
    if (n < 0) return std::nullopt;
    d.data.resize(static_cast<size_t>(n));
    const auto* p8 = reinterpret_cast<const uint8_t*>(&ss);
    d.from.assign(p8, p8 + len);
    return d;
  }

 private:
  int family_;
  socket_test::UniqueFd fd_;
  uint16_t port_ = 0;
};

}  // namespace corvane::udp_test
