// UDP socket set-up: delegate checks, binding rules, port reuse, broadcast, multicast
// errors, options, address helpers, error values and close callbacks.
#include <gtest/gtest.h>

#include <netdb.h>

#include <cerrno>
#include <cstring>

#include "udp_support.h"

namespace corvane::udp_test {
namespace {

using Code = GCDAsyncUdpSocketErrorCode;

void expectError(const Error& e, Code code, const std::string& text) {
  EXPECT_EQ(e.domain, GCDAsyncUdpSocketErrorDomain);
  EXPECT_EQ(e.code, static_cast<long>(code));
  EXPECT_EQ(e.description, text);
}

int intOption(int fd, int level, int name) {
  int value = -1;
  socklen_t len = sizeof value;
  if (::getsockopt(fd, level, name, &value, &len) != 0) return -1;
  return value;
}

TEST(UdpErrors, DomainCodesAndTexts) {
  expectError(GCDAsyncUdpSocketErrors::badConfigError("cfg"), Code::badConfig, "cfg");
  expectError(GCDAsyncUdpSocketErrors::badParamError("param"), Code::badParam, "param");
  expectError(GCDAsyncUdpSocketErrors::sendTimeoutError(), Code::sendTimeout,
              "Send operation timed out");
  expectError(GCDAsyncUdpSocketErrors::socketClosedError(), Code::socketClosed, "Socket closed");
  expectError(GCDAsyncUdpSocketErrors::otherError("other"), Code::other, "other");

  const Error posix = GCDAsyncUdpSocketErrors::errnoErrorWithReason(EBADF, "why");
  EXPECT_EQ(posix.domain, GCDAsyncUdpSocketPOSIXErrorDomain);
  EXPECT_EQ(posix.code, EBADF);
  EXPECT_EQ(posix.description, std::strerror(EBADF));
  EXPECT_EQ(posix.failureReason, std::optional<std::string>("why"));
  EXPECT_FALSE(GCDAsyncUdpSocketErrors::errnoError(EBADF).failureReason.has_value());

  const Error gai = GCDAsyncUdpSocketErrors::gaiError(EAI_NONAME);
  EXPECT_EQ(gai.domain, "kCFStreamErrorDomainNetDB");
  EXPECT_EQ(gai.code, EAI_NONAME);
  EXPECT_EQ(gai.description, gai_strerror(EAI_NONAME));
}

TEST(UdpSetup, OperationsNeedDelegateAndDelegateQueue) {
  const std::string noDelegate =
      "Attempting to use socket without a delegate. Set a delegate first.";
  const std::string noQueue =
      "Attempting to use socket without a delegate queue. Set a delegate queue first.";
  auto delegate = std::make_shared<RecordingUdpDelegate>();

  auto bare = GCDAsyncUdpSocket::create();
  Error e;
  EXPECT_FALSE(bare->bindToPort(0, &e));
  expectError(e, Code::badConfig, noDelegate);
  EXPECT_FALSE(bare->enableReusePort(true, &e));
  expectError(e, Code::badConfig, noDelegate);
  EXPECT_FALSE(bare->connectToHost("localhost", 9, &e));
  expectError(e, Code::badConfig, noDelegate);

  bare->synchronouslySetDelegate(delegate);
  EXPECT_FALSE(bare->bindToPort(0, &e));
  expectError(e, Code::badConfig, noQueue);
  EXPECT_FALSE(bare->enableBroadcast(true, &e));
  expectError(e, Code::badConfig, noQueue);

  // A delegate that has gone away counts as none.
  auto queue = Queue::createSerial("udp.delegate");
  {
    auto shortLived = std::make_shared<RecordingUdpDelegate>();
    bare->synchronouslySetDelegate(shortLived, queue);
  }
  EXPECT_FALSE(bare->bindToPort(0, &e));
  expectError(e, Code::badConfig, noDelegate);

  bare->synchronouslySetDelegate(delegate, queue);
  EXPECT_TRUE(bare->bindToPort(0, "localhost", &e));
  EXPECT_FALSE(bare->isClosed());
}

TEST(UdpSetup, BindHappensOncePerOpenPeriod) {
  UdpFixture f;
  Error e;
  ASSERT_TRUE(f.socket->bindToPort(0, "localhost", &e)) << e.description;
  EXPECT_FALSE(f.socket->bindToPort(0, "localhost", &e));
  expectError(e, Code::badConfig, "Cannot bind a socket more than once.");
  EXPECT_FALSE(f.socket->bindToAddress(loopbackAddress(AF_INET, 0), &e));
  expectError(e, Code::badConfig, "Cannot bind a socket more than once.");

  // After a close the socket may be bound again.
  f.socket->close();
  EXPECT_TRUE(f.socket->bindToPort(0, "localhost", &e)) << e.description;
}

TEST(UdpSetup, BindAfterConnectAndConnectTwiceFail) {
  UdpFixture f;
  PlainUdpPeer peer(AF_INET);
  // A send held in an asynchronous send filter keeps the connect request waiting in the
  // queue, so the socket is "connecting" but not yet bound.
  platform::dispatch::Semaphore release;
  auto filterQueue = Queue::createSerial("udp.filter");
  f.socket->setSendFilter(
      [&release](const SharedData&, const Address&, long) {
        release.wait(kWait);
        return true;
      },
      filterQueue, true);
  f.socket->sendData(bytes("first"), peer.address(), -1.0, 1);
  Error e;
  ASSERT_TRUE(f.socket->connectToAddress(peer.address(), &e)) << e.description;
  EXPECT_FALSE(f.socket->bindToPort(0, &e));
  expectError(e, Code::badConfig,
              "Cannot bind after connecting. If needed, bind first, then connect.");
  EXPECT_FALSE(f.socket->connectToAddress(peer.address(), &e));
  expectError(e, Code::badConfig, "Cannot connect a socket more than once.");
  release.signal();
  ASSERT_TRUE(f.delegate->waitForCount(UdpEvent::Connect, 1));
  const auto events = f.delegate->events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, UdpEvent::Sent);  // the earlier send went first
  EXPECT_EQ(events[1].kind, UdpEvent::Connect);
  EXPECT_FALSE(f.socket->connectToHost("localhost", peer.port(), &e));
  expectError(e, Code::badConfig, "Cannot connect a socket more than once.");
  EXPECT_FALSE(f.socket->bindToPort(0, &e));
  expectError(e, Code::badConfig, "Cannot bind a socket more than once.");
}

TEST(UdpSetup, RequestParametersAreChecked) {
  const std::string bothOff =
      "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.";
  const std::string unknownInterface =
      "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.";
  struct Case {
    const char* name;
    bool ipv4Enabled;
    bool ipv6Enabled;
    std::function<bool(GCDAsyncUdpSocket&, Error*)> call;
    Code code;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"both families off", false, false,
       [](GCDAsyncUdpSocket& s, Error* e) { return s.bindToPort(0, e); }, Code::badConfig, bothOff},
      {"both families off, connect", false, false,
       [](GCDAsyncUdpSocket& s, Error* e) { return s.connectToHost("localhost", 9, e); },
       Code::badConfig, bothOff},
      {"unknown interface", true, true,
       [](GCDAsyncUdpSocket& s, Error* e) { return s.bindToPort(0, "no-such-if0", e); },
       Code::badParam, unknownInterface},
      {"IPv4 off, IPv4-only interface", false, true,
       [](GCDAsyncUdpSocket& s, Error* e) { return s.bindToPort(0, "127.0.0.1", e); },
       Code::badParam, "IPv4 has been disabled and specified interface doesn't support IPv6."},
      {"IPv6 off, IPv6-only interface", true, false,
       [](GCDAsyncUdpSocket& s, Error* e) { return s.bindToPort(0, "::1", e); }, Code::badParam,
       "IPv6 has been disabled and specified interface doesn't support IPv4."},
      {"address too short", true, true,
       [](GCDAsyncUdpSocket& s, Error* e) {
         Address a = loopbackAddress(AF_INET, 0);
         a.resize(15);
         return s.bindToAddress(a, e);
       },
       Code::badParam, "A valid IPv4 or IPv6 address was not given"},
      {"IPv4 address with IPv4 off", false, true,
       [](GCDAsyncUdpSocket& s, Error* e) {
         return s.bindToAddress(loopbackAddress(AF_INET, 0), e);
       },
       Code::badParam, "IPv4 has been disabled and an IPv4 address was passed."},
      {"IPv6 address with IPv6 off", true, false,
       [](GCDAsyncUdpSocket& s, Error* e) {
         return s.bindToAddress(loopbackAddress(AF_INET6, 0), e);
       },
       Code::badParam, "IPv6 has been disabled and an IPv6 address was passed."},
      {"no host", true, true,
       [](GCDAsyncUdpSocket& s, Error* e) { return s.connectToHost(std::nullopt, 9, e); },
       Code::badParam, "The host param is nil. Should be domain name or IP address string."},
      {"no address", true, true,
       [](GCDAsyncUdpSocket& s, Error* e) { return s.connectToAddress({}, e); }, Code::badParam,
       "The address param is nil. Should be a valid address."},
      {"malformed connect address", true, true,
       [](GCDAsyncUdpSocket& s, Error* e) { return s.connectToAddress(Address(28, 0xEE), e); },
       Code::badParam, "A valid IPv4 or IPv6 address was not given"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UdpFixture f;
    f.socket->setIPv4Enabled(c.ipv4Enabled);
    f.socket->setIPv6Enabled(c.ipv6Enabled);
    Error e;
    EXPECT_FALSE(c.call(*f.socket, &e));
    expectError(e, c.code, c.text);
    // A refused request leaves no descriptors behind and reports nothing.
    EXPECT_TRUE(f.socket->isClosed());
    f.settle();
    EXPECT_TRUE(f.delegate->events().empty());
  }
}

TEST(UdpSetup, ReusePortBeforeBindCoversBothFamiliesAndBindUsesWildcards) {
  UdpFixture f;
  Error e;
  ASSERT_TRUE(f.socket->enableReusePort(true, &e)) << e.description;
  int fd4 = -1;
  int fd6 = -1;
  f.socket->performBlock([&] {
    fd4 = f.socket->socket4FD();
    fd6 = f.socket->socket6FD();
  });
  ASSERT_NE(fd4, -1);
  ASSERT_NE(fd6, -1);
  EXPECT_EQ(intOption(fd4, SOL_SOCKET, SO_REUSEPORT), 1);
  EXPECT_EQ(intOption(fd6, SOL_SOCKET, SO_REUSEPORT), 1);
  // Outside the socket queue the descriptors are not handed out.
  EXPECT_EQ(f.socket->socket4FD(), -1);
  EXPECT_EQ(f.socket->socketFD(), -1);
  // Unbound: no local name yet.
  EXPECT_EQ(f.socket->localPort(), 0);

  ASSERT_TRUE(f.socket->bindToPort(0, &e)) << e.description;
  EXPECT_TRUE(f.socket->isIPv4());
  EXPECT_TRUE(f.socket->isIPv6());
  EXPECT_EQ(f.socket->localHost_IPv4(), "0.0.0.0");
  EXPECT_EQ(f.socket->localHost_IPv6(), "::");
  EXPECT_NE(f.socket->localPort_IPv4(), 0);
  EXPECT_NE(f.socket->localPort_IPv6(), 0);
  EXPECT_EQ(f.socket->localPort(), f.socket->localPort_IPv4());
  EXPECT_EQ(f.socket->localHost(), "0.0.0.0");
  EXPECT_TRUE(GCDAsyncUdpSocket::isIPv4Address(f.socket->localAddress()));

  // Turning it off again reaches both descriptors.
  ASSERT_TRUE(f.socket->enableReusePort(false, &e)) << e.description;
  EXPECT_EQ(intOption(fd4, SOL_SOCKET, SO_REUSEPORT), 0);
  EXPECT_EQ(intOption(fd6, SOL_SOCKET, SO_REUSEPORT), 0);
}

TEST(UdpSetup, BindToOneAddressLeavesTheOtherFamilyOut) {
  for (int family : {AF_INET, AF_INET6}) {
    SCOPED_TRACE(family == AF_INET ? "IPv4" : "IPv6");
    UdpFixture f;
    Error e;
    ASSERT_TRUE(f.socket->bindToAddress(loopbackAddress(family, 0), &e)) << e.description;
    EXPECT_EQ(f.socket->isIPv4(), family == AF_INET);
    EXPECT_EQ(f.socket->isIPv6(), family == AF_INET6);
    EXPECT_EQ(f.socket->localHost(), loopbackText(family));
    EXPECT_NE(f.socket->localPort(), 0);
  }
}

TEST(UdpSetup, BroadcastIsSetOnTheIPv4Descriptor) {
  UdpFixture f;
  Error e;
  ASSERT_TRUE(f.socket->enableBroadcast(true, &e)) << e.description;
  int fd4 = -1;
  f.socket->performBlock([&] { fd4 = f.socket->socket4FD(); });
  ASSERT_NE(fd4, -1);
  EXPECT_EQ(intOption(fd4, SOL_SOCKET, SO_BROADCAST), 1);
  ASSERT_TRUE(f.socket->enableBroadcast(false, &e));
  EXPECT_EQ(intOption(fd4, SOL_SOCKET, SO_BROADCAST), 0);
}

TEST(UdpSetup, MulticastRequestsAreChecked) {
  UdpFixture f;
  Error e;
  EXPECT_FALSE(f.socket->joinMulticastGroup("239.1.2.3", &e));
  expectError(e, Code::badConfig, "Must bind a socket before joining a multicast group.");

  ASSERT_TRUE(f.socket->bindToAddress(loopbackAddress(AF_INET6, 0), &e)) << e.description;
  EXPECT_FALSE(f.socket->joinMulticastGroup("not a group", &e));
  expectError(e, Code::badParam, "Unknown group. Specify valid group IP address.");
  EXPECT_FALSE(f.socket->joinMulticastGroup("239.1.2.3", "no-such-if0", &e));
  expectError(e, Code::badParam,
              "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");
  // An IPv4 group on a socket that only has its IPv6 descriptor.
  EXPECT_FALSE(f.socket->joinMulticastGroup("239.1.2.3", &e));
  expectError(e, Code::badParam, "Socket, group, and interface do not have matching IP versions");

  UdpFixture connected;
  PlainUdpPeer peer(AF_INET);
  ASSERT_TRUE(connected.socket->connectToAddress(peer.address(), &e));
  ASSERT_TRUE(connected.delegate->waitForCount(UdpEvent::Connect, 1));
  EXPECT_FALSE(connected.socket->joinMulticastGroup("239.1.2.3", &e));
  expectError(e, Code::badConfig, "Cannot join a multicast group if connected.");
}

TEST(UdpSetup, JoinAndLeaveAMulticastGroupOnLoopback) {
  UdpFixture f;
  Error e;
  ASSERT_TRUE(f.socket->bindToPort(0, &e)) << e.description;
  if (!f.socket->joinMulticastGroup("239.255.0.1", "127.0.0.1", &e)) {
    ASSERT_EQ(e.domain, GCDAsyncUdpSocketPOSIXErrorDomain) << e.description;
    GTEST_SKIP() << "this kernel refuses multicast membership on loopback: " << e.description;
  }
  // Joining an IPv4 group leaves the IPv4 descriptor alone.
  EXPECT_TRUE(f.socket->isIPv4());
  EXPECT_FALSE(f.socket->isIPv6());
  EXPECT_TRUE(f.socket->leaveMulticastGroup("239.255.0.1", "127.0.0.1", &e)) << e.description;
  // Leaving a group that was never joined is the system's error, with the reason.
  EXPECT_FALSE(f.socket->leaveMulticastGroup("239.255.0.2", "127.0.0.1", &e));
  EXPECT_EQ(e.domain, GCDAsyncUdpSocketPOSIXErrorDomain);
  EXPECT_EQ(e.failureReason, std::optional<std::string>("Error in setsockopt() function"));
}

TEST(UdpSetup, OptionsRoundTrip) {
  UdpFixture f;
  EXPECT_TRUE(f.socket->isIPVersionNeutral());
  f.socket->setPreferIPv4();
  EXPECT_TRUE(f.socket->isIPv4Preferred());
  EXPECT_FALSE(f.socket->isIPv6Preferred());
  f.socket->setPreferIPv6();
  EXPECT_FALSE(f.socket->isIPv4Preferred());
  EXPECT_TRUE(f.socket->isIPv6Preferred());
  EXPECT_FALSE(f.socket->isIPVersionNeutral());
  f.socket->setIPVersionNeutral();
  EXPECT_TRUE(f.socket->isIPVersionNeutral());

  EXPECT_TRUE(f.socket->isIPv4Enabled());
  f.socket->setIPv4Enabled(false);
  EXPECT_FALSE(f.socket->isIPv4Enabled());
  // Before any descriptor exists, isIPv4/isIPv6 tell whether the family is enabled.
  EXPECT_FALSE(f.socket->isIPv4());
  EXPECT_TRUE(f.socket->isIPv6());

  EXPECT_EQ(f.socket->maxReceiveIPv4BufferSize(), 65535);
  EXPECT_EQ(f.socket->maxReceiveIPv6BufferSize(), 65535u);
  EXPECT_EQ(f.socket->maxSendBufferSize(), 65535);
  f.socket->setMaxReceiveIPv6BufferSize(100000);
  EXPECT_EQ(f.socket->maxReceiveIPv6BufferSize(), 100000u);

  f.socket->setUserData(std::string("mine"));
  EXPECT_EQ(std::any_cast<std::string>(f.socket->userData()), "mine");

  QueuePtr q;
  std::shared_ptr<GCDAsyncUdpSocketDelegate> d;
  f.socket->getDelegate(&d, &q);
  EXPECT_EQ(d, f.delegate);
  EXPECT_EQ(q, f.delegateQueue);
}

TEST(UdpSetup, AddressHelpers) {
  Address v4 = loopbackAddress(AF_INET, 5353);
  Address v6 = loopbackAddress(AF_INET6, 11105);
  Address shortV4 = v4;
  shortV4.resize(15);
  Address shortV6 = v6;
  shortV6.resize(27);
  Address wrongFamily = v4;
  wrongFamily[0] = wrongFamily[1] = 0;  // AF_UNSPEC
  struct Case {
    const char* name;
    Address address;
    std::optional<std::string> host;
    uint16_t port;
    int family;
  };
  const std::vector<Case> cases = {
      {"IPv4", v4, "127.0.0.1", 5353, AF_INET},
      {"IPv6", v6, "::1", 11105, AF_INET6},
      {"short IPv4", shortV4, std::nullopt, 0, AF_UNSPEC},
      {"short IPv6", shortV6, std::nullopt, 0, AF_UNSPEC},
      {"unknown family", wrongFamily, std::nullopt, 0, AF_UNSPEC},
      {"empty", {}, std::nullopt, 0, AF_UNSPEC},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(GCDAsyncUdpSocket::hostFromAddress(c.address), c.host);
    EXPECT_EQ(GCDAsyncUdpSocket::portFromAddress(c.address), c.port);
    EXPECT_EQ(GCDAsyncUdpSocket::familyFromAddress(c.address), c.family);
    EXPECT_EQ(GCDAsyncUdpSocket::isIPv4Address(c.address), c.family == AF_INET);
    EXPECT_EQ(GCDAsyncUdpSocket::isIPv6Address(c.address), c.family == AF_INET6);
    std::string host;
    uint16_t port = 0;
    int family = 0;
    EXPECT_EQ(GCDAsyncUdpSocket::getHost(&host, &port, &family, c.address), c.host.has_value());
  }
}

// All state assumes one serial context: a concurrent queue offered as socket queue is
// replaced by a private serial one.
TEST(UdpSetup, ConcurrentSocketQueueIsReplacedByAPrivateSerialQueue) {
  auto delegate = std::make_shared<RecordingUdpDelegate>();
  auto sock =
      GCDAsyncUdpSocket::create(delegate, Queue::createSerial("udp.delegate"), Queue::global());
  std::string label;
  sock->performBlock([&] { label = Queue::currentLabel(); });
  EXPECT_EQ(label, "GCDAsyncUdpSocket");
  // A serial queue of the owner's is kept.
  auto own = Queue::createSerial("udp.own");
  auto sock2 = GCDAsyncUdpSocket::create(delegate, Queue::createSerial("udp.delegate"), own);
  sock2->performBlock([&] { label = Queue::currentLabel(); });
  EXPECT_EQ(label, "udp.own");
}

TEST(UdpSetup, CloseForgetsTheConnectedPeer) {
  UdpFixture f;
  PlainUdpPeer peer(AF_INET);
  Error e;
  ASSERT_TRUE(f.socket->connectToAddress(peer.address(), &e)) << e.description;
  ASSERT_TRUE(f.delegate->waitForCount(UdpEvent::Connect, 1));
  EXPECT_EQ(f.socket->connectedHost(), "127.0.0.1");
  EXPECT_EQ(f.socket->connectedPort(), peer.port());
  f.socket->close();
  EXPECT_FALSE(f.socket->isConnected());
  EXPECT_EQ(f.socket->connectedHost(), "");
  EXPECT_EQ(f.socket->connectedPort(), 0);
  EXPECT_TRUE(f.socket->connectedAddress().empty());
}

TEST(UdpSetup, CloseReportsOnlyAfterDescriptorsExisted) {
  {
    UdpFixture f;
    f.socket->close();
    f.socket->close();
    f.settle();
    EXPECT_TRUE(f.delegate->events().empty());
    EXPECT_TRUE(f.socket->isClosed());
  }
  {
    UdpFixture f;
    Error e;
    ASSERT_TRUE(f.socket->bindToPort(0, "localhost", &e));
    EXPECT_FALSE(f.socket->isClosed());
    f.socket->close();
    EXPECT_TRUE(f.socket->isClosed());
    ASSERT_TRUE(f.delegate->waitForCount(UdpEvent::Closed, 1));
    f.socket->close();  // already closed: nothing more
    f.settle();
    const auto closed = f.delegate->eventsOf(UdpEvent::Closed);
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_FALSE(closed[0].error.has_value());
    EXPECT_FALSE(closed[0].nullSocket);
    EXPECT_EQ(closed[0].queueLabel, "udp.delegate");
  }
  {
    // Destruction closes too; the callback then has no socket to name.
    UdpFixture f;
    Error e;
    ASSERT_TRUE(f.socket->bindToPort(0, "localhost", &e));
    f.socket.reset();
    ASSERT_TRUE(f.delegate->waitForCount(UdpEvent::Closed, 1));
    EXPECT_TRUE(f.delegate->eventsOf(UdpEvent::Closed)[0].nullSocket);
  }
}

}  // namespace
}  // namespace corvane::udp_test
