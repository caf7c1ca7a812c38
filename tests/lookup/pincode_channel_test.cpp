// The PIN-server client against the test look-up server on a loopback address: every reply
// the client must judge, replies cut or cut short, a server that never answers, and failed
// connections.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "flatbuffers/sample_messages.h"
#include "flatbuffers/test_bytes.h"
#include "lookup/lookup_exchange.h"
#include "lookup/pincode_channel.h"
#include "lookup/schema/table_inserts.h"
#include "lookup_test_support.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/user_defaults.h"
#include "support/test_lookup_server.h"

namespace corvane {
namespace {

using test::kWait;
using test::LookupAnswer;
using test::LookupServerState;
using test::TestLookupServer;

struct PinEvent {
  enum Kind { Connected, Failed, Resolved, NotFound };
  Kind kind;
  std::optional<ReceiverObject> receiver;
  std::string queue;  // label of the queue the operation ran on
};

class RecordingPincodeDelegate : public PincodeDelegate {
 public:
  void onConnectPinServerSuccess() override { record({PinEvent::Connected, std::nullopt, {}}); }
  void onConnectServerFailed() override { record({PinEvent::Failed, std::nullopt, {}}); }
  void onPincodeResolved(const ReceiverObject& receiver) override {
    record({PinEvent::Resolved, receiver, {}});
  }
  void onReceiverNotFound() override { record({PinEvent::NotFound, std::nullopt, {}}); }

  std::vector<PinEvent> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<PinEvent::Kind> kinds() const {
    std::vector<PinEvent::Kind> kinds;
    for (const auto& event : events()) kinds.push_back(event.kind);
    return kinds;
  }
  bool waitForCount(std::size_t count, double seconds = kWait) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                             [&] { return events_.size() >= count; });
  }

 private:
  void record(PinEvent event) {
    event.queue = platform::dispatch::Queue::currentLabel();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back(std::move(event));
    }
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<PinEvent> events_;
};

constexpr const char* kPin = "123456";

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  return text;
}
const char* const kQueue = "com.tarnwick.pelloranmac.socketqueue";

std::vector<std::uint8_t> framed(std::vector<std::uint8_t> body) {
  const auto header = frameHeader(static_cast<std::uint32_t>(body.size()));
  body.insert(body.begin(), header.begin(), header.end());
  return body;
}

// A found reply under 64 KiB whose address list names one 32 KB string 8,000 times.
std::vector<std::uint8_t> inflatingReply() {
  FlatBuffersBuilder b(lookupRequestOptions());
  const std::int32_t big = b.insert(std::optional<std::string_view>(std::string(32 * 1024, '1')));
  b.startVector(8000, 4);
  for (int i = 0; i < 8000; ++i) b.insertOffset(big);
  const std::int32_t list = b.endVector();
  const auto data = insertQueryServerResponseData(b, list, std::nullopt, std::nullopt).offset;
  const auto cmd = insertResponseCmd(b, StatusCode::OK).offset;
  b.finish(insertCastCommand(b, 2, cmd, 6, data).offset, std::nullopt);
  return b.makeData();
}

class PincodeChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_.clear();
    printed_.clear();
    delegate_ = std::make_shared<RecordingPincodeDelegate>();
    channel_ = PincodeChannel::create();
    channel_->setPincodeDelegate(delegate_);
  }

  void TearDown() override {
    channel_.reset();
    if (server_) server_->stop();
  }

  void startServer(LookupAnswer answer) {
    test::LookupServerOptions options;
    options.pins[kPin] = std::move(answer);
    std::string error;
    server_ = TestLookupServer::startOnFreeLoopbackAddress(std::move(options), &error);
    ASSERT_NE(server_, nullptr) << error;
    usePinServer(server_->address());
  }

  static void usePinServer(const std::string& host) {
    platform::UserDefaults::standard()->setString(host, kPinServerHostKey);
  }

  // Looks the PIN up and waits until the client has closed the connection after the reply.
  void lookUpAndWaitForClose() {
    channel_->findReceiverByPincode(kPin);
    ASSERT_TRUE(log_.waitFor("socketDidDisconnect:(null)")) << "the client did not close; log:\n"
                                                            << joined(log_.lines());
    EXPECT_TRUE(
        server_->waitFor([](const LookupServerState& s) { return s.closedByClient == 1; }, kWait));
  }

  test::TemporaryHome home_;
  test::LogLines log_;
  test::PrintedLines printed_;
  std::shared_ptr<RecordingPincodeDelegate> delegate_;
  std::shared_ptr<PincodeChannel> channel_;
  std::unique_ptr<TestLookupServer> server_;
};

