// Faults from the network: a receiver that falls silent, resets the control or the video
// connection in the middle of a stream, floods the control connection with garbage or reads
// the media slowly, and a look-up server that is silent, answers short, with garbage or with a
// huge length header, or closes at once. Each ends in the outcome the user sees (the reports
// of the session controller and the PIN-server client), and once everything is released the
// process has no more descriptors or threads than before the case.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "lookup/lookup_exchange.h"
#include "lookup/lookup_test_support.h"
#include "lookup/pincode_channel.h"
#include "media/media_test_support.h"
#include "platform/audio/audio_hardware.h"
#include "platform/audio/loopback_driver.h"
#include "platform/audio/sim/sim_audio_hardware.h"
#include "platform/display/sim/sim_display.h"
#include "platform/foundation/file_utils.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/user_defaults.h"
#include "session/link_fixture.h"
#include "session/mirror_channel.h"
#include "session/mirror_test_support.h"
#include "support/test_lookup_server.h"
#include "support/test_receiver.h"

namespace corvane::testing {
namespace {

namespace audio = platform::audio;
namespace files = platform::files;

// ---- process resources ----

// Descriptors and threads of the process when a case starts; `expectReleased` checks, once
// the case has released everything, that both are back (idle pool workers end within a few
// seconds, hence the settling).
struct Resources {
  size_t descriptors = descriptorCount();
  size_t threads = threadCount();

  void expectReleased(const std::string& what) const {
    EXPECT_LE(settleTo(descriptorCount, descriptors, 10.0), descriptors)
        << what << ": descriptors left open";
    EXPECT_LE(settleTo(threadCount, threads, 20.0), threads) << what << ": threads left running";
  }
};

// ---- the receiver side ----

// A session controller on the simulated display (1920x1080, changing content) and simulated
// audio hardware, against a test receiver on a free loopback address.
class ReceiverFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    oldHome_ = files::homeDirectory();
    setenv("HOME", (folder_.path() + "/home").c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    files::createDirectory(folder_.path() + "/home", true);
    root_ = folder_.path() + "/root";
    files::createDirectory(root_, true);
    // One session first in the process, so that the pools and the process-wide services
    // exist before the first case counts its resources.
    static bool warmedUp = false;
    if (!warmedUp) {
      warmedUp = true;
      startReceiver();
      connectAndMirror();
      releaseSession();
    }
    resources_ = Resources{};
  }

  // Starts the receiver and makes the controller; `options` tune the receiver.
  void startReceiver(test::TestReceiverOptions options = {}) {
    display_ = platform::display::SimDisplay::create({{1920, 1080, 60}});
    display_->setAnimating(0.04);
    hardware_ = audio::SimAudioHardware::create(root_);
    audio::setSystemHardware(hardware_);
    devices_ = AudioDeviceManager::create(hardware_, platform::NotificationCenter::create());
    SoundflowerManager::Environment soundEnv;
    soundEnv.deviceManager = devices_;
    soundEnv.temporaryDirectory = folder_.path() + "/tmp";
    soundEnv.installedBundlePath = root_ + audio::kLoopbackDriverInstallPath;
    MirrorChannel::Environment env;
    env.display = display_;
    env.soundflowerManager = SoundflowerManager::create(soundEnv);
    env.audioDeviceManager = devices_;
    env.config = SWAppConfig::create();

    std::string error;
    receiver_ = test::TestReceiver::startOnFreeLoopbackAddress(std::move(options), &error);
    ASSERT_NE(receiver_, nullptr) << error;
    channel_ = MirrorChannel::create(env);
    delegate_ = std::make_shared<RecordingMirrorDelegate>();
    channel_->setDelegate(delegate_);
    channel_->setLocalIP("192.168.1.37");
  }

