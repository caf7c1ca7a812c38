// The simulated audio hardware: device model, defaults, the driver bundle making the
// loop-back device appear and go, listeners on the model's own thread, and capture of what
// is played into the loop-back device and of the silence it delivers while nothing plays.
#include "platform/audio/sim/sim_audio_hardware.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/audio/loopback_driver.h"
#include "support/sound_test_support.h"

namespace corvane::platform::audio {
namespace {

using test::SoundTempFolder;

class SimAudioHardwareTest : public ::testing::Test {
 protected:
  void installDriver(const std::vector<test::TestLoopbackDevice>& devices = {
                         {"BlackHole 2ch", 2, 44100.0}}) {
    test::writeLoopbackBundle(test::installedBundlePath(root.path()), devices);
  }
  SoundTempFolder root;
  std::shared_ptr<SimAudioHardware> hw = SimAudioHardware::create(root.path());
};

TEST_F(SimAudioHardwareTest, BuiltInDevicesAreTheDefaultsAndDescribeThemselves) {
  std::vector<AudioObjectID> ids;
  ASSERT_EQ(hw->getDevices(&ids), noErr);
  EXPECT_EQ(ids, (std::vector<AudioObjectID>{SimAudioHardware::kBuiltInOutputID,
                                             SimAudioHardware::kBuiltInInputID}));
  AudioObjectID in = 0;
  AudioObjectID out = 0;
  ASSERT_EQ(hw->getDefaultDevice(true, &in), noErr);
  ASSERT_EQ(hw->getDefaultDevice(false, &out), noErr);
  EXPECT_EQ(in, SimAudioHardware::kBuiltInInputID);
  EXPECT_EQ(out, SimAudioHardware::kBuiltInOutputID);

  std::uint32_t transport = 0;
  ASSERT_EQ(hw->getTransportType(out, &transport), noErr);
  EXPECT_EQ(transport, kAudioDeviceTransportTypeBuiltIn);
  std::vector<std::uint32_t> config;
  ASSERT_EQ(hw->getStreamConfiguration(out, true, &config), noErr);
  EXPECT_TRUE(config.empty());  // the output has no input side
  ASSERT_EQ(hw->getStreamConfiguration(out, false, &config), noErr);
  EXPECT_EQ(config, std::vector<std::uint32_t>{2});
  StreamBasicDescription format;
  EXPECT_EQ(hw->getStreamFormat(out, true, &format), kAudioHardwareUnknownPropertyError);
  ASSERT_EQ(hw->getStreamFormat(in, true, &format), noErr);
  EXPECT_EQ(format, int16Format(48000.0, 1));

  std::string name;
  EXPECT_EQ(hw->getName(999, &name), kAudioHardwareBadObjectError);
  // A device without output cannot be the default output.
  EXPECT_EQ(hw->setDefaultDevice(false, in), kAudioHardwareBadDeviceError);
  EXPECT_EQ(hw->setDefaultDevice(true, 999), kAudioHardwareBadDeviceError);
}

TEST_F(SimAudioHardwareTest, LoopbackDeviceExistsExactlyWhileTheBundleIsInstalled) {
  EXPECT_EQ(hw->deviceNamed("BlackHole 2ch"), kAudioObjectUnknown);
  installDriver();
  const AudioObjectID loop = hw->deviceNamed("BlackHole 2ch");
  ASSERT_NE(loop, kAudioObjectUnknown);
  std::vector<std::uint32_t> config;
  ASSERT_EQ(hw->getStreamConfiguration(loop, true, &config), noErr);
  EXPECT_EQ(config, std::vector<std::uint32_t>{2});
  ASSERT_EQ(hw->getStreamConfiguration(loop, false, &config), noErr);
  EXPECT_EQ(config, std::vector<std::uint32_t>{2});
  StreamBasicDescription format;
  ASSERT_EQ(hw->getStreamFormat(loop, true, &format), noErr);
  EXPECT_EQ(format, kEncoderInputFormat);
  std::uint32_t transport = 0;
  ASSERT_EQ(hw->getTransportType(loop, &transport), noErr);
  EXPECT_EQ(transport, kAudioDeviceTransportTypeVirtual);

  ASSERT_EQ(hw->setDefaultDevice(true, loop), noErr);
  ASSERT_EQ(hw->setDefaultDevice(false, loop), noErr);
  files::remove(test::installedBundlePath(root.path()));
  EXPECT_EQ(hw->deviceNamed("BlackHole 2ch"), kAudioObjectUnknown);
  AudioObjectID in = 0;
  AudioObjectID out = 0;
  hw->getDefaultDevice(true, &in);
  hw->getDefaultDevice(false, &out);
  EXPECT_EQ(in, SimAudioHardware::kBuiltInInputID);  // defaults fall back to built-in
  EXPECT_EQ(out, SimAudioHardware::kBuiltInOutputID);

  installDriver();  // the same device comes back under the same id
  EXPECT_EQ(hw->deviceNamed("BlackHole 2ch"), loop);
}

TEST_F(SimAudioHardwareTest, DeviceIdsAreTheSameInEveryModelWhateverItSawFirst) {
  // This model sees an added device first and the driver later; a second model (another run
  // of the application) sees the driver at once.
  const AudioObjectID extra = hw->addDevice({"Extra Output", 0, 2});
  installDriver();
  const AudioObjectID loop = hw->deviceNamed("BlackHole 2ch");
  ASSERT_NE(loop, kAudioObjectUnknown);
  auto other = SimAudioHardware::create(root.path());
  EXPECT_EQ(other->deviceNamed("BlackHole 2ch"), loop);
  EXPECT_EQ(other->addDevice({"Extra Output", 0, 2}), extra);
  EXPECT_EQ(other->deviceNamed("Built-in Output"), SimAudioHardware::kBuiltInOutputID);
  // A second device of the same name at the same time is another device.
  const AudioObjectID twin = hw->addDevice({"Extra Output", 0, 2});
  EXPECT_NE(twin, extra);
  EXPECT_NE(twin, loop);
  // A device that goes and comes back keeps its id.
  ASSERT_TRUE(hw->removeDevice(extra));
  ASSERT_TRUE(hw->removeDevice(twin));
  EXPECT_EQ(hw->addDevice({"Extra Output", 0, 2}), extra);
}

TEST_F(SimAudioHardwareTest, UnrecognisedBundlesProvideNoDevice) {
  const std::string bundle = test::installedBundlePath(root.path());
  struct Case {
    const char* what;
    std::function<void()> make;
  };
  const std::vector<Case> cases = {
      {"no binary",
       [&] {
         installDriver();
         files::remove(bundle + "/Contents/MacOS/BlackHole");
       }},
      {"garbled Info.plist",
       [&] {
         installDriver();
         test::writeText(bundle + "/Contents/Info.plist", "<plist><dict>");
       }},
      {"no channels",
       [&] {
         installDriver({{"BlackHole 2ch", 0, 44100.0}});
       }},
      {"absurd rate",
       [&] {
         installDriver({{"BlackHole 2ch", 2, 1.0}});
       }},
      {"empty folder", [&] { files::createDirectory(bundle, true); }},
  };
  for (const auto& c : cases) {
    files::remove(bundle);
    c.make();
    EXPECT_EQ(hw->deviceNamed("BlackHole 2ch"), kAudioObjectUnknown) << c.what;
    EXPECT_FALSE(readLoopbackDriverBundle(bundle).has_value()) << c.what;
  }
}

// Records listener calls with their threads.
struct ListenerLog {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::pair<PropertyAddress, std::thread::id>> calls;
  AudioHardware::PropertyListener listener() {
    return [this](AudioObjectID, const PropertyAddress& a) {
      std::lock_guard<std::mutex> lock(mutex);
      calls.emplace_back(a, std::this_thread::get_id());
      cv.notify_all();
    };
  }
  bool waitFor(std::size_t n, double seconds) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, std::chrono::duration<double>(seconds),
                       [&] { return calls.size() >= n; });
  }
};

