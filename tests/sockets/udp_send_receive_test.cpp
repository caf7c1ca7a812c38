// UDP socket sending and receiving with real datagrams on 127.0.0.1 and ::1: implicit
// binding, resolution, filters, receive modes, family alternation, connected sockets and
// hostile datagrams (empty, maximum size, oversize, bursts).
#include <gtest/gtest.h>
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <tuple>

#include "udp_support.h"

namespace corvane::udp_test {
namespace {

using Code = GCDAsyncUdpSocketErrorCode;

const std::string kMustBind =
    "Must bind socket before you can receive data. You can do this explicitly via bind, or "
    "implicitly via connect or by sending data.";

size_t maxDatagram(int family) { return family == AF_INET ? 65507 : 65527; }

// A datagram whose bytes are derived from `index`, so that a received one can be checked
// byte for byte: [index:4][length:4][(index + k) & 0xFF ...].
Bytes patterned(uint32_t index, size_t length) {
  Bytes b(length);
  for (size_t k = 0; k < length; ++k) b[k] = static_cast<uint8_t>((index + k) & 0xFF);
  if (length >= 8) {
    std::memcpy(b.data(), &index, 4);
    const uint32_t len32 = static_cast<uint32_t>(length);
    std::memcpy(b.data() + 4, &len32, 4);
  }
  return b;
}

std::string familyName(const ::testing::TestParamInfo<int>& info) {
  return info.param == AF_INET ? "IPv4" : "IPv6";
}

class UdpFamily : public ::testing::TestWithParam<int> {
 protected:
  int family() const { return GetParam(); }
  // Binds the fixture's socket to this family's loopback address.
  uint16_t bindLoopback(UdpFixture& f) {
    Error e;
    EXPECT_TRUE(f.socket->bindToAddress(loopbackAddress(family(), 0), &e)) << e.description;
    return f.socket->localPort();
  }
};

INSTANTIATE_TEST_SUITE_P(Loopback, UdpFamily, ::testing::Values(AF_INET, AF_INET6), familyName);

TEST_P(UdpFamily, FirstSendBindsImplicitlyAndReceivingThenWorks) {
  UdpFixture f;
  PlainUdpPeer peer(family());
  Error e;
  EXPECT_FALSE(f.socket->beginReceiving(&e));
  EXPECT_EQ(e.code, static_cast<long>(Code::badConfig));
  EXPECT_EQ(e.description, kMustBind);
  e = Error();
  EXPECT_FALSE(f.socket->receiveOnce(&e));
  EXPECT_EQ(e.description, kMustBind);

  f.socket->sendData(bytes("hello"), peer.address(), -1.0, 7);
  ASSERT_TRUE(f.delegate->waitForCount(UdpEvent::Sent, 1));
  EXPECT_EQ(f.delegate->eventsOf(UdpEvent::Sent)[0].tag, 7);
  EXPECT_EQ(f.delegate->eventsOf(UdpEvent::Sent)[0].queueLabel, "udp.delegate");
  auto got = peer.receive();
  ASSERT_TRUE(got);
  EXPECT_EQ(text(got->data), "hello");
  const uint16_t localPort =
      family() == AF_INET ? f.socket->localPort_IPv4() : f.socket->localPort_IPv6();
  EXPECT_NE(localPort, 0);
  EXPECT_EQ(GCDAsyncUdpSocket::portFromAddress(got->from), localPort);

  ASSERT_TRUE(f.socket->beginReceiving(&e)) << e.description;
  ASSERT_TRUE(peer.sendTo(got->from, bytes("reply")));
  ASSERT_TRUE(f.delegate->waitForCount(UdpEvent::Received, 1));
  const auto received = f.delegate->eventsOf(UdpEvent::Received)[0];
  EXPECT_EQ(text(received.data), "reply");
  EXPECT_EQ(GCDAsyncUdpSocket::hostFromAddress(received.address), loopbackText(family()));
  EXPECT_EQ(GCDAsyncUdpSocket::portFromAddress(received.address), peer.port());
  EXPECT_FALSE(received.context.has_value());

  EXPECT_FALSE(f.socket->bindToPort(0, &e));
  EXPECT_EQ(e.description, "Cannot bind a socket more than once.");
}

TEST_P(UdpFamily, LocalhostAndLoopbackAreResolvedWithoutTheResolver) {
  // The system resolver here knows "localhost" as 127.0.0.1 only and "loopback" not at
  // all; both names still reach the preferred family's loopback address.
  UdpFixture f;
  if (family() == AF_INET) {
    f.socket->setPreferIPv4();
  } else {
    f.socket->setPreferIPv6();
  }
  PlainUdpPeer peer(family());
  f.socket->sendData(bytes("via localhost"), "localhost", peer.port(), -1.0, 1);
  f.socket->sendData(bytes("via loopback"), "loopback", peer.port(), -1.0, 2);
  ASSERT_TRUE(f.delegate->waitForCount(UdpEvent::Sent, 2));
  const auto sent = f.delegate->eventsOf(UdpEvent::Sent);
  EXPECT_EQ(sent[0].tag, 1);
  EXPECT_EQ(sent[1].tag, 2);
  EXPECT_EQ(f.delegate->count(UdpEvent::NotSent), 0u);
  auto first = peer.receive();
  auto second = peer.receive();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(text(first->data), "via localhost");
  EXPECT_EQ(text(second->data), "via loopback");
}

TEST_P(UdpFamily, ResolverFailureIsReportedForThatPacketAndTheQueueMovesOn) {
  UdpFixture f;
  PlainUdpPeer peer(family());
  f.socket->sendData(bytes("lost"), "no-such-host.invalid", peer.port(), -1.0, 1);
  f.socket->sendData(bytes("kept"), loopbackText(family()), peer.port(), -1.0, 2);
  ASSERT_TRUE(f.delegate->waitUntil([&] {
    return f.delegate->countLocked(UdpEvent::NotSent) + f.delegate->countLocked(UdpEvent::Sent) >=
           2;
  }));
  const auto events = f.delegate->events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, UdpEvent::NotSent);
  EXPECT_EQ(events[0].tag, 1);
  ASSERT_TRUE(events[0].error);
  EXPECT_EQ(events[0].error->domain, "kCFStreamErrorDomainNetDB");
  EXPECT_EQ(events[1].kind, UdpEvent::Sent);
  EXPECT_EQ(events[1].tag, 2);
  auto got = peer.receive();
  ASSERT_TRUE(got);
  EXPECT_EQ(text(got->data), "kept");
  EXPECT_FALSE(f.socket->isClosed());
}

TEST_P(UdpFamily, PacketProblemsAreReportedPerPacketWithoutClosing) {
  // Empty datagrams are ignored; a datagram without destination, one that is too large
  // and one to a family the bind left out each fail alone; the next one is sent.
  UdpFixture f;
  PlainUdpPeer peer(family());
  PlainUdpPeer otherFamilyPeer(family() == AF_INET ? AF_INET6 : AF_INET);
  bindLoopback(f);
  f.socket->sendData(SharedData(), peer.address(), -1.0, 1);
  f.socket->sendData(SharedData(), 2);
  f.socket->sendData(bytes("no destination"), -1.0, 3);
  f.socket->sendData(Bytes(maxDatagram(family()) + 1, 0xAB), peer.address(), -1.0, 4);
  f.socket->sendData(bytes("wrong family"), otherFamilyPeer.address(), -1.0, 5);
  const Bytes largest = patterned(6, maxDatagram(family()));
  f.socket->sendData(largest, peer.address(), -1.0, 6);
  ASSERT_TRUE(f.delegate->waitForCount(UdpEvent::Sent, 1));
  f.settle();
  const auto events = f.delegate->events();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].kind, UdpEvent::NotSent);
  EXPECT_EQ(events[0].tag, 3);
  EXPECT_EQ(events[0].error->code, static_cast<long>(Code::badConfig));
  EXPECT_EQ(events[0].error->description,
            "You must specify destination of packet for a non-connected socket");
  EXPECT_EQ(events[1].kind, UdpEvent::NotSent);
  EXPECT_EQ(events[1].tag, 4);
  EXPECT_EQ(events[1].error->domain, GCDAsyncUdpSocketPOSIXErrorDomain);
  EXPECT_EQ(events[1].error->code, EMSGSIZE);
  EXPECT_EQ(events[1].error->failureReason,
            std::optional<std::string>("Error in send() function."));
  EXPECT_EQ(events[2].kind, UdpEvent::NotSent);
  EXPECT_EQ(events[2].tag, 5);
  EXPECT_EQ(events[2].error->code, static_cast<long>(Code::other));
  EXPECT_EQ(events[2].error->description,
            family() == AF_INET
                ? "IPv6 has been deactivated due to bind/connect, and DNS lookup found no IPv4 "
                  "address(es)."
                : "IPv4 has been deactivated due to bind/connect, and DNS lookup found no IPv6 "
                  "address(es).");
  EXPECT_EQ(events[3].kind, UdpEvent::Sent);
  EXPECT_EQ(events[3].tag, 6);
  auto got = peer.receive();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->data, largest);  // the first datagram to arrive is the largest one
  EXPECT_FALSE(f.socket->isClosed());
}

