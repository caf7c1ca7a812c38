// Loopback speed of the TCP socket against plain blocking sockets, measured in pairs: every
// iteration runs one batch over a plain blocking connection and one over a GCDAsyncSocket
// connection (alternating which goes first), so that both see the same machine load. Both
// connections are set up and warmed up (pool threads started, TCP windows grown) before the
// timing starts; each benchmark repeats several times and reports the median.
// - bulk: 64 KiB buffers, writeDataWithTimeout with 10 writes in flight (as the media
//   connections keep) vs. a blocking write() loop of the same buffers; on both, the peer
//   drains with blocking read() into the same 256 KiB buffer. Counter `ratio` is the
//   socket's throughput over the blocking loop's (target >= 0.8).
// - ping-pong: 16-byte request / 16-byte response; the socket sends the next request from
//   its read callback on the global high-priority queue (the control connection's pattern),
//   the plain side runs a blocking write()/read() loop; the echo peer is the same blocking
//   thread code on both. Counter `rtt_ratio` is the socket's round trip over the plain one
//   (target <= 2).
// - TLS bulk: the same 64 KiB writes (10 in flight) from one GCDAsyncSocket to another that
//   reads whatever is available, once plain and once after startTLS on both (TLS 1.3,
//   certificates made with the openssl tool). Counter `tls_ratio` is the encrypted
//   throughput over the plain one.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "sockets/gcd_async_socket.h"
#include "support/test_certificates.h"