TEST_F(SimAudioHardwareTest, ListenersRunOnTheNotificationThreadAfterEachChange) {
  ListenerLog log;
  const PropertyAddress defaultOut{kAudioHardwarePropertyDefaultOutputDevice};
  const PropertyAddress devices{kAudioHardwarePropertyDevices};
  const PropertyAddress source{kAudioDevicePropertyDataSource, kAudioObjectPropertyScopeInput};
  ASSERT_NE(hw->addPropertyListener(kAudioObjectSystemObject, defaultOut, log.listener()), 0u);
  ASSERT_NE(hw->addPropertyListener(kAudioObjectSystemObject, devices, log.listener()), 0u);
  ASSERT_NE(hw->addPropertyListener(SimAudioHardware::kBuiltInInputID, source, log.listener()), 0u);
  EXPECT_EQ(hw->addPropertyListener(999, source, log.listener()), 0u);  // no such device

  const AudioObjectID extra = hw->addDevice({"Extra Output", 0, 2});
  ASSERT_EQ(hw->setDefaultDevice(false, extra), noErr);
  ASSERT_EQ(hw->setDefaultDevice(false, extra), noErr);  // unchanged: no second call
  ASSERT_EQ(hw->setDataSource(SimAudioHardware::kBuiltInInputID, true, fourCC("emic")), noErr);
  ASSERT_TRUE(log.waitFor(3, 5.0));
  ASSERT_TRUE(hw->waitUntilNotificationsDelivered(5.0));
  std::lock_guard<std::mutex> lock(log.mutex);
  ASSERT_EQ(log.calls.size(), 3u);
  EXPECT_EQ(log.calls[0].first, devices);
  EXPECT_EQ(log.calls[1].first, defaultOut);
  EXPECT_EQ(log.calls[2].first, source);
  for (const auto& call : log.calls) EXPECT_NE(call.second, std::this_thread::get_id());
  EXPECT_EQ(log.calls[0].second, log.calls[2].second);  // one notification thread
}