TEST_P(UdpFamily, HostileDatagramsNeverCloseOrStallTheSocket) {
  UdpFixture f;
  const uint16_t port = bindLoopback(f);
  Error e;
  ASSERT_TRUE(f.socket->beginReceiving(&e)) << e.description;
  PlainUdpPeer peer(family());
  const Address dest = loopbackAddress(family(), port);
  const Bytes largest = patterned(1, maxDatagram(family()));
  ASSERT_TRUE(peer.sendTo(dest, {}));
  ASSERT_TRUE(peer.sendTo(dest, largest));
  ASSERT_TRUE(peer.sendTo(dest, {}));
  ASSERT_TRUE(peer.sendTo(dest, bytes("after")));
  ASSERT_TRUE(f.delegate->waitForCount(UdpEvent::Received, 2));
  f.settle();
  const auto received = f.delegate->eventsOf(UdpEvent::Received);
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].data.toVector(), largest);
  EXPECT_EQ(text(received[1].data), "after");
  EXPECT_EQ(f.delegate->count(UdpEvent::Closed), 0u);
  EXPECT_FALSE(f.socket->isClosed());
}

TEST_P(UdpFamily, DatagramsAboveTheMaximumAreDroppedWholeNotCut) {
  UdpFixture f;
  f.socket->setMaxReceiveIPv4BufferSize(100);
  f.socket->setMaxReceiveIPv6BufferSize(100);
  const uint16_t port = bindLoopback(f);
  Error e;
  ASSERT_TRUE(f.socket->beginReceiving(&e));
  PlainUdpPeer peer(family());
  const Address dest = loopbackAddress(family(), port);
  ASSERT_TRUE(peer.sendTo(dest, patterned(1, 101)));
  ASSERT_TRUE(peer.sendTo(dest, patterned(2, 100)));
  ASSERT_TRUE(peer.sendTo(dest, bytes("z")));
  ASSERT_TRUE(f.delegate->waitForCount(UdpEvent::Received, 2));
  f.settle();
  const auto received = f.delegate->eventsOf(UdpEvent::Received);
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].data.toVector(), patterned(2, 100));
  EXPECT_EQ(text(received[1].data), "z");
}