TEST_F(PincodeChannelTest, HostComesFromTheUserDefaultsElseLocalhost) {
  EXPECT_EQ(PincodeChannel::pinServerHost(), "localhost");
  usePinServer("127.3.4.5");
  EXPECT_EQ(PincodeChannel::pinServerHost(), "127.3.4.5");
}

TEST_F(PincodeChannelTest, FoundReceiverIsResolvedAndTheRequestIsTheFramedMessage) {
  const auto answer = LookupAnswer::found({"127.0.0.1", "10.0.0.2"}, "Living room", "1.2.3");
  startServer(answer);
  lookUpAndWaitForClose();

  ASSERT_EQ(delegate_->kinds(),
            (std::vector<PinEvent::Kind>{PinEvent::Connected, PinEvent::Resolved}));
  const auto events = delegate_->events();
  EXPECT_EQ(events[1].receiver,
            (ReceiverObject{"Living room", "1.2.3", {"127.0.0.1", "10.0.0.2"}, kPin}));
  for (const auto& event : events) EXPECT_EQ(event.queue, kQueue);

  const LookupServerState state = server_->snapshot();
  ASSERT_EQ(state.requests.size(), 1u);
  EXPECT_EQ(test::hex(state.requests[0]),
            "00 00 00 40 " + test::hex(test::fromHex(test::kLookupRequest)));
  EXPECT_EQ(state.pins, (std::vector<std::optional<std::string>>{kPin}));
  EXPECT_EQ(printed_.lines(), (std::vector<std::string>{"0", "0", "0", "64"}));
  EXPECT_EQ(channel_->pincode(), kPin);
  for (const char* line : {"findReceiverByPincode:123456", "got response from server",
                           "server response OK", "socket did read data:"}) {
    EXPECT_TRUE(log_.contains(line)) << line;
  }
  EXPECT_TRUE(log_.contains("data len=" + std::to_string(answer.reply().size() - 4)));
  EXPECT_TRUE(
      log_.contains("didConnectTo"
                    "Host" +
                    server_->address() + ":10022"));
}

TEST_F(PincodeChannelTest, EveryNotFoundStatusReportsNotFound) {
  const std::vector<std::pair<const char*, LookupAnswer>> cases = {
      {"NONE", LookupAnswer::notFound(StatusCode::NONE)},
      {"FAILED", LookupAnswer::notFound(StatusCode::FAILED)},
      {"FAILED_NOT_EXIT", LookupAnswer::notFound(StatusCode::FAILED_NOT_EXIT)},
      {"no status field", LookupAnswer::withoutStatus()},
  };
  for (const auto& [what, answer] : cases) {
    SCOPED_TRACE(what);
    TearDown();
    SetUp();
    startServer(answer);
    lookUpAndWaitForClose();
    EXPECT_EQ(delegate_->kinds(),
              (std::vector<PinEvent::Kind>{PinEvent::Connected, PinEvent::NotFound}));
    EXPECT_TRUE(log_.contains("unable to find receiver by pincode"));
  }
}

TEST_F(PincodeChannelTest, OkWithoutNameOrVersionGivesEmptyTexts) {
  startServer(LookupAnswer::found({}, std::nullopt, std::nullopt));
  lookUpAndWaitForClose();
  ASSERT_EQ(delegate_->kinds(),
            (std::vector<PinEvent::Kind>{PinEvent::Connected, PinEvent::Resolved}));
  EXPECT_EQ(delegate_->events()[1].receiver, (ReceiverObject{"", "", {}, kPin}));
}

