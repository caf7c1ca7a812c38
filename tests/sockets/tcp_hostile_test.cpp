// Hostile peers, descriptor hygiene and a concurrent delegate queue.
#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <thread>

#include "tcp_support.h"

namespace corvane::tcp_test {
namespace {

using platform::dispatch::Priority;

std::string eightDigits(int n) {
  std::string t = std::to_string(n);
  return std::string(8 - std::min<size_t>(8, t.size()), '0') + t;
}

// Every public call must return promptly whatever the peer does.
template <class F>
double secondsFor(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(TcpHostile, PeerResettingMidWriteEndsInOneDisconnectWithAnError) {
  ConnectedPair pair;
  ASSERT_TRUE(pair.open());
  pair.sock->readDataWithTimeout(-1, 1);
  pair.sock->writeData(Bytes(32 * 1024 * 1024, 'x'), -1, 1);
  ASSERT_TRUE(pair.delegate->waitFor(Event::PartialWrite));
  // Abortive close: the peer sends a reset while our write is still in progress.
  resetConnection(pair.peer);
  ASSERT_TRUE(pair.delegate->waitFor(Event::Disconnect));
  EXPECT_TRUE(pair.delegate->first(Event::Disconnect).error.has_value());
  // Calls after the reset return at once and change nothing.
  EXPECT_LT(secondsFor([&] {
              pair.sock->writeData(SharedData::fromString("more"), -1, 2);
              pair.sock->readDataWithTimeout(-1, 2);
              EXPECT_FALSE(pair.sock->isConnected());
            }),
            1.0);
  EXPECT_FALSE(pair.delegate->waitFor(Event::Disconnect, 2, 0.2));
  EXPECT_EQ(pair.delegate->count(Event::Write), 0u);
}

TEST(TcpHostile, PeerResettingWhileWeOnlyReadEndsInOneDisconnectWithAnError) {
  ConnectedPair pair;
  ASSERT_TRUE(pair.open());
  pair.sock->readDataToLength(100, -1, 1);
  ASSERT_TRUE(writeAll(pair.peer.get(), bytes("partial")));
  ASSERT_TRUE(pair.delegate->waitFor(Event::PartialRead));
  resetConnection(pair.peer);
  ASSERT_TRUE(pair.delegate->waitFor(Event::Disconnect));
  EXPECT_TRUE(pair.delegate->first(Event::Disconnect).error.has_value());
  EXPECT_FALSE(pair.delegate->waitFor(Event::Disconnect, 2, 0.2));
}

TEST(TcpHostile, SilentPeerEndsInOneReadTimeout) {
  ConnectedPair pair;
  ASSERT_TRUE(pair.open());
  pair.sock->readDataToData(GCDAsyncSocket::CRLFData(), 0.1, 1);
  pair.sock->readDataToData(GCDAsyncSocket::CRLFData(), 0.1, 2);
  ASSERT_TRUE(pair.delegate->waitFor(Event::Disconnect));
  const auto e = pair.delegate->first(Event::Disconnect).error;
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code, static_cast<long>(Code::readTimeout));
  EXPECT_FALSE(pair.delegate->waitFor(Event::Disconnect, 2, 0.3));
  EXPECT_TRUE(waitForEOF(pair.peer.get()));
}

// The peer floods bytes without the terminator our line reads wait for: the cap ends it
// with code 6 and no call blocks meanwhile.
TEST(TcpHostile, FloodingPeerEndsInOneCapError) {
  ConnectedPair pair;
  ASSERT_TRUE(pair.open());
  std::atomic<bool> stop{false};
  const int peerFD = pair.peer.get();
  std::thread flooder([&] {
    const Bytes chunk(64 * 1024, 'z');
    while (!stop.load()) {
      pollfd p{peerFD, POLLOUT, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      if (::send(peerFD, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
          errno != EAGAIN) {
        break;  // our side closed
      }
    }
  });
  // Start reading only once the flood is under way.
  EXPECT_LT(secondsFor([&] {
              for (int i = 0; i < 100; ++i) pair.sock->isConnected();
              pair.sock->readDataToData(GCDAsyncSocket::LFData(), 5.0, 1024 * 1024, 1);
            }),
            2.0);
  ASSERT_TRUE(pair.delegate->waitFor(Event::Disconnect));
  stop = true;
  flooder.join();
  const auto e = pair.delegate->first(Event::Disconnect).error;
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code, static_cast<long>(Code::readMaxedOut));
  EXPECT_EQ(pair.delegate->count(Event::Disconnect), 1u);
  EXPECT_EQ(pair.delegate->count(Event::Read), 0u);
}

// A flood with nobody reading suspends the read source; closing then must still close the
// descriptor (both sources cancelled while suspended).
TEST(TcpHostile, DisconnectWithSuspendedSourcesClosesTheDescriptor) {
  const int fdsBefore = settledOpenFDCount();
  {
    ConnectedPair pair;
    ASSERT_TRUE(pair.open());
    pair.sock->setAutoDisconnectOnClosedReadStream(false);
    ASSERT_TRUE(writeAll(pair.peer.get(), Bytes(1000, 'q')));
    ::shutdown(pair.peer.get(), SHUT_WR);
    // Unread bytes, then the end of stream: nobody reads, so the read source is suspended.
    pair.sock->readDataToLength(1000, 2.0, 1);
    ASSERT_TRUE(pair.delegate->waitFor(Event::Read));
    // End of stream on a half-duplex socket: the read source is suspended as the callback
    // is sent; performBlock waits until that step has finished.
    ASSERT_TRUE(pair.delegate->waitFor(Event::CloseReadStream));
    pair.sock->performBlock([] {});
    pair.sock->disconnect();
    ASSERT_TRUE(pair.delegate->waitFor(Event::Disconnect));
    EXPECT_FALSE(pair.delegate->first(Event::Disconnect).error);
    EXPECT_TRUE(waitForEOF(pair.peer.get()));
  }
  EXPECT_TRUE(eventually([&] { return countOpenFDs() == fdsBefore; }))
      << countOpenFDs() << " vs " << fdsBefore;
}

// Many connect / talk / close rounds in all the ways a socket can end leave no descriptor.
TEST(TcpHostile, NoDescriptorLeaksOverManyConnections) {
  const int fdsBefore = settledOpenFDCount();
  {
    uint16_t port = 0;
    UniqueFd listener = listenLoopback(AF_INET, &port, 64);
    for (int round = 0; round < 20; ++round) {
      auto delegate = std::make_shared<RecordingDelegate>();
      auto sock = GCDAsyncSocket::create(delegate, Queue::createSerial("test.delegate"));
      Error err;
      ASSERT_TRUE(sock->connectToHost("localhost", port, 2.0, &err));
      UniqueFd peer = acceptWithin(listener.get());
      ASSERT_TRUE(delegate->waitFor(Event::Connect));
      sock->readDataToLength(2, 2.0, 1);
      writeAll(peer.get(), bytes("hi"));
      ASSERT_TRUE(delegate->waitFor(Event::Read));
      switch (round % 4) {
        case 0:
          sock->disconnect();
          break;
        case 1:
          peer.reset();
          sock->readDataWithTimeout(2.0, 2);
          break;
        case 2:
          sock->disconnectAfterReadingAndWriting();
          break;
        case 3:
          break;  // dropped while connected
      }
      if (round % 4 != 3) {
        ASSERT_TRUE(delegate->waitFor(Event::Disconnect));
      }
    }
  }
  EXPECT_TRUE(eventually([&] { return countOpenFDs() == fdsBefore; }))
      << countOpenFDs() << " vs " << fdsBefore;
}

// The receiver link's set-up: four sockets reporting on the global high-priority
// concurrent queue, each arming one read at a time from its callbacks.
TEST(TcpConcurrentDelegate, FourSocketsOnTheGlobalHighQueue) {
  struct Server {
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    SocketPtr listener = GCDAsyncSocket::create(delegate, Queue::createSerial("test.server"));
  } server;
  server.delegate->onAccept = [](const SocketPtr&, const SocketPtr& s) {
    s->readDataToLength(8, 5.0, 0);
  };
  server.delegate->onRead = [](const SocketPtr& s, const SharedData& d, long) {
    s->writeData(d, 5.0, 0);
    s->readDataToLength(8, 5.0, 0);
  };
  Error err;
  ASSERT_TRUE(server.listener->acceptOnInterface("127.0.0.1", 0, &err));
  uint16_t port = 0;
  server.listener->performBlock([&] { port = server.listener->localPort4(); });

  constexpr int kSockets = 4;
  constexpr int kRounds = 200;
  auto delegate = std::make_shared<RecordingDelegate>();
  std::atomic<int> inFlight{0};
  std::atomic<int> maxInFlight{0};
  std::atomic<int> completed{0};
  std::mutex mutex;
  std::map<GCDAsyncSocket*, int> rounds;
  delegate->onConnect = [&](const SocketPtr& s) {
    s->writeData(SharedData::fromString("00000000"), 5.0, 0);
    s->readDataToLength(8, 5.0, 0);
  };
  std::condition_variable overlapSeen;
  delegate->onRead = [&](const SocketPtr& s, const SharedData& d, long) {
    const int now = ++inFlight;
    int seen = maxInFlight.load();
    while (now > seen && !maxInFlight.compare_exchange_weak(seen, now)) {
    }
    int n;
    {
      std::unique_lock<std::mutex> lock(mutex);
      n = ++rounds[s.get()];
      // Each socket's first read waits (bounded) for another socket's callback to run at
      // the same time: on a concurrent delegate queue that always happens.
      if (now >= 2) overlapSeen.notify_all();
      if (n == 1) {
        overlapSeen.wait_for(lock, std::chrono::seconds(10), [&] { return maxInFlight >= 2; });
      }
    }
    EXPECT_EQ(d.toString(), eightDigits(n - 1));
    if (n < kRounds) {
      s->writeData(SharedData::fromString(eightDigits(n)), 5.0, n);
      s->readDataToLength(8, 5.0, n);
    } else {
      ++completed;
    }
    --inFlight;
  };
  std::vector<SocketPtr> sockets;
  for (int i = 0; i < kSockets; ++i) {
    sockets.push_back(GCDAsyncSocket::create(delegate, Queue::global(Priority::High)));
    ASSERT_TRUE(sockets.back()->connectToHost("127.0.0.1", port, 2.0, &err)) << err.description;
  }
  ASSERT_TRUE(eventually([&] { return completed.load() == kSockets; }, 30.0));
  EXPECT_GE(maxInFlight.load(), 2) << "callbacks of different sockets never overlapped";
  for (const Event& e : delegate->events(Event::Read)) EXPECT_EQ(e.queueLabel, "global.high");
  EXPECT_EQ(delegate->count(Event::Disconnect), 0u);
  for (auto& s : sockets) s->disconnect();
  ASSERT_TRUE(delegate->waitFor(Event::Disconnect, kSockets));
}

}  // namespace
}  // namespace corvane::tcp_test
