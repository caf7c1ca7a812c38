// Connecting and closing against real loopback peers.
#include <gtest/gtest.h>

#include <cstring>

#include "tcp_support.h"

namespace corvane::tcp_test {
namespace {

// A listener whose accept queue is full, so that further connects hang in SYN retries.
struct SilentListener {
  UniqueFd listener;
  UniqueFd filler;
  uint16_t port = 0;
  bool open() {
    listener = listenLoopback(AF_INET, &port, 0);
    if (!listener) return false;
    filler = connectLoopback(AF_INET, port);  // occupies the only queue slot
    if (!filler) return false;
    // Check that a further connect really hangs.
    UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const Bytes addr = loopbackAddress(AF_INET, port);
    ::connect(probe.get(), reinterpret_cast<const sockaddr*>(addr.data()),
              static_cast<socklen_t>(addr.size()));
    pollfd p{probe.get(), POLLOUT, 0};
    return ::poll(&p, 1, 200) == 0;
  }
};

struct FamilyCase {
  const char* name;
  bool preferIPv6;
  bool listen4;
  bool listen6;
  int expectFamily;  // 0 = refused
};

class TcpConnectFamily : public ::testing::TestWithParam<FamilyCase> {};

// "localhost" resolves to 127.0.0.1 and ::1 without the resolver; the preferred family
// goes first and the other starts after the alternate-address delay.
TEST_P(TcpConnectFamily, LocalhostPicksTheFamilyThatAnswers) {
  const FamilyCase& c = GetParam();
  const int fdsBefore = settledOpenFDCount();
  {
    uint16_t port = 0;
    UniqueFd l4;
    UniqueFd l6;
    // Find a port free in both families, then listen where the case wants.
    UniqueFd probe = listenLoopback(AF_INET, &port);
    ASSERT_TRUE(probe);
    uint16_t port6 = port;
    UniqueFd probe6 = listenLoopback(AF_INET6, &port6);
    if (!probe6) GTEST_SKIP() << "no IPv6 loopback";
    if (!c.listen4) probe.reset();
    if (!c.listen6) probe6.reset();
    l4 = std::move(probe);
    l6 = std::move(probe6);

    auto delegate = std::make_shared<RecordingDelegate>();
    auto sock = GCDAsyncSocket::create(delegate, Queue::createSerial("test.delegate"));
    sock->setIPv4PreferredOverIPv6(!c.preferIPv6);
    sock->setAlternateAddressDelay(0.1);
    Error err;
    ASSERT_TRUE(sock->connectToHost("localhost", port, 2.0, &err)) << err.description;

    if (c.expectFamily == 0) {
      ASSERT_TRUE(delegate->waitFor(Event::Disconnect));
      const auto e = delegate->first(Event::Disconnect).error;
      ASSERT_TRUE(e);
      EXPECT_EQ(e->code, ECONNREFUSED);
      EXPECT_EQ(e->failureReason, "Error in connect() function");
      EXPECT_EQ(delegate->count(Event::Connect), 0u);
      return;
    }
    ASSERT_TRUE(delegate->waitFor(Event::Connect));
    const Event connected = delegate->first(Event::Connect);
    EXPECT_EQ(connected.host, c.expectFamily == AF_INET ? "127.0.0.1" : "::1");
    EXPECT_EQ(connected.port, port);
    EXPECT_EQ(sock->isIPv4(), c.expectFamily == AF_INET);
    EXPECT_EQ(sock->isIPv6(), c.expectFamily == AF_INET6);
    EXPECT_TRUE(sock->isConnected());
    // The losing family never reaches its listener.
    const int loser = c.expectFamily == AF_INET ? l6.get() : l4.get();
    if (loser >= 0) {
      EXPECT_FALSE(waitReadable(loser, 0.3));
    }
    sock->disconnect();
    ASSERT_TRUE(delegate->waitFor(Event::Disconnect));
    EXPECT_FALSE(delegate->first(Event::Disconnect).error);
    sock.reset();
  }
  EXPECT_TRUE(eventually([&] { return countOpenFDs() == fdsBefore; }));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TcpConnectFamily,
    ::testing::Values(FamilyCase{"ipv4First", false, true, true, AF_INET},
                      FamilyCase{"ipv6Favoured", true, true, true, AF_INET6},
                      FamilyCase{"onlyIpv6Answers", false, false, true, AF_INET6},
                      FamilyCase{"onlyIpv4AnswersIpv6Favoured", true, true, false, AF_INET},
                      FamilyCase{"refused", false, false, false, 0}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(TcpConnect, TimeoutZeroFiresAtOnceAndPositiveFiresOnSilentHost) {
  SilentListener silent;
  if (!silent.open()) GTEST_SKIP() << "cannot make a connect hang on this system";
  for (double timeout : {0.0, 0.15}) {
    auto delegate = std::make_shared<RecordingDelegate>();
    auto sock = GCDAsyncSocket::create(delegate, Queue::createSerial("test.delegate"));
    Error err;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(sock->connectToAddress(loopbackAddress(AF_INET, silent.port), timeout, &err));
    ASSERT_TRUE(delegate->waitFor(Event::Disconnect));
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(isCode(delegate->first(Event::Disconnect).error, Code::connectTimeout));
    EXPECT_EQ(delegate->first(Event::Disconnect).error->description,
              "Attempt to connect to host timed out");
    EXPECT_LT(took, timeout + 1.0);
    EXPECT_FALSE(sock->isConnected());
    EXPECT_TRUE(sock->isDisconnected());
  }
}

TEST(TcpConnect, NegativeTimeoutNeverFiresAndDisconnectEndsTheHangingConnect) {
  SilentListener silent;
  if (!silent.open()) GTEST_SKIP() << "cannot make a connect hang on this system";
  const int fdsBefore = settledOpenFDCount();
  {
    auto delegate = std::make_shared<RecordingDelegate>();
    auto sock = GCDAsyncSocket::create(delegate, Queue::createSerial("test.delegate"));
    Error err;
    ASSERT_TRUE(sock->connectToAddress(loopbackAddress(AF_INET, silent.port), -1, &err));
    EXPECT_FALSE(delegate->waitFor(Event::Disconnect, 1, 0.4));
    sock->disconnect();
    ASSERT_TRUE(delegate->waitFor(Event::Disconnect));
    EXPECT_FALSE(delegate->first(Event::Disconnect).error);
    EXPECT_EQ(delegate->count(Event::Connect), 0u);
  }
  // The in-flight connect() on the background queue was ended, not left holding a socket.
  EXPECT_TRUE(eventually([&] { return countOpenFDs() == fdsBefore; }));
}

TEST(TcpConnect, ResolverFailureClosesWithTheResolverError) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto sock = GCDAsyncSocket::create(delegate, Queue::createSerial("test.delegate"));
  Error err;
  ASSERT_TRUE(sock->connectToHost("no-such-host.invalid", 80, 2.0, &err));
  ASSERT_TRUE(delegate->waitFor(Event::Disconnect, 1, 10.0));
  const auto e = delegate->first(Event::Disconnect).error;
  ASSERT_TRUE(e);
  EXPECT_EQ(e->domain, GCDAsyncSocketNetDBErrorDomain);
  EXPECT_NE(e->code, 0);
  EXPECT_FALSE(e->description.empty());
}

TEST(TcpConnect, LateLookupAndConnectResultsAfterCloseAreIgnored) {
  uint16_t port = 0;
  UniqueFd l4 = listenLoopback(AF_INET, &port);
  ASSERT_TRUE(l4);
  auto delegate = std::make_shared<RecordingDelegate>();
  auto sock = GCDAsyncSocket::create(delegate, Queue::createSerial("test.delegate"));
  Error err;
  ASSERT_TRUE(sock->connectToHost("localhost", port, &err));
  sock->disconnect();  // the look-up and connect results are usually still on their way
  ASSERT_TRUE(delegate->waitFor(Event::Disconnect));
  EXPECT_FALSE(delegate->first(Event::Disconnect).error);
  // On a fast machine the first attempt may have connected before the disconnect: that
  // connect is not stale and counts as one.
  const size_t connectsBefore = delegate->count(Event::Connect);
  // The socket can connect again; the stale results of the first attempt never show.
  ASSERT_TRUE(sock->connectToHost("localhost", port, &err)) << err.description;
  ASSERT_TRUE(delegate->waitFor(Event::Connect, connectsBefore + 1));
  EXPECT_FALSE(delegate->waitFor(Event::Connect, connectsBefore + 2, 0.5));
  EXPECT_EQ(delegate->count(Event::Disconnect), 1u);
  EXPECT_TRUE(sock->isConnected());
}

TEST(TcpConnect, RequestsInTheWrongStateFailAtOnceWithTheirError) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto dq = Queue::createSerial("test.delegate");
  uint16_t port = 0;
  UniqueFd listener = listenLoopback(AF_INET, &port);
  const std::vector<RequestErrorCase> cases = {
      {"noDelegate",
       [&](const SocketPtr& s, Error* e) { return s->connectToHost("localhost", port, e); },
       [&](const SocketPtr& s) {
         s->synchronouslySetDelegate(std::weak_ptr<GCDAsyncSocketDelegate>());
       },
       Code::badConfig, "Attempting to connect without a delegate. Set a delegate first."},
      {"noDelegateQueue",
       [&](const SocketPtr& s, Error* e) { return s->connectToHost("localhost", port, e); },
       [&](const SocketPtr& s) { s->synchronouslySetDelegateQueue(nullptr); }, Code::badConfig,
       "Attempting to connect without a delegate queue. Set a delegate queue first."},
      {"alreadyConnecting",
       [&](const SocketPtr& s, Error* e) { return s->connectToHost("localhost", port, e); },
       [&](const SocketPtr& s) {
         Error e;
         s->connectToHost("localhost", port, &e);
       },
       Code::badConfig,
       "Attempting to connect while connected or accepting connections. Disconnect first."},
      {"bothFamiliesOff",
       [&](const SocketPtr& s, Error* e) { return s->connectToHost("localhost", port, e); },
       [&](const SocketPtr& s) {
         s->setIPv4Enabled(false);
         s->setIPv6Enabled(false);
       },
       Code::badConfig,
       "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."},
      {"emptyHost", [&](const SocketPtr& s, Error* e) { return s->connectToHost("", port, e); },
       nullptr, Code::badParam,
       "Invalid host parameter (nil or \"\"). Should be a domain name or IP address string."},
      {"unknownInterface",
       [&](const SocketPtr& s, Error* e) {
         return s->connectToHost("localhost", port, "no-such-if0", -1, e);
       },
       nullptr, Code::badParam,
       "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."},
      {"badAddress",
       [&](const SocketPtr& s, Error* e) { return s->connectToAddress(Bytes(10, 0), e); }, nullptr,
       Code::badParam, "A valid IPv4 or IPv6 address was not given"},
      {"ipv4AddressWithIpv4Off",
       [&](const SocketPtr& s, Error* e) {
         return s->connectToAddress(loopbackAddress(AF_INET, port), e);
       },
       [&](const SocketPtr& s) { s->setIPv4Enabled(false); }, Code::badParam,
       "IPv4 has been disabled and an IPv4 address was passed."},
      {"emptyUrl", [&](const SocketPtr& s, Error* e) { return s->connectToUrl("file://", -1, e); },
       nullptr, Code::badParam, "Invalid unix domain socket url."},
  };
  expectRequestErrors(cases, delegate, dq);
}

TEST(TcpConnect, NoDisconnectCallbackForASocketThatNeverStarted) {
  auto delegate = std::make_shared<RecordingDelegate>();
  {
    auto sock = GCDAsyncSocket::create(delegate, Queue::createSerial("test.delegate"));
    sock->disconnect();
    sock->disconnectAfterReadingAndWriting();
    sock->readDataWithTimeout(-1, 1);
    sock->writeData(SharedData::fromString("x"), -1, 2);
    EXPECT_TRUE(sock->isDisconnected());
  }
  EXPECT_FALSE(delegate->waitFor(Event::Disconnect, 1, 0.2));
  EXPECT_TRUE(delegate->events().empty());
}

TEST(TcpConnect, DestroyingAConnectedSocketClosesItAndReportsANullSocket) {
  ConnectedPair pair;
  ASSERT_TRUE(pair.open());
  pair.sock.reset();
  ASSERT_TRUE(pair.delegate->waitFor(Event::Disconnect));
  const Event e = pair.delegate->first(Event::Disconnect);
  EXPECT_TRUE(e.nullSocket);
  EXPECT_FALSE(e.error);
  EXPECT_TRUE(waitForEOF(pair.peer.get()));
}

TEST(TcpConnect, ConnectedPropertiesOverIPv6AndCallbacksOnTheDelegateQueue) {
  ConnectedPair pair;
  if (!pair.open(AF_INET6)) GTEST_SKIP() << "no IPv6 loopback";
  EXPECT_EQ(pair.sock->connectedHost(), "::1");
  EXPECT_EQ(pair.sock->connectedPort(), pair.port);
  EXPECT_EQ(pair.sock->localHost(), "::1");
  EXPECT_NE(pair.sock->localPort(), 0);
  EXPECT_TRUE(GCDAsyncSocket::isIPv6Address(pair.sock->connectedAddress()));
  EXPECT_EQ(GCDAsyncSocket::portFromAddress(pair.sock->localAddress()), pair.sock->localPort());
  EXPECT_EQ(pair.delegate->first(Event::Connect).queueLabel, "test.delegate");
  // Off the socket queue the descriptor accessors answer -1; on it, the descriptor.
  EXPECT_EQ(pair.sock->socketFD(), -1);
  int fd = -1;
  pair.sock->performBlock([&] { fd = pair.sock->socket6FD(); });
  EXPECT_GE(fd, 0);
  EXPECT_FALSE(pair.sock->isSecure());
}

TEST(TcpConnect, WrappingConnectedDescriptors) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto dq = Queue::createSerial("test.delegate");
  // A Unix-domain pair is neither IPv4 nor IPv6; a pipe has no peer.
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  UniqueFd a(sv[0]), b(sv[1]);
  Error err;
  EXPECT_EQ(GCDAsyncSocket::socketFromConnectedSocketFD(a.get(), delegate, dq, &err), nullptr);
  EXPECT_EQ(err.code, 8);
  EXPECT_EQ(err.description,
            "Attempt to create socket from socket FD failed. socket FD is neither IPv4 nor IPv6");
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  UniqueFd p0(p[0]), p1(p[1]);
  EXPECT_EQ(GCDAsyncSocket::socketFromConnectedSocketFD(p0.get(), delegate, dq, &err), nullptr);
  EXPECT_EQ(err.description,
            "Attempt to create socket from socket FD failed. getpeername() failed");

  // A real TCP connection is taken over and works.
  uint16_t port = 0;
  UniqueFd listener = listenLoopback(AF_INET, &port);
  UniqueFd client = connectLoopback(AF_INET, port);
  UniqueFd server = acceptWithin(listener.get());
  ASSERT_TRUE(client && server);
  auto sock = GCDAsyncSocket::socketFromConnectedSocketFD(client.release(), delegate, dq, &err);
  ASSERT_NE(sock, nullptr);
  ASSERT_TRUE(delegate->waitFor(Event::Connect));
  EXPECT_EQ(delegate->first(Event::Connect).port, port);
  sock->readDataToLength(5, 2.0, 9);
  ASSERT_TRUE(writeAll(server.get(), bytes("hello")));
  ASSERT_TRUE(delegate->waitFor(Event::Read));
  EXPECT_EQ(text(delegate->first(Event::Read).data), "hello");
  EXPECT_EQ(delegate->first(Event::Read).tag, 9);
}

}  // namespace
}  // namespace corvane::tcp_test