TEST_F(PincodeChannelTest, ReplyInTwoSegmentsIsReadWhole) {
  for (const std::size_t cut : {std::size_t{2}, std::size_t{4}, std::size_t{30}}) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    TearDown();
    SetUp();
    LookupAnswer answer = LookupAnswer::found({"127.0.0.1"}, "Den", "2.0");
    answer.cuts = {cut};
    startServer(answer);
    lookUpAndWaitForClose();
    ASSERT_EQ(delegate_->kinds(),
              (std::vector<PinEvent::Kind>{PinEvent::Connected, PinEvent::Resolved}));
    EXPECT_EQ(delegate_->events()[1].receiver, (ReceiverObject{"Den", "2.0", {"127.0.0.1"}, kPin}));
  }
}

TEST_F(PincodeChannelTest, RepliesWithNothingUsableCloseWithoutAReport) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    std::string logged;
  };
  const auto inflating = framed(inflatingReply());
  const std::vector<Case> cases = {
      {"exactly the 4-byte header of an empty body", {0, 0, 0, 0}, "data len=0"},
      {"a header above 64 KiB", {0, 1, 0, 1, 0x10, 0, 0, 0}, "<error> reply length 65537 refused"},
      {"a body that is no message", {0, 0, 0, 3, 1, 2, 3}, "data len=3"},
      {"a found reply that would decode to 8,000 copies of a 32 KB address", inflating,
       "data len=" + std::to_string(inflating.size() - 4)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    startServer(LookupAnswer::rawBytes(c.bytes, false));
    lookUpAndWaitForClose();
    EXPECT_EQ(delegate_->kinds(), std::vector<PinEvent::Kind>{PinEvent::Connected});
    EXPECT_TRUE(log_.contains(c.logged)) << c.logged;
    EXPECT_FALSE(log_.contains("got response from server"));
  }
}

TEST_F(PincodeChannelTest, ReplyShorterThanTheHeaderThenCloseIsAFailedConnection) {
  startServer(LookupAnswer::rawBytes({0, 0}, true));
  channel_->findReceiverByPincode(kPin);
  ASSERT_TRUE(delegate_->waitForCount(2));
  EXPECT_EQ(delegate_->kinds(),
            (std::vector<PinEvent::Kind>{PinEvent::Connected, PinEvent::Failed}));
}

TEST_F(PincodeChannelTest, SilentServerKeepsTheConnectionAndASecondLookUpIsRefused) {
  for (const auto& answer : {LookupAnswer::neverAnswers(), LookupAnswer::rawBytes({0, 0}, false)}) {
    TearDown();
    SetUp();
    startServer(answer);
    channel_->findReceiverByPincode(kPin);
    ASSERT_TRUE(delegate_->waitForCount(1));
    ASSERT_TRUE(
        server_->waitFor([](const LookupServerState& s) { return !s.requests.empty(); }, kWait));
    // Nothing more may happen; wait a while for an event that must not come.
    EXPECT_FALSE(delegate_->waitForCount(2, 1.5));
    EXPECT_EQ(server_->snapshot().open, 1);

    channel_->findReceiverByPincode("999999");
    EXPECT_TRUE(printed_.waitFor("Attempting to connect while connected"));
    EXPECT_TRUE(printed_.contains("Error Domain=GCDAsyncSocketErrorDomain"));
    EXPECT_EQ(delegate_->kinds(), std::vector<PinEvent::Kind>{PinEvent::Connected});
    const LookupServerState state = server_->snapshot();
    EXPECT_EQ(state.accepted, 1);
    EXPECT_EQ(state.open, 1);

    // The owner ends the exchange: the connection closes without a failure, and the next
    // look-up is a new exchange that reaches the server.
    channel_->disconnect();
    EXPECT_TRUE(
        server_->waitFor([](const LookupServerState& s) { return s.closedByClient == 1; }, kWait));
    EXPECT_TRUE(log_.contains("socketDidDisconnect:(null)"));
    channel_->findReceiverByPincode("999999");
    ASSERT_TRUE(
        server_->waitFor([](const LookupServerState& s) { return s.requests.size() == 2; }, kWait));
    EXPECT_EQ(server_->snapshot().pins, (std::vector<std::optional<std::string>>{kPin, "999999"}));
    // The server does not know that PIN.
    ASSERT_TRUE(delegate_->waitForCount(3));
    EXPECT_EQ(delegate_->kinds(),
              (std::vector<PinEvent::Kind>{PinEvent::Connected, PinEvent::Connected,
                                           PinEvent::NotFound}));
    channel_->disconnect();  // with nothing open, and twice: no report either
    channel_->disconnect();
    EXPECT_EQ(delegate_->kinds().size(), 3u);
  }
}

