// The whole system-sound path on a PulseAudio daemon of the test's own: the user's defaults
// saved, the driver installed with the real archive and task so that "BlackHole 2ch"
// appears, made the default input and output, a tone played to the default sink recorded by
// SWAudioRecorder as MP3 that FFmpeg decodes to that tone, and the user's previous default
// sink and source restored exactly afterwards (a monitor source among them).
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "SoundFlower/soundflower_manager.h"
#include "media/media_test_support.h"
#include "media/sw_audio_recorder.h"
#include "platform/audio/linux/pulse_audio_hardware.h"
#include "platform/security/authorization.h"
#include "support/pulse_daemon.h"
#include "support/sound_test_support.h"

namespace corvane {
namespace {

namespace audio = platform::audio;
namespace sec = platform::security;

// Counts device-list changes of the hardware.
class DeviceChanges {
 public:
  explicit DeviceChanges(std::shared_ptr<audio::AudioHardware> hw) : hw_(std::move(hw)) {
    token_ = hw_->addPropertyListener(audio::kAudioObjectSystemObject,
                                      {audio::kAudioHardwarePropertyDevices},
                                      [this](audio::AudioObjectID, const audio::PropertyAddress&) {
                                        std::lock_guard<std::mutex> lock(mutex_);
                                        ++count_;
                                        cv_.notify_all();
                                      });
  }
  ~DeviceChanges() { hw_->removePropertyListener(token_); }
  DeviceChanges(const DeviceChanges&) = delete;
  DeviceChanges& operator=(const DeviceChanges&) = delete;
  // Waits until `done` holds, re-checking after every change (at most `seconds`).
  template <class Done>
  bool waitUntil(Done done, double seconds = 10.0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      const std::size_t seen = count_;
      lock.unlock();
      if (done()) return true;
      lock.lock();
      if (!cv_.wait_until(lock, deadline, [&] { return count_ != seen; })) return false;
    }
  }

 private:
  std::shared_ptr<audio::AudioHardware> hw_;
  audio::AudioHardware::ListenerToken token_ = 0;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::size_t count_ = 0;
};

std::vector<float> decodeToMono(const std::string& mp3) {
  const std::string pcm = mp3 + ".f32";
  auto result = test::runProcess({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "mp3", "-i", mp3,
                                  "-ac", "1", "-ar", "44100", "-f", "f32le", pcm});
  EXPECT_EQ(result.exitCode, 0) << result.output;
  const std::string bytes = test::readText(pcm);
  std::vector<float> samples(bytes.size() / sizeof(float));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
  return samples;
}

struct StartingDefaults {
  const char* source;  // the user's default source before the session
};

class PulseSystemSoundTest : public ::testing::TestWithParam<StartingDefaults> {
 protected:
  void SetUp() override {
    if (!daemon.running()) GTEST_SKIP() << "no PulseAudio daemon here: " << daemon.failure();
    if (!sec::lookupFunction("AuthorizationExecuteWithPrivileges") || geteuid() != 0) {
      GTEST_SKIP() << "privileged execution needs root here (pkexec would prompt)";
    }
    if (!test::haveProgram("ffmpeg")) FAIL() << "ffmpeg is required (scripts/install-deps)";
    ASSERT_EQ(daemon.pactl({"set-default-source", GetParam().source}).exitCode, 0);
    std::string failure;
    hw = audio::PulseAudioHardware::create(daemon.server(), root.path(), &failure);
    ASSERT_TRUE(hw) << failure;
    audio::setSystemHardware(hw);
    platform::files::createDirectory(root.path() + "/Library/Audio/Plug-Ins/HAL", true);
    platform::files::createDirectory(root / "tmp/", true);
    center = platform::NotificationCenter::create();
    devices = AudioDeviceManager::create(hw, center);
    manager = SoundflowerManager::create({devices, platform::Bundle::create(CORVANE_TEST_RESOURCES),
                                          root / "tmp/", test::installedBundlePath(root.path())});
  }
  void TearDown() override { audio::setSystemHardware(nullptr); }
  audio::AudioObjectID loopback() {
    for (const auto& d : devices->outputAudioDeviceArray()) {
      if (d->deviceName() == "BlackHole 2ch") return d->deviceID();
    }
    return audio::kAudioObjectUnknown;
  }

