// Test helpers for the TCP socket: a recording delegate and plain POSIX peers on loopback.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "sockets/GCDAsyncSocket.h"

namespace corvane::tcp_test {

using platform::Error;
using platform::dispatch::Queue;
using platform::dispatch::QueuePtr;
using Bytes = std::vector<uint8_t>;
using SocketPtr = std::shared_ptr<GCDAsyncSocket>;

constexpr double kWait = 5.0;  // generous bound for events that must happen

inline Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline std::string text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// The dispatch layer opens its own descriptors (epoll, timer, worker threads) on first
// use; start it before taking a descriptor baseline.
inline void warmUpDispatch() {
  auto q = Queue::createSerial("test.warmup");
  auto timer = platform::dispatch::Source::createTimer(q);
  platform::dispatch::Semaphore fired;
  timer->setEventHandler([&] { fired.signal(); });
  timer->setTimer(0.0, platform::dispatch::kForever);
  timer->resume();
  fired.wait(kWait);
  timer->cancel();
  q->sync([] {});
  Queue::global()->sync([] {});
}

// Number of open descriptors of this process (after warming the dispatch layer up).
inline int countOpenFDs() {
  static const bool warm = (warmUpDispatch(), true);
  (void)warm;
  int n = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (dirent* e = ::readdir(dir)) {
      if (e->d_name[0] != '.') ++n;
    }
    ::closedir(dir);
    --n;  // the directory stream itself
  }
  return n;
}

// Waits (bounded, polling once per millisecond) until `pred` holds.
inline bool eventually(const std::function<bool()>& pred, double seconds = kWait) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

struct Event {
  enum Kind {
    Connect,
    ConnectUrl,
    Read,
    PartialRead,
    Write,
    PartialWrite,
    CloseReadStream,
    Disconnect,
    Accept,
    ReadTimeout,
    WriteTimeout,
  };
  explicit Event(Kind k) : kind(k) {}
  Kind kind;
  std::string host;  // host, or url
  uint16_t port = 0;
  Bytes data;
  long tag = 0;
  uint64_t length = 0;
  double elapsed = 0;
  std::optional<Error> error;
  bool nullSocket = false;
  GCDAsyncSocket* sockRaw = nullptr;  // not held: the delegate must not keep sockets alive
  SocketPtr newSocket;                // accepted sockets are kept, as an owner must
  std::string queueLabel;             // label of the queue the callback ran on
};

// Records every callback; tests wait on it with a deadline.
class RecordingDelegate : public GCDAsyncSocketDelegate {
 public:
  // Answers given to time-out questions, in order; none left = not implemented.
  std::deque<std::optional<double>> readTimeoutAnswers;
  std::deque<std::optional<double>> writeTimeoutAnswers;
  // Optional hooks run inside the callback (on the delegate queue).
  std::function<void(const SocketPtr&, const SharedData&, long)> onRead;
  std::function<void(const SocketPtr&, long)> onWrite;
  std::function<void(const SocketPtr&)> onConnect;
  std::function<void(const SocketPtr&, const SocketPtr&)> onAccept;
  std::function<void(const SocketPtr&, double elapsed)> onReadTimeout;
  QueuePtr queueForAccepted;

  void socketDidConnectToHost(const SocketPtr& sock, const std::string& host,
                              uint16_t port) override {
    Event e(Event::Connect);
    e.host = host;
    e.port = port;
    e.sockRaw = sock.get();
    if (onConnect) onConnect(sock);
    add(std::move(e));
  }
  void socketDidConnectToUrl(const SocketPtr& sock, const std::string& url) override {
    Event e(Event::ConnectUrl);
    e.host = url;
    e.sockRaw = sock.get();
    if (onConnect) onConnect(sock);
    add(std::move(e));
  }
  void socketDidReadData(const SocketPtr& sock, const SharedData& data, long tag) override {
    Event e(Event::Read);
    e.data = data.toVector();
    e.tag = tag;
    if (onRead) onRead(sock, data, tag);
    add(std::move(e));
  }
  void socketDidReadPartialDataOfLength(const SocketPtr&, uint64_t length, long tag) override {
    Event e(Event::PartialRead);
    e.length = length;
    e.tag = tag;
    add(std::move(e));
  }
  void socketDidWriteDataWithTag(const SocketPtr& sock, long tag) override {
    Event e(Event::Write);
    e.tag = tag;
    if (onWrite) onWrite(sock, tag);
    add(std::move(e));
  }
  void socketDidWritePartialDataOfLength(const SocketPtr&, uint64_t length, long tag) override {
    Event e(Event::PartialWrite);
    e.length = length;
    e.tag = tag;
    add(std::move(e));
  }
  std::optional<double> socketShouldTimeoutReadWithTag(const SocketPtr& sock, long tag,
                                                       double elapsed, uint64_t length) override {
    Event e(Event::ReadTimeout);
    e.tag = tag;
    e.elapsed = elapsed;
    e.length = length;
    std::optional<double> answer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!readTimeoutAnswers.empty()) {
        answer = readTimeoutAnswers.front();
        readTimeoutAnswers.pop_front();
      }
    }
    if (onReadTimeout) onReadTimeout(sock, elapsed);
    add(std::move(e));
    return answer;
  }
  std::optional<double> socketShouldTimeoutWriteWithTag(const SocketPtr&, long tag, double elapsed,
                                                        uint64_t length) override {
    Event e(Event::WriteTimeout);
    e.tag = tag;
    e.elapsed = elapsed;
    e.length = length;
    std::optional<double> answer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!writeTimeoutAnswers.empty()) {
        answer = writeTimeoutAnswers.front();
        writeTimeoutAnswers.pop_front();
      }
    }
    add(std::move(e));
    return answer;
  }
  void socketDidCloseReadStream(const SocketPtr& sock) override {
    Event e(Event::CloseReadStream);
    e.sockRaw = sock.get();
    add(std::move(e));
  }
  void socketDidDisconnect(const SocketPtr& sock, const std::optional<Error>& err) override {
    Event e(Event::Disconnect);
    e.error = err;
    e.nullSocket = sock == nullptr;
    add(std::move(e));
  }
  QueuePtr newSocketQueueForConnectionFromAddress(const Bytes&, const SocketPtr&) override {
    return queueForAccepted;
  }
  void socketDidAcceptNewSocket(const SocketPtr& sock, const SocketPtr& newSocket) override {
    Event e(Event::Accept);
    e.sockRaw = sock.get();
    e.newSocket = newSocket;
    if (onAccept) onAccept(sock, newSocket);
    add(std::move(e));
  }

  // Waits until at least `n` events of `kind` were recorded.
  bool waitFor(Event::Kind kind, size_t n = 1, double seconds = kWait) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(seconds),
                        [&] { return countLocked(kind) >= n; });
  }
  size_t count(Event::Kind kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    return countLocked(kind);
  }
  std::vector<Event> events(std::optional<Event::Kind> kind = std::nullopt) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!kind) return events_;
    std::vector<Event> out;
    for (const Event& e : events_) {
      if (e.kind == *kind) out.push_back(e);
    }
    return out;
  }
  Event first(Event::Kind kind) {
    auto all = events(kind);
    return all.empty() ? Event(kind) : all.front();
  }
  std::vector<Event::Kind> kinds() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Event::Kind> out;
    for (const Event& e : events_) out.push_back(e.kind);
    return out;
  }

 private:
  size_t countLocked(Event::Kind kind) const {
    size_t n = 0;
    for (const Event& e : events_) n += e.kind == kind ? 1 : 0;
    return n;
  }
  void add(Event e) {
    e.queueLabel = Queue::currentLabel();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(std::move(e));
    }
    cv_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Event> events_;
};

