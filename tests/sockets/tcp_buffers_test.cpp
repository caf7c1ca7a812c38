// Pre-buffer, read-packet length rules, error texts and address helpers.
#include <gtest/gtest.h>

#include <cstring>

#include "sockets/gcd_async_read_packet.h"
#include "sockets/gcd_async_socket_pre_buffer.h"
#include "tcp_support.h"

namespace corvane::tcp_test {
namespace {

void fill(GCDAsyncSocketPreBuffer& pb, const std::string& s) {
  pb.ensureCapacityForWrite(s.size());
  std::memcpy(pb.writeBuffer(), s.data(), s.size());
  pb.didWrite(s.size());
}

TEST(TcpPreBuffer, GrowsByShortfallKeepsOffsetsAndRewindsWhenDrained) {
  GCDAsyncSocketPreBuffer pb(8);
  fill(pb, "abcdef");
  pb.didRead(4);  // "ef" left at offset 4
  EXPECT_EQ(pb.availableBytes(), 2u);
  EXPECT_EQ(pb.availableSpace(), 2u);
  pb.ensureCapacityForWrite(5);  // 3 short: grows by exactly 3, data not moved
  EXPECT_EQ(pb.capacity(), 11u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(pb.readBuffer()), 2), "ef");
  EXPECT_EQ(pb.availableSpace(), 5u);
  pb.didRead(2);  // drained: both positions back at the start
  EXPECT_EQ(pb.availableBytes(), 0u);
  EXPECT_EQ(pb.availableSpace(), 11u);
  fill(pb, "xy");
  pb.reset();
  EXPECT_EQ(pb.availableBytes(), 0u);
}

// A terminator read with `done` bytes already in the packet and `pre` in the pre-buffer.
struct TermCase {
  const char* name;
  std::string packetData;
  std::string pre;
  std::string term;
  uint64_t maxLength;
  uint64_t expectLength;
  bool expectFound;
};

class TcpTermPreBuffer : public ::testing::TestWithParam<TermCase> {};

TEST_P(TcpTermPreBuffer, TakesUpToTerminatorOrAllowedBytes) {
  const TermCase& c = GetParam();
  GCDAsyncReadPacket packet(nullptr, 0, c.maxLength, -1, 0, bytes(c.term), 0);
  packet.buffer->assign(c.packetData.begin(), c.packetData.end());
  packet.bytesDone = c.packetData.size();
  GCDAsyncSocketPreBuffer pb(4);
  fill(pb, c.pre);
  bool found = !c.expectFound;
  EXPECT_EQ(packet.readLengthForTermWithPreBuffer(pb, &found), c.expectLength);
  EXPECT_EQ(found, c.expectFound);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TcpTermPreBuffer,
    ::testing::Values(TermCase{"inPreBuffer", "", "ab\r\ncd", "\r\n", 0, 4, true},
                      TermCase{"straddles", "ab\r", "\ncd", "\r\n", 0, 1, true},
                      TermCase{"straddlesLongTerm", "xxAB", "CDyy", "ABCD", 0, 2, true},
                      TermCase{"tooShort", "", "a", "\r\n", 0, 1, false},
                      TermCase{"notFound", "ab", "cdef", "\r\n", 0, 4, false},
                      TermCase{"cappedNotFound", "ab", "cdefgh", "\r\n", 5, 3, false},
                      TermCase{"beyondCap", "", "abcd\r\n", "\r\n", 4, 4, false}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(TcpReadPacket, SearchAfterAppendFindsOverflowAndStraddle) {
  struct Case {
    std::string before, appended;
    int64_t expect;
  };
  const Case cases[] = {
      {"", "abc\r\nde", 2},   // two bytes after the terminator
      {"abc\r", "\nxyz", 3},  // terminator straddles the earlier bytes
      {"abc", "\r\n", 0},     // ends exactly at the terminator
      {"ab", "cdef", -1},     // not there
      {"a\r\nb", "cd", -1},   // a match only in already searched bytes is not found again
  };
  for (const Case& c : cases) {
    GCDAsyncReadPacket packet(nullptr, 0, 0, -1, 0, bytes("\r\n"), 0);
    const std::string all = c.before + c.appended;
    packet.buffer->assign(all.begin(), all.end());
    packet.bytesDone = c.before.size();
    EXPECT_EQ(packet.searchForTermAfterPreBuffering(static_cast<int64_t>(c.appended.size())),
              c.expect)
        << c.before << "|" << c.appended;
  }
}

TEST(TcpReadPacket, LengthRulesHonourLengthCapAndBufferSpace) {
  GCDAsyncReadPacket lengthRead(nullptr, 0, 0, -1, 10, {}, 0);
  lengthRead.bytesDone = 4;
  EXPECT_EQ(lengthRead.readLengthForNonTermWithHint(100), 6u);
  EXPECT_EQ(lengthRead.readLengthForNonTermWithHint(3), 3u);

  GCDAsyncReadPacket capped(nullptr, 0, 8, -1, 0, {}, 0);
  capped.bytesDone = 5;
  EXPECT_EQ(capped.readLengthForNonTermWithHint(100), 3u);

  auto callerBuffer = std::make_shared<Bytes>(16);
  GCDAsyncReadPacket term(callerBuffer, 4, 0, -1, 0, bytes("\n"), 0);
  bool preBuffer = true;
  EXPECT_EQ(term.readLengthForTermWithHint(12, &preBuffer), 12u);
  EXPECT_FALSE(preBuffer);  // 12 bytes fit after the offset
  EXPECT_EQ(term.readLengthForTermWithHint(13, &preBuffer), 13u);
  EXPECT_TRUE(preBuffer);
  EXPECT_EQ(term.originalBufferLength, 16u);
  EXPECT_FALSE(term.bufferOwner);
}

TEST(TcpErrors, DomainCodesAndTexts) {
  using E = GCDAsyncSocketErrors;
  struct Case {
    Error e;
    long code;
    const char* text;
  };
  const Case cases[] = {
      {E::connectTimeoutError(), 3, "Attempt to connect to host timed out"},
      {E::readTimeoutError(), 4, "Read operation timed out"},
      {E::writeTimeoutError(), 5, "Write operation timed out"},
      {E::readMaxedOutError(), 6, "Read operation reached set maximum length"},
      {E::connectionClosedError(), 7, "Socket closed by remote peer"},
      {E::badConfigError("x"), 1, "x"},
      {E::badParamError("y"), 2, "y"},
      {E::otherError("z"), 8, "z"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.e.domain, GCDAsyncSocketErrorDomain);
    EXPECT_EQ(c.e.code, c.code);
    EXPECT_EQ(c.e.description, c.text);
  }
  const Error errnoErr = E::errorWithErrno(ECONNREFUSED, "Error in connect() function");
  EXPECT_EQ(errnoErr.code, ECONNREFUSED);
  EXPECT_EQ(errnoErr.description, std::strerror(ECONNREFUSED));
  EXPECT_EQ(errnoErr.failureReason, "Error in connect() function");
}

TEST(TcpAddresses, LookupOfLocalhostIsBothLoopbacksInOrder) {
  for (const char* host : {"localhost", "loopback"}) {
    Error err;
    const auto addrs = GCDAsyncSocket::lookupHost(host, 4242, &err);
    ASSERT_EQ(addrs.size(), 2u);
    EXPECT_EQ(addrs[0].size(), 16u);
    EXPECT_EQ(addrs[1].size(), 28u);
    EXPECT_EQ(GCDAsyncSocket::hostFromAddress(addrs[0]), "127.0.0.1");
    EXPECT_EQ(GCDAsyncSocket::hostFromAddress(addrs[1]), "::1");
    EXPECT_EQ(GCDAsyncSocket::portFromAddress(addrs[0]), 4242);
    EXPECT_EQ(GCDAsyncSocket::portFromAddress(addrs[1]), 4242);
  }
  Error err;
  const auto numeric = GCDAsyncSocket::lookupHost("127.0.0.1", 80, &err);
  ASSERT_FALSE(numeric.empty());
  EXPECT_TRUE(GCDAsyncSocket::isIPv4Address(numeric[0]));
  EXPECT_EQ(GCDAsyncSocket::portFromAddress(numeric[0]), 80);
}

TEST(TcpAddresses, MalformedAddressesAreRejected) {
  Bytes shortV6 = loopbackAddress(AF_INET6, 1);
  shortV6.resize(20);  // IPv6 family but shorter than an IPv6 address
  std::string host = "unchanged";
  uint16_t port = 7;
  EXPECT_FALSE(GCDAsyncSocket::getHost(&host, &port, shortV6));
  EXPECT_EQ(host, "unchanged");
  EXPECT_FALSE(GCDAsyncSocket::getHost(&host, &port, Bytes(3, 0)));
  EXPECT_FALSE(GCDAsyncSocket::isIPv4Address(Bytes(8, 0)));
  EXPECT_EQ(GCDAsyncSocket::hostFromAddress(Bytes()), "");
  EXPECT_EQ(GCDAsyncSocket::pathFromUrl("file:///tmp/a.sock"), "/tmp/a.sock");
  EXPECT_EQ(GCDAsyncSocket::pathFromUrl("file://localhost/tmp/a"), "/tmp/a");
  EXPECT_EQ(GCDAsyncSocket::pathFromUrl("/tmp/b"), "/tmp/b");
  EXPECT_EQ(GCDAsyncSocket::CRLFData(), bytes("\r\n"));
  EXPECT_EQ(GCDAsyncSocket::ZeroData(), Bytes{0});
}

}  // namespace
}  // namespace corvane::tcp_test
