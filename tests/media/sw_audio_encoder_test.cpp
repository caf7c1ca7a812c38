#include "media/sw_audio_encoder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "media/media_packet.h"
#include "media_test_support.h"
#include "platform/audio/block_buffer.h"

namespace corvane {
namespace {

using platform::audio::BlockBuffer;
using platform::audio::SampleBuffer;
using test::readBig32;
using test::RecordingCallback;

// A fake frame: a header whose third byte says padded (0x92) or not (0x90), then filler
// bytes that tell the frames apart.
std::vector<std::uint8_t> fakeFrame(bool padded, std::uint8_t fill) {
  std::vector<std::uint8_t> frame(padded ? 418 : 417, fill);
  frame[0] = 0xff;
  frame[1] = 0xfb;
  frame[2] = padded ? 0x92 : 0x90;
  frame[3] = 0x64;
  return frame;
}

std::vector<std::uint8_t> join(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::vector<std::uint8_t> payload(const RecordingCallback::Packet& p) {
  return {p.block.begin() + 16, p.block.end()};
}

std::uint32_t timestampOf(const RecordingCallback::Packet& p) {
  return readBig32(p.block.data() + 12);
}

class FramerTest : public ::testing::Test {
 protected:
  void SetUp() override { encoder_->setAvCallback(callback_); }
  void feed(const std::vector<std::uint8_t>& bytes, std::uint32_t ts) {
    encoder_->composeAudioPacket(bytes.data(), static_cast<std::int32_t>(bytes.size()), ts);
  }

  std::shared_ptr<SWAudioEncoder> encoder_ = SWAudioEncoder::create();
  std::shared_ptr<RecordingCallback> callback_ = std::make_shared<RecordingCallback>();
};

TEST_F(FramerTest, ThousandBytesWithTwoUnpaddedFramesEmitTwoAndCarryTheRest) {
  const auto a = fakeFrame(false, 1), b = fakeFrame(false, 2), c = fakeFrame(false, 3);
  const auto chunk = join({a, b, std::vector<std::uint8_t>(c.begin(), c.begin() + 166)});
  ASSERT_EQ(chunk.size(), 1000u);
  feed(chunk, 10000);
  auto packets = callback_->packets();
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(payload(packets[0]), a);
  EXPECT_EQ(payload(packets[1]), b);
  EXPECT_EQ(timestampOf(packets[0]), 10000u - 62);
  EXPECT_EQ(timestampOf(packets[1]), 10000u - 36);
  for (const auto& p : packets) {
    EXPECT_EQ(p.kind, 2u);
    EXPECT_EQ(p.wireLength, 425u);
    EXPECT_EQ(readBig32(p.block.data() + 8), 421u);
  }
  EXPECT_EQ(encoder_->preLen(), 166);

  // The rest of the third frame completes it from the carry.
  feed(std::vector<std::uint8_t>(c.begin() + 166, c.end()), 20000);
  packets = callback_->packets();
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(payload(packets[2]), c);
  EXPECT_EQ(timestampOf(packets[2]), 20000u - 25);
  EXPECT_EQ(encoder_->preLen(), 0);
}

TEST_F(FramerTest, ACompleteFrameIsEmittedAtOnceOnlyWhenItStartsTheCall) {
  const auto single = fakeFrame(false, 7);
  feed(single, 5000);
  ASSERT_EQ(callback_->packets().size(), 1u);
  EXPECT_EQ(payload(callback_->packets()[0]), single);
  EXPECT_EQ(encoder_->preLen(), 0);

  // 418 + 417 in one chunk: the second frame waits in the carry ...
  const auto padded = fakeFrame(true, 8), follower = fakeFrame(false, 9);
  feed(join({padded, follower}), 6000);
  ASSERT_EQ(callback_->packets().size(), 2u);
  EXPECT_EQ(payload(callback_->packets()[1]), padded);
  EXPECT_EQ(timestampOf(callback_->packets()[1]), 6000u - 51);  // 26 * 835 / 418
  EXPECT_EQ(encoder_->preLen(), 417);

  // ... until the next chunk arrives, when it goes out first.
  const auto next = fakeFrame(false, 10);
  feed(next, 7000);
  auto packets = callback_->packets();
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(payload(packets[2]), follower);
  EXPECT_EQ(encoder_->preLen(), 417);
}

TEST_F(FramerTest, WithTwoBytesCarriedTheSizeComesFromTheFirstNewByte) {
  for (bool padded : {false, true}) {
    SCOPED_TRACE(padded ? "padded" : "unpadded");
    auto encoder = SWAudioEncoder::create();
    auto callback = std::make_shared<RecordingCallback>();
    encoder->setAvCallback(callback);
    const auto frame = fakeFrame(padded, 4);
    encoder->composeAudioPacket(frame.data(), 2, 100);
    EXPECT_EQ(encoder->preLen(), 2);
    EXPECT_TRUE(callback->packets().empty());
    // Exactly the frame's remaining bytes plus one: the frame is emitted, one byte carried.
    std::vector<std::uint8_t> rest(frame.begin() + 2, frame.end());
    rest.push_back(0xff);
    encoder->composeAudioPacket(rest.data(), static_cast<std::int32_t>(rest.size()), 200);
    auto packets = callback->packets();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(payload(packets[0]), frame);
    EXPECT_EQ(encoder->preLen(), 1);
  }
}

TEST_F(FramerTest, ShortChunksOnlyGrowTheCarry) {
  const auto frame = fakeFrame(true, 5);
  // One byte alone cannot show the frame size yet; it is carried, not read past.
  feed({frame.begin(), frame.begin() + 1}, 1);
  EXPECT_EQ(encoder_->preLen(), 1);
  feed({frame.begin() + 1, frame.begin() + 100}, 2);
  EXPECT_EQ(encoder_->preLen(), 100);
  feed({frame.begin() + 100, frame.begin() + 417}, 3);
  EXPECT_EQ(encoder_->preLen(), 417) << "417 bytes of a 418-byte frame are not complete";
  EXPECT_TRUE(callback_->packets().empty());
  feed({frame.begin() + 417, frame.end()}, 4);
  ASSERT_EQ(callback_->packets().size(), 1u);
  EXPECT_EQ(payload(callback_->packets()[0]), frame);
  // Empty and negative lengths change nothing.
  encoder_->composeAudioPacket(frame.data(), 0, 5);
  encoder_->composeAudioPacket(frame.data(), -4, 5);
  EXPECT_EQ(encoder_->preLen(), 0);
  EXPECT_EQ(callback_->packets().size(), 1u);
}

// A sample buffer over `pcm`, whose memory (when `released` is given) signals when it is let
// go, i.e. once the worker has encoded it. `offset` bytes of padding before the samples make
// the data pointer misaligned.
std::shared_ptr<SampleBuffer> sampleBuffer(std::vector<float> pcm, test::Signal* released = nullptr,
                                           std::size_t offset = 0, std::size_t extraBytes = 0) {
  const std::size_t length = pcm.size() * sizeof(float) + extraBytes;
  auto* memory = new std::vector<std::uint8_t>(offset + length, 0);
  if (!pcm.empty()) std::memcpy(memory->data() + offset, pcm.data(), pcm.size() * sizeof(float));
  auto block = BlockBuffer::createWithMemory(memory->data() + offset, length,
                                             [memory, released](void*, std::size_t) {
                                               delete memory;
                                               if (released != nullptr) released->fire();
                                             });
  return SampleBuffer::create(block, static_cast<std::int64_t>(pcm.size() / 2));
}

// Checks that every packet is one whole MP3 frame in an audio packet and answers the number
// of frames FFmpeg decodes from their concatenation (-1 when it cannot).
long decodedFrameCount(const std::vector<RecordingCallback::Packet>& packets) {
  std::vector<std::uint8_t> stream;
  for (const auto& p : packets) {
    EXPECT_EQ(p.kind, 2u);
    if (p.block.size() < 16) {
      ADD_FAILURE() << "a packet of " << p.block.size() << " bytes";
      continue;
    }
    const std::size_t f = p.block.size() - 16;
    EXPECT_TRUE(f == 417 || f == 418) << f;
    EXPECT_EQ(p.wireLength, f + 8);
    EXPECT_EQ(readBig32(p.block.data() + 8), f + 4);
    const std::uint8_t* frame = p.block.data() + 16;
    EXPECT_EQ(frame[0], 0xff);
    EXPECT_EQ(frame[1] & 0xe0, 0xe0) << "frame sync";
    EXPECT_EQ(f, (frame[2] & 0x02) ? 418u : 417u) << "size follows the padding bit";
    stream.insert(stream.end(), frame, frame + f);
  }
  test::TempFolder folder;
  const std::string file = folder.file("sound.mp3");
  test::writeFile(file, stream);
  const auto decode =
      test::runProcess({"ffmpeg", "-nostdin", "-v", "error", "-i", file, "-f", "null", "-"});
  EXPECT_EQ(decode.exitCode, 0);
  EXPECT_EQ(decode.output, "");
  const auto probe = test::runProcess(
      {"ffprobe", "-v", "error", "-count_frames", "-select_streams", "a:0", "-show_entries",
       "stream=nb_read_frames,sample_rate,channels", "-of", "default=noprint_wrappers=1", file});
  EXPECT_EQ(probe.exitCode, 0) << probe.output;
  EXPECT_NE(probe.output.find("sample_rate=44100"), std::string::npos) << probe.output;
  EXPECT_NE(probe.output.find("channels=2"), std::string::npos) << probe.output;
  const auto at = probe.output.find("nb_read_frames=");
  if (at == std::string::npos) return -1;
  return std::strtol(probe.output.c_str() + at + 15, nullptr, 10);
}

bool haveFFmpeg() { return test::haveProgram("ffmpeg") && test::haveProgram("ffprobe"); }

TEST(SWAudioEncoderTest, EncodesSineInBuffersOfEverySizeIntoWholeDecodableFrames) {
  ASSERT_TRUE(haveFFmpeg())
      << "ffmpeg/ffprobe are not installed (scripts/install-deps installs them)";
  constexpr std::size_t kTotalFrames = 44100;  // one second
  for (std::size_t bufferFrames : {512u, 1024u, 4096u, 16384u}) {
    SCOPED_TRACE("buffer of " + std::to_string(bufferFrames) + " sample frames");
    auto encoder = SWAudioEncoder::create();
    auto callback = std::make_shared<RecordingCallback>();
    auto queue = RawAudioQueue::initWithCapacity(3);
    encoder->setAvCallback(callback);
    encoder->setInputQueue(queue);
    encoder->beginEncodeAudio();
    EXPECT_TRUE(encoder->isEncoderRunning());

    test::Signal lastReleased;
    std::size_t fed = 0;
    while (fed < kTotalFrames) {
      const std::size_t frames = std::min(bufferFrames, kTotalFrames - fed);
      auto pcm = test::sineFrames(fed, frames);
      fed += frames;
      std::shared_ptr<SampleBuffer> buffer;
      if (fed == kTotalFrames) {
        buffer = sampleBuffer(std::move(pcm), &lastReleased);
      } else {
        buffer = SampleBuffer::create(
            BlockBuffer::createWithBytes(pcm.data(), pcm.size() * sizeof(float)),
            static_cast<std::int64_t>(frames));
      }
      ASSERT_TRUE(queue->put(buffer, 10.0));
    }
    ASSERT_TRUE(lastReleased.waitFor(30.0));
    encoder->endEncodeAudio();
    EXPECT_FALSE(encoder->isEncoderRunning());

    const auto packets = callback->packets();
    for (const auto& p : packets) {
      ASSERT_GE(p.block.size(), 16u);
      // The frame's sound began 26 ms per 418 pending bytes before the clock read after the
      // encoder call: at least one frame (25 ms) and at most the call's output plus carry.
      const std::uint32_t age = p.receivedAt - timestampOf(p);
      const auto maxPending = static_cast<std::uint32_t>(417 + (bufferFrames / 1152 + 2) * 418);
      EXPECT_GE(age, 25u);
      EXPECT_LE(age, 26 * maxPending / 418 + 200);
    }
    const long decodedFrames = decodedFrameCount(packets);
    const double inputFrames = static_cast<double>(kTotalFrames) / 1152.0;
    EXPECT_NEAR(static_cast<double>(decodedFrames), inputFrames, 2.0)
        << "decoded " << decodedFrames << " frames of " << packets.size() << " packets";
  }
}

// Feeds the buffers to a new encoder and answers its packets once the last buffer (which must
// signal `lastReleased`) has been encoded and the encoder has ended.
std::vector<RecordingCallback::Packet> encodeBuffers(
    std::vector<std::shared_ptr<SampleBuffer>> buffers, test::Signal& lastReleased) {
  auto encoder = SWAudioEncoder::create();
  auto callback = std::make_shared<RecordingCallback>();
  auto queue = RawAudioQueue::initWithCapacity(3);
  encoder->setAvCallback(callback);
  encoder->setInputQueue(queue);
  encoder->beginEncodeAudio();
  for (auto& buffer : buffers) {
    EXPECT_TRUE(queue->put(buffer, 30.0));
    buffer.reset();  // the queue and then the worker hold it alone
  }
  EXPECT_TRUE(lastReleased.waitFor(60.0));
  encoder->endEncodeAudio();
  return callback->packets();
}

TEST(SWAudioEncoderTest, MalformedAndOversizedBuffersLoseNoGoodSoundAndKeepTheWorkerGoing) {
  ASSERT_TRUE(haveFFmpeg())
      << "ffmpeg/ffprobe are not installed (scripts/install-deps installs them)";
  // Samples LAME cannot take (it aborts the process on them) are clamped to full scale.
  std::vector<float> wild(2 * 4096);
  const float kinds[] = {std::nanf(""), INFINITY, -INFINITY, 1e6f, -3e38f, 1e-40f, 0.5f};
  for (std::size_t i = 0; i < wild.size(); ++i) wild[i] = kinds[i % std::size(kinds)];
  constexpr std::size_t kHugeFrames = 441000;  // 10 s in one buffer, more than one encoder call
  constexpr std::size_t kFrames = 4608;        // four MP3 frames of sound

  // (Built by push_back: an initializer list would keep a reference to every buffer.)
  test::Signal lastReleased;
  std::vector<std::shared_ptr<SampleBuffer>> malformed;
  malformed.push_back(SampleBuffer::create(nullptr, 0));  // no data block
  malformed.push_back(SampleBuffer::create(BlockBuffer::createWithBytes(nullptr, 0), 0));  // empty
  malformed.push_back(sampleBuffer({}, nullptr, 0, 5));  // less than one sample frame
  malformed.push_back(sampleBuffer(test::sineFrames(0, kFrames), nullptr, 0, 5));  // partial frame
  malformed.push_back(sampleBuffer(test::sineFrames(0, kFrames), nullptr, 1));     // misaligned
  malformed.push_back(sampleBuffer(wild));
  malformed.push_back(sampleBuffer(test::sineFrames(0, kHugeFrames)));
  malformed.push_back(sampleBuffer(test::sineFrames(0, kFrames), &lastReleased));
  const auto packets = encodeBuffers(std::move(malformed), lastReleased);

  // The same sound in well-formed buffers gives exactly as many frames: nothing was lost.
  test::Signal referenceReleased;
  std::vector<std::shared_ptr<SampleBuffer>> wellFormed;
  wellFormed.push_back(sampleBuffer(test::sineFrames(0, kFrames)));
  wellFormed.push_back(sampleBuffer(test::sineFrames(0, kFrames)));
  wellFormed.push_back(sampleBuffer(test::sineFrames(0, 4096)));
  wellFormed.push_back(sampleBuffer(test::sineFrames(0, kHugeFrames)));
  wellFormed.push_back(sampleBuffer(test::sineFrames(0, kFrames), &referenceReleased));
  const auto reference = encodeBuffers(std::move(wellFormed), referenceReleased);
  EXPECT_EQ(packets.size(), reference.size());
  const double inputFrames = static_cast<double>(3 * kFrames + 4096 + kHugeFrames) / 1152.0;
  EXPECT_NEAR(static_cast<double>(packets.size()), inputFrames, 3.0);
  EXPECT_EQ(decodedFrameCount(packets), static_cast<long>(packets.size()));
}

// Ends its encoder from inside the callback, on the worker thread.
class EndingCallback : public AVCallback {
 public:
  void onOutputMediaData(std::uint8_t* packet) override {
    freeMediaPacket(packet);
    if (auto encoder = encoder_.lock()) encoder->endEncodeAudio();
    called.fire();
  }
  std::weak_ptr<SWAudioEncoder> encoder_;
  test::Signal called;
};

TEST(SWAudioEncoderTest, EndingReleasesWhatAStoppedQueueStillHoldsAndIdleEndIsHarmless) {
  auto idle = SWAudioEncoder::create();
  idle->endEncodeAudio();  // never began: nothing to stop
  EXPECT_FALSE(idle->isEncoderRunning());

  auto encoder = SWAudioEncoder::create();
  auto queue = RawAudioQueue::initWithCapacity(3);
  encoder->setInputQueue(queue);
  encoder->beginEncodeAudio();
  encoder->beginEncodeAudio();  // a second start makes no second worker
  queue->stopBlocking();
  encoder->endEncodeAudio();
  EXPECT_FALSE(encoder->isEncoderRunning());
  // The worker is gone: a new start makes a new one, which ends the same way.
  encoder->beginEncodeAudio();
  EXPECT_TRUE(encoder->isEncoderRunning());
  encoder->endEncodeAudio();
  EXPECT_FALSE(encoder->isEncoderRunning());

  // Ended by its own callback on the worker, the encoder stops without waiting for itself,
  // and the owner's end afterwards returns once the worker is gone.
  auto ending = std::make_shared<EndingCallback>();
  ending->encoder_ = encoder;
  auto input = RawAudioQueue::initWithCapacity(3);
  encoder->setAvCallback(ending);
  encoder->setInputQueue(input);
  encoder->beginEncodeAudio();
  ASSERT_TRUE(input->put(sampleBuffer(test::sineFrames(0, 4096)), 5.0));
  ASSERT_TRUE(ending->called.waitFor(30.0));
  encoder->endEncodeAudio();
  EXPECT_FALSE(encoder->isEncoderRunning());
}

TEST(SWAudioEncoderTest, AWorkerStartedBeforeItsQueueWaitsForItAndThenEncodes) {
  auto encoder = SWAudioEncoder::create();
  auto callback = std::make_shared<RecordingCallback>();
  encoder->setAvCallback(callback);
  encoder->beginEncodeAudio();  // no input queue yet
  // The worker exists once it has a name; then watch it for half a second.
  test::ThreadStats before;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!(before = test::threadStats("audio_encoder")).found &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(before.found) << "no worker thread named audio_encoder";
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the window watched
  const test::ThreadStats after = test::threadStats("audio_encoder");
  ASSERT_TRUE(after.found);
  // Waiting means sleeping: a spinning worker never gives up the processor of its own accord.
  EXPECT_GE(after.voluntarySwitches - before.voluntarySwitches, 2)
      << "the worker did not wait while it had no queue";
  EXPECT_LT(after.cpuSeconds - before.cpuSeconds, 0.25);

  // A queue set later is used.
  auto queue = RawAudioQueue::initWithCapacity(3);
  encoder->setInputQueue(queue);
  ASSERT_TRUE(queue->put(sampleBuffer(test::sineFrames(0, 4096)), 5.0));
  EXPECT_TRUE(callback->waitForCount(1, 30.0));
  encoder->endEncodeAudio();
  EXPECT_FALSE(encoder->isEncoderRunning());
}

TEST(SWAudioEncoderTest, EndReturnsOnlyOnceTheWorkerThreadHasExited) {
  auto encoder = SWAudioEncoder::create();
  auto input = RawAudioQueue::initWithCapacity(3);
  auto callback = std::make_shared<test::WatchingCallback>();
  encoder->setInputQueue(input);
  encoder->setAvCallback(callback);
  encoder->beginEncodeAudio();
  ASSERT_TRUE(input->put(sampleBuffer(test::sineFrames(0, 4096)), 5.0));
  ASSERT_TRUE(callback->called.waitFor(30.0));
  encoder->endEncodeAudio();
  EXPECT_TRUE(callback->watch.exited());
}

}  // namespace
}  // namespace corvane
