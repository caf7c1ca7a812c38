// The session controller against the test receiver on a loopback address, with the simulated
// display and audio hardware: synchronisation, mirror on and off from both sides, media
// arriving and decoding, audio routing and its restoration, the display-sleep assertion, and
// no threads or descriptors left behind.
#include "session/mirror_channel.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "media/media_test_support.h"
#include "platform/audio/audio_hardware.h"
#include "platform/audio/loopback_driver.h"
#include "platform/audio/sim/sim_audio_hardware.h"
#include "platform/display/sim/sim_display.h"
#include "platform/foundation/file_utils.h"
#include "platform/foundation/notification_center.h"
#include "platform/power/power.h"
#include "session/link_fixture.h"
#include "session/mirror_test_support.h"
#include "support/test_receiver.h"

namespace corvane::testing {
namespace {

namespace audio = platform::audio;
namespace files = platform::files;

// NAL unit types of an Annex-B stream, in order.
std::vector<int> nalTypes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
  std::vector<int> types;
  for (size_t i = 0; i + 3 < bytes.size(); ++i) {
    if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) {
      types.push_back(bytes[i + 3] & 0x1F);
      i += 3;
    }
  }
  return types;
}

class MirrorChannelTest : public ::testing::Test {
 protected:
  static constexpr const char* kLocalIP = "192.168.1.37";
  static constexpr int8_t kOwnByte = 37;