TEST_F(SimAudioHardwareTest, BundleInstalledWithoutAnyQueryIsNoticedByTheModel) {
  ListenerLog log;
  ASSERT_NE(hw->addPropertyListener(kAudioObjectSystemObject, {kAudioHardwarePropertyDevices},
                                    log.listener()),
            0u);
  installDriver();
  EXPECT_TRUE(log.waitFor(1, 5.0));  // the model's periodic look at the plug-in folder
}

TEST_F(SimAudioHardwareTest, RemovedListenerIsNotRunningAfterRemovalReturns) {
  std::atomic<bool> removed{false};
  std::atomic<bool> inside{false};
  std::atomic<int> lateCalls{0};
  std::atomic<int> calls{0};
  std::mutex m;
  std::condition_variable cv;
  const auto token = hw->addPropertyListener(
      kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice},
      [&](AudioObjectID, const PropertyAddress&) {
        if (removed.load()) lateCalls.fetch_add(1);
        inside.store(true);
        {
          std::lock_guard<std::mutex> lock(m);
          calls.fetch_add(1);
        }
        cv.notify_all();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a slow listener
        inside.store(false);
      });
  const AudioObjectID extra = hw->addDevice({"Extra Output", 0, 2});
  for (int i = 0; i < 6; ++i) {
    hw->setDefaultDevice(false, i % 2 == 0 ? extra : SimAudioHardware::kBuiltInOutputID);
  }
  {
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return calls.load() >= 1; }));
  }
  hw->removePropertyListener(token);
  EXPECT_FALSE(inside.load());  // no call still running
  removed.store(true);
  ASSERT_TRUE(hw->waitUntilNotificationsDelivered(5.0));
  EXPECT_EQ(lateCalls.load(), 0);  // and none started afterwards
}

