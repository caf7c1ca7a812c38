// Loopback speed of the TCP socket against plain blocking sockets, in one run:
// - bulk: writeDataWithTimeout with 64 KiB buffers (10 writes in flight, as the media
//   connections keep) vs. a blocking write() loop; the peer drains with blocking read().
// - ping-pong: 16-byte request / 16-byte response, the next request sent from the read
//   callback on the global high-priority queue (the control connection's pattern) vs. a
//   blocking write()/read() loop; the peer is the same blocking echo thread in both.
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
#include "sockets/GCDAsyncSocket.h"

namespace {

using corvane::GCDAsyncSocket;
using corvane::GCDAsyncSocketDelegate;
using corvane::SharedData;
using corvane::platform::Error;
using corvane::platform::dispatch::Priority;
using corvane::platform::dispatch::Queue;
using corvane::platform::dispatch::Semaphore;

constexpr size_t kChunk = 64 * 1024;
constexpr size_t kChunksPerIteration = 256;  // 16 MiB per iteration
constexpr int kInFlight = 10;
constexpr int kRoundTrips = 2000;
constexpr size_t kPing = 16;

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
struct Drain {
  std::mutex mutex;
  std::condition_variable cv;
  uint64_t received = 0;
  uint64_t target = ~0ull;
  std::thread thread;
  void start(int fd) {
    thread = std::thread([this, fd] {
      std::vector<uint8_t> buf(256 * 1024);
      for (;;) {
        const ssize_t r = ::read(fd, buf.data(), buf.size());
        if (r <= 0) return;
        std::lock_guard<std::mutex> lock(mutex);
        received += static_cast<uint64_t>(r);
        if (received >= target) cv.notify_one();
      }
    });
  }
  void waitFor(uint64_t total) {
    std::unique_lock<std::mutex> lock(mutex);
    target = total;
    cv.wait(lock, [&] { return received >= total; });
  }
};

// Echoes fixed-size messages with blocking calls.
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
  SharedData ping = SharedData(std::vector<uint8_t>(kPing, 'p'));

  void socketDidConnectToHost(const SocketPtr&, const std::string&, uint16_t) override {
    connected.signal();
  }
  void socketDidWriteDataWithTag(const SocketPtr&, long) override { slots.signal(); }
  std::atomic<long> partials{0};
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

std::shared_ptr<GCDAsyncSocket> connectAsync(const std::shared_ptr<BenchDelegate>& delegate,
                                             uint16_t port,
                                             const corvane::platform::dispatch::QueuePtr& dq) {
  auto sock = GCDAsyncSocket::create(delegate, dq);
  Error err;
  sock->connectToHost("127.0.0.1", port, 2.0, &err);
  delegate->connected.wait(5.0);
  return sock;
}

void BM_BulkBlockingWrite(benchmark::State& state) {
  uint16_t port = 0;
  const int listener = listenLoopback(&port);
  const int client = connectLoopback(port);
  const int server = ::accept(listener, nullptr, nullptr);
  Drain drain;
  drain.start(server);
  const std::vector<uint8_t> chunk(kChunk, 'b');
  uint64_t sent = 0;
  for (auto _ : state) {
    for (size_t i = 0; i < kChunksPerIteration; ++i) writeFull(client, chunk.data(), chunk.size());
    sent += kChunk * kChunksPerIteration;
    drain.waitFor(sent);
  }
  state.SetBytesProcessed(static_cast<int64_t>(sent));
  ::close(client);
  drain.thread.join();
  ::close(server);
  ::close(listener);
}
BENCHMARK(BM_BulkBlockingWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BulkWriteDataWithTimeout(benchmark::State& state) {
  uint16_t port = 0;
  const int listener = listenLoopback(&port);
  auto delegate = std::make_shared<BenchDelegate>();
  auto sock = connectAsync(delegate, port, Queue::global(Priority::High));
  const int server = ::accept(listener, nullptr, nullptr);
  Drain drain;
  drain.start(server);
  const SharedData chunk(std::vector<uint8_t>(kChunk, 'a'));
  uint64_t sent = 0;
  for (auto _ : state) {
    for (size_t i = 0; i < kChunksPerIteration; ++i) {
      delegate->slots.wait();
      sock->writeData(chunk, 5.0, static_cast<long>(i));
    }
    sent += kChunk * kChunksPerIteration;
    drain.waitFor(sent);
  }
  for (int i = 0; i < kInFlight; ++i) delegate->slots.wait(5.0);
  state.SetBytesProcessed(static_cast<int64_t>(sent));
  state.counters["partial_passes_per_write"] =
      static_cast<double>(delegate->partials.load()) / static_cast<double>(sent / kChunk);
  sock->disconnect();
  drain.thread.join();
  ::close(server);
  ::close(listener);
}
BENCHMARK(BM_BulkWriteDataWithTimeout)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PingPongBlocking(benchmark::State& state) {
  uint16_t port = 0;
  const int listener = listenLoopback(&port);
  const int client = connectLoopback(port);
  const int server = ::accept(listener, nullptr, nullptr);
  std::thread echo = startEcho(server);
  uint8_t ping[kPing];
  std::memset(ping, 'p', sizeof ping);
  uint8_t pong[kPing];
  for (auto _ : state) {
    for (int i = 0; i < kRoundTrips; ++i) {
      writeFull(client, ping, kPing);
      readFull(client, pong, kPing);
    }
  }
  state.SetItemsProcessed(state.iterations() * kRoundTrips);
  state.counters["round_trip"] =
      benchmark::Counter(static_cast<double>(state.iterations() * kRoundTrips),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  ::close(client);
  echo.join();
  ::close(server);
  ::close(listener);
}
BENCHMARK(BM_PingPongBlocking)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PingPongAsyncSocket(benchmark::State& state) {
  uint16_t port = 0;
  const int listener = listenLoopback(&port);
  auto delegate = std::make_shared<BenchDelegate>();
  auto sock = connectAsync(delegate, port, Queue::global(Priority::High));
  const int server = ::accept(listener, nullptr, nullptr);
  std::thread echo = startEcho(server);
  for (auto _ : state) {
    delegate->roundTripsLeft = kRoundTrips;
    sock->writeData(delegate->ping, -1, 1);
    sock->readDataToLength(kPing, -1, 2);
    delegate->finished.wait();
  }
  state.SetItemsProcessed(state.iterations() * kRoundTrips);
  state.counters["round_trip"] =
      benchmark::Counter(static_cast<double>(state.iterations() * kRoundTrips),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  sock->disconnect();
  echo.join();
  ::close(server);
  ::close(listener);
}
BENCHMARK(BM_PingPongAsyncSocket)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