TEST_P(UdpFamily, BurstOfThousandsDeliversOnlyExactDatagrams) {
  constexpr uint32_t kCount = 3000;
  UdpFixture receiver;
  const uint16_t port = bindLoopback(receiver);
  Error e;
  ASSERT_TRUE(receiver.socket->beginReceiving(&e));

  // The sender queues every datagram at once, each to a host name resolved in the
  // background; they must all go out, in order.
  UdpFixture sender;
  if (family() == AF_INET) {
    sender.socket->setPreferIPv4();
  } else {
    sender.socket->setPreferIPv6();
  }
  auto lengthOf = [](uint32_t i) { return 8 + (i * 37) % 1400; };
  for (uint32_t i = 0; i < kCount; ++i) {
    sender.socket->sendData(patterned(i, lengthOf(i)), "localhost", port, -1.0, i);
  }
  ASSERT_TRUE(sender.delegate->waitForCount(UdpEvent::Sent, kCount, 30.0));
  const auto sent = sender.delegate->eventsOf(UdpEvent::Sent);
  for (uint32_t i = 0; i < kCount; ++i) ASSERT_EQ(sent[i].tag, static_cast<long>(i));
  EXPECT_EQ(sender.delegate->count(UdpEvent::NotSent), 0u);

  // The receiver is still alive: a sentinel gets through (datagrams of the burst may
  // have been dropped by the kernel, so it is repeated until one arrives).
  PlainUdpPeer peer(family());
  bool sentinelSeen = false;
  for (int attempt = 0; attempt < 100 && !sentinelSeen; ++attempt) {
    ASSERT_TRUE(peer.sendTo(loopbackAddress(family(), port), bytes("sentinel")));
    sentinelSeen = receiver.delegate->waitUntil(
        [&] {
          for (const auto& ev : receiver.delegate->eventsLocked()) {
            if (ev.kind == UdpEvent::Received && text(ev.data) == "sentinel") return true;
          }
          return false;
        },
        0.05);
  }
  ASSERT_TRUE(sentinelSeen);

  std::set<uint32_t> seen;
  size_t burstDatagrams = 0;
  for (const auto& ev : receiver.delegate->eventsOf(UdpEvent::Received)) {
    if (text(ev.data) == "sentinel") continue;
    ASSERT_GE(ev.data.size(), 8u);
    uint32_t index = 0;
    std::memcpy(&index, ev.data.data(), 4);
    ASSERT_LT(index, kCount);
    ASSERT_EQ(ev.data.toVector(), patterned(index, lengthOf(index)));
    EXPECT_TRUE(seen.insert(index).second) << "datagram " << index << " delivered twice";
    ++burstDatagrams;
  }
  EXPECT_GT(burstDatagrams, 0u);
  EXPECT_EQ(receiver.delegate->count(UdpEvent::Closed), 0u);
  EXPECT_EQ(sender.delegate->count(UdpEvent::Closed), 0u);
}

