// The PulseAudio hardware against a daemon of the test's own: device lists and defaults read
// and set (a monitor default included), another client's change delivered to the listeners,
// the loop-back device appearing with the driver bundle and going with it, and capture that
// records the loop-back monitor by name and never moves to another source.
#include "platform/audio/linux/pulse_audio_hardware.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/log/log.h"
#include "support/pulse_daemon.h"
#include "support/sound_test_support.h"

namespace corvane::platform::audio {
namespace {

// Counts the calls of one listener and lets the test wait for them.
class Calls {
 public:
  AudioHardware::PropertyListener listener() {
    return [this](AudioObjectID, const PropertyAddress&) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++count_;
      threads_.push_back(std::this_thread::get_id());
      cv_.notify_all();
    };
  }
  bool waitFor(std::size_t n, double seconds = 10.0) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return count_ >= n; });
  }
  std::size_t count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
  }
  // Waits until `done` answers true, looking again after every call (and at least every
  // 100 ms), for at most `seconds`.
  bool waitUntil(const std::function<bool()>& done, double seconds = 20.0) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(seconds));
    for (;;) {
      const std::size_t seen = count();
      if (done()) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::unique_lock<std::mutex> lock(mutex_);
      cv_.wait_for(lock, std::chrono::milliseconds(100), [&] { return count_ != seen; });
    }
  }
  bool allOffThread(std::thread::id id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::none_of(threads_.begin(), threads_.end(), [id](auto t) { return t == id; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::size_t count_ = 0;
  std::vector<std::thread::id> threads_;
};

// A hardware over a daemon of the test's own with the configuration `config`.
class PulseHardwareFixture : public ::testing::Test {
 protected:
  explicit PulseHardwareFixture(const std::string& config) : daemon(config) {}
  void SetUp() override {
    if (!daemon.running()) GTEST_SKIP() << "no PulseAudio daemon here: " << daemon.failure();
    std::string failure;
    hw = PulseAudioHardware::create(daemon.server(), root.path(), &failure);
    ASSERT_TRUE(hw) << failure;
  }

  AudioObjectID named(const std::string& name) {
    std::vector<AudioObjectID> ids;
    EXPECT_EQ(hw->getDevices(&ids), noErr);
    for (auto id : ids) {
      std::string n;
      if (hw->getName(id, &n) == noErr && n == name) return id;
    }
    return kAudioObjectUnknown;
  }
  std::uint32_t channels(AudioObjectID id, bool isInput) {
    std::vector<std::uint32_t> buffers;
    EXPECT_EQ(hw->getStreamConfiguration(id, isInput, &buffers), noErr);
    std::uint32_t n = 0;
    for (auto c : buffers) n += c;
    return n;
  }
  AudioObjectID defaultDevice(bool isInput) {
    AudioObjectID id = kAudioObjectUnknown;
    EXPECT_EQ(hw->getDefaultDevice(isInput, &id), noErr);
    return id;
  }
  // The loop-back device (the name with input channels), kAudioObjectUnknown when none.
  AudioObjectID loopback() {
    const AudioObjectID found = named("BlackHole 2ch");
    return found != kAudioObjectUnknown && channels(found, true) > 0 ? found : kAudioObjectUnknown;
  }
  // Installs the driver bundle and waits for the loop-back device.
  AudioObjectID installLoopback(Calls& devicesChanged) {
    test::writeLoopbackBundle(test::installedBundlePath(root.path()));
    EXPECT_TRUE(devicesChanged.waitUntil([&] { return loopback() != kAudioObjectUnknown; }))
        << "no loop-back device after installing";
    EXPECT_TRUE(devicesChanged.waitFor(1)) << "no device-list change after installing";
    return loopback();
  }

  test::PulseDaemon daemon;
  test::SoundTempFolder root;
  std::shared_ptr<PulseAudioHardware> hw;
};

class PulseAudioHardwareTest : public PulseHardwareFixture {
 protected:
  PulseAudioHardwareTest() : PulseHardwareFixture(test::kSpeakersAndMicrophone) {}
};

TEST_F(PulseAudioHardwareTest, ListsSinksAndSourcesWithTheServerDefaults) {
  EXPECT_EQ(hw->backendName(), "pulseaudio");
  const AudioObjectID speakers = named("Speakers");
  const AudioObjectID mic = named("Microphone");
  ASSERT_NE(speakers, kAudioObjectUnknown);
  ASSERT_NE(mic, kAudioObjectUnknown);
  EXPECT_EQ(named("Monitor of Speakers"), kAudioObjectUnknown);  // monitors are not inputs

  struct Case {
    AudioObjectID id;
    std::uint32_t inputs, outputs;
    StreamBasicDescription format;
    bool isInput;
  };
  for (const Case& c : {Case{speakers, 0, 2, int16Format(48000.0, 2), false},
                        Case{mic, 1, 0, int16Format(48000.0, 1), true}}) {
    EXPECT_EQ(channels(c.id, true), c.inputs);
    EXPECT_EQ(channels(c.id, false), c.outputs);
    StreamBasicDescription format;
    EXPECT_EQ(hw->getStreamFormat(c.id, c.isInput, &format), noErr);
    EXPECT_EQ(format, c.format);
    EXPECT_EQ(hw->getStreamFormat(c.id, !c.isInput, &format), kAudioHardwareUnknownPropertyError);
    std::uint32_t transport = 0;
    EXPECT_EQ(hw->getTransportType(c.id, &transport), noErr);
    EXPECT_EQ(transport, kAudioDeviceTransportTypeVirtual);  // null devices are no cards
  }
  EXPECT_EQ(defaultDevice(false), speakers);
  EXPECT_EQ(defaultDevice(true), mic);

  // A direction the device lacks, or an unknown id, is refused and changes nothing.
  EXPECT_EQ(hw->setDefaultDevice(true, speakers), kAudioHardwareBadDeviceError);
  EXPECT_EQ(hw->setDefaultDevice(false, mic), kAudioHardwareBadDeviceError);
  EXPECT_EQ(hw->setDefaultDevice(true, 9999), kAudioHardwareBadDeviceError);
  std::string name;
  EXPECT_EQ(hw->getName(9999, &name), kAudioHardwareBadObjectError);
  EXPECT_EQ(daemon.pactlText({"get-default-source"}), "mic");
}

TEST_F(PulseAudioHardwareTest, AMonitorDefaultIsReadAndSetAgainExactly) {
  ASSERT_EQ(daemon.pactl({"set-default-source", "speakers.monitor"}).exitCode, 0);
  const AudioObjectID monitor = defaultDevice(true);
  ASSERT_NE(monitor, kAudioObjectUnknown);
  std::vector<AudioObjectID> listed;
  ASSERT_EQ(hw->getDevices(&listed), noErr);
  EXPECT_EQ(std::count(listed.begin(), listed.end(), monitor), 0);
  std::string name;
  EXPECT_EQ(hw->getName(monitor, &name), noErr);
  EXPECT_EQ(name, "Monitor of Speakers");

  ASSERT_EQ(hw->setDefaultDevice(true, named("Microphone")), noErr);
  EXPECT_EQ(daemon.pactlText({"get-default-source"}), "mic");
  ASSERT_EQ(hw->setDefaultDevice(true, monitor), noErr);
  EXPECT_EQ(daemon.pactlText({"get-default-source"}), "speakers.monitor");
}

TEST_F(PulseAudioHardwareTest, AnotherClientsChangesReachTheListenersOnTheirThread) {
  Calls devices, output, removed;
  const auto devicesToken = hw->addPropertyListener(
      kAudioObjectSystemObject, {kAudioHardwarePropertyDevices}, devices.listener());
  const auto outputToken = hw->addPropertyListener(
      kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice}, output.listener());
  const auto removedToken = hw->addPropertyListener(
      kAudioObjectSystemObject, {kAudioHardwarePropertyDefaultOutputDevice}, removed.listener());
  ASSERT_NE(devicesToken, 0u);
  ASSERT_NE(outputToken, 0u);
  EXPECT_EQ(hw->addPropertyListener(kAudioObjectSystemObject, {fourCC("nope")}, output.listener()),
            0u);
  EXPECT_EQ(hw->addPropertyListener(9999, {kAudioDevicePropertyDataSource}, output.listener()), 0u);

  ASSERT_EQ(daemon
                .pactl({"load-module", "module-null-sink", "sink_name=headphones",
                        "sink_properties=device.description=Headphones"})
                .exitCode,
            0);
  ASSERT_TRUE(devices.waitFor(1));
  ASSERT_TRUE(devices.waitUntil([&] { return named("Headphones") != kAudioObjectUnknown; }));
  const AudioObjectID headphones = named("Headphones");
  ASSERT_NE(headphones, kAudioObjectUnknown);

  ASSERT_EQ(daemon.pactl({"set-default-sink", "headphones"}).exitCode, 0);
  ASSERT_TRUE(output.waitFor(1));
  ASSERT_TRUE(removed.waitFor(1));
  EXPECT_EQ(defaultDevice(false), headphones);
  EXPECT_TRUE(output.allOffThread(std::this_thread::get_id()));

  // A removed listener is not called again; the one still there is.
  hw->removePropertyListener(removedToken);
  ASSERT_EQ(daemon.pactl({"set-default-sink", "speakers"}).exitCode, 0);
  ASSERT_TRUE(output.waitFor(2));
  EXPECT_TRUE(hw->waitUntilNotificationsDelivered(5.0));
  EXPECT_EQ(removed.count(), 1u);
  hw->removePropertyListener(outputToken);
  hw->removePropertyListener(devicesToken);
}

TEST_F(PulseAudioHardwareTest, EveryClientOfTheServerGivesADeviceTheSameId) {
  // This client sees a card and the loop-back device arrive after it started; the second
  // client (the next run of the application) finds them all at once, in another order.
  Calls devices;
  const auto token = hw->addPropertyListener(kAudioObjectSystemObject,
                                             {kAudioHardwarePropertyDevices}, devices.listener());
  ASSERT_EQ(daemon
                .pactl({"load-module", "module-null-sink", "sink_name=headphones",
                        "sink_properties=device.description=Headphones"})
                .exitCode,
            0);
  ASSERT_TRUE(devices.waitUntil([&] { return named("Headphones") != kAudioObjectUnknown; }));
  test::writeLoopbackBundle(test::installedBundlePath(root.path()));
  ASSERT_TRUE(devices.waitUntil([&] { return loopback() != kAudioObjectUnknown; }));
  ASSERT_EQ(daemon.pactl({"set-default-source", "headphones.monitor"}).exitCode, 0);
  ASSERT_TRUE(devices.waitUntil([&] {
    std::string name;
    return hw->getName(defaultDevice(true), &name) == noErr && name == "Monitor of Headphones";
  }));
  const std::vector<std::string> names = {"Speakers", "Microphone", "Headphones", "BlackHole 2ch"};
  std::vector<AudioObjectID> ids;
  for (const auto& name : names) ids.push_back(named(name));
  const AudioObjectID monitor = defaultDevice(true);

  std::string failure;
  auto next = PulseAudioHardware::create(daemon.server(), root.path(), &failure);
  ASSERT_TRUE(next) << failure;
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::vector<AudioObjectID> listed;
    ASSERT_EQ(next->getDevices(&listed), noErr);
    EXPECT_NE(std::find(listed.begin(), listed.end(), ids[i]), listed.end()) << names[i];
    std::string name;
    EXPECT_EQ(next->getName(ids[i], &name), noErr) << names[i];
    EXPECT_EQ(name, names[i]);
  }
  AudioObjectID nextMonitor = kAudioObjectUnknown;
  ASSERT_EQ(next->getDefaultDevice(true, &nextMonitor), noErr);
  EXPECT_EQ(nextMonitor, monitor);
  for (AudioObjectID id : ids) EXPECT_GE(id, DeviceIDTable::kFirstStableID);
  next.reset();
  hw->removePropertyListener(token);
}