namespace {

using corvane::GCDAsyncSocket;
using corvane::GCDAsyncSocketDelegate;
using corvane::SharedData;
using corvane::platform::Error;
using corvane::platform::dispatch::Priority;
using corvane::platform::dispatch::Queue;
using corvane::platform::dispatch::Semaphore;
using Clock = std::chrono::steady_clock;

constexpr size_t kChunk = 64 * 1024;
constexpr size_t kChunksPerBatch = 256;  // 16 MiB per batch
constexpr uint64_t kBatchBytes = kChunk * kChunksPerBatch;
constexpr int kInFlight = 10;
constexpr int kRoundTrips = 500;
constexpr size_t kPing = 16;
constexpr int kWarmUpBatches = 2;
constexpr int kRepetitions = 5;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

int listenLoopback(uint16_t* port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(fd, 4);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

int connectLoopback(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
  return fd;
}

bool readFull(int fd, uint8_t* buf, size_t n) {
  size_t done = 0;
  while (done < n) {
    const ssize_t r = ::read(fd, buf + done, n - done);
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

bool writeFull(int fd, const uint8_t* buf, size_t n) {
  size_t done = 0;
  while (done < n) {
    const ssize_t r = ::send(fd, buf + done, n - done, MSG_NOSIGNAL);
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

// Drains a connection with blocking reads, counting bytes; `waitFor` sleeps (no spinning,
// which would steal CPU from the writer) until a total has arrived.
class Drain {
 public:
  explicit Drain(int fd) {
    thread_ = std::thread([this, fd] {
      std::vector<uint8_t> buf(256 * 1024);
      for (;;) {
        const ssize_t r = ::read(fd, buf.data(), buf.size());
        if (r <= 0) return;
        std::lock_guard<std::mutex> lock(mutex_);
        received_ += static_cast<uint64_t>(r);
        if (received_ >= target_) cv_.notify_one();
      }
    });
  }
  ~Drain() { thread_.join(); }  // the writer closes its end first
  void waitFor(uint64_t total) {
    std::unique_lock<std::mutex> lock(mutex_);
    target_ = total;
    cv_.wait(lock, [&] { return received_ >= total; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  uint64_t received_ = 0;
  uint64_t target_ = ~0ull;
  std::thread thread_;
};

// Echoes fixed-size messages with blocking calls until the peer closes.
std::thread startEcho(int fd) {
  return std::thread([fd] {
    uint8_t buf[kPing];
    while (readFull(fd, buf, kPing) && writeFull(fd, buf, kPing)) {
    }
  });
}

class BenchDelegate : public GCDAsyncSocketDelegate {
 public:
  Semaphore connected;
  Semaphore slots{kInFlight};
  Semaphore finished;
  std::atomic<int> roundTripsLeft{0};
  std::atomic<long> partials{0};
  SharedData ping = SharedData(std::vector<uint8_t>(kPing, 'p'));

  void socketDidConnectToHost(const SocketPtr&, const std::string&, uint16_t) override {
    connected.signal();
  }
  void socketDidWriteDataWithTag(const SocketPtr&, long) override { slots.signal(); }
  void socketDidWritePartialDataOfLength(const SocketPtr&, uint64_t, long) override { ++partials; }
  void socketDidReadData(const SocketPtr& sock, const SharedData&, long) override {
    if (--roundTripsLeft > 0) {
      sock->writeData(ping, -1, 1);
      sock->readDataToLength(kPing, -1, 2);
    } else {
      finished.signal();
    }
  }
};

// Measures the two sides in pairs: warm-up batches first, then per iteration one batch of
// each, alternating which goes first; adds up the time of each side's batches.
template <class PlainBatch, class SocketBatch>
void runPaired(benchmark::State& state, PlainBatch plainBatch, SocketBatch socketBatch,
               Clock::duration* plainTime, Clock::duration* socketTime) {
  for (int i = 0; i < kWarmUpBatches; ++i) {
    plainBatch();
    socketBatch();
  }
  bool plainFirst = true;
  for (auto _ : state) {
    for (int side = 0; side < 2; ++side) {
      const bool plain = (side == 0) == plainFirst;
      const auto start = Clock::now();
      if (plain) {
        plainBatch();
      } else {
        socketBatch();
      }
      *(plain ? plainTime : socketTime) += Clock::now() - start;
    }
    plainFirst = !plainFirst;
  }
}

// A plain blocking connection and a GCDAsyncSocket connection, each with its own blocking
// peer on the accepting side.
struct Pair {
  int listener = -1;
  int plainClient = -1;
  int plainServer = -1;
  std::shared_ptr<BenchDelegate> delegate = std::make_shared<BenchDelegate>();
  std::shared_ptr<GCDAsyncSocket> sock;
  int sockServer = -1;

  Pair() {
    uint16_t port = 0;
    listener = listenLoopback(&port);
    plainClient = connectLoopback(port);
    plainServer = ::accept(listener, nullptr, nullptr);
    sock = GCDAsyncSocket::create(delegate, Queue::global(Priority::High));
    Error err;
    if (!sock->connectToHost("127.0.0.1", port, 2.0, &err) || !delegate->connected.wait(5.0)) {
      std::fprintf(stderr, "sockets_bench: connect failed\n");
      std::abort();
    }
    sockServer = ::accept(listener, nullptr, nullptr);
  }
  // Closes the client ends (the peers then finish), then the rest.
  void closeClients() {
    ::close(plainClient);
    sock->disconnect();
  }
  ~Pair() {
    ::close(plainServer);
    ::close(sockServer);
    ::close(listener);
  }
};

void BM_Bulk(benchmark::State& state) {
  Pair pair;
  Drain plainDrain(pair.plainServer);
  Drain sockDrain(pair.sockServer);
  const std::vector<uint8_t> plainChunk(kChunk, 'b');
  const SharedData sockChunk(std::vector<uint8_t>(kChunk, 'a'));
  uint64_t plainSent = 0;
  uint64_t sockSent = 0;

  auto plainBatch = [&] {
    for (size_t i = 0; i < kChunksPerBatch; ++i) {
      writeFull(pair.plainClient, plainChunk.data(), plainChunk.size());
    }
    plainSent += kBatchBytes;
    plainDrain.waitFor(plainSent);
  };
  // A socket batch ends when the peer has every byte and every completion has arrived (so
  // that none overlaps the next plain batch).
  auto sockBatch = [&] {
    for (size_t i = 0; i < kChunksPerBatch; ++i) {
      pair.delegate->slots.wait();
      pair.sock->writeData(sockChunk, 5.0, static_cast<long>(i));
    }
    sockSent += kBatchBytes;
    sockDrain.waitFor(sockSent);
    for (int i = 0; i < kInFlight; ++i) pair.delegate->slots.wait(5.0);
    for (int i = 0; i < kInFlight; ++i) pair.delegate->slots.signal();
  };

  Clock::duration plainTime{0};
  Clock::duration sockTime{0};
  runPaired(state, plainBatch, sockBatch, &plainTime, &sockTime);
  const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(kBatchBytes);
  state.counters["plain_MiBps"] = bytes / seconds(plainTime) / (1024.0 * 1024.0);
  state.counters["socket_MiBps"] = bytes / seconds(sockTime) / (1024.0 * 1024.0);
  state.counters["ratio"] = seconds(plainTime) / seconds(sockTime);
  state.counters["partial_passes_per_write"] =
      static_cast<double>(pair.delegate->partials.load()) /
      (static_cast<double>(state.iterations() + kWarmUpBatches) * kChunksPerBatch);
  pair.closeClients();
}
BENCHMARK(BM_Bulk)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(kRepetitions)
    ->DisplayAggregatesOnly(true);

void BM_PingPong(benchmark::State& state) {
  Pair pair;
  std::thread plainEcho = startEcho(pair.plainServer);
  std::thread sockEcho = startEcho(pair.sockServer);
  uint8_t ping[kPing];
  std::memset(ping, 'p', sizeof ping);
  uint8_t pong[kPing];

  auto plainBatch = [&] {
    for (int i = 0; i < kRoundTrips; ++i) {
      writeFull(pair.plainClient, ping, kPing);
      readFull(pair.plainClient, pong, kPing);
    }
  };
  auto sockBatch = [&] {
    pair.delegate->roundTripsLeft = kRoundTrips;
    pair.sock->writeData(pair.delegate->ping, -1, 1);
    pair.sock->readDataToLength(kPing, -1, 2);
    pair.delegate->finished.wait();
  };

  Clock::duration plainTime{0};
  Clock::duration sockTime{0};
  runPaired(state, plainBatch, sockBatch, &plainTime, &sockTime);
  const double trips = static_cast<double>(state.iterations()) * kRoundTrips;
  state.counters["plain_rtt_us"] = seconds(plainTime) / trips * 1e6;
  state.counters["socket_rtt_us"] = seconds(sockTime) / trips * 1e6;
  state.counters["rtt_ratio"] = seconds(sockTime) / seconds(plainTime);
  pair.closeClients();
  plainEcho.join();
  sockEcho.join();
}
BENCHMARK(BM_PingPong)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(kRepetitions)
    ->DisplayAggregatesOnly(true);

// Both ends GCDAsyncSockets: the server side reads whatever is available and counts it.
class CountingServer : public GCDAsyncSocketDelegate {
 public:
  explicit CountingServer(bool tls) : tls_(tls) {}
  Semaphore accepted;
  Semaphore secured;
  std::shared_ptr<GCDAsyncSocket> connection;

  void socketDidAcceptNewSocket(const SocketPtr&, const SocketPtr& newSocket) override {
    connection = newSocket;
    if (tls_) {
      const auto& certs = corvane::test_support::TestCertificates::get();
      newSocket->startTLS(
          {{corvane::platform::secure_transport::kCFStreamSSLIsServer, true},
           {corvane::platform::secure_transport::kCFStreamSSLCertificates, certs.serverList()}});
    }
    newSocket->readDataWithTimeout(-1, 0);
    accepted.signal();
  }
  void socketDidSecure(const SocketPtr&) override { secured.signal(); }
  void socketDidReadData(const SocketPtr& sock, const SharedData& data, long) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_ += data.size();
      if (received_ >= target_) cv_.notify_one();
    }
    sock->readDataWithTimeout(-1, 0);
  }
  void waitFor(uint64_t total) {
    std::unique_lock<std::mutex> lock(mutex_);
    target_ = total;
    cv_.wait(lock, [&] { return received_ >= total; });
  }

 private:
  bool tls_;
  std::mutex mutex_;
  std::condition_variable cv_;
  uint64_t received_ = 0;
  uint64_t target_ = ~0ull;
};

struct SocketToSocket {
  std::shared_ptr<CountingServer> server;
  std::shared_ptr<GCDAsyncSocket> listener;
  std::shared_ptr<BenchDelegate> delegate = std::make_shared<BenchDelegate>();
  std::shared_ptr<GCDAsyncSocket> sock;
  uint64_t sent = 0;

  explicit SocketToSocket(bool tls) : server(std::make_shared<CountingServer>(tls)) {
    listener = GCDAsyncSocket::create(server, Queue::createSerial("bench.server"));
    Error err;
    uint16_t port = 0;
    if (!listener->acceptOnInterface("127.0.0.1", 0, &err)) std::abort();
    listener->performBlock([&] { port = listener->localPort4(); });
    sock = GCDAsyncSocket::create(delegate, Queue::global(Priority::High));
    if (!sock->connectToHost("127.0.0.1", port, 2.0, &err) || !delegate->connected.wait(5.0) ||
        !server->accepted.wait(5.0)) {
      std::fprintf(stderr, "sockets_bench: connect failed\n");
      std::abort();
    }
    if (tls) {
      sock->startTLS(
          {{corvane::platform::secure_transport::kCFStreamSSLPeerName, std::string("localhost")}});
      if (!server->secured.wait(5.0)) {
        std::fprintf(stderr, "sockets_bench: TLS handshake failed\n");
        std::abort();
      }
    }
  }
  void batch(const SharedData& chunk) {
    for (size_t i = 0; i < kChunksPerBatch; ++i) {
      delegate->slots.wait();
      sock->writeData(chunk, 5.0, static_cast<long>(i));
    }
    sent += kBatchBytes;
    server->waitFor(sent);
    for (int i = 0; i < kInFlight; ++i) delegate->slots.wait(5.0);
    for (int i = 0; i < kInFlight; ++i) delegate->slots.signal();
  }
  ~SocketToSocket() {
    sock->disconnect();
    listener->disconnect();
    if (server->connection) server->connection->disconnect();
  }
};

void BM_TlsBulk(benchmark::State& state) {
  const auto& certs = corvane::test_support::TestCertificates::get();
  if (!certs.error.empty()) {
    state.SkipWithError(certs.error.c_str());
    return;
  }
  corvane::platform::secure_transport::setAdditionalSystemAnchors({certs.ca});
  SocketToSocket plain(false);
  SocketToSocket tls(true);
  const SharedData chunk(std::vector<uint8_t>(kChunk, 'c'));
  Clock::duration plainTime{0};
  Clock::duration tlsTime{0};
  runPaired(
      state, [&] { plain.batch(chunk); }, [&] { tls.batch(chunk); }, &plainTime, &tlsTime);
  const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(kBatchBytes);
  state.counters["plain_MiBps"] = bytes / seconds(plainTime) / (1024.0 * 1024.0);
  state.counters["tls_MiBps"] = bytes / seconds(tlsTime) / (1024.0 * 1024.0);
  state.counters["tls_ratio"] = seconds(plainTime) / seconds(tlsTime);
}
BENCHMARK(BM_TlsBulk)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(kRepetitions)
    ->DisplayAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