  void TearDown() override {
    releaseSession();
    setenv("HOME", oldHome_.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    resources_.expectReleased(::testing::UnitTest::GetInstance()->current_test_info()->name());
  }

  // What the connection screen does when it closes, then everything of the case is dropped.
  void releaseSession() {
    if (channel_) channel_->disconnect();
    channel_.reset();
    delegate_.reset();
    receiver_.reset();
    devices_.reset();
    audio::setSystemHardware(nullptr);
    hardware_.reset();
    display_.reset();
  }

  void connectAndMirror() {
    channel_->connect(receiver_->address(), "123456");
    ASSERT_TRUE(delegate_->waitFor("onConnectToReceiverSuccess"));
    ASSERT_TRUE(receiver_->waitFor(
        [](const test::ReceiverState& s) { return s.pinCode.has_value(); }, 10.0));
    channel_->requestMirrorOn();
    ASSERT_TRUE(delegate_->waitFor("onRequestMirrorOnSuccess"));
    ASSERT_TRUE(waitForVideo(10));
  }

  bool waitForVideo(uint64_t n, double seconds = 20.0) const {
    return receiver_->waitFor([n](const test::ReceiverState& s) { return s.videoPackets >= n; },
                              seconds);
  }
  // Waits until the receiver has answered `n` more heartbeats: proof that the control
  // connection still carries packets both ways.
  bool waitForHeartbeats(int n, double seconds = 20.0) const {
    const int from = receiver_->snapshot().heartbeatsAnswered;
    return receiver_->waitFor(
        [&](const test::ReceiverState& s) { return s.heartbeatsAnswered >= from + n; }, seconds);
  }
  bool allConnectionsClosed(double seconds = 10.0) const {
    return receiver_->waitFor(
        [](const test::ReceiverState& s) {
          return std::all_of(s.channels.begin(), s.channels.end(),
                             [](const test::ChannelStats& c) { return c.open == 0; });
        },
        seconds);
  }
  std::vector<int> failureCodes() const {
    std::vector<int> codes;
    for (const auto& e : delegate_->events())
      if (e.name == "onConnectToReceiverFailed") codes.push_back(e.value);
    return codes;
  }

  test::TempFolder folder_;
  std::string oldHome_;
  std::string root_;
  Resources resources_;
  std::shared_ptr<platform::display::SimDisplay> display_;
  std::shared_ptr<audio::SimAudioHardware> hardware_;
  std::shared_ptr<AudioDeviceManager> devices_;
  std::unique_ptr<test::TestReceiver> receiver_;
  std::shared_ptr<MirrorChannel> channel_;
  std::shared_ptr<RecordingMirrorDelegate> delegate_;
};

TEST_F(ReceiverFaultTest, SilentReceiverWhileMirroringIsAFailedConnection) {
  LogCapture log;
  startReceiver();
  connectAndMirror();
  receiver_->setSilent(true);
  ASSERT_TRUE(delegate_->waitFor("onConnectToReceiverFailed", 1, 30.0)) << log.all();
  EXPECT_EQ(failureCodes(), std::vector<int>{-1});
  EXPECT_EQ(log.count("receiver timeout. going to disconnect."), 1u);
  EXPECT_TRUE(log.waitFor("sendHeartBeat exit."));
  // The controller leaves the decision to its delegate: the connection screen disconnects.
  channel_->disconnect();
  EXPECT_FALSE(channel_->isMirroring());
  EXPECT_EQ(channel_->mediaHandler(), nullptr);
  EXPECT_TRUE(allConnectionsClosed());
}

TEST_F(ReceiverFaultTest, ResetOfTheControlConnectionMidStreamIsAFailedConnection) {
  LogCapture log;
  startReceiver();
  connectAndMirror();
  ASSERT_TRUE(receiver_->closeConnection(test::Channel::Control, /*reset=*/true));
  ASSERT_TRUE(delegate_->waitFor("onConnectToReceiverFailed")) << log.all();
  EXPECT_EQ(failureCodes(), std::vector<int>{-1});
  // The lost control connection takes the other three with it.
  EXPECT_TRUE(allConnectionsClosed());
  EXPECT_TRUE(log.waitFor("sendHeartBeat exit."));
  channel_->disconnect();
  EXPECT_FALSE(channel_->isMirroring());

  // The same controller connects and mirrors again afterwards.
  const uint64_t videoBefore = receiver_->snapshot().videoPackets;
  channel_->connect(receiver_->address(), "123456");
  ASSERT_TRUE(delegate_->waitFor("onConnectToReceiverSuccess", 2));
  channel_->requestMirrorOn();
  ASSERT_TRUE(delegate_->waitFor("onRequestMirrorOnSuccess", 2));
  EXPECT_TRUE(waitForVideo(videoBefore + 10));
}

TEST_F(ReceiverFaultTest, ResetOfTheVideoConnectionMidStreamDropsVideoUntilTheNextConnect) {
  LogCapture log;
  startReceiver();
  connectAndMirror();
  ASSERT_TRUE(receiver_->closeConnection(test::Channel::Video, /*reset=*/true));
  EXPECT_TRUE(log.waitFor("video socket disconnect"));
  EXPECT_TRUE(log.waitFor("video connection closed: video data dropped until the next connect"));
  // The user sees no report: the session stays up (the control connection goes on past the
  // silence time-out) and mirroring goes on.
  EXPECT_TRUE(waitForHeartbeats(20));
  EXPECT_TRUE(failureCodes().empty()) << log.all();
  EXPECT_TRUE(channel_->isMirroring());
  EXPECT_EQ(log.count("unable to send video data."), 0u);  // drops are immediate, not waits

  // A new connection renews the video connection and the stream.
  channel_->disconnect();
  EXPECT_TRUE(allConnectionsClosed());
  const uint64_t videoBefore = receiver_->snapshot().videoPackets;
  channel_->connect(receiver_->address(), "123456");
  ASSERT_TRUE(delegate_->waitFor("onConnectToReceiverSuccess", 2));
  channel_->requestMirrorOn();
  ASSERT_TRUE(delegate_->waitFor("onRequestMirrorOnSuccess", 2));
  EXPECT_TRUE(waitForVideo(videoBefore + 10));
  EXPECT_EQ(receiver_->snapshot().errors, std::vector<std::string>{});
}

// Garbage whose every 16-byte packet, once unscrambled, has a kind other than request,
// response or callback.
std::vector<uint8_t> garbageOfUnknownKinds(size_t packets, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<uint8_t> out;
  out.reserve(packets * 16);
  for (size_t p = 0; p < packets; ++p) {
    std::array<uint8_t, 16> plain{};
    for (auto& b : plain) b = static_cast<uint8_t>(byte(rng));
    if (plain[2] >= 1 && plain[2] <= 3) plain[2] = static_cast<uint8_t>(plain[2] + 3);
    test::TestReceiver::scramble(plain.data());
    out.insert(out.end(), plain.begin(), plain.end());
  }
  return out;
}

TEST_F(ReceiverFaultTest, GarbageFloodOnTheControlConnectionChangesNothing) {
  LogCapture log;
  startReceiver();
  connectAndMirror();
  const auto eventsBefore = delegate_->events().size();
  // 4 MiB in 64 KiB pieces, while the stream runs.
  for (uint32_t piece = 0; piece < 64; ++piece) {
    ASSERT_TRUE(receiver_->sendRaw(test::Channel::Control, garbageOfUnknownKinds(4096, piece)));
  }
  ASSERT_TRUE(receiver_->waitFor(
      [](const test::ReceiverState& s) {
        return s[test::Channel::Control].bytesOut >= uint64_t{64} * 4096 * 16;
      },
      30.0));
  // Packet framing survived: heartbeats are still answered and a receiver command still acts.
  EXPECT_TRUE(waitForHeartbeats(3));
  EXPECT_EQ(delegate_->events().size(), eventsBefore) << log.all();
  EXPECT_TRUE(channel_->isMirroring());
  ASSERT_TRUE(receiver_->sendDeviceStatus(6));
  EXPECT_TRUE(delegate_->waitFor("onRequestMirrorOffSuccess"));
  EXPECT_FALSE(channel_->isMirroring());
  EXPECT_TRUE(failureCodes().empty());
}

TEST_F(ReceiverFaultTest, RandomBytesOnTheControlConnectionNeitherCrashNorHang) {
  startReceiver();
  connectAndMirror();
  // Whatever the random packets ask for (mirror on and off, key frames, ...), the session
  // must stay answerable and close cleanly.
  std::mt19937 rng(20);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int piece = 0; piece < 16; ++piece) {
    std::vector<uint8_t> bytes(65536);
    for (auto& b : bytes) b = static_cast<uint8_t>(byte(rng));
    ASSERT_TRUE(receiver_->sendRaw(test::Channel::Control, std::move(bytes)));
  }
  ASSERT_TRUE(receiver_->waitFor(
      [](const test::ReceiverState& s) { return s[test::Channel::Control].bytesOut >= 16u << 16; },
      30.0));
  EXPECT_TRUE(waitForHeartbeats(3));
  channel_->disconnect();
  EXPECT_FALSE(channel_->isMirroring());
  EXPECT_TRUE(allConnectionsClosed());
}

// Detailed content that changes every 40 ms (a few hundred small blocks of random colour),
// so that the stream runs near the encoder's bit rate, as a busy screen's does.
class BusyContent {
 public:
  explicit BusyContent(std::shared_ptr<platform::display::SimDisplay> display)
      : display_(std::move(display)), thread_([this] { run(); }) {}
  ~BusyContent() {
    stop_ = true;
    thread_.join();
  }
  BusyContent(const BusyContent&) = delete;
  BusyContent& operator=(const BusyContent&) = delete;