TEST_F(PulseAudioHardwareTest, TheDriverBundleBringsTheLoopbackDeviceAndTakesItAway) {
  Calls devices;
  const auto token = hw->addPropertyListener(kAudioObjectSystemObject,
                                             {kAudioHardwarePropertyDevices}, devices.listener());
  EXPECT_EQ(named("BlackHole 2ch"), kAudioObjectUnknown);
  const AudioObjectID loop = installLoopback(devices);
  ASSERT_NE(loop, kAudioObjectUnknown);
  EXPECT_EQ(channels(loop, true), 2u);
  EXPECT_EQ(channels(loop, false), 2u);
  StreamBasicDescription format;
  EXPECT_EQ(hw->getStreamFormat(loop, true, &format), noErr);
  EXPECT_EQ(format, kEncoderInputFormat);
  const std::string sink = hw->sinkName(loop);
  EXPECT_EQ(hw->sourceName(loop), sink + ".monitor");
  // Exactly one such sink on the server, described by the device name.
  const std::string sinks = daemon.pactlText({"list", "sinks"});
  std::size_t described = 0;
  for (auto at = sinks.find("Description: BlackHole 2ch"); at != std::string::npos;
       at = sinks.find("Description: BlackHole 2ch", at + 1)) {
    ++described;
  }
  EXPECT_EQ(described, 1u);

  // Default input and output set the server's default source and sink.
  ASSERT_EQ(hw->setDefaultDevice(true, loop), noErr);
  ASSERT_EQ(hw->setDefaultDevice(false, loop), noErr);
  EXPECT_EQ(daemon.pactlText({"get-default-sink"}), sink);
  EXPECT_EQ(daemon.pactlText({"get-default-source"}), sink + ".monitor");
  EXPECT_EQ(defaultDevice(true), loop);
  EXPECT_EQ(defaultDevice(false), loop);

  platform::files::remove(test::installedBundlePath(root.path()));
  ASSERT_TRUE(devices.waitUntil([&] { return named("BlackHole 2ch") == kAudioObjectUnknown; }))
      << "the loop-back device stayed after removing";
  EXPECT_TRUE(devices.waitFor(2)) << "no device-list change after removing";
  EXPECT_EQ(daemon.pactlText({"list", "sinks"}).find("BlackHole"), std::string::npos);
  EXPECT_NE(defaultDevice(false), loop);

  // Installing again brings back the same device id.
  test::writeLoopbackBundle(test::installedBundlePath(root.path()));
  ASSERT_TRUE(devices.waitUntil([&] { return loopback() != kAudioObjectUnknown; }));
  EXPECT_TRUE(devices.waitFor(3));
  EXPECT_EQ(named("BlackHole 2ch"), loop);
  hw->removePropertyListener(token);
  hw.reset();  // the loaded sink goes with the hardware
  EXPECT_EQ(daemon.pactlText({"list", "sinks"}).find("BlackHole"), std::string::npos);
}

