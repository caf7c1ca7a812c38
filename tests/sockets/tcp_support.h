// Test helpers for the TCP socket: a recording delegate and plain POSIX peers on loopback.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "socket_test_support.h"
#include "sockets/gcd_async_socket.h"

namespace corvane::tcp_test {

using namespace socket_test;
using SocketPtr = std::shared_ptr<GCDAsyncSocket>;
using Code = GCDAsyncSocketErrorCode;

// True for an error of the socket's own domain with `code`.
inline bool isCode(const std::optional<Error>& e, Code code) {
  return e && e->domain == GCDAsyncSocketErrorDomain && e->code == static_cast<long>(code);
}

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

// The descriptor count to compare with after a test: earlier tests' sockets close on their
// queues a moment after those tests end, so the count is taken once it has stayed the same
// for 50 ms (polling every millisecond, at most 2 s).
inline int settledOpenFDCount() {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  int count = countOpenFDs();
  auto unchangedSince = Clock::now();
  while (Clock::now() < deadline && Clock::now() - unchangedSince < std::chrono::milliseconds(50)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const int now = countOpenFDs();
    if (now != count) {
      count = now;
      unchangedSince = Clock::now();
    }
  }
  return count;
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
    Secure,
    Trust,
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
class RecordingDelegate : public GCDAsyncSocketDelegate, public socket_test::EventLog<Event> {
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
  std::function<void(const SocketPtr&)> onSecure;
  // Manual trust evaluation; unset = not implemented. Called with the trust and the handler.
  std::function<void(const std::shared_ptr<platform::secure_transport::SecTrust>&,
                     std::function<void(bool)>)>
      onTrust;
  QueuePtr queueForAccepted;

  void socketDidConnectToHost(const SocketPtr& sock, const std::string& host,
                              uint16_t port) override {
    Event e(Event::Connect);
    e.host = host;
    e.port = port;
    e.sockRaw = sock.get();
    if (onConnect) onConnect(sock);
    record(std::move(e));
  }
  void socketDidConnectToUrl(const SocketPtr& sock, const std::string& url) override {
    Event e(Event::ConnectUrl);
    e.host = url;
    e.sockRaw = sock.get();
    if (onConnect) onConnect(sock);
    record(std::move(e));
  }
  void socketDidReadData(const SocketPtr& sock, const SharedData& data, long tag) override {
    Event e(Event::Read);
    e.data = data.toVector();
    e.tag = tag;
    if (onRead) onRead(sock, data, tag);
    record(std::move(e));
  }
  void socketDidReadPartialDataOfLength(const SocketPtr&, uint64_t length, long tag) override {
    Event e(Event::PartialRead);
    e.length = length;
    e.tag = tag;
    record(std::move(e));
  }
  void socketDidWriteDataWithTag(const SocketPtr& sock, long tag) override {
    Event e(Event::Write);
    e.tag = tag;
    if (onWrite) onWrite(sock, tag);
    record(std::move(e));
  }
  void socketDidWritePartialDataOfLength(const SocketPtr&, uint64_t length, long tag) override {
    Event e(Event::PartialWrite);
    e.length = length;
    e.tag = tag;
    record(std::move(e));
  }
  std::optional<double> socketShouldTimeoutReadWithTag(const SocketPtr& sock, long tag,
                                                       double elapsed, uint64_t length) override {
    const std::optional<double> answer = nextAnswer(readTimeoutAnswers);
    if (onReadTimeout) onReadTimeout(sock, elapsed);
    record(timeoutEvent(Event::ReadTimeout, tag, elapsed, length));
    return answer;
  }
  std::optional<double> socketShouldTimeoutWriteWithTag(const SocketPtr&, long tag, double elapsed,
                                                        uint64_t length) override {
    const std::optional<double> answer = nextAnswer(writeTimeoutAnswers);
    record(timeoutEvent(Event::WriteTimeout, tag, elapsed, length));
    return answer;
  }
  void socketDidCloseReadStream(const SocketPtr& sock) override {
    Event e(Event::CloseReadStream);
    e.sockRaw = sock.get();
    record(std::move(e));
  }
  void socketDidDisconnect(const SocketPtr& sock, const std::optional<Error>& err) override {
    Event e(Event::Disconnect);
    e.error = err;
    e.nullSocket = sock == nullptr;
    record(std::move(e));
  }
  void socketDidSecure(const SocketPtr& sock) override {
    Event e(Event::Secure);
    e.sockRaw = sock.get();
    if (onSecure) onSecure(sock);
    record(std::move(e));
  }
  bool socketDidReceiveTrust(const SocketPtr& sock,
                             const std::shared_ptr<platform::secure_transport::SecTrust>& trust,
                             std::function<void(bool)> completionHandler) override {
    if (!onTrust) return false;
    Event e(Event::Trust);
    e.sockRaw = sock.get();
    record(std::move(e));
    onTrust(trust, std::move(completionHandler));
    return true;
  }
  QueuePtr newSocketQueueForConnectionFromAddress(const Bytes&, const SocketPtr&) override {
    return queueForAccepted;
  }
  void socketDidAcceptNewSocket(const SocketPtr& sock, const SocketPtr& newSocket) override {
    Event e(Event::Accept);
    e.sockRaw = sock.get();
    e.newSocket = newSocket;
    if (onAccept) onAccept(sock, newSocket);
    record(std::move(e));
  }

  // Waits until at least `n` events of `kind` were recorded.
  bool waitFor(Event::Kind kind, size_t n = 1, double seconds = kWait) {
    return waitForCount(kind, n, seconds);
  }
  // Every event, or those of `kind`.
  std::vector<Event> events(std::optional<Event::Kind> kind = std::nullopt) {
    return kind ? eventsOf(*kind) : EventLog::events();
  }

 private:
  static Event timeoutEvent(Event::Kind kind, long tag, double elapsed, uint64_t length) {
    Event e(kind);
    e.tag = tag;
    e.elapsed = elapsed;
    e.length = length;
    return e;
  }
  // The next scripted answer to a time-out question; none left = not implemented.
  std::optional<double> nextAnswer(std::deque<std::optional<double>>& answers) {
    return locked([&] {
      std::optional<double> answer;
      if (!answers.empty()) {
        answer = answers.front();
        answers.pop_front();
      }
      return answer;
    });
  }
};

// ---- Plain POSIX peers ----

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
  *port = socket_test::boundPort(fd.get());
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

// A test whose socket is connected to a plain peer before it starts.
class ConnectedPairTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pair.open()); }
  ConnectedPair pair;
};

// Makes the peer reset the connection (abortive close) instead of ending it cleanly.
inline void resetConnection(UniqueFd& peer) {
  linger lg{1, 0};
  ::setsockopt(peer.get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  peer.reset();
}

// A request that must fail at once with an error of the socket's domain: made on a fresh
// socket after the optional `setup`.
struct RequestErrorCase {
  const char* name;
  std::function<bool(const SocketPtr&, Error*)> call;
  std::function<void(const SocketPtr&)> setup;
  Code code;
  const char* text;
};

inline void expectRequestErrors(const std::vector<RequestErrorCase>& cases,
                                const std::shared_ptr<RecordingDelegate>& delegate,
                                const QueuePtr& delegateQueue) {
  for (const RequestErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto sock = GCDAsyncSocket::create(delegate, delegateQueue);
    if (c.setup) c.setup(sock);
    Error err;
    EXPECT_FALSE(c.call(sock, &err));
    EXPECT_EQ(err.domain, GCDAsyncSocketErrorDomain);
    EXPECT_EQ(err.code, static_cast<long>(c.code));
    EXPECT_EQ(err.description, c.text);
  }
}

}  // namespace corvane::tcp_test
