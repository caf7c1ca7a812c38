// Drives the TCP socket's reads (terminator search, length reads, available reads, the
// pre-buffer, caller buffers at an offset) through a real loopback connection: the input is a
// script of writes to the peer end and read requests on a GCDAsyncSocket wrapping the other.
//
// Script, one operation after another until the input ends:
//   0 n <n bytes>        write n bytes to the peer
//   1 L b                readDataToLength(L)
//   2 t <t bytes> m b    readDataToData(terminator of t bytes (0..7), cap m (0 = none))
//   3 c b                readDataWithTimeout(cap c (0 = none))
// (the operation byte is taken modulo 4). `b` chooses the buffer: below 0x80 the socket's
// own; otherwise a caller buffer of (b & 0x0F) header bytes, filled with the terminator's
// bytes (or 0xA5), plus ((b >> 4) & 7) * 8 bytes of room, read into at the header's end.
//
// After the script one read longer than the whole stream is queued and the peer closes its
// sending side, so the socket always ends with a disconnect (waited for with a deadline: a
// hang is a finding). Checked against a model of the stream: every completed read, in
// order, with its tag, bytes, caller-buffer header and size; refused requests never complete;
// partial-read reports stay below the read's length; the disconnect code (6 for a terminator
// read past its cap, else 7 for the end of the stream) at the first read the stream cannot
// satisfy. An available read may take any non-empty prefix of what is left (up to its cap):
// how much arrived is up to timing, so the model follows what the socket took.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "../fuzz_check.h"
#include "platform/dispatch/dispatch.h"
#include "sockets/gcd_async_socket.h"
#include "sockets/gcd_async_socket_delegate.h"
#include "sockets/gcd_async_socket_error.h"

namespace {

using namespace corvane;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kMaxStream = std::size_t{64} * 1024;  // the peer's writes never block on loopback
constexpr std::size_t kMaxReads = 256;
constexpr auto kDeadline = std::chrono::seconds(20);

enum class Kind { Length, Term, Available };

struct Request {
  Kind kind = Kind::Length;
  std::uint64_t length = 0;  // length read: its length; others: the cap (0 = none)
  Bytes term;
  bool callerBuffer = false;
  Bytes header;  // the caller buffer's bytes before the read's offset
  std::size_t room = 0;
  std::shared_ptr<Bytes> buffer;
  long tag = 0;
};

struct Completed {
  long tag = 0;
  Bytes data;
  const std::uint8_t* at = nullptr;  // where the delivered view starts
};

class Recorder : public GCDAsyncSocketDelegate {
 public:
  void socketDidReadData(const SocketPtr& /*sock*/, const SharedData& data, long tag) override {
    std::lock_guard<std::mutex> lock(mutex_);
    reads_.push_back({tag, data.toVector(), data.data()});
  }
  void socketDidReadPartialDataOfLength(const SocketPtr& /*sock*/, std::uint64_t partialLength,
                                        long tag) override {
    std::lock_guard<std::mutex> lock(mutex_);
    partial_[tag] += partialLength;
  }
  void socketDidDisconnect(const SocketPtr& /*sock*/,
                           const std::optional<platform::Error>& err) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!disconnected_) {
      disconnected_ = true;
      error_ = err;
      cv_.notify_all();
    }
  }
  bool waitForDisconnect() {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, kDeadline, [&] { return disconnected_; });
  }
  // Read only after the disconnect: nothing is recorded after it for this socket's reads.
  std::vector<Completed> reads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reads_;
  }
  std::map<long, std::uint64_t> partial() {
    std::lock_guard<std::mutex> lock(mutex_);
    return partial_;
  }
  std::optional<platform::Error> error() {
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Completed> reads_;
  std::map<long, std::uint64_t> partial_;
  bool disconnected_ = false;
  std::optional<platform::Error> error_;
};