// Collects captured float samples.
class Capture {
 public:
  AudioHardware::InputHandler handler() {
    return [this](const StreamBasicDescription& format, const void* bytes, std::size_t length) {
      std::lock_guard<std::mutex> lock(mutex_);
      formatOk_ = formatOk_ && format == kEncoderInputFormat;
      const auto* f = static_cast<const float*>(bytes);
      samples_.insert(samples_.end(), f, f + length / sizeof(float));
      cv_.notify_all();
    };
  }
  // Waits until `count` samples from the first non-zero one have arrived.
  bool waitForSound(std::size_t count, double seconds = 10.0) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
      auto first =
          std::find_if(samples_.begin(), samples_.end(), [](float v) { return v != 0.0f; });
      return first != samples_.end() && static_cast<std::size_t>(samples_.end() - first) >= count;
    });
  }
  std::vector<float> soundFrom(std::size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto first = std::find_if(samples_.begin(), samples_.end(), [](float v) { return v != 0.0f; });
    const auto available = static_cast<std::size_t>(samples_.end() - first);
    return std::vector<float>(first, first + static_cast<long>(std::min(count, available)));
  }
  bool formatOk() {
    std::lock_guard<std::mutex> lock(mutex_);
    return formatOk_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<float> samples_;
  bool formatOk_ = true;
};

