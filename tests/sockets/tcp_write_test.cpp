// Writing: partial passes, ordering, time-outs and delayed disconnects.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>

#include "tcp_support.h"

namespace corvane::tcp_test {
namespace {

Bytes pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 131) ^ (i >> 9));
  return b;
}

class TcpWrite : public ConnectedPairTest {};

// Far more than the socket buffers hold: the write finishes over several writable events,
// each partial pass reported, then one completion; the peer gets every byte in order.
TEST_F(TcpWrite, WriteLargerThanTheSocketBufferCompletesOverSeveralPasses) {
  const Bytes data = pattern(16 * 1024 * 1024);
  pair.sock->writeData(data, 10.0, 3);
  // Let the buffers fill before the peer starts reading.
  ASSERT_TRUE(pair.delegate->waitFor(Event::PartialWrite));
  Bytes got;
  ASSERT_TRUE(readExactly(pair.peer.get(), data.size(), &got, 20.0));
  ASSERT_TRUE(pair.delegate->waitFor(Event::Write));
  EXPECT_TRUE(got == data);
  uint64_t partialSum = 0;
  for (const Event& e : pair.delegate->events(Event::PartialWrite)) {
    EXPECT_EQ(e.tag, 3);
    partialSum += e.length;
  }
  EXPECT_GE(pair.delegate->count(Event::PartialWrite), 1u);
  EXPECT_LT(partialSum, data.size());
  EXPECT_EQ(pair.delegate->count(Event::Write), 1u);
  EXPECT_EQ(pair.delegate->first(Event::Write).tag, 3);
}

TEST_F(TcpWrite, WritesCompleteInOrderAndEmptyWritesAreIgnored) {
  pair.sock->writeData(SharedData::fromString("one,"), 2.0, 1);
  pair.sock->writeData(SharedData(), 2.0, 99);
  pair.sock->writeData(SharedData::fromString("two"), 2.0, 2);
  Bytes got;
  ASSERT_TRUE(readExactly(pair.peer.get(), 7, &got));
  EXPECT_EQ(text(got), "one,two");
  ASSERT_TRUE(pair.delegate->waitFor(Event::Write, 2));
  const auto writes = pair.delegate->events(Event::Write);
  EXPECT_EQ(writes[0].tag, 1);
  EXPECT_EQ(writes[1].tag, 2);
  EXPECT_FALSE(pair.delegate->waitFor(Event::Write, 3, 0.1));
  long tag = 5;
  uint64_t done = 1, total = 1;
  EXPECT_TRUE(std::isnan(pair.sock->progressOfWriteReturningTag(&tag, &done, &total)));
  EXPECT_EQ(tag, 0);
}

struct WriteTimeoutCase {
  const char* name;
  std::vector<std::optional<double>> answers;
  std::vector<double> expectElapsed;
};

class TcpWriteTimeout : public ::testing::TestWithParam<WriteTimeoutCase> {};

// The peer never reads: the write stalls, its time-out goes to the delegate, extensions
// add up in the reported elapsed time, and a refusal closes with code 5.
TEST_P(TcpWriteTimeout, RefusedOrExtendedByTheDelegate) {
  const WriteTimeoutCase& c = GetParam();
  ConnectedPair pair;
  ASSERT_TRUE(pair.open());
  pair.delegate->writeTimeoutAnswers.assign(c.answers.begin(), c.answers.end());
  pair.sock->writeData(pattern(32 * 1024 * 1024), 0.1, 8);
  ASSERT_TRUE(pair.delegate->waitFor(Event::Disconnect));
  EXPECT_TRUE(isCode(pair.delegate->first(Event::Disconnect).error, Code::writeTimeout));
  EXPECT_EQ(pair.delegate->first(Event::Disconnect).error->description,
            "Write operation timed out");
  const auto questions = pair.delegate->events(Event::WriteTimeout);
  ASSERT_EQ(questions.size(), c.expectElapsed.size());
  for (size_t i = 0; i < questions.size(); ++i) {
    EXPECT_EQ(questions[i].tag, 8);
    EXPECT_NEAR(questions[i].elapsed, c.expectElapsed[i], 1e-9);
    EXPECT_GT(questions[i].length, 0u);
  }
  EXPECT_EQ(pair.delegate->count(Event::Write), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, TcpWriteTimeout,
                         ::testing::Values(WriteTimeoutCase{"notImplemented", {}, {0.1}},
                                           WriteTimeoutCase{"refused", {0.0}, {0.1}},
                                           WriteTimeoutCase{
                                               "extended", {0.2, std::nullopt}, {0.1, 0.3}}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(TcpWrite, ExtendedWriteCompletesOnceThePeerReads) {
  pair.delegate->writeTimeoutAnswers = {10.0};
  const Bytes data = pattern(16 * 1024 * 1024);
  pair.sock->writeData(data, 0.1, 4);
  ASSERT_TRUE(pair.delegate->waitFor(Event::WriteTimeout));
  Bytes got;
  ASSERT_TRUE(readExactly(pair.peer.get(), data.size(), &got, 20.0));
  ASSERT_TRUE(pair.delegate->waitFor(Event::Write));
  EXPECT_TRUE(got == data);
  EXPECT_EQ(pair.delegate->count(Event::Disconnect), 0u);
}

// Pending writes are finished first; requests made afterwards are refused.
TEST_F(TcpWrite, DisconnectAfterWritingFinishesPendingWritesAndRefusesNewOnes) {
  const Bytes data = pattern(4 * 1024 * 1024);
  pair.sock->writeData(data, 10.0, 1);
  pair.sock->writeData(SharedData::fromString("tail"), 10.0, 2);
  pair.sock->disconnectAfterWriting();
  pair.sock->writeData(SharedData::fromString("refused"), 10.0, 3);
  pair.sock->readDataWithTimeout(10.0, 4);
  Bytes got;
  ASSERT_TRUE(readExactly(pair.peer.get(), data.size() + 4, &got, 20.0));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin()));
  EXPECT_EQ(std::string(got.end() - 4, got.end()), "tail");
  EXPECT_TRUE(waitForEOF(pair.peer.get()));  // nothing more: "refused" never went out
  ASSERT_TRUE(pair.delegate->waitFor(Event::Disconnect));
  EXPECT_FALSE(pair.delegate->first(Event::Disconnect).error);
  const auto writes = pair.delegate->events(Event::Write);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[1].tag, 2);
  EXPECT_EQ(pair.delegate->count(Event::Read), 0u);
}

TEST_F(TcpWrite, DisconnectAfterReadingClosesOnceQueuedReadsAreDone) {
  pair.sock->readDataToLength(3, 2.0, 1);
  pair.sock->disconnectAfterReading();
  pair.sock->readDataToLength(3, 2.0, 2);  // refused
  ASSERT_TRUE(writeAll(pair.peer.get(), bytes("abcdef")));
  ASSERT_TRUE(pair.delegate->waitFor(Event::Disconnect));
  EXPECT_FALSE(pair.delegate->first(Event::Disconnect).error);
  ASSERT_EQ(pair.delegate->count(Event::Read), 1u);
  EXPECT_EQ(text(pair.delegate->first(Event::Read).data), "abc");
}

}  // namespace
}  // namespace corvane::tcp_test