  test::PulseDaemon daemon{test::kSpeakersAndMicrophone};
  test::SoundTempFolder root;
  std::shared_ptr<audio::PulseAudioHardware> hw;
  std::shared_ptr<platform::NotificationCenter> center;
  std::shared_ptr<AudioDeviceManager> devices;
  std::shared_ptr<SoundflowerManager> manager;
};

TEST_P(PulseSystemSoundTest, AToneThroughTheLoopbackComesBackAsMp3AndTheDefaultsAreRestored) {
  const std::string saved = root / ".soundflower";
  ASSERT_TRUE(devices->writeSystemAudioSettingToFile(saved));
  DeviceChanges changes(hw);

  ASSERT_TRUE(manager->installAudioPlugin());
  ASSERT_TRUE(changes.waitUntil([&] { return loopback() != audio::kAudioObjectUnknown; }))
      << "\"BlackHole 2ch\" did not appear after the install";
  EXPECT_TRUE(manager->isAudioPluginInstalled());

  test::NotificationLog log(center, {kDefalutAudioDeviceDidChangeNotification});
  ASSERT_TRUE(manager->setAudioPluginAsDefaultAudio());
  EXPECT_TRUE(manager->isAudioPluginDefaultAudio());
  const std::string sink = hw->sinkName(loopback());
  EXPECT_EQ(daemon.pactlText({"get-default-sink"}), sink);
  EXPECT_EQ(daemon.pactlText({"get-default-source"}), sink + ".monitor");
  EXPECT_TRUE(log.waitFor(kDefalutAudioDeviceDidChangeNotification, 2, 10.0));

  auto rawQueue = RawAudioQueue::initWithCapacity(3);
  auto encodedQueue = EncodedAudioQueue::initWithCapacity(3);
  encodedQueue->setDestroyBlock(
      [](const EncodedAudioQueue::Item& box) { freeMediaPacket(box->pointer); });
  auto recorder = SWAudioRecorder::create();
  recorder->setRawAudioQueue(rawQueue);
  recorder->setEncodedAudioQueue(encodedQueue);
  recorder->beginRecroder();

  std::vector<std::uint8_t> stream;
  std::size_t packets = 0;
  std::atomic<bool> draining{true};
  std::thread consumer([&] {
    while (draining.load() || encodedQueue->count() > 0) {
      auto box = encodedQueue->take(0.1);
      if (!box) continue;
      auto wire = mediaPacketWire(box->pointer);
      if (wire.size() > 8) stream.insert(stream.end(), wire.begin() + 8, wire.end());
      ++packets;
      freeMediaPacket(box->pointer);
    }
  });

  // Two seconds of a 1 kHz tone to the default sink; the player runs at the sink's pace.
  const auto tone = test::toneFrames(0, 88200, 1000.0);
  const std::string file = root / "tone.f32";
  test::writeFile(file, test::bytesOf(tone));
  auto played = daemon.run({"pacat", "--playback", "--raw", "--format=float32le", "--rate=44100",
                            "--channels=2", file});
  rawQueue->stopBlocking();  // as the media handler does before ending
  recorder->endRecorder();
  draining.store(false);
  consumer.join();
  ASSERT_EQ(played.exitCode, 0) << played.output;

  ASSERT_GT(packets, 20u);
  const std::string mp3 = root / "tone.mp3";
  test::writeFile(mp3, stream);
  const auto mono = decodeToMono(mp3);
  // The sound is the loudest stretch of the recording; measure its middle.
  std::size_t first = mono.size(), last = 0;
  for (std::size_t i = 0; i < mono.size(); ++i) {
    if (std::fabs(mono[i]) > 0.25f) {
      first = std::min(first, i);
      last = i;
    }
  }
  ASSERT_LT(first, last) << "no tone in " << mono.size() << " decoded samples";
  ASSERT_GT(last - first, 44100u) << "less than a second of tone";
  const std::size_t margin = (last - first) / 4;
  const std::vector<float> middle(mono.begin() + static_cast<long>(first + margin),
                                  mono.begin() + static_cast<long>(last - margin));
  const double frequency = test::zeroCrossingFrequency(middle, 44100.0);
  std::printf("decoded %zu samples from %zu packets; tone at %.1f Hz\n", mono.size(), packets,
              frequency);
  EXPECT_NEAR(frequency, 1000.0, 20.0);

  // After the session the user's devices are back, exactly.
  ASSERT_TRUE(devices->restoreSystemAudioSettingFromFile(saved));
  EXPECT_EQ(daemon.pactlText({"get-default-sink"}), "speakers");
  EXPECT_EQ(daemon.pactlText({"get-default-source"}), GetParam().source);

  ASSERT_TRUE(manager->uninstallAudioPlugin());
  EXPECT_TRUE(changes.waitUntil([&] { return loopback() == audio::kAudioObjectUnknown; }))
      << "\"BlackHole 2ch\" stayed after the uninstall";
  EXPECT_EQ(daemon.pactlText({"get-default-sink"}), "speakers");
}

INSTANTIATE_TEST_SUITE_P(UserDefaults, PulseSystemSoundTest,
                         ::testing::Values(StartingDefaults{"mic"},
                                           StartingDefaults{"speakers.monitor"}),
                         [](const auto& test) {
                           return std::string(test.param.source) == "mic" ? "Microphone"
                                                                          : "SpeakersMonitor";
                         });

}  // namespace
}  // namespace corvane