// The source index of every record stream on the server.
std::vector<std::string> recordSources(const test::PulseDaemon& daemon) {
  std::vector<std::string> result;
  std::istringstream lines(daemon.pactlText({"list", "short", "source-outputs"}));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string index, source;
    fields >> index >> source;
    if (!source.empty()) result.push_back(source);
  }
  return result;
}

std::string sourceIndex(const test::PulseDaemon& daemon, const std::string& name) {
  std::istringstream lines(daemon.pactlText({"list", "short", "sources"}));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string index, n;
    fields >> index >> n;
    if (n == name) return index;
  }
  return "";
}

TEST_F(PulseAudioHardwareTest, CaptureRecordsTheLoopbackMonitorByNameAndNeverMoves) {
  Calls devices;
  const auto token = hw->addPropertyListener(kAudioObjectSystemObject,
                                             {kAudioHardwarePropertyDevices}, devices.listener());
  const AudioObjectID loop = installLoopback(devices);
  ASSERT_NE(loop, kAudioObjectUnknown);
  ASSERT_EQ(hw->setDefaultDevice(true, loop), noErr);
  const std::string sink = hw->sinkName(loop);

  OSStatus status = -1;
  EXPECT_FALSE(hw->openInputStream(
      named("Speakers"), [](auto&, auto, auto) {}, &status));
  EXPECT_EQ(status, kAudioHardwareBadDeviceError);

  Capture capture;
  auto stream = hw->openInputStream(defaultDevice(true), capture.handler(), &status);
  ASSERT_TRUE(stream);
  EXPECT_EQ(status, noErr);
  EXPECT_EQ(recordSources(daemon),
            std::vector<std::string>{sourceIndex(daemon, sink + ".monitor")});

  // The default source changing to the microphone does not take the capture with it.
  ASSERT_EQ(daemon.pactl({"set-default-source", "mic"}).exitCode, 0);

  // What is played into the loop-back sink comes back sample for sample.
  const auto played = test::toneFrames(1, 22050, 1000.0);
  const std::string file = root / "tone.f32";
  test::writeText(file, std::string(reinterpret_cast<const char*>(played.data()),
                                    played.size() * sizeof(float)));
  auto playing = daemon.run({"pacat", "--playback", "--raw", "--format=float32le", "--rate=44100",
                             "--channels=2", "--device=" + sink, file});
  ASSERT_EQ(playing.exitCode, 0) << playing.output;
  ASSERT_TRUE(capture.waitForSound(played.size()));
  EXPECT_EQ(capture.soundFrom(played.size()), played);
  EXPECT_TRUE(capture.formatOk());

  // The device going away ends the capture instead of moving it to another source.
  platform::files::remove(test::installedBundlePath(root.path()));
  EXPECT_TRUE(devices.waitUntil([&] { return recordSources(daemon).empty(); }));
  stream->stop();
  stream->stop();
  hw->removePropertyListener(token);
}

