// Test helpers shared by the TCP and the UDP socket tests: byte helpers, loopback addresses
// built independently of the code under test, an owned descriptor, and the event log behind
// the recording delegates.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/error.h"

// The TCP and the UDP test namespaces take these names over with `using namespace`.
namespace corvane::socket_test {

using platform::Error;
using platform::dispatch::Queue;
using platform::dispatch::QueuePtr;
using Bytes = std::vector<uint8_t>;

constexpr double kWait = 5.0;  // generous bound for events that must happen

inline Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// The raw sockaddr_in / sockaddr_in6 of the loopback address of `family` with `port`.
inline Bytes loopbackAddress(int family, uint16_t port) {
  if (family == AF_INET) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto* p = reinterpret_cast<const uint8_t*>(&sin);
    return Bytes(p, p + sizeof sin);
  }
  sockaddr_in6 sin6{};
  sin6.sin6_family = AF_INET6;
  sin6.sin6_port = htons(port);
  sin6.sin6_addr = in6addr_loopback;
  const auto* p = reinterpret_cast<const uint8_t*>(&sin6);
  return Bytes(p, p + sizeof sin6);
}

// The local port a descriptor is bound to (0 when unknown).
inline uint16_t boundPort(int fd) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
  return ss.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port)
                                 : ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
}

// An owned descriptor, closed on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    reset(o.release());
    return *this;
  }
  int get() const { return fd_; }
  int release() {
    int f = fd_;
    fd_ = -1;
    return f;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// The events a recording delegate saw, in order, each with the label of the queue its
// callback ran on; tests wait on it with a deadline. `E` has `kind`, `queueLabel` and a
// constructor from its kind. Any thread.
template <class E>
class EventLog {
 public:
  using Kind = typename E::Kind;

  std::vector<E> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<E> eventsOf(Kind kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<E> out;
    for (const E& e : events_) {
      if (e.kind == kind) out.push_back(e);
    }
    return out;
  }
  // The first event of `kind`, or an empty one of that kind.
  E first(Kind kind) {
    auto all = eventsOf(kind);
    return all.empty() ? E(kind) : all.front();
  }
  std::vector<Kind> kinds() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Kind> out;
    for (const E& e : events_) out.push_back(e.kind);
    return out;
  }
  size_t count(Kind kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    return countLocked(kind);
  }

  // Waits until at least `n` events of `kind` were recorded.
  bool waitForCount(Kind kind, size_t n, double seconds = kWait) {
    return waitUntil([&] { return countLocked(kind) >= n; }, seconds);
  }
  // Waits until `pred` (called with the lock held) holds.
  bool waitUntil(const std::function<bool()>& pred, double seconds = kWait) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(seconds), pred);
  }
  // For predicates of waitUntil.
  size_t countLocked(Kind kind) const {
    size_t n = 0;
    for (const E& e : events_) n += e.kind == kind ? 1 : 0;
    return n;
  }
  const std::vector<E>& eventsLocked() const { return events_; }

 protected:
  // From a delegate callback: records `e` with the current queue's label.
  void record(E e) {
    e.queueLabel = platform::dispatch::Queue::currentLabel();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(std::move(e));
    }
    cv_.notify_all();
  }
  // Runs `f` under the log's lock (for state a callback shares with the test).
  template <class F>
  auto locked(F&& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    return f();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<E> events_;
};

}  // namespace corvane::socket_test
