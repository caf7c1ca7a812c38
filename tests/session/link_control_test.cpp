// The receiver link against the test receiver: connections, heartbeat, the control protocol
// end to end, silence and connection errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "link_fixture.h"
#include "support/wall_clock_shift.h"

namespace corvane::testing {
namespace {

using Packet = std::array<uint8_t, 16>;
using test::Channel;
using test::ReceiverState;

Packet req(uint8_t addr, uint8_t code, std::vector<uint8_t> attach = {}) {
  Packet p{addr, 4, 1, code};
  std::copy(attach.begin(), attach.end(), p.begin() + 4);
  return p;
}

std::vector<uint8_t> text(const std::string& s) { return {s.begin(), s.end()}; }

// The link's own reassembly: the partial packet carries over between reads.
TEST(LinkReassembly, PacketsSplitOverReadsAreDispatchedOnceComplete) {
  auto link = NetStream::create();
  auto delegate = std::make_shared<RecordingDelegate>();
  link->setDelegate(delegate);
  auto wire = [](uint8_t code, uint8_t byte4 = 0) {
    Packet p = req(0x2A, code, {byte4});
    test::TestReceiver::scramble(p.data());
    return std::vector<uint8_t>(p.begin(), p.end());
  };
  std::vector<uint8_t> stream = wire(24);
  for (const auto& w : {wire(38, 25), wire(1)}) stream.insert(stream.end(), w.begin(), w.end());
  std::span<const uint8_t> s(stream);

  struct Step {
    size_t bytes;
    size_t eventsAfter;
  };
  // 5, 7 and 4 bytes complete the first packet; 20 bytes complete the second and keep 4;
  // the last 12 complete the third.
  size_t offset = 0;
  for (const Step& step : {Step{5, 0}, Step{7, 0}, Step{4, 1}, Step{20, 2}, Step{12, 3}}) {
    link->onReceiveControlData(s.subspan(offset, step.bytes));
    offset += step.bytes;
    EXPECT_EQ(delegate->events().size(), step.eventsAfter) << "after " << offset << " bytes";
  }
  EXPECT_EQ(delegate->events(), (std::vector<LinkEvent>{{"onServerRequestKeyFrame"},
                                                        {"onServerRequsstUpdateFrameRate", 25},
                                                        {"onServerRequestMirrorOn"}}));
}

TEST_F(LinkTest, FourConnectionsOpenAndHeartbeatsFlowEvery300ms) {
  connectAndWait();
  const std::string addr = receiver_->address();
  EXPECT_EQ(log_.count("receiver addr = " + addr + ", last byte=37"), 1u);
  EXPECT_TRUE(log_.waitFor("control socket connect to server"));
  EXPECT_TRUE(log_.waitFor("video socket connect to server"));
  EXPECT_TRUE(log_.waitFor("audio socket connect to server"));
  EXPECT_TRUE(log_.waitFor("touch socket connect to server"));
  EXPECT_TRUE(log_.waitFor("didConnectToHost:" + addr + ":11102"));

  ASSERT_TRUE(receiver_->waitFor([](const ReceiverState& s) { return s.count(1, 0) >= 7; }, 5));
  const auto beats = receiver_->snapshot().requests(0);
  for (const auto& b : beats) EXPECT_EQ(b.plain, req(37, 0));
  const double span = std::chrono::duration<double>(beats[6].at - beats[0].at).count();
  EXPECT_GE(span / 6, 0.28);
  EXPECT_LE(span / 6, 0.45);
  EXPECT_TRUE(link_->isConnected());
}

TEST_F(LinkTest, SecondConnectOnlyLogsAndLocalDisconnectReportsNothing) {
  connectAndWait();
  link_->connect(receiver_->address());  // already connected: only the log line
  EXPECT_EQ(log_.count("receiver addr = " + receiver_->address() + ", last byte=37"), 2u);

  link_->disconnect();
  ASSERT_TRUE(allOpen(0));
  ASSERT_TRUE(log_.waitFor("control socket disconnected"));
  ASSERT_TRUE(log_.waitFor("sendHeartBeat exit."));
  EXPECT_TRUE(log_.waitFor("socketDidDisconnect: (null)", 4));
  EXPECT_FALSE(link_->isConnected());
  link_->disconnect();  // not connected: nothing

  // Reconnecting renews all four connections; nothing was reported in between.
  connectAndWait();
  const auto s = receiver_->snapshot();
  for (const auto& c : s.channels) {
    EXPECT_EQ(c.accepted, 2) << "the second connect opened nothing";
    EXPECT_EQ(c.closed, 1);
  }
  EXPECT_EQ(log_.count("control socket disconnected"), 1u);
  EXPECT_EQ(delegate_->count("onConnectFailed"), 0u);
  EXPECT_EQ(delegate_->count("onConnectSuccess"), 2u);
}

TEST_F(LinkTest, SendersRequestsGoOutByteExact) {
  // A status answer the link ignores, so that no request follows one of the test's own.
  receiver_->setStatusAnswer(std::pair<int8_t, uint8_t>{4, 0});
  connectAndWait();
  const std::string cjk = "\xE4\xB8\xAD";
  std::string tenCjk;
  for (int i = 0; i < 10; ++i) tenCjk += cjk;
  std::vector<Packet> want;
  auto expect = [&](Packet p) { want.push_back(p); };

  link_->requestMirrorStart();
  expect(req(37, 1));
  link_->requestMirrorStop();
  expect(req(37, 2));
  link_->requestGetReceiverStatus();
  expect(req(37, 9, {1}));
  link_->requestGetReceiverVersion();
  link_->requestReceiverVersion();
  expect(req(37, 14));
  expect(req(37, 14));
  link_->setSenderName("abcdefghijklmnopqrstuvwxyz0123");
  expect(req(37, 15, text("abcdefghijk")));
  expect(req(37, 16, text("lmnopqrstuv")));
  expect(req(37, 16, text("wxyz0123")));
  link_->setSenderName(tenCjk);
  expect(req(37, 15, text(cjk + cjk + cjk + cjk)));
  expect(req(37, 16, text(cjk + cjk + cjk + cjk)));
  expect(req(37, 16, text(cjk + cjk)));
  link_->setSenderName("");
  link_->requestSyncClientType();
  expect(req(37, 20, {3, 5}));
  link_->requestGetAuthentication();
  expect(req(37, 25));
  link_->requestMouseAlone(true);
  expect(req(37, 33, {1}));
  link_->requestMouseAlone(false);
  expect(req(37, 33, {0}));
  link_->requestMouseEvent(MouseEvent(1, 2, 1920, -1));
  expect(req(37, 34, {1, 2, 0x07, 0x80, 0xFF, 0xFF}));
  link_->requestAuthenPinCode("123456");
  expect(req(37, 35, {6, '1', '2', '3', '4', '5', '6'}));
  link_->requestAuthenPinCode("123456789012");  // does not fit: not sent
  // Requests whose bodies are empty.
  link_->requestAuthenticate("1234");
  link_->requestSyncClientCode();
  link_->setTouchMode(0);
  link_->requestGetRotationDegree();
  link_->setTouchScreenEnabled(true);
  link_->requestSyncClientVersion("1.0");
  link_->requestGetReceiverName();
  // The address byte follows the last value set.
  link_->setLocaIpByte(-2);
  link_->requestMirrorStop();
  expect(req(0xFE, 2));

  ASSERT_TRUE(receiver_->waitFor(
      [&](const ReceiverState& s) { return nonHeartbeats(s).size() >= want.size(); }, 5));
  EXPECT_EQ(nonHeartbeats(receiver_->snapshot()), want);
  EXPECT_EQ(log_.count("requestMirrorStart"), 1u);
  EXPECT_EQ(log_.count("requestMirrorStop"), 2u);
  EXPECT_EQ(log_.count("setSenderName==abcdefghijklmnopqrstuvwxyz0123"), 1u);
  EXPECT_EQ(log_.count("setSenderName=="), 1u) << "the empty name is logged too";
  EXPECT_EQ(receiver_->snapshot().senderName, tenCjk);
}

TEST_F(LinkTest, ReceiversRequestsAndCallbacksReachTheDelegate) {
  connectAndWait();
  // The heartbeat answer echoes the request's bytes 1, 0 and 3 in bytes 4, 5 and 6.
  ASSERT_TRUE(receiver_->sendHeartbeat());
  ASSERT_TRUE(receiver_->waitFor([](const ReceiverState& s) { return s.count(2, 1) >= 1; }, 5));
  for (const auto& r : receiver_->snapshot().control) {
    if (r.kind() == 2) {
      EXPECT_EQ(r.plain, (Packet{37, 4, 2, 1, 7, 0x2A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    }
  }

  ASSERT_TRUE(receiver_->requestMirrorOn());
  ASSERT_TRUE(receiver_->requestMirrorOff());
  ASSERT_TRUE(receiver_->requestKeyFrame());
  ASSERT_TRUE(receiver_->requestFrameRate(-5));
  ASSERT_TRUE(receiver_->requestFrameRate(60));
  ASSERT_TRUE(receiver_->sendDeviceStatus(7));
  ASSERT_TRUE(receiver_->sendDeviceStatus(200));  // unsigned
  ASSERT_TRUE(receiver_->sendKeyStatus());
  // Unknown codes, commands and kinds: ignored without an answer.
  ASSERT_TRUE(receiver_->sendRequest(77));
  ASSERT_TRUE(receiver_->sendRequest(9));
  ASSERT_TRUE(receiver_->sendCallback(130, 7));
  ASSERT_TRUE(receiver_->sendPacket({0x2A, 7, 0, 1}));
  ASSERT_TRUE(receiver_->sendPacket({0x2A, 7, 4, 1}));
  ASSERT_TRUE(receiver_->sendPacket({0x2A, 7, 0xFF, 0}));
  ASSERT_TRUE(receiver_->sendPacket({0x2A, 7, 2, 1, 4, 37, 99}));  // answer to an unknown code
  ASSERT_TRUE(receiver_->requestKeyFrame());                       // marker

  ASSERT_TRUE(delegate_->waitFor("onServerRequestKeyFrame", 2));
  std::vector<LinkEvent> want = {
      {"onConnectSuccess"},
      {"onServerRequestMirrorOn"},
      {"onServerRequestMirrorOff"},
      {"onServerRequestKeyFrame"},
      {"onServerRequsstUpdateFrameRate", -5},
      {"onServerRequsstUpdateFrameRate", 60},
      {"onServerRequestDeviceStatus", 7},
      {"onServerRequestDeviceStatus", 200},
      {"onServerRequestKeyStatus"},
      {"onServerRequestKeyFrame"},
  };
  EXPECT_EQ(delegate_->events(), want);
  size_t answers = 0;
  for (const auto& r : receiver_->snapshot().control) answers += r.kind() == 2;
  EXPECT_EQ(answers, 1u) << "only the heartbeat was answered";
  EXPECT_EQ(log_.count("handleControlCallback:128"), 2u);
  EXPECT_EQ(log_.count("COMMAND_SET_DEVICE_STATUS"), 2u);
  EXPECT_EQ(log_.count("handleControlCallback:129"), 1u);
  EXPECT_EQ(log_.count("COMMAND_SET_KEY_STATUS"), 1u);
  EXPECT_EQ(log_.count("handleControlCallback:130"), 1u);
}

TEST_F(LinkTest, ResponsesLeadToTheirDecisions) {
  connectAndWait();
  delegate_->clear();
  auto startRequests = [&] { return receiver_->snapshot().requests(1).size(); };

  // A refused start asks for the status; state 1 with the own address byte is a success.
  receiver_->setMirrorStartResult(0);
  receiver_->setStatusAnswer(std::pair<int8_t, uint8_t>{1, 37});
  link_->requestMirrorStart();
  ASSERT_TRUE(delegate_->waitFor("onRequestMirrorStartSuccess"));
  auto status = receiver_->snapshot().requests(9);
  ASSERT_EQ(status.size(), 1u);
  EXPECT_EQ(status[0].plain, req(37, 9, {1}));
  EXPECT_EQ(startRequests(), 1u);

  // Idle (state 0) and "mirroring for another sender" both lead to a new start request, which
  // goes on while the receiver keeps refusing; refusals 2 and 3 end it with -1 and -2.
  struct Loop {
    std::pair<int8_t, uint8_t> refusing;
    int8_t finalState;
    int code;
  };
  for (const Loop& l : {Loop{{0, 0}, 2, -1}, Loop{{1, 99}, 3, -2}}) {
    const size_t before = startRequests();
    receiver_->setStatusAnswer(l.refusing);
    link_->requestMirrorStart();
    ASSERT_TRUE(receiver_->waitFor(
        [&](const ReceiverState& s) { return s.requests(1).size() >= before + 3; }, 5));
    receiver_->setStatusAnswer(std::pair<int8_t, uint8_t>{l.finalState, 0});
    ASSERT_TRUE(delegate_->waitFor("onRequestMirrorStartFailed", l.code == -1 ? 1 : 2));
    EXPECT_EQ(delegate_->events().back(), (LinkEvent{"onRequestMirrorStartFailed", l.code}));
  }
  EXPECT_EQ(delegate_->count("onRequestMirrorStartSuccess"), 1u);

  // Start accepted at once; stop reported whatever its result.
  receiver_->setMirrorStartResult(1);
  link_->requestMirrorStart();
  ASSERT_TRUE(delegate_->waitFor("onRequestMirrorStartSuccess", 2));
  receiver_->setMirrorStopResult(0);
  link_->requestMirrorStop();
  ASSERT_TRUE(delegate_->waitFor("onRequestMirrorStopSuccess"));

  // Version text, valid or not; authentication type only for result 1 with byte 8 = 1.
  receiver_->setVersion("2.5.1");
  link_->requestGetReceiverVersion();
  ASSERT_TRUE(delegate_->waitFor("onServerResponseVersion"));
  EXPECT_EQ(delegate_->events().back(), (LinkEvent{"onServerResponseVersion", 0, "2.5.1"}));
  receiver_->setVersion("\xFF\xFE");
  link_->requestGetReceiverVersion();
  ASSERT_TRUE(delegate_->waitFor("onServerResponseVersion", 2));
  EXPECT_EQ(delegate_->events().back(), (LinkEvent{"onServerResponseVersion", 0, std::nullopt}));

  receiver_->setAuthenticationType(1, 1);
  link_->requestGetAuthentication();
  ASSERT_TRUE(delegate_->waitFor("onServerResponseAuthenticateType"));
  receiver_->setAuthenticationType(1, 2);
  link_->requestGetAuthentication();
  receiver_->setAuthenticationType(0, 1);
  link_->requestGetAuthentication();
  receiver_->setVersion("9");
  link_->requestGetReceiverVersion();  // marker
  ASSERT_TRUE(delegate_->waitFor("onServerResponseVersion", 3));
  EXPECT_EQ(delegate_->count("onServerResponseAuthenticateType"), 1u);
  EXPECT_GE(log_.count("handleControlResponse"), 10u);
}

TEST_F(LinkTest, SilentReceiverIsReportedOnceAboutFiveSecondsAfterItsLastBytes) {
  connectAndWait();
  ASSERT_TRUE(
      receiver_->waitFor([](const ReceiverState& s) { return s.heartbeatsAnswered >= 2; }, 5));
  receiver_->setSilent(true);
  ASSERT_TRUE(delegate_->waitFor("onConnectFailed", 1, 9.0));
  const auto failedAt = delegate_->events().back().at;
  // Silent, the receiver has sent nothing since its last answer.
  const auto lastBytes = receiver_->snapshot()[Channel::Control].lastSentAt;
  const double after = std::chrono::duration<double>(failedAt - lastBytes).count();
  // The first check past 5000 ms reports it; checks come every round of about 300 ms.
  EXPECT_GE(after, 4.95);
  EXPECT_LE(after, 6.0);
  EXPECT_EQ(log_.count("receiver timeout. going to disconnect."), 1u);
  const size_t beats = receiver_->snapshot().count(1, 0);

  // One report; the heartbeat has ended, but the link stays connected until told otherwise.
  EXPECT_FALSE(delegate_->waitFor("onConnectFailed", 2, 1.0));
  EXPECT_LE(receiver_->snapshot().count(1, 0), beats + 1);
  EXPECT_TRUE(link_->isConnected());
  EXPECT_EQ(receiver_->snapshot()[Channel::Control].open, 1);
  link_->disconnect();
  EXPECT_TRUE(allOpen(0));
}

TEST_F(LinkTest, ControlConnectionErrorIsReportedAndClosesAllFour) {
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "orderly close");
    connectAndWait();
    const size_t failures = delegate_->count("onConnectFailed");
    ASSERT_TRUE(receiver_->closeConnection(Channel::Control, reset));
    ASSERT_TRUE(delegate_->waitFor("onConnectFailed", failures + 1));
    EXPECT_TRUE(allOpen(0)) << "video, audio and touch closed too";
    EXPECT_FALSE(link_->isConnected());
    EXPECT_TRUE(log_.waitFor("sendHeartBeat exit.", reset ? 2 : 1));
  }
  // The next connect renews all four.
  connectAndWait();
  for (const auto& c : receiver_->snapshot().channels) EXPECT_EQ(c.accepted, 3);
  EXPECT_EQ(delegate_->count("onConnectFailed"), 2u);
}

TEST_F(LinkTest, APartialControlPacketOfAnEndedConnectionIsNotCarriedIntoTheNext) {
  connectAndWait();
  // Seven bytes of a packet arrive, then the connection ends.
  const std::vector<uint8_t> partial = {0x2A, 4, 1, 24, 0, 0, 0};
  link_->onReceiveControlData(partial);
  ASSERT_TRUE(receiver_->closeConnection(Channel::Control, true));
  ASSERT_TRUE(delegate_->waitFor("onConnectFailed"));
  ASSERT_TRUE(allOpen(0));

  // Every packet of the next connection is understood from its first byte.
  connectAndWait();
  ASSERT_TRUE(receiver_->requestKeyFrame());
  EXPECT_TRUE(delegate_->waitFor("onServerRequestKeyFrame")) << log_.all();
  ASSERT_TRUE(receiver_->requestMirrorOn());
  EXPECT_TRUE(delegate_->waitFor("onServerRequestMirrorOn"));
  ASSERT_TRUE(receiver_->requestMirrorOff());
  EXPECT_TRUE(delegate_->waitFor("onServerRequestMirrorOff"));
}

// A recording delegate that counts the calls inside it at once and can hold one chosen call
// (by name and value) until the test releases it, as a session controller does while it
// starts mirroring inside `onRequestMirrorStartSuccess`.
class HoldingDelegate : public RecordingDelegate {
 public:
  void hold(std::string name, int value = 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    holdName_ = std::move(name);
    holdValue_ = value;
    held_ = false;
    released_ = false;
    returned_ = false;
  }
  bool waitUntilHeld(double seconds = 10.0) {
    return waitUntil([&] { return held_; }, seconds);
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    cv_.notify_all();
  }
  bool waitUntilReturned(double seconds = 10.0) {
    return waitUntil([&] { return returned_; }, seconds);
  }
  int mostInside() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mostInside_;
  }

  void onRequestMirrorStartSuccess() override {
    inside("onRequestMirrorStartSuccess", 0,
           [&] { RecordingDelegate::onRequestMirrorStartSuccess(); });
  }
  void onServerRequestKeyFrame() override {
    inside("onServerRequestKeyFrame", 0, [&] { RecordingDelegate::onServerRequestKeyFrame(); });
  }
  void onServerRequsstUpdateFrameRate(int fps) override {
    inside("onServerRequsstUpdateFrameRate", fps,
           [&] { RecordingDelegate::onServerRequsstUpdateFrameRate(fps); });
  }

 private:
  template <class F>
  void inside(const std::string& name, int value, F record) {
    std::unique_lock<std::mutex> lock(mutex_);
    mostInside_ = std::max(mostInside_, ++inside_);
    lock.unlock();
    record();
    lock.lock();
    if (name == holdName_ && value == holdValue_ && !held_) {
      held_ = true;
      cv_.notify_all();
      // Bounded, so that a failing test cannot hang in here.
      cv_.wait_until(lock, deadlineAfter(30), [&] { return released_; });
      returned_ = true;
      cv_.notify_all();
    }
    --inside_;
  }
  template <class P>
  bool waitUntil(P done, double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_until(lock, deadlineAfter(seconds), done);
  }

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::string holdName_;
  int holdValue_ = 0;
  bool held_ = false;
  bool released_ = false;
  bool returned_ = false;
  int inside_ = 0;
  int mostInside_ = 0;
};

Packet scrambled(Packet p) {
  test::TestReceiver::scramble(p.data());
  return p;
}

// A control callback still runs in the delegate while the link is disconnected and connected
// again. When it returns, it handles nothing more of its connection and arms no read on the
// new one: the new connection's packets still come one at a time and in their order.
TEST_F(LinkTest, CallbackRunningAcrossAReconnectLeavesTheNewConnectionOneReadInOrder) {
  auto holding = std::make_shared<HoldingDelegate>();
  delegate_ = holding;
  link_->setDelegate(holding);
  connectAndWait();

  // A mirror-start acceptance and a key-frame request in one write: the first is held in the
  // delegate, the second waits behind it in the same chunk.
  holding->hold("onRequestMirrorStartSuccess");
  const Packet accepted = scrambled({0x2A, 7, 2, 1, 4, 37, 1});
  const Packet keyFrame = scrambled(req(0x2A, 24));
  std::vector<uint8_t> both(accepted.begin(), accepted.end());
  both.insert(both.end(), keyFrame.begin(), keyFrame.end());
  ASSERT_TRUE(receiver_->sendRaw(Channel::Control, both));
  ASSERT_TRUE(holding->waitUntilHeld());
  link_->disconnect();
  ASSERT_TRUE(allOpen(0));
  connectAndWait();
  holding->release();
  ASSERT_TRUE(holding->waitUntilReturned());

  // The first packet of the new connection is held; the second must wait for it, since only
  // one read of the connection is armed at a time.
  holding->hold("onServerRequsstUpdateFrameRate", 1);
  ASSERT_TRUE(receiver_->requestFrameRate(1));
  ASSERT_TRUE(holding->waitUntilHeld());
  ASSERT_TRUE(receiver_->requestFrameRate(2));
  EXPECT_FALSE(holding->waitFor("onServerRequsstUpdateFrameRate", 2, 2.0))
      << "a second read of the connection handed on a packet while the first was handled";
  holding->release();
  constexpr int kPackets = 40;
  for (int i = 3; i <= kPackets; ++i)
    ASSERT_TRUE(receiver_->requestFrameRate(static_cast<int8_t>(i)));
  ASSERT_TRUE(holding->waitFor("onServerRequsstUpdateFrameRate", kPackets, 20.0)) << log_.all();

  std::vector<int> rates;
  for (const auto& e : holding->events())
    if (e.name == "onServerRequsstUpdateFrameRate") rates.push_back(e.value);
  std::vector<int> want(kPackets);
  std::iota(want.begin(), want.end(), 1);
  EXPECT_EQ(rates, want) << "the packets of one connection come in their order";
  EXPECT_EQ(holding->mostInside(), 1) << "the packets of one connection come one at a time";
  EXPECT_EQ(holding->count("onServerRequestKeyFrame"), 0u)
      << "a packet of the closed connection was handled after it had ended";
  EXPECT_EQ(holding->count("onRequestMirrorStartSuccess"), 1u);
}

// The receiver resets the control connection while the link disconnects and connects again.
// Whichever the link sees first, the connection made last stays whole: its four connections
// stay open and the link connected.
TEST_F(LinkTest, ControlErrorRacingAReconnectLeavesTheNewConnectionWhole) {
  auto anyClosed = [](const ReceiverState& s) {
    for (const auto& c : s.channels)
      if (c.open != 1) return true;
    return false;
  };
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    connectAndWait();
    const size_t successes = delegate_->count("onConnectSuccess");
    ASSERT_TRUE(receiver_->closeConnection(Channel::Control, true));
    link_->disconnect();
    link_->connect(receiver_->address());
    ASSERT_TRUE(delegate_->waitFor("onConnectSuccess", successes + 1)) << log_.all();
    ASSERT_TRUE(allOpen(1));
    // A late step of the reset connection would close these now.
    EXPECT_FALSE(receiver_->waitFor(anyClosed, 0.2));
    EXPECT_TRUE(link_->isConnected());
    link_->disconnect();
    ASSERT_TRUE(allOpen(0));
  }
}

TEST_F(LinkTest, WallClockStepsNeitherEndAHealthySessionNorDelayItsSilenceReport) {
  // The wall clock steps at every reading, so that every silence check of the heartbeat
  // sees a step since the last bytes were read.
  struct Case {
    const char* name;
    double drift;  // seconds at every reading
  };
  test::WallClockShift clock;
  for (const Case& c : {Case{"a step back of 1 s at each reading", -1.0},
                        Case{"a step forward of 6 s at each reading", 6.0}}) {
    SCOPED_TRACE(c.name);
    const size_t timeouts = log_.count("receiver timeout. going to disconnect.");
    connectAndWait();
    ASSERT_TRUE(
        receiver_->waitFor([](const ReceiverState& s) { return s.heartbeatsAnswered >= 2; }, 5));
    test::WallClockShift::setDriftPerReading(c.drift);
    // Five more rounds of the heartbeat, each of them checking the silence.
    const int answered = receiver_->snapshot().heartbeatsAnswered;
    EXPECT_TRUE(receiver_->waitFor(
        [&](const ReceiverState& s) { return s.heartbeatsAnswered >= answered + 5; }, 10));
    EXPECT_EQ(delegate_->count("onConnectFailed"), 0u) << log_.all();
    EXPECT_EQ(log_.count("receiver timeout. going to disconnect."), timeouts);

    // A receiver that falls silent is still reported after about five seconds.
    receiver_->setSilent(true);
    const auto silentFrom = Clock::now();
    ASSERT_TRUE(delegate_->waitFor("onConnectFailed", 1, 9.0));
    const double after = std::chrono::duration<double>(Clock::now() - silentFrom).count();
    EXPECT_GE(after, 4.0);
    EXPECT_LE(after, 7.0);
    test::WallClockShift::reset();
    link_->disconnect();
    ASSERT_TRUE(allOpen(0));
    receiver_->setSilent(false);
    delegate_->clear();
  }
}

TEST_F(LinkTest, ConnectThatCannotStartIsReportedAndLeavesTheLinkUsable) {
  link_->connect("");
  ASSERT_TRUE(delegate_->waitFor("onConnectFailed"));
  EXPECT_FALSE(link_->isConnected());
  EXPECT_EQ(delegate_->events(), (std::vector<LinkEvent>{{"onConnectFailed"}}));
  // The refused attempt left nothing behind: the next connect opens all four.
  connectAndWait();
  for (const auto& c : receiver_->snapshot().channels) EXPECT_EQ(c.accepted, 1);
  EXPECT_EQ(delegate_->count("onConnectFailed"), 1u);
}

TEST_F(LinkTest, FailedConnectIsReported) {
  // Nothing listens on the stopped receiver's address any more.
  const std::string address = receiver_->address();
  receiver_->stop();
  link_->connect(address);
  ASSERT_TRUE(delegate_->waitFor("onConnectFailed", 1, 5.0));
  EXPECT_FALSE(link_->isConnected());
  EXPECT_EQ(delegate_->count("onConnectSuccess"), 0u);
}

}  // namespace
}  // namespace corvane::testing
