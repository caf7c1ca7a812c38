// SWAudioRecorder over the simulated hardware: a tone played into the loop-back device while
// it is the default input comes out as MP3 packets that FFmpeg decodes to the same tone, and
// silence while nothing plays; a full raw-audio queue releases the new buffer at once; one
// session per recording; other device formats are converted to the encoder's, each capture
// output with its own converter.
#include "media/sw_audio_recorder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "media/media_test_support.h"
#include "platform/audio/sim/sim_audio_hardware.h"
#include "support/sound_test_support.h"

namespace corvane {
namespace {

namespace audio = platform::audio;
using audio::SimAudioHardware;

class SWAudioRecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::writeLoopbackBundle(test::installedBundlePath(root.path()));
    hw = SimAudioHardware::create(root.path());
    audio::setSystemHardware(hw);
    loop = hw->deviceNamed("BlackHole 2ch");
    ASSERT_NE(loop, audio::kAudioObjectUnknown);
    rawQueue = RawAudioQueue::initWithCapacity(3);
    encodedQueue = EncodedAudioQueue::initWithCapacity(3);
    encodedQueue->setDestroyBlock(
        [](const EncodedAudioQueue::Item& box) { freeMediaPacket(box->pointer); });
  }
  void TearDown() override { audio::setSystemHardware(nullptr); }

  test::SoundTempFolder root;
  std::shared_ptr<SimAudioHardware> hw;
  audio::AudioObjectID loop = 0;
  std::shared_ptr<RawAudioQueue> rawQueue;
  std::shared_ptr<EncodedAudioQueue> encodedQueue;
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

TEST_F(SWAudioRecorderTest, ToneIntoTheLoopbackComesOutAsDecodableMp3OfTheSameTone) {
  if (!test::haveProgram("ffmpeg")) FAIL() << "ffmpeg is required (scripts/install-deps)";
  ASSERT_EQ(hw->setDefaultDevice(true, loop), audio::noErr);
  auto recorder = SWAudioRecorder::create();
  recorder->setRawAudioQueue(rawQueue);
  recorder->setEncodedAudioQueue(encodedQueue);
  recorder->beginRecroder();

  // The media thread's part: take packets as they come.
  std::vector<std::uint8_t> stream;
  std::size_t packets = 0;
  bool wellFormed = true;
  std::atomic<bool> draining{true};
  std::thread consumer([&] {
    while (draining.load() || encodedQueue->count() > 0) {
      auto box = encodedQueue->take(0.1);
      if (!box) continue;
      std::uint8_t* packet = box->pointer;
      auto wire = mediaPacketWire(packet);
      wellFormed = wellFormed && mediaPacketKind(packet) == 2 && wire.size() > 8 + 4 &&
                   wire[8] == 0xFF && (wire[9] & 0xE0) == 0xE0;
      if (wire.size() > 8) stream.insert(stream.end(), wire.begin() + 8, wire.end());
      ++packets;
      freeMediaPacket(packet);
    }
  });

  // Two seconds of a 1 kHz tone, played in real time in 1024-frame chunks.
  constexpr std::size_t kChunk = 1024;
  constexpr std::size_t kChunks = 86;
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < kChunks; ++i) {
    const auto pcm = test::toneFrames(i * kChunk, kChunk, 1000.0);
    ASSERT_EQ(hw->play(loop, pcm.data(), pcm.size() * sizeof(float)), audio::noErr);
    std::this_thread::sleep_until(
        start + std::chrono::microseconds(
                    static_cast<long long>(static_cast<double>((i + 1) * kChunk) * 1e6 / 44100.0)));
  }
  recorder->endRecorder();
  draining.store(false);
  consumer.join();