// ---- Plain POSIX peers ----

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

inline Bytes loopbackAddress(int family, uint16_t port) {
  if (family == AF_INET) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto* p = reinterpret_cast<const uint8_t*>(&a);
    return Bytes(p, p + sizeof a);
  }
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(port);
  a.sin6_addr = in6addr_loopback;
  const auto* p = reinterpret_cast<const uint8_t*>(&a);
  return Bytes(p, p + sizeof a);
}

// A listening socket on the loopback address of `family`; `*port` 0 = any (updated).
inline UniqueFd listenLoopback(int family, uint16_t* port, int backlog = 16) {
  UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fd;
  const int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (family == AF_INET6) ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  const Bytes addr = loopbackAddress(family, *port);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(addr.data()),
             static_cast<socklen_t>(addr.size())) != 0 ||
      ::listen(fd.get(), backlog) != 0) {
    return UniqueFd();
  }
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&ss), &len);
  *port = family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port)
                            : ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  return fd;
}

inline bool waitReadable(int fd, double seconds) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(seconds * 1000)) == 1;
}

inline UniqueFd acceptWithin(int listenFD, double seconds = kWait) {
  if (!waitReadable(listenFD, seconds)) return UniqueFd();
  return UniqueFd(::accept4(listenFD, nullptr, nullptr, SOCK_CLOEXEC));
}

// A blocking client connection to loopback.
inline UniqueFd connectLoopback(int family, uint16_t port) {
  UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const Bytes addr = loopbackAddress(family, port);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(addr.data()),
                static_cast<socklen_t>(addr.size())) != 0) {
    return UniqueFd();
  }
  return fd;
}

inline bool writeAll(int fd, const Bytes& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads exactly `n` bytes within the deadline.
inline bool readExactly(int fd, size_t n, Bytes* out, double seconds = kWait) {
  out->clear();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  uint8_t buf[65536];
  while (out->size() < n) {
    const auto left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !waitReadable(fd, left.count())) return false;
    const ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - out->size()));
    if (r <= 0) return false;
    out->insert(out->end(), buf, buf + r);
  }
  return true;
}

// True when the peer's end of stream (or reset) is seen within the deadline; data before it
// is discarded.
inline bool waitForEOF(int fd, double seconds = kWait) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  uint8_t buf[65536];
  for (;;) {
    const auto left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !waitReadable(fd, left.count())) return false;
    const ssize_t r = ::read(fd, buf, sizeof buf);
    if (r <= 0) return true;
  }
}

// A socket connected to a plain POSIX peer on loopback.
struct ConnectedPair {
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  QueuePtr delegateQueue = Queue::createSerial("test.delegate");
  SocketPtr sock;
  UniqueFd listener;
  UniqueFd peer;
  uint16_t port = 0;

  // Connects over `family`; returns false (with a test failure message) on trouble.
  bool open(int family = AF_INET) {
    listener = listenLoopback(family, &port);
    if (!listener) return false;
    sock = GCDAsyncSocket::create(delegate, delegateQueue);
    Error err;
    if (!sock->connectToAddress(loopbackAddress(family, port), 2.0, &err)) return false;
    peer = acceptWithin(listener.get());
    return peer && delegate->waitFor(Event::Connect);
  }
};

}  // namespace corvane::tcp_test