TEST_P(UdpFamily, OneShotReceivingDeliversOneDatagramPerRequest) {
  UdpFixture f;
  const uint16_t port = bindLoopback(f);
  PlainUdpPeer peer(family());
  const Address dest = loopbackAddress(family(), port);
  for (const char* d : {"1", "2", "3"}) ASSERT_TRUE(peer.sendTo(dest, bytes(d)));

  Error e;
  ASSERT_TRUE(f.socket->receiveOnce(&e));
  ASSERT_TRUE(f.delegate->waitForCount(UdpEvent::Received, 1));
  f.settle();
  EXPECT_EQ(f.delegate->count(UdpEvent::Received), 1u);

  ASSERT_TRUE(f.socket->receiveOnce(&e));
  ASSERT_TRUE(f.delegate->waitForCount(UdpEvent::Received, 2));
  f.settle();
  EXPECT_EQ(f.delegate->count(UdpEvent::Received), 2u);

  // Continuous receiving takes the rest and whatever comes later.
  ASSERT_TRUE(f.socket->beginReceiving(&e));
  ASSERT_TRUE(peer.sendTo(dest, bytes("4")));
  ASSERT_TRUE(f.delegate->waitForCount(UdpEvent::Received, 4));

  f.socket->pauseReceiving();
  f.settle();
  ASSERT_TRUE(peer.sendTo(dest, bytes("5")));
  f.settle();
  EXPECT_EQ(f.delegate->count(UdpEvent::Received), 4u);
  ASSERT_TRUE(f.socket->receiveOnce(&e));
  ASSERT_TRUE(f.delegate->waitForCount(UdpEvent::Received, 5));

  std::vector<std::string> order;
  for (const auto& ev : f.delegate->eventsOf(UdpEvent::Received)) order.push_back(text(ev.data));
  EXPECT_EQ(order, (std::vector<std::string>{"1", "2", "3", "4", "5"}));
}