  ASSERT_GT(packets, 20u);
  EXPECT_TRUE(wellFormed);
  const std::string file = root / "tone.mp3";
  test::writeFile(file, stream);
  const auto mono = decodeToMono(file);
  ASSERT_GT(mono.size(), 44100u / 2);
  // Skip the encoder's start-up and end, measure the middle.
  const std::vector<float> middle(mono.begin() + static_cast<long>(mono.size() / 4),
                                  mono.end() - static_cast<long>(mono.size() / 4));
  const double frequency = test::zeroCrossingFrequency(middle, 44100.0);
  std::printf("decoded %zu samples from %zu packets; tone at %.1f Hz\n", mono.size(), packets,
              frequency);
  EXPECT_NEAR(frequency, 1000.0, 20.0);
}

TEST_F(SWAudioRecorderTest, AnIdleLoopbackStillGivesMp3PacketsOfSilence) {
  if (!test::haveProgram("ffmpeg")) FAIL() << "ffmpeg is required (scripts/install-deps)";
  ASSERT_EQ(hw->setDefaultDevice(true, loop), audio::noErr);
  auto recorder = SWAudioRecorder::create();
  recorder->setRawAudioQueue(rawQueue);
  recorder->setEncodedAudioQueue(encodedQueue);
  recorder->beginRecroder();  // nothing is ever played

  std::vector<std::uint8_t> stream;
  std::size_t packets = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (packets < 20 && std::chrono::steady_clock::now() < deadline) {
    auto box = encodedQueue->take(0.1);
    if (!box) continue;
    auto wire = mediaPacketWire(box->pointer);
    EXPECT_EQ(mediaPacketKind(box->pointer), 2u);
    if (wire.size() > 8) stream.insert(stream.end(), wire.begin() + 8, wire.end());
    ++packets;
    freeMediaPacket(box->pointer);
  }
  rawQueue->stopBlocking();
  encodedQueue->stopBlocking();
  recorder->endRecorder();
  ASSERT_EQ(packets, 20u) << "the receiver would get no sound at all";

  const std::string file = root / "silence.mp3";
  test::writeFile(file, stream);
  const auto mono = decodeToMono(file);
  ASSERT_FALSE(mono.empty());
  float peak = 0.0f;
  for (float v : mono) peak = std::max(peak, std::fabs(v));
  EXPECT_LT(peak, 1e-3f) << "what the receiver hears is silence";
}

TEST_F(SWAudioRecorderTest, WithTheRawQueueFullANewBufferIsReleasedAtOnce) {
  auto recorder = SWAudioRecorder::create();
  recorder->setRawAudioQueue(rawQueue);
  std::vector<audio::SampleBufferRef> queued;
  for (int i = 0; i < 3; ++i) {
    queued.push_back(
        audio::SampleBuffer::create(audio::BlockBuffer::createWithBytes("12345678", 8), 1));
    ASSERT_TRUE(rawQueue->put(queued.back(), 0.0));
  }
  auto output = audio::CaptureAudioDataOutput::create();
  auto fresh = audio::SampleBuffer::create(audio::BlockBuffer::createWithBytes("abcdefgh", 8), 1);
  recorder->captureOutputDidOutputSampleBuffer(*output, fresh, {loop});
  EXPECT_EQ(fresh.use_count(), 1);  // nobody kept it
  ASSERT_EQ(rawQueue->count(), 3u);
  for (const auto& q : queued) EXPECT_EQ(rawQueue->take(0.0), q);

  // An invalid buffer is ignored; a stopped queue refuses like a full one.
  auto invalid = audio::SampleBuffer::create(audio::BlockBuffer::createWithBytes("abcdefgh", 8), 1);
  invalid->invalidate();
  recorder->captureOutputDidOutputSampleBuffer(*output, invalid, {loop});
  EXPECT_EQ(rawQueue->count(), 0u);
  rawQueue->stopBlocking();
  recorder->captureOutputDidOutputSampleBuffer(*output, fresh, {loop});
  EXPECT_EQ(fresh.use_count(), 1);
}

