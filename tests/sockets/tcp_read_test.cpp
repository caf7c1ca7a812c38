// Reading: every kind of read, the pre-buffer, caps, end of stream and time-outs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "tcp_support.h"

namespace corvane::tcp_test {
namespace {

std::vector<std::string> readTexts(RecordingDelegate& d) {
  std::vector<std::string> out;
  for (const Event& e : d.events(Event::Read)) out.push_back(text(e.data));
  return out;
}

class TcpRead : public ConnectedPairTest {};

// The terminator arrives split over two passes; the bytes after it stay in the pre-buffer
// and serve the next read. Own buffer (bytes go through the pre-buffer) and a roomy caller
// buffer (bytes land in the packet and the overflow moves to the pre-buffer).
TEST_F(TcpRead, TerminatorSplitAcrossPassesAndPreBufferServesNextRead) {
  for (bool callerBuffer : {false, true}) {
    SCOPED_TRACE(callerBuffer ? "caller buffer" : "own buffer");
    std::shared_ptr<Bytes> buffer;
    const size_t before = pair.delegate->count(Event::Read);
    const size_t partialBefore = pair.delegate->count(Event::PartialRead);
    if (callerBuffer) {
      // Room for the whole line after the offset: bytes go straight into the buffer.
      buffer = std::make_shared<Bytes>(bytes("HDR"));
      buffer->resize(512, 0);
      pair.sock->readDataToData(GCDAsyncSocket::CRLFData(), 2.0, buffer, 3, 1);
    } else {
      pair.sock->readDataToData(GCDAsyncSocket::CRLFData(), 2.0, 1);
    }
    ASSERT_TRUE(writeAll(pair.peer.get(), bytes("abc\r")));
    ASSERT_TRUE(pair.delegate->waitFor(Event::PartialRead, partialBefore + 1));
    ASSERT_TRUE(writeAll(pair.peer.get(), bytes("\ndef\r\nxy")));
    ASSERT_TRUE(pair.delegate->waitFor(Event::Read, before + 1));
    pair.sock->readDataToData(GCDAsyncSocket::CRLFData(), 2.0, 2);
    pair.sock->readDataToLength(2, 2.0, 3);
    ASSERT_TRUE(pair.delegate->waitFor(Event::Read, before + 3));
    const auto reads = pair.delegate->events(Event::Read);
    EXPECT_EQ(text(reads[before].data), "abc\r\n");
    EXPECT_EQ(reads[before].tag, 1);
    EXPECT_EQ(text(reads[before + 1].data), "def\r\n");
    EXPECT_EQ(text(reads[before + 2].data), "xy");
    if (buffer) {
      // The caller's buffer holds its header and the line; the view covered only the line.
      EXPECT_EQ(std::string(buffer->begin(), buffer->begin() + 8), "HDRabc\r\n");
      EXPECT_EQ(buffer->size(), 512u);  // not grown, so not cut
    }
  }
}

TEST_F(TcpRead, AvailableReadIsServedFromThePreBufferAlone) {
  pair.sock->readDataToData(GCDAsyncSocket::LFData(), 2.0, 1);
  ASSERT_TRUE(writeAll(pair.peer.get(), bytes("x\nabc")));
  ASSERT_TRUE(pair.delegate->waitFor(Event::Read, 1));
  pair.sock->readDataWithTimeout(2.0, 2);
  ASSERT_TRUE(pair.delegate->waitFor(Event::Read, 2));
  EXPECT_EQ(readTexts(*pair.delegate), (std::vector<std::string>{"x\n", "abc"}));
}

TEST_F(TcpRead, LengthReadReportsPartialPassesAndFillsTheCallerBufferAtItsOffset) {
  auto buffer = std::make_shared<Bytes>(bytes("HDR"));
  pair.sock->readDataToLength(10, 2.0, buffer, 3, 5);
  ASSERT_TRUE(writeAll(pair.peer.get(), bytes("0123")));
  ASSERT_TRUE(pair.delegate->waitFor(Event::PartialRead));
  long tag = 0;
  uint64_t done = 0, total = 0;
  const float progress = pair.sock->progressOfReadReturningTag(&tag, &done, &total);
  EXPECT_EQ(tag, 5);
  EXPECT_EQ(done, 4u);
  EXPECT_EQ(total, 10u);
  EXPECT_FLOAT_EQ(progress, 0.4f);
  ASSERT_TRUE(writeAll(pair.peer.get(), bytes("456789")));
  ASSERT_TRUE(pair.delegate->waitFor(Event::Read));
  EXPECT_EQ(pair.delegate->first(Event::PartialRead).length, 4u);
  EXPECT_EQ(text(pair.delegate->first(Event::Read).data), "0123456789");
  EXPECT_EQ(text(*buffer), "HDR0123456789");
  EXPECT_TRUE(std::isnan(pair.sock->progressOfReadReturningTag(&tag, &done, &total)));
}

TEST_F(TcpRead, AvailableReadWithCapTakesNoMoreThanTheCap) {
  ASSERT_TRUE(writeAll(pair.peer.get(), bytes("abcdefgh")));
  // Wait until the bytes are readable on our side, then read with a cap of 3.
  pair.sock->readDataWithTimeout(2.0, nullptr, 0, 3, 1);
  pair.sock->readDataWithTimeout(2.0, 2);
  ASSERT_TRUE(pair.delegate->waitFor(Event::Read, 2));
  const auto reads = readTexts(*pair.delegate);
  EXPECT_EQ(reads[0], "abc");
  EXPECT_EQ(reads[1], "defgh");
}

TEST_F(TcpRead, TerminatorReadReachingItsCapClosesWithCode6) {
  pair.sock->readDataToData(GCDAsyncSocket::LFData(), 2.0, 8, 1);
  ASSERT_TRUE(writeAll(pair.peer.get(), bytes("0123456789abcdef")));
  ASSERT_TRUE(pair.delegate->waitFor(Event::Disconnect));
  EXPECT_TRUE(isCode(pair.delegate->first(Event::Disconnect).error, Code::readMaxedOut));
  EXPECT_EQ(pair.delegate->count(Event::Read), 0u);
  EXPECT_TRUE(waitForEOF(pair.peer.get()));
}

TEST_F(TcpRead, RefusedRequestsAreDropped) {
  auto buffer = std::make_shared<Bytes>(4);
  pair.sock->readDataToLength(0, 1.0, 1);              // zero length
  pair.sock->readDataToLength(2, 1.0, buffer, 5, 2);   // offset past the buffer
  pair.sock->readDataToData(Bytes(), 1.0, 3);          // empty terminator
  pair.sock->readDataToData(bytes("abc"), 1.0, 2, 4);  // cap below the terminator
  pair.sock->readDataWithTimeout(1.0, buffer, 9, 5);   // offset past the buffer
  pair.sock->readDataToLength(2, 1.0, 6);              // accepted
  ASSERT_TRUE(writeAll(pair.peer.get(), bytes("ok")));
  ASSERT_TRUE(pair.delegate->waitFor(Event::Read));
  EXPECT_EQ(pair.delegate->first(Event::Read).tag, 6);
  EXPECT_EQ(pair.delegate->count(Event::Disconnect), 0u);
}

// The peer sends three lines and closes. Reads queued after the end of stream are served
// from the pre-buffer first; the socket closes with code 7 once nothing is left.
TEST_F(TcpRead, PeerCloseWithBufferedDataServesReadsThenClosesWithCode7) {
  pair.sock->readDataToData(GCDAsyncSocket::LFData(), 2.0, 1);
  ASSERT_TRUE(writeAll(pair.peer.get(), bytes("a\nb\nc")));
  pair.peer.reset();
  ASSERT_TRUE(pair.delegate->waitFor(Event::Read, 1));
  pair.sock->readDataToData(GCDAsyncSocket::LFData(), 2.0, 2);
  pair.sock->readDataToData(GCDAsyncSocket::LFData(), 2.0, 3);
  ASSERT_TRUE(pair.delegate->waitFor(Event::Disconnect));
  EXPECT_EQ(readTexts(*pair.delegate), (std::vector<std::string>{"a\n", "b\n"}));
  EXPECT_TRUE(isCode(pair.delegate->first(Event::Disconnect).error, Code::connectionClosed));
  EXPECT_EQ(pair.delegate->count(Event::Disconnect), 1u);
}

TEST_F(TcpRead, HalfCloseKeepsTheSocketWritable) {
  pair.sock->setAutoDisconnectOnClosedReadStream(false);
  pair.sock->readDataToLength(3, 2.0, 1);
  ASSERT_TRUE(writeAll(pair.peer.get(), bytes("abc")));
  ::shutdown(pair.peer.get(), SHUT_WR);
  ASSERT_TRUE(pair.delegate->waitFor(Event::CloseReadStream));
  EXPECT_EQ(text(pair.delegate->first(Event::Read).data), "abc");
  pair.sock->writeData(SharedData::fromString("still here"), 2.0, 7);
  ASSERT_TRUE(pair.delegate->waitFor(Event::Write));
  Bytes got;
  ASSERT_TRUE(readExactly(pair.peer.get(), 10, &got));
  EXPECT_EQ(text(got), "still here");
  EXPECT_TRUE(pair.sock->isConnected());
  pair.sock->disconnect();
  ASSERT_TRUE(pair.delegate->waitFor(Event::Disconnect));
  EXPECT_FALSE(pair.delegate->first(Event::Disconnect).error);
}

struct TimeoutCase {
  const char* name;
  std::vector<std::optional<double>> answers;  // delegate's answers, in order
  size_t expectQuestions;
  std::vector<double> expectElapsed;
};

class TcpReadTimeout : public ::testing::TestWithParam<TimeoutCase> {};

// A silent peer: the time-out is put to the delegate, extended as it answers, and a refusal
// (0, or not implemented) closes with code 4.
TEST_P(TcpReadTimeout, RefusedOrExtendedByTheDelegate) {
  const TimeoutCase& c = GetParam();
  ConnectedPair pair;
  ASSERT_TRUE(pair.open());
  pair.delegate->readTimeoutAnswers.assign(c.answers.begin(), c.answers.end());
  pair.sock->readDataToLength(4, 0.1, 42);
  ASSERT_TRUE(pair.delegate->waitFor(Event::Disconnect));
  EXPECT_TRUE(isCode(pair.delegate->first(Event::Disconnect).error, Code::readTimeout));
  EXPECT_EQ(pair.delegate->first(Event::Disconnect).error->description, "Read operation timed out");
  const auto questions = pair.delegate->events(Event::ReadTimeout);
  ASSERT_EQ(questions.size(), c.expectQuestions);
  for (size_t i = 0; i < questions.size(); ++i) {
    EXPECT_EQ(questions[i].tag, 42);
    EXPECT_NEAR(questions[i].elapsed, c.expectElapsed[i], 1e-9);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TcpReadTimeout,
    ::testing::Values(TimeoutCase{"notImplemented", {}, 1, {0.1}},
                      TimeoutCase{"refused", {0.0}, 1, {0.1}},
                      TimeoutCase{"extendedTwice", {0.1, 0.15, 0.0}, 3, {0.1, 0.2, 0.35}}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(TcpRead, ExtendedReadCompletesWhenDataArrives) {
  pair.delegate->readTimeoutAnswers = {10.0};
  pair.delegate->onReadTimeout = [&](const SocketPtr&, double) {
    writeAll(pair.peer.get(), bytes("late"));
  };
  pair.sock->readDataToLength(4, 0.05, 1);
  ASSERT_TRUE(pair.delegate->waitFor(Event::Read));
  EXPECT_EQ(text(pair.delegate->first(Event::Read).data), "late");
  EXPECT_EQ(pair.delegate->count(Event::Disconnect), 0u);
  EXPECT_TRUE(pair.sock->isConnected());
}

}  // namespace
}  // namespace corvane::tcp_test