TEST_F(SimAudioHardwareTest, ListenerMayRemoveItselfAndAddAnother) {
  ListenerLog later;
  std::atomic<int> calls{0};
  std::atomic<AudioHardware::ListenerToken> self{0};
  const PropertyAddress address{kAudioHardwarePropertyDefaultOutputDevice};
  self = hw->addPropertyListener(
      kAudioObjectSystemObject, address, [&](AudioObjectID, const PropertyAddress&) {
        calls.fetch_add(1);
        hw->removePropertyListener(self.load());
        hw->addPropertyListener(kAudioObjectSystemObject, address, later.listener());
      });
  const AudioObjectID extra = hw->addDevice({"Extra Output", 0, 2});
  hw->setDefaultDevice(false, extra);
  hw->setDefaultDevice(false, SimAudioHardware::kBuiltInOutputID);
  ASSERT_TRUE(later.waitFor(1, 5.0));
  ASSERT_TRUE(hw->waitUntilNotificationsDelivered(5.0));
  EXPECT_EQ(calls.load(), 1);
  std::lock_guard<std::mutex> lock(later.mutex);
  EXPECT_EQ(later.calls.size(), 1u);  // the second change reached only the new listener
}

bool allZero(const void* data, std::size_t length) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  return std::all_of(p, p + length, [](std::uint8_t b) { return b == 0; });
}

// Collects captured bytes: the sound played, without the silence an idle loop-back device
// delivers (whole silent chunks), and that silence separately.
struct Capture {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::uint8_t> bytes;
  std::size_t silentBytes = 0;
  StreamBasicDescription format;
  AudioHardware::InputHandler handler() {
    return [this](const StreamBasicDescription& f, const void* data, std::size_t length) {
      std::lock_guard<std::mutex> lock(mutex);
      format = f;
      if (allZero(data, length)) {
        silentBytes += length;
      } else {
        const auto* p = static_cast<const std::uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + length);
      }
      cv.notify_all();
    };
  }
  bool waitForSilence(std::size_t n, double seconds) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, std::chrono::duration<double>(seconds),
                       [&] { return silentBytes >= n; });
  }
  bool waitForBytes(std::size_t n, double seconds) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, std::chrono::duration<double>(seconds),
                       [&] { return bytes.size() >= n; });
  }
};

TEST_F(SimAudioHardwareTest, WhatIsPlayedIntoTheLoopbackComesBackOnItsInputInOrder) {
  installDriver();
  const AudioObjectID loop = hw->deviceNamed("BlackHole 2ch");
  Capture capture;
  OSStatus status = -1;
  auto stream = hw->openInputStream(loop, capture.handler(), &status);
  ASSERT_EQ(status, noErr);
  ASSERT_TRUE(stream);
  const auto first = test::toneFrames(0, 441, 1000.0);
  const auto second = test::toneFrames(441, 441, 1000.0);
  ASSERT_EQ(hw->play(loop, first.data(), first.size() * sizeof(float)), noErr);
  ASSERT_EQ(hw->play(loop, second.data(), second.size() * sizeof(float) + 3),
            noErr);  // partial frame cut
  const std::size_t bothBytes = std::size_t{2} * 441 * 8;
  ASSERT_TRUE(capture.waitForBytes(bothBytes, 5.0));
  stream->stop();
  {
    std::lock_guard<std::mutex> lock(capture.mutex);
    EXPECT_EQ(capture.format, kEncoderInputFormat);
    auto expected = test::bytesOf(first);
    const auto rest = test::bytesOf(second);
    expected.insert(expected.end(), rest.begin(), rest.end());
    EXPECT_EQ(capture.bytes, expected);
  }
  // After stop nothing more arrives; sound played to a speaker goes nowhere.
  hw->play(loop, first.data(), first.size() * sizeof(float));
  EXPECT_EQ(hw->play(SimAudioHardware::kBuiltInOutputID, first.data(), 8), noErr);
  EXPECT_EQ(hw->play(SimAudioHardware::kBuiltInInputID, first.data(), 8),
            kAudioHardwareBadDeviceError);
  EXPECT_FALSE(hw->openInputStream(SimAudioHardware::kBuiltInOutputID, capture.handler(), &status));
  EXPECT_EQ(status, kAudioHardwareBadDeviceError);
  std::lock_guard<std::mutex> lock(capture.mutex);
  EXPECT_EQ(capture.bytes.size(), bothBytes);
}