TEST_F(SWAudioRecorderTest, OneSessionPerRecordingAndEndingAnIdleRecorderIsHarmless) {
  auto idle = SWAudioRecorder::create();
  idle->endRecorder();
  EXPECT_FALSE(idle->captureSession());
  EXPECT_FALSE(idle->encoder()->isEncoderRunning());

  auto recorder = SWAudioRecorder::create();
  recorder->setRawAudioQueue(rawQueue);
  recorder->setEncodedAudioQueue(encodedQueue);
  recorder->beginRecroder();
  auto session = recorder->captureSession();
  ASSERT_TRUE(session);
  EXPECT_TRUE(session->isRunning());
  // The default input, and one output asking for interleaved linear PCM only.
  ASSERT_EQ(session->inputs().size(), 1u);
  EXPECT_EQ(session->inputs()[0]->device()->deviceID(), SimAudioHardware::kBuiltInInputID);
  ASSERT_EQ(session->outputs().size(), 1u);
  const auto settings = session->outputs()[0]->audioSettings();
  EXPECT_EQ(settings.count(), 2u);
  EXPECT_EQ(settings.formatID, audio::kAudioFormatLinearPCM);
  EXPECT_EQ(settings.linearPCMIsNonInterleaved, false);
  EXPECT_EQ(session->outputs()[0]->sampleBufferCallbackQueue()->label(),
            "corvane_audio_recorder_queue");
  EXPECT_EQ(session->outputs()[0]->sampleBufferDelegate().get(),
            static_cast<audio::AudioSampleBufferDelegate*>(recorder.get()));
  recorder->beginRecroder();
  EXPECT_EQ(recorder->captureSession(), session);
  EXPECT_EQ(recorder->sessionsCreated(), 1);
  EXPECT_TRUE(recorder->encoder()->isEncoderRunning());
  rawQueue->stopBlocking();  // as the media handler does before ending
  recorder->endRecorder();
  EXPECT_FALSE(recorder->captureSession());
  EXPECT_FALSE(session->isRunning());
  EXPECT_FALSE(recorder->encoder()->isEncoderRunning());
  recorder->beginRecroder();  // a later recording builds a new session
  EXPECT_EQ(recorder->sessionsCreated(), 2);
  recorder->endRecorder();
}

TEST_F(SWAudioRecorderTest, EndingWhileSoundKeepsComingIntoARunningQueueReturns) {
  ASSERT_EQ(hw->setDefaultDevice(true, loop), audio::noErr);
  auto recorder = SWAudioRecorder::create();
  recorder->setRawAudioQueue(rawQueue);
  recorder->setEncodedAudioQueue(encodedQueue);
  recorder->beginRecroder();
  std::atomic<bool> playing{true};
  std::thread player([&] {
    const auto pcm = test::toneFrames(0, 256, 1000.0);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 1; playing.load(); ++i) {
      hw->play(loop, pcm.data(), pcm.size() * sizeof(float));
      std::this_thread::sleep_until(start + std::chrono::milliseconds(5 * i));  // a sound source
    }
  });
  std::thread consumer([&] {
    while (playing.load()) {
      if (auto box = encodedQueue->take(0.05)) freeMediaPacket(box->pointer);
    }
  });
  test::Signal ended;
  std::thread ender([&] {
    recorder->endRecorder();
    ended.fire();
  });
  const bool returned = ended.waitFor(10.0);
  playing.store(false);
  ender.join();
  player.join();
  consumer.join();
  EXPECT_TRUE(returned) << "endRecorder waited for the sound to stop";
  EXPECT_FALSE(recorder->encoder()->isEncoderRunning());
}