TEST_F(PincodeChannelTest, ServerClosingRightAfterAFullReplyIsNoFailure) {
  for (const auto& answer : {LookupAnswer::found({"127.0.0.1"}, "Den", "2.0"),
                             LookupAnswer::notFound(StatusCode::FAILED)}) {
    TearDown();
    SetUp();
    LookupAnswer closing = answer;
    closing.closeAfterReply = true;
    startServer(closing);
    const auto want = answer.withData ? PinEvent::Resolved : PinEvent::NotFound;
    // Each exchange: the reply is judged, both ends close, and, whichever end closed first,
    // nothing else is reported. The next look-up is a new connection.
    for (std::size_t exchange = 1; exchange <= 2; ++exchange) {
      channel_->findReceiverByPincode(kPin);
      ASSERT_TRUE(delegate_->waitForCount(2 * exchange));
      ASSERT_TRUE(server_->waitFor(
          [&](const LookupServerState& s) {
            return s.repliesWritten == static_cast<int>(exchange) && s.open == 0;
          },
          kWait));
      ASSERT_TRUE(log_.waitFor("socketDidDisconnect:", [&](std::size_t n) {
        return n >= exchange;
      })) << joined(log_.lines());
      channel_->socketQueue()->sync([] {});  // whatever the close queued has been delivered
      std::vector<PinEvent::Kind> expected;
      for (std::size_t i = 0; i < exchange; ++i) {
        expected.push_back(PinEvent::Connected);
        expected.push_back(want);
      }
      EXPECT_EQ(delegate_->kinds(), expected);
    }
    EXPECT_EQ(server_->snapshot().accepted, 2);
  }
}

// A loopback address with nothing listening on the server port.
std::string unusedLoopbackAddress() {
  std::mt19937 rng(std::random_device{}());
  std::uniform_int_distribution<int> octet(1, 254);
  for (;;) {
    std::string address = "127." + std::to_string(octet(rng)) + "." + std::to_string(octet(rng)) +
                          "." + std::to_string(octet(rng));
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(kPinServerPort);
    inet_pton(AF_INET, address.c_str(), &sin.sin_addr);
    const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) == 0;
    ::close(fd);
    if (free) return address;
  }
}

TEST_F(PincodeChannelTest, RefusedConnectionReportsFailure) {
  usePinServer(unusedLoopbackAddress());
  channel_->findReceiverByPincode(kPin);
  ASSERT_TRUE(delegate_->waitForCount(1));
  EXPECT_EQ(delegate_->kinds(), std::vector<PinEvent::Kind>{PinEvent::Failed});
  EXPECT_EQ(delegate_->events()[0].queue, kQueue);
}

TEST_F(PincodeChannelTest, ConnectTimeOutReportsFailureAfterThreeSeconds) {
  // A listener whose accept queue is full drops further connection attempts.
  const std::string address = unusedLoopbackAddress();
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(kPinServerPort);
  inet_pton(AF_INET, address.c_str(), &sin.sin_addr);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  std::vector<int> fillers;
  for (int i = 0; i < 3; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    (void)::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof(sin));
    fillers.push_back(fd);
  }
  usePinServer(address);
  const auto started = std::chrono::steady_clock::now();
  channel_->findReceiverByPincode(kPin);
  ASSERT_TRUE(delegate_->waitForCount(1, 20.0));
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(delegate_->kinds(), std::vector<PinEvent::Kind>{PinEvent::Failed});
  EXPECT_GE(elapsed, 2.9);
  // The channel's own 3 s, not the system's much longer give-up on unanswered connects.
  EXPECT_LT(elapsed, 5.0);
  EXPECT_TRUE(log_.contains("socketDidDisconnect:Error Domain=GCDAsyncSocketErrorDomain"));
  for (const int fd : fillers) ::close(fd);
  ::close(listener);
}

}  // namespace
}  // namespace corvane