 private:
  void run() {
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> x(0, 1920 - 16);
    std::uniform_int_distribution<int> y(0, 1080 - 16);
    std::uniform_int_distribution<int> colour(0, 255);
    while (!stop_) {
      for (int i = 0; i < 400; ++i) {
        display_->fillRect(x(rng), y(rng), 16, 16, static_cast<uint8_t>(colour(rng)),
                           static_cast<uint8_t>(colour(rng)), static_cast<uint8_t>(colour(rng)));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
  }
  std::shared_ptr<platform::display::SimDisplay> display_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(ReceiverFaultTest, SlowReaderMakesTheLinkDropVideoWithBoundedQueues) {
  LogCapture log;
  test::TestReceiverOptions options;
  options.receiveBufferSize = 4096;  // the receiver's kernel buffer holds little
  startReceiver(std::move(options));
  BusyContent busy(display_);
  connectAndMirror();

  // A small fraction of the stream (which runs at several hundred kB/s): once the kernel's
  // buffers are full, the writes in flight stop completing and the link drops video.
  receiver_->setReadRate(test::Channel::Video, 20000);
  uint64_t fullestQueue = 0;
  const auto deadline = deadlineAfter(90.0);
  while (log.count("unable to send video data.") < 2 && Clock::now() < deadline) {
    fullestQueue = std::max(fullestQueue, channel_->mediaHandler()->videoOutputQueue()->count());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_GE(log.count("unable to send video data."), 2u) << "no drops logged";
  EXPECT_LE(fullestQueue, static_cast<uint64_t>(SWMediaHandler::kQueueCapacity));
  // The link's wait for a slot blocks only the media thread: the control connection goes on
  // and the user sees no report.
  EXPECT_TRUE(waitForHeartbeats(3));
  EXPECT_TRUE(failureCodes().empty());
  EXPECT_TRUE(channel_->isMirroring());

  // Reading at full speed again, the stream recovers.
  receiver_->setReadRate(test::Channel::Video, 0);
  const uint64_t videoNow = receiver_->snapshot().videoPackets;
  EXPECT_TRUE(waitForVideo(videoNow + 25, 30.0));
  EXPECT_EQ(receiver_->snapshot().errors, std::vector<std::string>{});
}

// A receiver's mirror stop runs inside the control connection's read callback. With the
// receiver not reading video, the media thread waits up to 3 s for a slot of the link (up to
// 10 s for audio); the stop must not wait for it, or the control connection goes unread that
// long and, past the receiver's 5 s silence limit, the session reports a lost receiver.
TEST_F(ReceiverFaultTest, ReceiverStopDoesNotWaitForAMediaWriteThatWaitsForASlot) {
  LogCapture log;
  test::TestReceiverOptions options;
  options.receiveBufferSize = 4096;
  startReceiver(std::move(options));
  BusyContent busy(display_);
  connectAndMirror();
  receiver_->setReading(test::Channel::Video, false);
  // Once the buffers are full, a write waits 3 s and is dropped; the next round's write waits
  // again at once.
  ASSERT_TRUE(log.waitFor("unable to send video data.", 1, 90.0));
  ASSERT_FALSE(log.waitFor("exit sendMediaData", 1, 0.3));

  ASSERT_TRUE(receiver_->sendDeviceStatus(6));
  ASSERT_TRUE(delegate_->waitFor("onRequestMirrorOffSuccess", 1, 30.0));
  // The stop was over while the media thread still waited.
  EXPECT_EQ(log.count("exit sendMediaData"), 0u);
  EXPECT_FALSE(channel_->isMirroring());
  EXPECT_TRUE(waitForHeartbeats(3));
  EXPECT_TRUE(failureCodes().empty());
  // The thread ends by itself once its write has given up.
  EXPECT_TRUE(log.waitFor("exit sendMediaData", 1, 10.0));
  receiver_->setReading(test::Channel::Video, true);
}

// ---- the look-up server side ----

struct PinOutcome {
  enum Kind { Connected, Failed, Resolved, NotFound };
};

class RecordingPincodeDelegate : public PincodeDelegate {
 public:
  void onConnectPinServerSuccess() override { add(PinOutcome::Connected); }
  void onConnectServerFailed() override { add(PinOutcome::Failed); }
  void onPincodeResolved(const ReceiverObject& /*receiver*/) override { add(PinOutcome::Resolved); }
  void onReceiverNotFound() override { add(PinOutcome::NotFound); }

  std::vector<PinOutcome::Kind> kinds() const {
    std::lock_guard lock(mutex_);
    return kinds_;
  }
  bool waitForCount(size_t n, double seconds) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_until(lock, deadlineAfter(seconds), [&] { return kinds_.size() >= n; });
  }

 private:
  void add(PinOutcome::Kind kind) {
    std::lock_guard lock(mutex_);
    kinds_.push_back(kind);
    cv_.notify_all();
  }
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<PinOutcome::Kind> kinds_;
};

struct LookupCase {
  const char* what;
  test::LookupAnswer answer;
  bool closeOnAccept = false;
  std::vector<PinOutcome::Kind> outcome;  // what the PIN screen hears
  bool clientCloses = false;              // the client ends the connection after the reply
  const char* logged = nullptr;           // a line the client logs, when it matters
};

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(byte(rng));
  return out;
}

TEST(LookupServerFaults, EachEndsInItsOutcomeAndReleasesEverything) {
  constexpr const char* kPin = "123456";
  using K = PinOutcome;
  std::vector<uint8_t> garbage = randomBytes(300, 5);
  garbage[0] = 0;  // a plausible header, a body that is no message
  garbage[1] = 0;
  garbage[2] = 1;
  garbage[3] = 40;
  std::vector<uint8_t> huge = randomBytes(64, 6);
  huge[0] = huge[1] = huge[2] = huge[3] = 0xFF;
  const std::vector<LookupCase> cases = {
      {"silent", test::LookupAnswer::neverAnswers(), false, {K::Connected}, false, nullptr},
      {"short, left open",
       test::LookupAnswer::rawBytes({0, 0}, false),
       false,
       {K::Connected},
       false,
       nullptr},
      {"short, then closed",
       test::LookupAnswer::rawBytes({0, 0}, true),
       false,
       {K::Connected, K::Failed},
       false,
       nullptr},
      {"garbage",
       test::LookupAnswer::rawBytes(garbage, false),
       false,
       {K::Connected},
       true,
       "data len=296"},
      {"huge length header",
       test::LookupAnswer::rawBytes(huge, false),
       false,
       {K::Connected},
       true,
       "reply length 4294967295 refused"},
      {"closes at once",
       test::LookupAnswer::neverAnswers(),
       true,
       {K::Connected, K::Failed},
       false,
       nullptr},
  };
  test::TemporaryHome home;
  // One look-up first, so that the process-wide pools and services exist.
  {
    test::LookupServerOptions options;
    options.pins[kPin] = test::LookupAnswer::found({"127.0.0.1"}, "Den", "1.0");
    auto server = test::TestLookupServer::startOnFreeLoopbackAddress(std::move(options));
    ASSERT_NE(server, nullptr);
    platform::UserDefaults::standard()->setString(server->address(), corvane::kPinServerHostKey);
    auto delegate = std::make_shared<RecordingPincodeDelegate>();
    auto channel = PincodeChannel::create();
    channel->setPincodeDelegate(delegate);
    channel->findReceiverByPincode(kPin);
    ASSERT_TRUE(delegate->waitForCount(2, test::kWait));
    ASSERT_EQ(delegate->kinds(), (std::vector<K::Kind>{K::Connected, K::Resolved}));
  }
  for (const LookupCase& c : cases) {
    SCOPED_TRACE(c.what);
    const Resources resources;
    {
      test::LogLines log;
      test::LookupServerOptions options;
      options.pins[kPin] = c.answer;
      options.closeOnAccept = c.closeOnAccept;
      std::string error;
      auto server = test::TestLookupServer::startOnFreeLoopbackAddress(std::move(options), &error);
      ASSERT_NE(server, nullptr) << error;
      platform::UserDefaults::standard()->setString(server->address(), corvane::kPinServerHostKey);
      auto delegate = std::make_shared<RecordingPincodeDelegate>();
      auto channel = PincodeChannel::create();
      channel->setPincodeDelegate(delegate);
      channel->findReceiverByPincode(kPin);

      ASSERT_TRUE(delegate->waitForCount(c.outcome.size(), test::kWait));
      if (c.clientCloses) {
        EXPECT_TRUE(log.waitFor("socketDidDisconnect:(null)"));
        EXPECT_TRUE(server->waitFor(
            [](const test::LookupServerState& s) { return s.closedByClient == 1; }, test::kWait));
      } else if (c.outcome.back() == K::Connected) {
        // The connection stays open: the PIN screen's own time-out covers it. Give a late
        // report the time to show itself.
        EXPECT_FALSE(delegate->waitForCount(c.outcome.size() + 1, 1.0));
        EXPECT_EQ(server->snapshot().open, 1);
      }
      EXPECT_EQ(delegate->kinds(), c.outcome);
      if (c.logged != nullptr) {
        EXPECT_TRUE(log.contains(c.logged)) << c.logged;
      }
      // The PIN screen goes away with its channel; the server goes last.
      channel.reset();
      delegate.reset();
      server.reset();
    }
    resources.expectReleased(c.what);
  }
}

}  // namespace
}  // namespace corvane::testing