TEST_F(SWAudioRecorderTest, MicrophoneInOtherFormatsReachesTheQueueInTheEncoderFormat) {
  // The built-in microphone delivers 48 kHz mono 16-bit.
  auto recorder = SWAudioRecorder::create();
  auto bigQueue = RawAudioQueue::initWithCapacity(1000);
  recorder->setRawAudioQueue(bigQueue);
  recorder->createSeesion();
  recorder->captureSession()->startRunning();
  std::vector<std::int16_t> tone(48000);
  for (std::size_t i = 0; i < tone.size(); ++i) {
    tone[i] = static_cast<std::int16_t>(
        16000.0 * std::sin(2.0 * M_PI * 1000.0 * static_cast<double>(i) / 48000.0));
  }
  for (std::size_t at = 0; at < tone.size(); at += 480) {
    hw->injectInput(SimAudioHardware::kBuiltInInputID, tone.data() + at,
                    480 * sizeof(std::int16_t));
  }
  std::vector<float> left;
  bool formatOk = true;
  bool channelsEqual = true;
  while (left.size() < 44100 - 100) {
    auto buffer = bigQueue->take(5.0);
    ASSERT_TRUE(buffer) << "only " << left.size() << " frames arrived";
    formatOk = formatOk && buffer->formatDescription() == audio::kEncoderInputFormat;
    const auto* f = reinterpret_cast<const float*>(buffer->dataBuffer()->dataPointer());
    ASSERT_EQ(buffer->dataBuffer()->dataLength(),
              static_cast<std::size_t>(buffer->numSamples()) * 8);
    for (std::int64_t i = 0; i < buffer->numSamples(); ++i) {
      channelsEqual = channelsEqual && f[2 * i] == f[2 * i + 1];
      left.push_back(f[2 * i]);
    }
  }
  recorder->endRecorder();
  EXPECT_TRUE(formatOk);
  EXPECT_TRUE(channelsEqual);
  EXPECT_NEAR(test::zeroCrossingFrequency(left, 44100.0), 1000.0, 5.0);
  float peak = 0.0f;
  for (float v : left) peak = std::max(peak, std::fabs(v));
  EXPECT_NEAR(peak, 16000.0f / 32768.0f, 0.01f);
}

TEST_F(SWAudioRecorderTest, EachCaptureOutputResamplesWithItsOwnState) {
  // A reused recorder: the earlier session's output may still deliver on its queue while the
  // new session's delivers on another. Each output's buffers hold a constant of their own, so
  // any resampling state passed between them shows as a value in between.
  auto recorder = SWAudioRecorder::create();
  auto bigQueue = RawAudioQueue::initWithCapacity(10000);
  recorder->setRawAudioQueue(bigQueue);
  auto earlier = audio::CaptureAudioDataOutput::create();
  auto later = audio::CaptureAudioDataOutput::create();
  auto bufferOf = [](float value) {
    const std::vector<float> samples(441, value);
    return audio::SampleBuffer::create(
        audio::BlockBuffer::createWithBytes(samples.data(), samples.size() * sizeof(float)), 441,
        audio::floatFormat(22050.0, 1));
  };
  auto allEqual = [](const audio::SampleBufferRef& buffer, float value) {
    const auto* f = reinterpret_cast<const float*>(buffer->dataBuffer()->dataPointer());
    for (std::int64_t i = 0; i < buffer->numSamples() * 2; ++i) {
      if (f[i] != value) return false;
    }
    return buffer->numSamples() > 0;
  };

  std::vector<float> expected;
  for (int i = 0; i < 6; ++i) {
    const bool early = i % 2 == 0;
    recorder->captureOutputDidOutputSampleBuffer(early ? *earlier : *later,
                                                 bufferOf(early ? 0.5f : -0.5f), {loop});
    expected.push_back(early ? 0.5f : -0.5f);
  }
  for (std::size_t i = 0; i < expected.size(); ++i) {
    auto buffer = bigQueue->take(0.0);
    ASSERT_TRUE(buffer);
    EXPECT_TRUE(allEqual(buffer, expected[i])) << "buffer " << i;
  }

  // The two capture queues at once (ThreadSanitizer sees any shared state).
  auto deliver = [&](const std::shared_ptr<audio::CaptureAudioDataOutput>& output, float value) {
    for (int i = 0; i < 200; ++i)
      recorder->captureOutputDidOutputSampleBuffer(*output, bufferOf(value), {loop});
  };
  std::thread first(deliver, earlier, 0.5f);
  std::thread second(deliver, later, -0.5f);
  first.join();
  second.join();
  int mixed = 0;
  while (auto buffer = bigQueue->take(0.0)) {
    if (!allEqual(buffer, 0.5f) && !allEqual(buffer, -0.5f)) ++mixed;
  }
  EXPECT_EQ(mixed, 0);
}

}  // namespace
}  // namespace corvane