  void SetUp() override {
    oldHome_ = files::homeDirectory();
    setenv("HOME", (folder_.path() + "/home").c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    files::createDirectory(folder_.path() + "/home", true);
    root_ = folder_.path() + "/root";
    files::createDirectory(root_, true);

    display_ = platform::display::SimDisplay::create({{1280, 720, 60}, {1920, 1080, 60}});
    display_->setAnimating(0.02);
    hardware_ = audio::SimAudioHardware::create(root_);
    audio::setSystemHardware(hardware_);
    center_ = platform::NotificationCenter::create();
    devices_ = AudioDeviceManager::create(hardware_, center_);
    SoundflowerManager::Environment soundEnv;
    soundEnv.deviceManager = devices_;
    soundEnv.bundle = nullptr;
    soundEnv.temporaryDirectory = folder_.path() + "/tmp";
    soundEnv.installedBundlePath = root_ + audio::kLoopbackDriverInstallPath;
    driver_ = SoundflowerManager::create(soundEnv);
    config_ = SWAppConfig::create();

    test::TestReceiverOptions options;
    options.videoFile = folder_.file("video.h264");
    options.audioFile = folder_.file("audio.mp3");
    std::string error;
    receiver_ = test::TestReceiver::startOnFreeLoopbackAddress(std::move(options), &error);
    ASSERT_NE(receiver_, nullptr) << error;

    MirrorChannel::Environment env;
    env.display = display_;
    env.soundflowerManager = driver_;
    env.audioDeviceManager = devices_;
    env.config = config_;
    channel_ = MirrorChannel::create(env);
    delegate_ = std::make_shared<RecordingMirrorDelegate>();
    channel_->setDelegate(delegate_);
    channel_->setLocalIP(kLocalIP);
  }

  void TearDown() override {
    stopTone();
    if (channel_) channel_->disconnect();
    channel_.reset();
    receiver_.reset();
    driver_.reset();
    devices_.reset();
    audio::setSystemHardware(nullptr);
    hardware_.reset();
    setenv("HOME", oldHome_.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  }

  // Puts the stand-in driver bundle where the audio hardware looks for it.
  void installDriver() {
    const std::string bundle = root_ + audio::kLoopbackDriverInstallPath;
    files::createDirectory(bundle + "/Contents/MacOS", true);
    copyFile(std::string(CORVANE_DRIVER_SOURCE_DIR) + "/info.plist",
             bundle + "/Contents/Info.plist");
    copyFile(std::string(CORVANE_DRIVER_SOURCE_DIR) + "/placeholder",
             bundle + "/Contents/MacOS/BlackHole");
    ASSERT_TRUE(driver_->isAudioPluginInstalled());
  }
  static void copyFile(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
  }

  void connectAndWait() {
    const size_t before = delegate_->count("onConnectToReceiverSuccess");
    const size_t pins = receiver_->snapshot().requests(35).size();
    channel_->connect(receiver_->address(), "123456");
    ASSERT_TRUE(delegate_->waitFor("onConnectToReceiverSuccess", before + 1));
    // This connection's PIN, and so its control connection, reached the receiver.
    ASSERT_TRUE(receiver_->waitFor(
        [pins](const test::ReceiverState& s) { return s.requests(35).size() > pins; }, 10.0));
  }

  void mirrorOnByUser() {
    const size_t before = delegate_->count("onRequestMirrorOnSuccess");
    channel_->requestMirrorOn();
    ASSERT_TRUE(delegate_->waitFor("onRequestMirrorOnSuccess", before + 1));
    // The display-sleep assertion is the last step before the media thread starts.
    ASSERT_TRUE(waitUntil([] { return mirroringAssertions().size() == 1; }));
  }

  // Plays a 1 kHz tone into the loop-back device in 10 ms pieces until stopped.
  void startTone() {
    const auto device = hardware_->deviceNamed("BlackHole 2ch");
    ASSERT_NE(device, audio::kAudioObjectUnknown);
    tone_ = std::thread([this, device] {
      size_t first = 0;
      while (!toneStop_) {
        const auto samples = test::sineFrames(first, 441, 1000.0);
        first += 441;
        hardware_->play(device, samples.data(), samples.size() * sizeof(float));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
  }
  void stopTone() {
    toneStop_ = true;
    if (tone_.joinable()) tone_.join();
  }

  bool waitForVideo(size_t n, double seconds = 20.0) {
    return receiver_->waitFor([n](const test::ReceiverState& s) { return s.video.size() >= n; },
                              seconds);
  }

  static std::vector<platform::power::Assertion> mirroringAssertions() {
    std::vector<platform::power::Assertion> out;
    for (const auto& a : platform::power::activeAssertions()) {
      if (a.name == "Screen Mirroring") out.push_back(a);
    }
    return out;
  }

  test::TempFolder folder_;
  std::string oldHome_;
  std::string root_;
  std::shared_ptr<platform::display::SimDisplay> display_;
  std::shared_ptr<audio::SimAudioHardware> hardware_;
  std::shared_ptr<platform::NotificationCenter> center_;
  std::shared_ptr<AudioDeviceManager> devices_;
  std::shared_ptr<SoundflowerManager> driver_;
  std::shared_ptr<SWAppConfig> config_;
  std::unique_ptr<test::TestReceiver> receiver_;
  std::shared_ptr<MirrorChannel> channel_;
  std::shared_ptr<RecordingMirrorDelegate> delegate_;
  std::thread tone_;
  std::atomic<bool> toneStop_{false};
};

TEST(MirrorChannelAddressByte, LastDottedPartGivesTheLowEightBits) {
  struct Case {
    const char* ip;
    std::optional<int8_t> byte;
  } cases[] = {
      {"192.168.1.37", 37},        {"10.0.0.300", 44},  // 300 & 0xFF
      {"10.0.0.255", -1},          {"1.2.3.4.5", 5},        {"1.2.3.x", 0}, {"1.2.3. 12abc", 12},
      {"192168137", std::nullopt}, {"1.2.3", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MirrorChannel::addressByteOf(c.ip), c.byte) << c.ip;
  }
}

TEST_F(MirrorChannelTest, ConnectSynchronisesInOrderWithTheOwnAddressByte) {
  LogCapture log;
  config_->setDeviceName("A sender whose name needs two pieces");
  connectAndWait();
  EXPECT_TRUE(delegate_->waitFor("onRequestReceiverVersionSuccess"));
  const auto state = receiver_->snapshot();
  std::vector<int> codes;
  for (const auto& r : state.control) {
    EXPECT_EQ(static_cast<int8_t>(r.plain[0]), kOwnByte);
    if (r.kind() != 1 || r.code() == 0) continue;  // requests only, no heartbeats
    // The name's later pieces (16) count once.
    if (r.code() == 16 && !codes.empty() && codes.back() == 16) continue;
    codes.push_back(r.code());
  }
  // Sender name (first piece, later pieces), version, authentication type, client type, PIN.
  const std::vector<int> expected = {15, 16, 14, 25, 20, 35};
  ASSERT_GE(codes.size(), expected.size()) << ::testing::PrintToString(codes);
  EXPECT_EQ(std::vector<int>(codes.begin(), codes.begin() + 6), expected);
  EXPECT_EQ(state.pinCode, "123456");
  const auto clientType = state.requests(20);
  ASSERT_EQ(clientType.size(), 1u);
  EXPECT_EQ(clientType[0].plain[4], 3);
  EXPECT_EQ(clientType[0].plain[5], 5);
  EXPECT_EQ(delegate_->events().front().name, "onConnectToReceiverSuccess");
}

TEST_F(MirrorChannelTest, AddressWithoutDotsKeepsTheLinkByteAndLogsIndexZero) {
  LogCapture log;
  channel_->setLocalIP("localhost");
  channel_->netStream()->setLocaIpByte(9);
  connectAndWait();
  EXPECT_EQ(log.count("arr[0]=localhost"), 1u);
  for (const auto& r : receiver_->snapshot().control) EXPECT_EQ(r.plain[0], 9);
}

TEST_F(MirrorChannelTest, UserMirrorOnStreamsVideoThatDecodesAndMirrorOffStops) {
  connectAndWait();
  mirrorOnByUser();
  // The assertion is taken once the media pipeline runs.
  ASSERT_TRUE(waitUntil([] { return mirroringAssertions().size() == 1; }));
  EXPECT_EQ(mirroringAssertions()[0].type, "PreventUserIdleDisplaySleep");
  EXPECT_EQ(mirroringAssertions()[0].level, 255u);
  ASSERT_TRUE(waitForVideo(30));

  channel_->requestMirrorOff();
  ASSERT_TRUE(delegate_->waitFor("onRequestMirrorOffSuccess"));
  EXPECT_FALSE(channel_->isMirroring());
  EXPECT_EQ(channel_->mediaHandler(), nullptr);
  EXPECT_TRUE(mirroringAssertions().empty());

  // What arrived is a valid H.264 stream of the display's largest mode (the encoder keeps the
  // height a multiple of 16).
  const auto probe = test::runProcess({"ffprobe", "-v", "error", "-count_frames", "-select_streams",
                                       "v:0", "-show_entries", "stream=width,height,nb_read_frames",
                                       "-of", "csv=p=0", folder_.file("video.h264")});
  ASSERT_EQ(probe.exitCode, 0) << probe.output;
  EXPECT_EQ(probe.output.rfind("1920,1072,", 0), 0u) << "[" << probe.output << "]";
  EXPECT_EQ(receiver_->snapshot().errors, std::vector<std::string>{});
}

TEST_F(MirrorChannelTest, DeviceStatusSevenStartsOnceAndSixStops) {
  connectAndWait();
  ASSERT_TRUE(receiver_->sendDeviceStatus(7));
  ASSERT_TRUE(delegate_->waitFor("onRequestMirrorOnSuccess"));
  ASSERT_TRUE(waitUntil([] { return mirroringAssertions().size() == 1; }));
  ASSERT_TRUE(receiver_->sendDeviceStatus(7));  // already mirroring: nothing changes
  ASSERT_TRUE(waitForVideo(5));
  ASSERT_TRUE(receiver_->sendDeviceStatus(6));
  ASSERT_TRUE(delegate_->waitFor("onRequestMirrorOffSuccess"));
  EXPECT_FALSE(channel_->isMirroring());
  EXPECT_EQ(delegate_->count("onRequestMirrorOnSuccess"), 1u);
  ASSERT_TRUE(receiver_->sendDeviceStatus(6));  // not mirroring: nothing changes
  ASSERT_TRUE(receiver_->sendDeviceStatus(7));
  ASSERT_TRUE(delegate_->waitFor("onRequestMirrorOnSuccess", 2));
  EXPECT_EQ(delegate_->count("onRequestMirrorOffSuccess"), 1u);
}

TEST_F(MirrorChannelTest, KeyFrameRequestBringsAnIdrWithBothParameterSets) {
  connectAndWait();
  mirrorOnByUser();
  ASSERT_TRUE(waitForVideo(20));
  const auto idrsBefore = [&] {
    size_t n = 0;
    for (int t : nalTypes(folder_.file("video.h264"))) n += t == 5;
    return n;
  }();
  const size_t videoBefore = receiver_->snapshot().video.size();
  ASSERT_TRUE(receiver_->requestKeyFrame());
  ASSERT_TRUE(waitForVideo(videoBefore + 30));
  channel_->requestMirrorOff();
  ASSERT_TRUE(delegate_->waitFor("onRequestMirrorOffSuccess"));

  const auto types = nalTypes(folder_.file("video.h264"));
  size_t idrs = 0;
  for (size_t i = 0; i < types.size(); ++i) {
    if (types[i] != 5) continue;
    ++idrs;
    // Every IDR comes after a sequence and a picture parameter set (an SEI may stand between),
    // all after the previous picture.
    bool sps = false;
    bool pps = false;
    for (size_t j = i; j-- > 0 && types[j] != 1 && types[j] != 5;) {
      sps = sps || types[j] == 7;
      pps = pps || types[j] == 8;
    }
    EXPECT_TRUE(sps && pps) << "IDR at NAL " << i;
  }
  EXPECT_GT(idrs, idrsBefore);
}

TEST_F(MirrorChannelTest, AudioIsRoutedAndSentWhileTheDriverIsInstalledAndRestoredAfter) {
  installDriver();
  const auto inputBefore = devices_->getDefaultInputAudioDeviceID();
  const auto outputBefore = devices_->getDefaultOutputAudioDeviceID();
  connectAndWait();
  mirrorOnByUser();
  startTone();
  EXPECT_TRUE(driver_->isAudioPluginDefaultAudio());
  EXPECT_TRUE(driver_->protectSetting());
  const std::string saved = config_->soundflowerSettingFile();
  EXPECT_TRUE(files::exists(saved));
  ASSERT_TRUE(receiver_->waitFor(
      [](const test::ReceiverState& s) { return s.audio.size() >= 5 && s.video.size() >= 5; },
      20.0));

  channel_->disconnect();
  stopTone();
  EXPECT_FALSE(channel_->isMirroring());
  EXPECT_EQ(channel_->mediaHandler(), nullptr);
  EXPECT_TRUE(mirroringAssertions().empty());
  EXPECT_FALSE(driver_->protectSetting());
  EXPECT_EQ(devices_->getDefaultInputAudioDeviceID(), inputBefore);
  EXPECT_EQ(devices_->getDefaultOutputAudioDeviceID(), outputBefore);
  EXPECT_FALSE(files::exists(saved));
  EXPECT_TRUE(receiver_->waitFor(
      [](const test::ReceiverState& s) {
        for (const auto& c : s.channels)
          if (c.open != 0) return false;
        return true;
      },
      10.0));
}

TEST_F(MirrorChannelTest, WithoutTheDriverOnlyVideoIsSentAndNoDefaultChanges) {
  const auto inputBefore = devices_->getDefaultInputAudioDeviceID();
  const auto outputBefore = devices_->getDefaultOutputAudioDeviceID();
  connectAndWait();
  mirrorOnByUser();
  ASSERT_TRUE(waitForVideo(20));
  EXPECT_EQ(devices_->getDefaultInputAudioDeviceID(), inputBefore);
  EXPECT_EQ(devices_->getDefaultOutputAudioDeviceID(), outputBefore);
  EXPECT_EQ(receiver_->snapshot().audio.size(), 0u);
  EXPECT_EQ(channel_->mediaHandler()->audioRecorder()->sessionsCreated(), 0);
}

TEST_F(MirrorChannelTest, RefusedMirrorStartIsPassedOnWithItsCode) {
  connectAndWait();
  // A refused start makes the link ask for the status: state 2 ends in -1, state 3 in -2.
  receiver_->setMirrorStartResult(0);
  struct Case {
    int8_t state;
    int code;
  };
  size_t n = 0;
  for (const Case c : {Case{2, -1}, Case{3, -2}}) {
    receiver_->setStatusAnswer(std::pair<int8_t, uint8_t>{c.state, 0});
    channel_->requestMirrorOn();
    ASSERT_TRUE(delegate_->waitFor("onRequestMirrorOnFailed", ++n));
    EXPECT_EQ(delegate_->events().back(), (LinkEvent{"onRequestMirrorOnFailed", c.code}));
    EXPECT_FALSE(channel_->isMirroring());
  }
  EXPECT_EQ(delegate_->count("onRequestMirrorOnSuccess"), 0u);
}

TEST_F(MirrorChannelTest, SilentReceiverIsReportedAsAFailedConnection) {
  connectAndWait();
  const auto silentFrom = Clock::now();
  receiver_->setSilent(true);
  ASSERT_TRUE(delegate_->waitFor("onConnectToReceiverFailed", 1, 30.0));
  const double waited = std::chrono::duration<double>(Clock::now() - silentFrom).count();
  EXPECT_GE(waited, 3.0);
  for (const auto& e : delegate_->events())
    if (e.name == "onConnectToReceiverFailed") {
      EXPECT_EQ(e.value, -1);
    }
}

// After `disconnect` nothing of a session runs, however a mirror start meets it.
TEST_F(MirrorChannelTest, DisconnectFromInsideTheMirrorOnReportLeavesNothingRunning) {
  connectAndWait();
  delegate_->setOnReport([this](const std::string& name) {
    if (name == "onRequestMirrorOnSuccess") channel_->disconnect();
  });
  ASSERT_TRUE(receiver_->sendDeviceStatus(7));
  ASSERT_TRUE(delegate_->waitFor("onRequestMirrorOnSuccess"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // a start would be running by now
  EXPECT_FALSE(channel_->isMirroring());
  EXPECT_EQ(channel_->mediaHandler(), nullptr);
  EXPECT_TRUE(mirroringAssertions().empty());
  delegate_->setOnReport(nullptr);
}

TEST_F(MirrorChannelTest, DisconnectEndsAStartThatWaitsForADisplay) {
  display_->setMainDisplayPresent(false);
  connectAndWait();
  ASSERT_TRUE(receiver_->sendDeviceStatus(7));
  ASSERT_TRUE(delegate_->waitFor("onRequestMirrorOnSuccess"));
  ASSERT_TRUE(waitUntil([&] { return channel_->mediaHandler() != nullptr; }));
  auto done = std::async(std::launch::async, [this] { channel_->disconnect(); });
  ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_FALSE(channel_->isMirroring());
  EXPECT_EQ(channel_->mediaHandler(), nullptr);
  EXPECT_TRUE(mirroringAssertions().empty());
}

TEST_F(MirrorChannelTest, DisconnectRacingAReceiverStartLeavesNothingRunning) {
  for (int round = 0; round < 8; ++round) {
    connectAndWait();
    ASSERT_TRUE(receiver_->sendDeviceStatus(7));
    std::this_thread::sleep_for(std::chrono::milliseconds(round * 3));
    channel_->disconnect();
    EXPECT_FALSE(channel_->isMirroring()) << "round " << round;
    EXPECT_EQ(channel_->mediaHandler(), nullptr) << "round " << round;
    EXPECT_TRUE(mirroringAssertions().empty()) << "round " << round;
    EXPECT_FALSE(files::exists(config_->soundflowerSettingFile())) << "round " << round;
  }
}

// The receiver starts and stops mirroring itself: by asking for it (requests 1 and 2, which
// the sender answers with start and stop requests of its own) and by the key-status callback,
// which toggles.
TEST_F(MirrorChannelTest, ReceiverInitiatedMirrorOnAndOff) {
  struct Case {
    const char* name;
    std::function<bool(test::TestReceiver&)> on;
    std::function<bool(test::TestReceiver&)> off;
  };
  const Case cases[] = {
      {"requests 1 and 2", [](test::TestReceiver& r) { return r.requestMirrorOn(); },
       [](test::TestReceiver& r) { return r.requestMirrorOff(); }},
      {"key status toggles", [](test::TestReceiver& r) { return r.sendKeyStatus(); },
       [](test::TestReceiver& r) { return r.sendKeyStatus(); }},
  };
  connectAndWait();
  size_t n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ++n;
    const size_t starts = receiver_->snapshot().requests(1).size();
    ASSERT_TRUE(c.on(*receiver_));
    ASSERT_TRUE(delegate_->waitFor("onRequestMirrorOnSuccess", n));
    ASSERT_TRUE(waitUntil([] { return mirroringAssertions().size() == 1; }));
    EXPECT_TRUE(channel_->isMirroring());
    EXPECT_EQ(receiver_->snapshot().requests(1).size(), starts + 1);
    const size_t video = receiver_->snapshot().video.size();
    ASSERT_TRUE(waitForVideo(video + 3));

    const size_t stops = receiver_->snapshot().requests(2).size();
    ASSERT_TRUE(c.off(*receiver_));
    ASSERT_TRUE(delegate_->waitFor("onRequestMirrorOffSuccess", n));
    EXPECT_FALSE(channel_->isMirroring());
    EXPECT_EQ(channel_->mediaHandler(), nullptr);
    EXPECT_TRUE(mirroringAssertions().empty());
    EXPECT_EQ(receiver_->snapshot().requests(2).size(), stops + 1);
  }
}

// A mirror stop (not only `disconnect`) gives the user's devices back, also when a saved
// device went away while mirroring: then the built-in one, never the loop-back device.
TEST_F(MirrorChannelTest, MirrorStopRestoresTheUserDevicesOrTheBuiltInOnes) {
  installDriver();
  struct Case {
    const char* name;
    bool speakerGoes;
  };
  connectAndWait();
  size_t n = 0;
  for (const Case c : {Case{"saved devices present", false}, Case{"saved speaker gone", true}}) {
    SCOPED_TRACE(c.name);
    ++n;
    const auto mic = hardware_->addDevice({"USB Mic", 1, 0});
    const auto speaker = hardware_->addDevice({"USB Speaker", 0, 2});
    ASSERT_TRUE(devices_->setDefaultInputAudioDeviceWithID(mic));
    ASSERT_TRUE(devices_->setDefaultOutputAudioDeviceWithID(speaker));
    mirrorOnByUser();
    EXPECT_TRUE(driver_->isAudioPluginDefaultAudio());
    if (c.speakerGoes) {
      ASSERT_TRUE(hardware_->removeDevice(speaker));
    }

    channel_->requestMirrorOff();
    ASSERT_TRUE(delegate_->waitFor("onRequestMirrorOffSuccess", n));
    ASSERT_TRUE(hardware_->waitUntilNotificationsDelivered(5.0));
    EXPECT_FALSE(driver_->protectSetting());
    EXPECT_EQ(devices_->getDefaultInputAudioDeviceID(), mic);
    EXPECT_EQ(devices_->getDefaultOutputAudioDeviceID(),
              c.speakerGoes ? audio::SimAudioHardware::kBuiltInOutputID : speaker);
    EXPECT_FALSE(driver_->isAudioPluginDefaultAudio());
    EXPECT_FALSE(files::exists(config_->soundflowerSettingFile()));
    hardware_->removeDevice(mic);
    if (!c.speakerGoes) hardware_->removeDevice(speaker);
  }
}

// A saved-devices file left by a run that ended without restoring (the machine still on the
// loop-back device) names the user's devices: the next mirror start gives them back before it
// saves the defaults again, so the stop restores them and not the loop-back device.
TEST_F(MirrorChannelTest, MirrorStartRestoresTheDevicesAFileOfAnEarlierRunNames) {
  installDriver();
  const auto mic = hardware_->addDevice({"USB Mic", 1, 0});
  const auto speaker = hardware_->addDevice({"USB Speaker", 0, 2});
  const std::string file = config_->soundflowerSettingFile();
  files::createDirectory(std::filesystem::path(file).parent_path().string(), true);
  ASSERT_TRUE(devices_->setDefaultInputAudioDeviceWithID(mic));
  ASSERT_TRUE(devices_->setDefaultOutputAudioDeviceWithID(speaker));
  ASSERT_TRUE(devices_->writeSystemAudioSettingToFile(file));
  ASSERT_TRUE(driver_->setAudioPluginAsDefaultAudio());  // where the earlier run left them

  connectAndWait();
  mirrorOnByUser();
  EXPECT_TRUE(driver_->isAudioPluginDefaultAudio());
  channel_->requestMirrorOff();
  ASSERT_TRUE(delegate_->waitFor("onRequestMirrorOffSuccess"));
  EXPECT_EQ(devices_->getDefaultInputAudioDeviceID(), mic);
  EXPECT_EQ(devices_->getDefaultOutputAudioDeviceID(), speaker);
  EXPECT_FALSE(files::exists(file));
}

// The mouse thread while mirroring: request 33 with 1 first, then request 34 with type 0,
// action 0 and the pointer (x, display height - y of the pointer as the display keeps it, so
// the top-left pixel position) about every 50 ms, and request 33 with 0 once mirroring ends.
TEST_F(MirrorChannelTest, MouseThreadSendsThePointerWhileMirroring) {
  connectAndWait();
  mirrorOnByUser();
  auto mouseEvents = [](const test::ReceiverState& s) {
    std::vector<std::pair<int, int>> positions;
    for (const auto& r : s.requests(34)) {
      positions.emplace_back((r.plain[6] << 8) | r.plain[7], (r.plain[8] << 8) | r.plain[9]);
    }
    return positions;
  };
  auto sawPosition = [&](int x, int y) {
    return receiver_->waitFor(
        [&](const test::ReceiverState& s) {
          const auto p = mouseEvents(s);
          return std::find(p.begin(), p.end(), std::pair{x, y}) != p.end();
        },
        10.0);
  };
  display_->setCursorPosition(300, 200);
  const auto pointer = display_->mouseLocation();
  ASSERT_TRUE(pointer.has_value());
  EXPECT_EQ(pointer->y, 720 - 200);  // the layer counts from the bottom
  channel_->startSendMouseEventThread();
  channel_->stopSendMouseEventThread();  // does nothing: the thread runs while mirroring
  ASSERT_TRUE(sawPosition(300, 200));
  display_->setCursorPosition(1279, 0);
  ASSERT_TRUE(sawPosition(1279, 0));
  ASSERT_TRUE(receiver_->waitFor(
      [&](const test::ReceiverState& s) { return mouseEvents(s).size() >= 14; }, 20.0));
  channel_->requestMirrorOff();
  ASSERT_TRUE(delegate_->waitFor("onRequestMirrorOffSuccess"));
  ASSERT_TRUE(receiver_->waitFor(
      [](const test::ReceiverState& s) { return s.requests(33).size() == 2; }, 10.0));

  const auto state = receiver_->snapshot();
  std::vector<const test::ControlRecord*> mouse;
  for (const auto& r : state.control) {
    if (r.kind() == 1 && (r.code() == 33 || r.code() == 34)) mouse.push_back(&r);
  }
  ASSERT_GE(mouse.size(), 4u);
  EXPECT_EQ(mouse.front()->code(), 33);
  EXPECT_EQ(mouse.front()->plain[4], 1);
  EXPECT_EQ(mouse.back()->code(), 33);
  EXPECT_EQ(mouse.back()->plain[4], 0);
  for (size_t i = 1; i + 1 < mouse.size(); ++i) {
    EXPECT_EQ(mouse[i]->code(), 34) << i;
    EXPECT_EQ(mouse[i]->plain[4], 0) << "type";
    EXPECT_EQ(mouse[i]->plain[5], 0) << "action";
  }
  // One event per 50 ms round (arrival times, which small writes may bunch: on average).
  const double span =
      std::chrono::duration<double>(mouse[mouse.size() - 2]->at - mouse[1]->at).count();
  EXPECT_GE(span / static_cast<double>(mouse.size() - 3), 0.035) << span;
  const size_t events = mouseEvents(state).size();
  // Nothing more once mirroring has ended.
  ASSERT_TRUE(receiver_->requestMirrorOn());  // any round trip on the control connection
  ASSERT_TRUE(delegate_->waitFor("onRequestMirrorOnSuccess", 2));
  EXPECT_EQ(mouseEvents(receiver_->snapshot()).size(), events);
}

// The link reports connect success and failure from different threads, so a success can
// arrive after the failure of its own attempt. The last report of the attempt must be the
// failure, and reports never overlap (the screen sets its mode inside them).
TEST_F(MirrorChannelTest, ConnectSuccessArrivingAfterTheFailureIsNotTheLastWord) {
  connectAndWait();
  // Late: the failure was reported first.
  channel_->onConnectFailed();
  channel_->onConnectSuccess();
  auto connectEvents = [this] {
    std::vector<std::string> names;
    for (const auto& e : delegate_->events()) {
      if (e.name.rfind("onConnectToReceiver", 0) == 0) names.push_back(e.name);
    }
    return names;
  };
  EXPECT_EQ(connectEvents(),
            (std::vector<std::string>{"onConnectToReceiverSuccess", "onConnectToReceiverFailed"}));
  // The screen disconnects on the failure; a success that comes after that is not reported.
  channel_->disconnect();
  channel_->onConnectSuccess();
  EXPECT_EQ(connectEvents().size(), 2u);

  // Side by side: a failure that comes while the success is being reported waits for it.
  connectAndWait();
  std::atomic<bool> failureInsideSuccess{false};
  std::promise<void> inSuccess;
  auto inSuccessFuture = inSuccess.get_future();
  delegate_->setOnReport([&](const std::string& name) {
    if (name != "onConnectToReceiverSuccess") return;
    inSuccess.set_value();
    const size_t failures = delegate_->count("onConnectToReceiverFailed");
    // Without the ordering the failure is recorded within this wait.
    delegate_->waitFor("onConnectToReceiverFailed", failures + 1, 0.3);
    failureInsideSuccess = delegate_->count("onConnectToReceiverFailed") > failures;
  });
  std::thread success([this] { channel_->onConnectSuccess(); });
  ASSERT_EQ(inSuccessFuture.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  std::thread failure([this] { channel_->onConnectFailed(); });
  success.join();
  failure.join();
  delegate_->setOnReport(nullptr);
  EXPECT_FALSE(failureInsideSuccess);
  EXPECT_EQ(connectEvents().back(), "onConnectToReceiverFailed");
  // The next attempt is reported again.
  channel_->disconnect();
  connectAndWait();
}

TEST_F(MirrorChannelTest, TenSessionsLeaveNoThreadsOrDescriptorsBehind) {
  installDriver();
  // One session first, so that the pools and the process-wide services exist.
  connectAndWait();
  mirrorOnByUser();
  ASSERT_TRUE(waitForVideo(3));
  channel_->disconnect();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const size_t threads = threadCount();
  const size_t descriptors = descriptorCount();

  for (int round = 0; round < 10; ++round) {
    const size_t videoBefore = receiver_->snapshot().video.size();
    connectAndWait();
    mirrorOnByUser();
    ASSERT_TRUE(waitForVideo(videoBefore + 3)) << "round " << round;
    channel_->disconnect();
    EXPECT_TRUE(mirroringAssertions().empty());
  }
  EXPECT_LE(settleTo(descriptorCount, descriptors, 10.0), descriptors);
  // Pool workers that are idle end after a few seconds; allow for a few that are still busy.
  EXPECT_LE(settleTo(threadCount, threads, 15.0), threads + 2);
  EXPECT_FALSE(files::exists(config_->soundflowerSettingFile()));
}

}  // namespace
}  // namespace corvane::testing

namespace corvane::testing {
namespace {

// The media handler on its own: the frame rate it gives the screen recorder, and its output
// queues after `stopMedia`.
TEST(SWMediaHandlerTest, StartSetsTwentyFiveFramesAndStopReleasesTakersAtOnce) {
  auto display = platform::display::SimDisplay::create({{640, 360, 60}});
  display->setAnimating(0.02);
  test::TempFolder folder;
  // The saved-devices file lives under the home folder: a private one.
  const std::string oldHome = files::homeDirectory();
  setenv("HOME", folder.path().c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  auto hardware = audio::SimAudioHardware::create(folder.path());
  auto devices = AudioDeviceManager::create(hardware, platform::NotificationCenter::create());
  SoundflowerManager::Environment soundEnv;
  soundEnv.deviceManager = devices;
  soundEnv.temporaryDirectory = folder.path();
  soundEnv.installedBundlePath = folder.path() + audio::kLoopbackDriverInstallPath;
  SWMediaHandler::Environment env;
  env.display = display;
  env.soundflowerManager = SoundflowerManager::create(soundEnv);
  env.audioDeviceManager = devices;
  env.config = SWAppConfig::create();
  auto handler = SWMediaHandler::create(env);
  EXPECT_NE(handler->videoRecorder()->targetFrameRate(), 25u);
  handler->startMedia();
  EXPECT_EQ(handler->videoRecorder()->targetFrameRate(), 25u);
  // Packets are waiting in the output queue when the media stops.
  ASSERT_TRUE(waitUntil([&] { return handler->videoOutputQueue()->count() > 0; }, 20.0));
  handler->stopMedia();
  const auto queue = handler->videoOutputQueue();
  const auto before = Clock::now();
  EXPECT_FALSE(queue->take(5.0));
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - before).count(), 1.0);
  EXPECT_FALSE(queue->put(std::make_shared<MediaPacketBox>(MediaPacketBox{nullptr}), 5.0));
  handler.reset();  // what is still queued is freed with the queue (checked under asan)
  setenv("HOME", oldHome.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
}

// A media round sends every queued audio packet before the single video packet it takes.
TEST(MediaRound, AllQueuedAudioGoesBeforeOneVideoPacket) {
  auto audio = EncodedAudioQueue::initWithCapacity(3);
  auto video = EncodedVideoQueue::initWithCapacity(3);
  const uint8_t frame[4] = {0xFF, 0xFB, 0x90, 0x00};
  const uint8_t nal[5] = {0, 0, 0, 1, 0x65};
  for (uint32_t t = 1; t <= 2; ++t) {
    ASSERT_TRUE(video->put(
        std::make_shared<MediaPacketBox>(MediaPacketBox{createVideoPacket(nal, t)}), 0.0));
  }
  for (uint32_t t = 1; t <= 3; ++t) {
    ASSERT_TRUE(audio->put(
        std::make_shared<MediaPacketBox>(MediaPacketBox{createAudioPacket({}, frame, t)}), 0.0));
  }
  std::string order;
  const detail::MediaPacketSender send = [&](std::span<const uint8_t> wire, bool isAudio) {
    order += isAudio ? 'A' : 'V';
    // The wire part starts with its own length field (big-endian), which covers the rest.
    ASSERT_GE(wire.size(), 4u);
    const uint32_t length =
        (uint32_t{wire[0]} << 24) | (uint32_t{wire[1]} << 16) | (uint32_t{wire[2]} << 8) | wire[3];
    EXPECT_EQ(length + 4, wire.size());
  };
  EXPECT_EQ(detail::sendMediaRound(*audio, *video, send), 4);
  EXPECT_EQ(order, "AAAV");
  EXPECT_EQ(detail::sendMediaRound(*audio, *video, send), 1);
  EXPECT_EQ(order, "AAAVV");
  EXPECT_EQ(detail::sendMediaRound(*audio, *video, send), 0);
  EXPECT_EQ(audio->count(), 0);
  EXPECT_EQ(video->count(), 0);
}

}  // namespace
}  // namespace corvane::testing
