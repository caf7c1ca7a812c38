// Test helpers for the UDP socket: a recording delegate, plain POSIX datagram peers on
// loopback and address helpers.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <any>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "sockets/GCDAsyncUdpSocket.h"

namespace corvane::udp_test {

using platform::Error;
using platform::dispatch::Queue;
using platform::dispatch::QueuePtr;
using Bytes = std::vector<uint8_t>;
using Address = GCDAsyncUdpAddress;
using UdpSocketPtr = std::shared_ptr<GCDAsyncUdpSocket>;

constexpr double kWait = 5.0;  // generous bound for events that must happen

inline Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline std::string text(const SharedData& d) { return d.toString(); }
inline std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

inline const char* loopbackText(int family) { return family == AF_INET ? "127.0.0.1" : "::1"; }

inline Address loopbackAddress(int family, uint16_t port) {
  if (family == AF_INET) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto* p = reinterpret_cast<const uint8_t*>(&sin);
    return Address(p, p + sizeof sin);
  }
  sockaddr_in6 sin6{};
  sin6.sin6_family = AF_INET6;
  sin6.sin6_port = htons(port);
  sin6.sin6_addr = in6addr_loopback;
  const auto* p = reinterpret_cast<const uint8_t*>(&sin6);
  return Address(p, p + sizeof sin6);
}

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
class RecordingUdpDelegate : public GCDAsyncUdpSocketDelegate {
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

  std::vector<UdpEvent> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<UdpEvent> eventsOf(UdpEvent::Kind kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<UdpEvent> out;
    for (const auto& e : events_) {
      if (e.kind == kind) out.push_back(e);
    }
    return out;
  }
  size_t count(UdpEvent::Kind kind) { return eventsOf(kind).size(); }

  // Waits until at least `n` events of `kind` were recorded.
  bool waitForCount(UdpEvent::Kind kind, size_t n, double seconds = kWait) {
    return waitUntil([&] { return countLocked(kind) >= n; }, seconds);
  }
  // Waits until `pred` (called with the lock held) holds.
  bool waitUntil(const std::function<bool()>& pred, double seconds = kWait) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(seconds), pred);
  }
  // For predicates of waitUntil.
  size_t countLocked(UdpEvent::Kind kind) const {
    size_t n = 0;
    for (const auto& e : events_) n += e.kind == kind ? 1 : 0;
    return n;
  }
  const std::vector<UdpEvent>& eventsLocked() const { return events_; }

 private:
  void record(const SocketPtr& sock, UdpEvent e) {
    e.nullSocket = sock == nullptr;
    e.queueLabel = Queue::currentLabel();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(std::move(e));
    }
    cv_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<UdpEvent> events_;
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
  explicit PlainUdpPeer(int family) : family_(family) {
    fd_ = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int size = 1 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    Address addr = loopbackAddress(family, 0);
    ::bind(fd_, reinterpret_cast<const sockaddr*>(addr.data()),
           static_cast<socklen_t>(addr.size()));
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len);
    port_ = family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port)
                              : ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  }
  ~PlainUdpPeer() {
    if (fd_ != -1) ::close(fd_);
  }
  PlainUdpPeer(const PlainUdpPeer&) = delete;
  PlainUdpPeer& operator=(const PlainUdpPeer&) = delete;

  uint16_t port() const { return port_; }
  int family() const { return family_; }
  Address address() const { return loopbackAddress(family_, port_); }

  bool sendTo(const Address& dest, const Bytes& data) const {
    return ::sendto(fd_, data.data(), data.size(), 0,
                    reinterpret_cast<const sockaddr*>(dest.data()),
                    static_cast<socklen_t>(dest.size())) == static_cast<ssize_t>(data.size());
  }

  // Waits (bounded) for one datagram.
  std::optional<Datagram> receive(double seconds = kWait) const {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(seconds * 1000)) != 1) return std::nullopt;
    Datagram d;
    d.data.resize(65536);
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    const ssize_t n = ::recvfrom(fd_, d.data.data(), d.data.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&ss), &len);
    if (n < 0) return std::nullopt;
    d.data.resize(static_cast<size_t>(n));
    const auto* p8 = reinterpret_cast<const uint8_t*>(&ss);
    d.from.assign(p8, p8 + len);
    return d;
  }

 private:
  int family_;
  int fd_ = -1;
  uint16_t port_ = 0;
};

}  // namespace corvane::udp_test