TEST_P(UdpFamily, ConnectedSocketTalksToItsPeerOnly) {
  UdpFixture f;
  PlainUdpPeer peerA(family());
  PlainUdpPeer peerB(family());
  Error e;
  ASSERT_TRUE(f.socket->connectToHost(std::string(loopbackText(family())), peerA.port(), &e))
      << e.description;
  ASSERT_TRUE(f.delegate->waitForCount(UdpEvent::Connect, 1));
  EXPECT_EQ(f.delegate->eventsOf(UdpEvent::Connect)[0].address, peerA.address());
  EXPECT_TRUE(f.socket->isConnected());
  EXPECT_EQ(f.socket->connectedHost(), loopbackText(family()));
  EXPECT_EQ(f.socket->connectedPort(), peerA.port());
  EXPECT_EQ(f.socket->connectedAddress(), peerA.address());
  EXPECT_EQ(f.socket->isIPv4(), family() == AF_INET);
  EXPECT_EQ(f.socket->isIPv6(), family() == AF_INET6);

  f.socket->sendData(bytes("to the peer"), -1.0, 1);
  f.socket->sendData(bytes("elsewhere"), peerB.address(), -1.0, 2);
  f.socket->sendData(bytes("again"), 3);
  ASSERT_TRUE(f.delegate->waitForCount(UdpEvent::Sent, 2));
  const auto notSent = f.delegate->eventsOf(UdpEvent::NotSent);
  ASSERT_EQ(notSent.size(), 1u);
  EXPECT_EQ(notSent[0].tag, 2);
  EXPECT_EQ(notSent[0].error->description,
            "Cannot specify destination of packet for connected socket");
  auto got = peerA.receive();
  ASSERT_TRUE(got);
  EXPECT_EQ(text(got->data), "to the peer");

  ASSERT_TRUE(f.socket->beginReceiving(&e));
  ASSERT_TRUE(peerB.sendTo(got->from, bytes("from B")));
  ASSERT_TRUE(peerA.sendTo(got->from, bytes("from A")));
  ASSERT_TRUE(f.delegate->waitForCount(UdpEvent::Received, 1));
  f.settle();
  const auto received = f.delegate->eventsOf(UdpEvent::Received);
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(text(received[0].data), "from A");
}

TEST_P(UdpFamily, ConnectResolutionFailureIsReported) {
  UdpFixture f;
  Error e;
  ASSERT_TRUE(f.socket->connectToHost(std::string("no-such-host.invalid"), 9, &e));
  ASSERT_TRUE(f.delegate->waitForCount(UdpEvent::NotConnect, 1));
  EXPECT_EQ(f.delegate->eventsOf(UdpEvent::NotConnect)[0].error->domain,
            "kCFStreamErrorDomainNetDB");
  EXPECT_FALSE(f.socket->isConnected());
  // The failed request is over: another may follow.
  PlainUdpPeer peer(family());
  ASSERT_TRUE(f.socket->connectToAddress(peer.address(), &e)) << e.description;
  ASSERT_TRUE(f.delegate->waitForCount(UdpEvent::Connect, 1));
}

TEST_P(UdpFamily, CloseAfterSendingDrainsTheQueueFirst) {
  UdpFixture f;
  PlainUdpPeer peer(family());
  for (long tag = 1; tag <= 3; ++tag) {
    f.socket->sendData(bytes("d" + std::to_string(tag)), loopbackText(family()), peer.port(), -1.0,
                       tag);
  }
  f.socket->closeAfterSending();
  ASSERT_TRUE(f.delegate->waitForCount(UdpEvent::Closed, 1));
  const auto events = f.delegate->events();
  ASSERT_EQ(events.size(), 4u);
  for (long tag = 1; tag <= 3; ++tag) {
    EXPECT_EQ(events[static_cast<size_t>(tag - 1)].kind, UdpEvent::Sent);
    EXPECT_EQ(events[static_cast<size_t>(tag - 1)].tag, tag);
  }
  EXPECT_EQ(events[3].kind, UdpEvent::Closed);
  EXPECT_FALSE(events[3].error.has_value());
  for (int i = 1; i <= 3; ++i) {
    auto got = peer.receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(text(got->data), "d" + std::to_string(i));
  }
}

