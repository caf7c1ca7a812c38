// The UDP receiver query against the test receiver (a true peer answering on port 11105) and
// against a scripted peer that sends damaged answers.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "flatbuffers/test_bytes.h"
#include "lookup/query_server_channel.h"
#include "lookup/receiver_answer.h"
#include "lookup_test_support.h"
#include "platform/dispatch/dispatch.h"
#include "support/test_receiver.h"

namespace corvane {
namespace {

using test::kWait;

class RecordingQueryDelegate : public QueryReceiverDelegate {
 public:
  void onFoundReceiver(const ReceiverData& receiver) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      found_.push_back(receiver);
      queues_.push_back(platform::dispatch::Queue::currentLabel());
    }
    changed_.notify_all();
  }
  std::vector<ReceiverData> found() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return found_;
  }
  std::vector<std::string> queues() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queues_;
  }
  bool waitForCount(std::size_t count, double seconds = kWait) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                             [&] { return found_.size() >= count; });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<ReceiverData> found_;
  std::vector<std::string> queues_;
};

class QueryServerChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    delegate_ = std::make_shared<RecordingQueryDelegate>();
    channel_ = QueryServerChannel::create();
    channel_->setQueryReceiverDelegate(delegate_);
  }
  void TearDown() override { channel_.reset(); }

  std::unique_ptr<test::TestReceiver> startReceiver(const std::string& name,
                                                    const std::string& version) {
    test::TestReceiverOptions options;
    options.name = name;
    std::string error;
    auto receiver = test::TestReceiver::startOnFreeLoopbackAddress(options, &error);
    EXPECT_NE(receiver, nullptr) << error;
    if (receiver) receiver->setVersion(version);
    return receiver;
  }

  test::LogLines log_;
  std::shared_ptr<RecordingQueryDelegate> delegate_;
  std::shared_ptr<QueryServerChannel> channel_;
};

TEST_F(QueryServerChannelTest, SixQuestionsPerLookForAndSixAnswersReportedSixTimes) {
  const auto receiver = startReceiver("Living room", "4.5.6");
  ASSERT_NE(receiver, nullptr);
  EXPECT_EQ(receiver->ports().query, kReceiverQueryPort);
  channel_->lookFor(receiver->address());

  ASSERT_TRUE(receiver->waitFor([](const test::ReceiverState& s) { return s.queriesAnswered == 6; },
                                kWait));
  ASSERT_TRUE(delegate_->waitForCount(6));
  const auto state = receiver->snapshot();
  EXPECT_EQ(state.queries, std::vector<std::vector<std::uint8_t>>(6, {0x01}));
  const ReceiverData expected{"Living room", "4.5.6", receiver->address(), receiver->address()};
  EXPECT_EQ(delegate_->found(), std::vector<ReceiverData>(6, expected));
  for (const auto& queue : delegate_->queues()) {
    EXPECT_EQ(queue, "com.tarnwick.pelloranphone.QueryDeviceSocketQueue");
  }
  EXPECT_TRUE(log_.contains("going to look for " + receiver->address()));
}

TEST_F(QueryServerChannelTest, AnswersOfSeveralAddressesArriveOnTheOneSocket) {
  const auto first = startReceiver("Hall", "1.0");
  const auto second = startReceiver("Den", "2.0");
  ASSERT_TRUE(first && second);
  channel_->lookFor(first->address());
  channel_->lookFor(second->address());
  ASSERT_TRUE(delegate_->waitForCount(12));
  int hall = 0;
  int den = 0;
  for (const auto& found : delegate_->found()) {
    if (found == ReceiverData{"Hall", "1.0", first->address(), first->address()}) ++hall;
    if (found == ReceiverData{"Den", "2.0", second->address(), second->address()}) ++den;
  }
  EXPECT_EQ(hall, 6);
  EXPECT_EQ(den, 6);
}

TEST_F(QueryServerChannelTest, CloseFreesThePortAndReportsNothingMore) {
  const auto receiver = startReceiver("Hall", "1.0");
  ASSERT_NE(receiver, nullptr);
  channel_->lookFor(receiver->address());
  ASSERT_TRUE(delegate_->waitForCount(1));
  const auto port = channel_->queryDeviceSocket()->localPort();
  ASSERT_NE(port, 0);
  channel_->close();
  EXPECT_TRUE(channel_->queryDeviceSocket()->isClosed());
  EXPECT_EQ(channel_->queryReceiverDelegate(), nullptr);
  // The port is free again: a socket of this test can bind it. The descriptor itself is
  // closed by the socket's queue right after, so the bind may take a few tries.
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kWait);
  bool bound = false;
  while (!(bound = ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) == 0) &&
         errno == EADDRINUSE && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(bound) << std::strerror(errno);
  ::close(fd);
  channel_->close();  // twice is harmless
  EXPECT_TRUE(channel_->queryDeviceSocket()->isClosed());
}

// A peer on port 11105 of a loopback address that answers the n-th question with the n-th
// scripted datagram (and later ones not at all).
class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::vector<std::vector<std::uint8_t>> script)
      : script_(std::move(script)) {
    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<int> octet(1, 254);
    for (int attempt = 0; attempt < 64 && fd_ < 0; ++attempt) {
      address_ = "127." + std::to_string(octet(rng)) + "." + std::to_string(octet(rng)) + "." +
                 std::to_string(octet(rng));
      const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in sin{};
      sin.sin_family = AF_INET;
      sin.sin_port = htons(kReceiverQueryPort);
      inet_pton(AF_INET, address_.c_str(), &sin.sin_addr);
      if (::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) == 0) {
        fd_ = fd;
      } else {
        ::close(fd);
      }
    }
    if (fd_ >= 0) thread_ = std::thread([this] { run(); });
  }
  ~ScriptedPeer() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  bool ok() const { return fd_ >= 0; }
  const std::string& address() const { return address_; }

 private:
  void run() {
    std::size_t next = 0;
    while (!stopping_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      std::uint8_t buffer[64];
      sockaddr_storage from{};
      socklen_t length = sizeof(from);
      if (::recvfrom(fd_, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &length) <
          0)
        continue;
      if (next < script_.size()) {
        const auto& answer = script_[next++];
        ::sendto(fd_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
      }
    }
  }

  std::vector<std::vector<std::uint8_t>> script_;
  std::string address_;
  int fd_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

TEST_F(QueryServerChannelTest, DamagedAnswersAreDroppedAndOtherCodesLogged) {
  using test::fromHex;
  ScriptedPeer peer({
      fromHex("03 04 C0 A8 01 14 03 00 00 00 41 42 43 01 00 00 00 31"),  // code 3
      fromHex("02 04 C0 A8 01 14 02 00 00 00 FF FE 01 00 00 00 31"),     // name not UTF-8
      fromHex("02"),                                                     // one byte
      fromHex("02 04 C0 A8 01 14 03 00 00 00 41"),                       // name cut
      fromHex("02 04 C0 A8 01 14 03 00 00 00 41 42 43 01 00 00 00 31"),  // valid, last
  });
  ASSERT_TRUE(peer.ok()) << "no free loopback address for the scripted peer";
  channel_->lookFor(peer.address());
  ASSERT_TRUE(delegate_->waitForCount(1));
  // The damaged answers came first, from the same peer, and were handled in order.
  EXPECT_EQ(delegate_->found(),
            (std::vector<ReceiverData>{{"ABC", "1", "192.168.1.20", peer.address()}}));
  EXPECT_TRUE(log_.contains("<error> unkown code:3"));
}

}  // namespace
}  // namespace corvane