TEST_F(SimAudioHardwareTest, TheLoopbackDeliversSilenceAtItsRateWhileNothingPlays) {
  installDriver();
  const AudioObjectID loop = hw->deviceNamed("BlackHole 2ch");
  Capture capture;
  const auto opened = std::chrono::steady_clock::now();
  auto stream = hw->openInputStream(loop, capture.handler(), nullptr);
  ASSERT_TRUE(stream);
  // Half a second of silence arrives, never ahead of the device's clock.
  constexpr std::size_t kFrameBytes = 8;
  constexpr std::size_t kHalfSecond = 22050 * kFrameBytes;
  ASSERT_TRUE(capture.waitForSilence(kHalfSecond, 30.0))
      << "the idle loop-back device delivered no silence";
  auto framesAllowed = [&] {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - opened).count();
    return seconds * 44100.0;
  };
  {
    std::lock_guard<std::mutex> lock(capture.mutex);
    EXPECT_LE(static_cast<double>(capture.silentBytes / kFrameBytes), framesAllowed());
    EXPECT_EQ(capture.format, kEncoderInputFormat);
    EXPECT_EQ(capture.silentBytes % (512 * kFrameBytes), 0u) << "whole buffers";
  }

  // Sound played meanwhile comes back at once and the silence goes on after it.
  const auto tone = test::toneFrames(1, 4410, 1000.0);
  ASSERT_EQ(hw->play(loop, tone.data(), tone.size() * sizeof(float)), noErr);
  ASSERT_TRUE(capture.waitForBytes(tone.size() * sizeof(float), 30.0));
  std::size_t silenceBefore = 0;
  {
    std::lock_guard<std::mutex> lock(capture.mutex);
    EXPECT_EQ(capture.bytes, test::bytesOf(tone));
    silenceBefore = capture.silentBytes;
  }
  ASSERT_TRUE(capture.waitForSilence(silenceBefore + kHalfSecond, 30.0));
  {
    std::lock_guard<std::mutex> lock(capture.mutex);
    EXPECT_LE(static_cast<double>(capture.silentBytes / kFrameBytes) + 4410.0, framesAllowed());
  }

  // A closed stream hears no more silence.
  stream->stop();
  std::size_t silenceAtStop = 0;
  {
    std::lock_guard<std::mutex> lock(capture.mutex);
    silenceAtStop = capture.silentBytes;
  }
  EXPECT_FALSE(capture.waitForSilence(silenceAtStop + 1, 0.5));
}

TEST_F(SimAudioHardwareTest, AuthorisationRequestAnswersOffTheCallingThread) {
  hw->setAuthorizationStatus(AuthorizationStatus::NotDetermined, false);
  EXPECT_EQ(hw->captureAuthorizationStatus(), AuthorizationStatus::NotDetermined);
  std::mutex m;
  std::condition_variable cv;
  std::optional<bool> answer;
  std::thread::id thread;
  hw->requestCaptureAccess([&](bool granted) {
    std::lock_guard<std::mutex> lock(m);
    answer = granted;
    thread = std::this_thread::get_id();
    cv.notify_all();
  });
  std::unique_lock<std::mutex> lock(m);
  ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return answer.has_value(); }));
  EXPECT_FALSE(*answer);
  EXPECT_NE(thread, std::this_thread::get_id());
  EXPECT_EQ(hw->captureAuthorizationStatus(), AuthorizationStatus::Denied);
}

}  // namespace
}  // namespace corvane::platform::audio