TEST_F(PulseAudioHardwareTest, TheServersEndLeavesEveryCallAnsweringWithoutHanging) {
  Calls devices;
  hw->addPropertyListener(kAudioObjectSystemObject, {kAudioHardwarePropertyDevices},
                          devices.listener());
  const AudioObjectID loop = installLoopback(devices);
  ASSERT_NE(loop, kAudioObjectUnknown);
  Capture capture;
  auto stream = hw->openInputStream(loop, capture.handler(), nullptr);
  ASSERT_TRUE(stream);

  daemon.stop();
  std::vector<AudioObjectID> ids;
  EXPECT_EQ(hw->getDevices(&ids), kAudioHardwareNotRunningError);
  AudioObjectID device = 0;
  EXPECT_EQ(hw->getDefaultDevice(true, &device), kAudioHardwareNotRunningError);
  EXPECT_NE(hw->setDefaultDevice(false, loop), noErr);
  OSStatus status = noErr;
  EXPECT_FALSE(hw->openInputStream(loop, capture.handler(), &status));
  EXPECT_NE(status, noErr);
  stream->stop();
  hw.reset();
}

// A server whose configuration already has the loop-back sink: it is used, not doubled.
class PulsePreloadedLoopbackTest : public PulseHardwareFixture {
 protected:
  PulsePreloadedLoopbackTest()
      : PulseHardwareFixture(std::string(test::kSpeakersAndMicrophone) +
                             "load-module module-null-sink sink_name=configured "
                             "sink_properties=\"device.description='BlackHole 2ch'\" "
                             "format=float32le rate=44100 channels=2\n") {}
};