// ---- filters, per family and mode

using FilterParam = std::tuple<int, bool>;  // family, asynchronous

std::string filterName(const ::testing::TestParamInfo<FilterParam>& info) {
  return std::string(std::get<0>(info.param) == AF_INET ? "IPv4" : "IPv6") +
         (std::get<1>(info.param) ? "Async" : "Sync");
}

class UdpFilter : public ::testing::TestWithParam<FilterParam> {
 protected:
  int family() const { return std::get<0>(GetParam()); }
  bool async() const { return std::get<1>(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(Loopback, UdpFilter,
                         ::testing::Combine(::testing::Values(AF_INET, AF_INET6),
                                            ::testing::Bool()),
                         filterName);

TEST_P(UdpFilter, SendFilterRefusalStillCountsAsSent) {
  std::mutex m;
  std::vector<std::string> labels;
  std::vector<Address> destinations;
  std::vector<std::string> asked;
  auto filterQueue = Queue::createSerial("udp.filter");
  UdpFixture f;
  PlainUdpPeer peer(family());
  f.socket->setSendFilter(
      [&](const SharedData& data, const Address& address, long tag) {
        std::lock_guard<std::mutex> lock(m);
        labels.push_back(Queue::currentLabel());
        destinations.push_back(address);
        asked.push_back(data.toString());
        return tag % 2 == 0;
      },
      filterQueue, async());
  for (long tag = 1; tag <= 4; ++tag) {
    f.socket->sendData(bytes("d" + std::to_string(tag)), peer.address(), -1.0, tag);
  }
  f.socket->sendData(bytes("end"), peer.address(), -1.0, 6);
  ASSERT_TRUE(f.delegate->waitForCount(UdpEvent::Sent, 5));
  const auto sent = f.delegate->eventsOf(UdpEvent::Sent);
  std::vector<long> tags;
  for (const auto& ev : sent) tags.push_back(ev.tag);
  EXPECT_EQ(tags, (std::vector<long>{1, 2, 3, 4, 6}));
  EXPECT_EQ(f.delegate->count(UdpEvent::NotSent), 0u);
  for (const char* expected : {"d2", "d4", "end"}) {
    auto got = peer.receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(text(got->data), expected);
  }
  std::lock_guard<std::mutex> lock(m);
  EXPECT_EQ(asked, (std::vector<std::string>{"d1", "d2", "d3", "d4", "end"}));
  for (const auto& label : labels) EXPECT_EQ(label, "udp.filter");
  for (const auto& address : destinations) EXPECT_EQ(address, peer.address());
}

TEST_P(UdpFilter, ReceiveFilterDropsRefusedDatagramsAndPassesItsContext) {
  std::mutex m;
  std::vector<std::string> labels;
  auto filterQueue = Queue::createSerial("udp.filter");
  UdpFixture f;
  f.socket->setReceiveFilter(
      [&](const SharedData& data, const Address& address, std::any* context) {
        {
          std::lock_guard<std::mutex> lock(m);
          labels.push_back(Queue::currentLabel());
        }
        if (!GCDAsyncUdpSocket::hostFromAddress(address)) return false;
        if (!data.empty() && data.data()[0] == 'x') return false;
        *context = std::string("ctx-") + data.toString();
        return true;
      },
      filterQueue, async());
  Error e;
  ASSERT_TRUE(f.socket->bindToAddress(loopbackAddress(family(), 0), &e));
  const Address dest = loopbackAddress(family(), f.socket->localPort());
  PlainUdpPeer peer(family());

  // One-shot: a refused datagram does not use up the request.
  for (const char* d : {"x0", "a1"}) ASSERT_TRUE(peer.sendTo(dest, bytes(d)));
  ASSERT_TRUE(f.socket->receiveOnce(&e));
  ASSERT_TRUE(f.delegate->waitForCount(UdpEvent::Received, 1));

  ASSERT_TRUE(f.socket->beginReceiving(&e));
  for (const char* d : {"x2", "a3", "x4", "a5"}) ASSERT_TRUE(peer.sendTo(dest, bytes(d)));
  ASSERT_TRUE(f.delegate->waitForCount(UdpEvent::Received, 3));
  f.settle();
  const auto received = f.delegate->eventsOf(UdpEvent::Received);
  ASSERT_EQ(received.size(), 3u);
  const std::vector<std::string> expected = {"a1", "a3", "a5"};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(text(received[i].data), expected[i]);
    ASSERT_TRUE(received[i].context.has_value());
    EXPECT_EQ(std::any_cast<std::string>(received[i].context), "ctx-" + expected[i]);
  }
  std::lock_guard<std::mutex> lock(m);
  EXPECT_EQ(labels.size(), 6u);
  for (const auto& label : labels) EXPECT_EQ(label, "udp.filter");
}

// ---- both families at once

TEST(UdpBothFamilies, ReceptionsAlternateBetweenFamiliesWithDataWaiting) {
  UdpFixture f;
  Error e;
  ASSERT_TRUE(f.socket->bindToPort(0, "localhost", &e)) << e.description;
  ASSERT_TRUE(f.socket->isIPv4() && f.socket->isIPv6());
  const Address dest4 = loopbackAddress(AF_INET, f.socket->localPort_IPv4());
  const Address dest6 = loopbackAddress(AF_INET6, f.socket->localPort_IPv6());
  PlainUdpPeer peer4(AF_INET);
  PlainUdpPeer peer6(AF_INET6);
  constexpr int kEach = 4;
  for (int i = 0; i < kEach; ++i) {
    ASSERT_TRUE(peer4.sendTo(dest4, bytes("4-" + std::to_string(i))));
    ASSERT_TRUE(peer6.sendTo(dest6, bytes("6-" + std::to_string(i))));
  }
  // Loopback delivery need not be complete when sendto returns: wait (bounded) until both
  // descriptors hold data, so that the alternation is what decides the order.
  pollfd fds[2] = {{-1, POLLIN, 0}, {-1, POLLIN, 0}};
  f.socket->performBlock([&] {
    fds[0].fd = f.socket->socket4FD();
    fds[1].fd = f.socket->socket6FD();
  });
  for (int tries = 0; tries < 100; ++tries) {
    fds[0].revents = fds[1].revents = 0;
    ASSERT_GE(::poll(fds, 2, 20), 0);
    if ((fds[0].revents & POLLIN) && (fds[1].revents & POLLIN)) break;
  }
  ASSERT_TRUE((fds[0].revents & POLLIN) && (fds[1].revents & POLLIN));
  for (size_t n = 1; n <= 2 * kEach; ++n) {
    ASSERT_TRUE(f.socket->receiveOnce(&e));
    ASSERT_TRUE(f.delegate->waitForCount(UdpEvent::Received, n));
  }
  std::vector<int> families;
  std::vector<std::string> from4;
  std::vector<std::string> from6;
  for (const auto& ev : f.delegate->eventsOf(UdpEvent::Received)) {
    const int fam = GCDAsyncUdpSocket::familyFromAddress(ev.address);
    families.push_back(fam);
    (fam == AF_INET ? from4 : from6).push_back(text(ev.data));
  }
  EXPECT_EQ(from4, (std::vector<std::string>{"4-0", "4-1", "4-2", "4-3"}));
  EXPECT_EQ(from6, (std::vector<std::string>{"6-0", "6-1", "6-2", "6-3"}));
  // With both families holding data neither is served more than twice in a row (once
  // because only its own count was known, once by the alternation).
  int run = 1;
  for (size_t i = 1; i < families.size(); ++i) {
    run = families[i] == families[i - 1] ? run + 1 : 1;
    EXPECT_LE(run, 2) << "reception " << i << " of " << ::testing::PrintToString(families);
  }
}

}  // namespace
}  // namespace corvane::udp_test