void abortiveClose(int fd) {
  // No TIME_WAIT: millions of connections would otherwise exhaust the ephemeral ports.
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

// The listening socket on 127.0.0.1, made once.
int listener(std::uint16_t* port) {
  static std::uint16_t listenPort = 0;
  static const int fd = [] {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(s >= 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FUZZ_CHECK(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
    FUZZ_CHECK(::listen(s, 16) == 0);
    socklen_t len = sizeof addr;
    FUZZ_CHECK(::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0);
    listenPort = ntohs(addr.sin_port);
    return s;
  }();
  *port = listenPort;
  return fd;
}

// A connected pair: `*ours` for the socket under test, `*peer` for the writer.
void connectedPair(int* ours, int* peer) {
  std::uint16_t port = 0;
  const int l = listener(&port);
  *peer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  FUZZ_CHECK(*peer >= 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  FUZZ_CHECK(::connect(*peer, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
  *ours = ::accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
  FUZZ_CHECK(*ours >= 0);
  abortiveClose(*peer);
  abortiveClose(*ours);
  const int one = 1;
  ::setsockopt(*peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// False when the connection is gone: the socket under test closed (and reset) it.
bool writeAll(int fd, const std::uint8_t* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
    if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) return false;
    FUZZ_CHECK(n > 0);
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Reads input bytes in turn; past the end every byte reads as 0.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool done() const { return at_ >= size_; }
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  Bytes bytes(std::size_t n) {
    n = std::min(n, size_ - std::min(at_, size_));
    Bytes out(data_ + at_, data_ + at_ + n);
    at_ += n;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

void chooseBuffer(Request& r, std::uint8_t b) {
  if (b < 0x80) return;
  r.callerBuffer = true;
  const std::size_t headerLength = b & 0x0F;
  for (std::size_t i = 0; i < headerLength; ++i) {
    r.header.push_back(r.term.empty() ? std::uint8_t{0xA5} : r.term[i % r.term.size()]);
  }
  r.room = static_cast<std::size_t>((b >> 4) & 0x7) * 8;
  r.buffer = std::make_shared<Bytes>(r.header);
  r.buffer->resize(r.header.size() + r.room, 0x5A);
}

// Queues the request on the socket; false when the socket refuses it (it must never complete).
bool issue(GCDAsyncSocket& sock, Request& r) {
  const std::uint64_t offset = r.header.size();
  switch (r.kind) {
    case Kind::Length:
      if (r.callerBuffer) {
        sock.readDataToLength(r.length, -1, r.buffer, offset, r.tag);
      } else {
        sock.readDataToLength(r.length, -1, r.tag);
      }
      return r.length > 0;
    case Kind::Term:
      if (r.callerBuffer) {
        sock.readDataToData(r.term, -1, r.buffer, offset, r.length, r.tag);
      } else {
        sock.readDataToData(r.term, -1, r.length, r.tag);
      }
      return !r.term.empty() && (r.length == 0 || r.length >= r.term.size());
    case Kind::Available:
      if (r.callerBuffer) {
        sock.readDataWithTimeout(-1, r.buffer, offset, r.length, r.tag);
      } else {
        sock.readDataWithTimeout(-1, nullptr, 0, r.length, r.tag);
      }
      return true;
  }
  return false;
}

void checkCompletion(const Request& r, const Completed& c, const Bytes& expected) {
  FUZZ_CHECK(c.tag == r.tag);
  FUZZ_CHECK(c.data == expected);
  if (r.callerBuffer) {
    // The view is the caller's buffer just past its header, which the read left alone; the
    // buffer grew only as far as the read needed.
    const Bytes& buffer = *r.buffer;
    FUZZ_CHECK(buffer.size() == std::max(r.header.size() + r.room, r.header.size() + expected.size()));
    FUZZ_CHECK(std::equal(r.header.begin(), r.header.end(), buffer.begin()));
    FUZZ_CHECK(expected.empty() || c.at == buffer.data() + r.header.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto delegateQueue = platform::dispatch::Queue::createSerial("fuzz.tcp.delegate");

  Input in(data, size);
  Bytes stream;
  std::vector<Request> requests;
  std::vector<bool> accepted;
  // The script is parsed first: writes and requests then go out in its order.
  struct Step {
    bool write = false;
    Bytes bytes;
    std::size_t request = 0;
  };
  std::vector<Step> steps;
  while (!in.done() && requests.size() < kMaxReads) {
    const int op = in.byte() % 4;
    if (op == 0) {
      Bytes chunk = in.bytes(in.byte());
      if (stream.size() + chunk.size() > kMaxStream) break;
      stream.insert(stream.end(), chunk.begin(), chunk.end());
      steps.push_back({true, std::move(chunk), 0});
      continue;
    }
    Request r;
    r.tag = static_cast<long>(requests.size()) + 1;
    if (op == 1) {
      r.kind = Kind::Length;
      r.length = in.byte();
    } else if (op == 2) {
      r.kind = Kind::Term;
      r.term = in.bytes(in.byte() % 8);
      r.length = in.byte();
    } else {
      r.kind = Kind::Available;
      r.length = in.byte();
    }
    chooseBuffer(r, in.byte());
    steps.push_back({false, {}, requests.size()});
    requests.push_back(std::move(r));
  }
  // The final read no stream can satisfy: it waits for the end of the stream.
  Request last;
  last.kind = Kind::Length;
  last.length = stream.size() + 1;
  last.tag = static_cast<long>(requests.size()) + 1;
  steps.push_back({false, {}, requests.size()});
  requests.push_back(std::move(last));

  int ours = -1;
  int peer = -1;
  connectedPair(&ours, &peer);
  auto recorder = std::make_shared<Recorder>();
  platform::Error error;
  auto sock = GCDAsyncSocket::socketFromConnectedSocketFD(ours, recorder, delegateQueue, &error);
  FUZZ_CHECK(sock != nullptr);

  // The socket closes early only for a terminator read past its cap; its descriptor closes
  // with a reset then, and the peer's later writes fail.
  bool reset = false;
  for (Step& s : steps) {
    if (s.write) {
      reset = reset || !writeAll(peer, s.bytes.data(), s.bytes.size());
    } else {
      accepted.push_back(issue(*sock, requests[s.request]));
    }
  }
  if (::shutdown(peer, SHUT_WR) != 0) {
    FUZZ_CHECK(errno == ENOTCONN);
    reset = true;
  }
  if (!recorder->waitForDisconnect()) {
    std::fprintf(stderr, "no disconnect within the deadline\n");
    FUZZ_CHECK(false);
  }
  // Every callback queued before the disconnect callback has run by now (one serial queue).
  const auto reads = recorder->reads();
  const auto partial = recorder->partial();
  const auto closeError = recorder->error();

  // The model: which reads complete with which bytes, and the code of the close.
  std::size_t pos = 0;
  std::size_t next = 0;  // next completed read
  std::optional<GCDAsyncSocketErrorCode> expectedCode;
  for (std::size_t i = 0; i < requests.size() && !expectedCode; ++i) {
    if (!accepted[i]) continue;
    const Request& r = requests[i];
    const std::size_t left = stream.size() - pos;
    std::optional<std::size_t> take;
    if (r.kind == Kind::Length) {
      if (r.length <= left) take = static_cast<std::size_t>(r.length);
    } else if (r.kind == Kind::Term) {
      const auto from = stream.begin() + static_cast<std::ptrdiff_t>(pos);
      const auto found = std::search(from, stream.end(), r.term.begin(), r.term.end());
      const std::size_t end =
          found == stream.end() ? 0 : static_cast<std::size_t>(found - from) + r.term.size();
      if (found != stream.end() && (r.length == 0 || end <= r.length)) {
        take = end;
      } else if (r.length > 0 && left >= r.length) {
        expectedCode = GCDAsyncSocketErrorCode::readMaxedOut;
        break;
      }
    } else if (left > 0) {
      // Any non-empty prefix of what is left, within the cap.
      FUZZ_CHECK(next < reads.size());
      const std::size_t got = reads[next].data.size();
      FUZZ_CHECK(got >= 1 && got <= left && (r.length == 0 || got <= r.length));
      take = got;
    }
    if (!take) {
      expectedCode = GCDAsyncSocketErrorCode::connectionClosed;
      break;
    }
    FUZZ_CHECK(next < reads.size());
    const auto from = stream.begin() + static_cast<std::ptrdiff_t>(pos);
    checkCompletion(r, reads[next], Bytes(from, from + static_cast<std::ptrdiff_t>(*take)));
    const auto p = partial.find(r.tag);
    FUZZ_CHECK(p == partial.end() || p->second < *take);
    ++next;
    pos += *take;
  }
  FUZZ_CHECK(expectedCode.has_value());  // the final read never completes
  FUZZ_CHECK(next == reads.size());
  FUZZ_CHECK(closeError && closeError->domain == GCDAsyncSocketErrorDomain &&
             closeError->code == static_cast<long>(*expectedCode));
  FUZZ_CHECK(!reset || *expectedCode == GCDAsyncSocketErrorCode::readMaxedOut);

  sock.reset();
  ::close(peer);
  return 0;
}