TEST_F(PulsePreloadedLoopbackTest, TheServersOwnLoopbackSinkIsUsedAndLeftInPlace) {
  // Without the bundle the configured sink is a plain output.
  AudioObjectID plain = named("BlackHole 2ch");
  ASSERT_NE(plain, kAudioObjectUnknown);
  EXPECT_EQ(channels(plain, true), 0u);

  Calls devices;
  const auto token = hw->addPropertyListener(kAudioObjectSystemObject,
                                             {kAudioHardwarePropertyDevices}, devices.listener());
  test::writeLoopbackBundle(test::installedBundlePath(root.path()));
  ASSERT_TRUE(devices.waitUntil([&] { return loopback() != kAudioObjectUnknown; }));
  const AudioObjectID loop = loopback();
  ASSERT_NE(loop, kAudioObjectUnknown);
  EXPECT_EQ(channels(loop, true), 2u);
  EXPECT_EQ(hw->sinkName(loop), "configured");
  EXPECT_EQ(hw->sourceName(loop), "configured.monitor");
  const std::string modules = daemon.pactlText({"list", "short", "modules"});
  EXPECT_EQ(modules.find("corvane_loopback"), std::string::npos) << modules;

  platform::files::remove(test::installedBundlePath(root.path()));
  hw->removePropertyListener(token);
  hw.reset();
  EXPECT_NE(daemon.pactlText({"list", "short", "sinks"}).find("configured"), std::string::npos);
}

// Collects log lines.
struct LogLines {
  LogLines() { log::setSink(&LogLines::sink, this); }
  ~LogLines() { log::setSink(nullptr, nullptr); }
  LogLines(const LogLines&) = delete;
  LogLines& operator=(const LogLines&) = delete;
  static void sink(std::string_view line, void* context) {
    auto* self = static_cast<LogLines*>(context);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->text += std::string(line) + "\n";
  }
  std::string all() {
    std::lock_guard<std::mutex> lock(mutex);
    return text;
  }
  std::mutex mutex;
  std::string text;
};

TEST_F(PulseAudioHardwareTest,
       TheServerIsTakenWhenItAnswersAndTheModelOtherwiseAndTheChoiceLogged) {
  {
    LogLines lines;
    auto chosen = chooseHardware(daemon.server(), root.path());
    ASSERT_TRUE(chosen);
    EXPECT_EQ(chosen->backendName(), "pulseaudio");
    EXPECT_NE(lines.all().find("audio: using the pulseaudio audio hardware"), std::string::npos)
        << lines.all();
  }
  LogLines lines;
  auto fallback = chooseHardware("unix:" + root / "no-server/native", root.path());
  ASSERT_TRUE(fallback);
  EXPECT_EQ(fallback->backendName(), "simulated");
  EXPECT_NE(lines.all().find("audio: no sound server answered"), std::string::npos) << lines.all();
  EXPECT_NE(lines.all().find("audio: using the simulated audio hardware"), std::string::npos);
}

TEST(PulseSampleFormatTest, ServerFormatsBecomeStreamDescriptions) {
  struct Case {
    pa_sample_format_t format;
    std::uint32_t flags, bits, bytes;
  };
  constexpr std::uint32_t S = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
  constexpr std::uint32_t F = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
  for (const Case& c :
       {Case{PA_SAMPLE_S16LE, S, 16, 2}, Case{PA_SAMPLE_S24LE, S, 24, 3},
        Case{PA_SAMPLE_S24_32LE, kAudioFormatFlagIsSignedInteger, 24, 4},
        Case{PA_SAMPLE_S32BE, S | kAudioFormatFlagIsBigEndian, 32, 4},
        Case{PA_SAMPLE_FLOAT32LE, F, 32, 4}, Case{PA_SAMPLE_U8, kAudioFormatFlagIsPacked, 8, 1}}) {
    const auto d = PulseAudioHardware::describe({c.format, 48000, 2});
    EXPECT_EQ(d.mFormatID, kAudioFormatLinearPCM) << c.format;
    EXPECT_EQ(d.mFormatFlags, c.flags) << c.format;
    EXPECT_EQ(d.mBitsPerChannel, c.bits) << c.format;
    EXPECT_EQ(d.mBytesPerFrame, c.bytes * 2) << c.format;
    EXPECT_EQ(d.mChannelsPerFrame, 2u);
    EXPECT_EQ(d.mSampleRate, 48000.0);
  }
  EXPECT_EQ(PulseAudioHardware::describe({PA_SAMPLE_FLOAT32LE, 44100, 2}), kEncoderInputFormat);
  EXPECT_NE(PulseAudioHardware::describe({PA_SAMPLE_ULAW, 8000, 1}).mFormatID,
            kAudioFormatLinearPCM);
}

}  // namespace
}  // namespace corvane::platform::audio
