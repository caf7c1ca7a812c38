#include "media/sw_audio_encoder.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
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

// Signals when the memory of the last fed buffer is let go, i.e. the worker has encoded it.
class ReleaseSignal {
 public:
  void fire() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      fired_ = true;
    }
    cv_.notify_all();
  }
  bool waitFor(double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return fired_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool fired_ = false;
};

TEST(SWAudioEncoderTest, EncodesSineInBuffersOfEverySizeIntoWholeDecodableFrames) {
  if (!test::haveProgram("ffmpeg") || !test::haveProgram("ffprobe")) {
    GTEST_SKIP() << "ffmpeg/ffprobe are not installed";
  }
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

    ReleaseSignal lastReleased;
    std::size_t fed = 0;
    while (fed < kTotalFrames) {
      const std::size_t frames = std::min(bufferFrames, kTotalFrames - fed);
      auto pcm = test::sineFrames(fed, frames);
      fed += frames;
      std::shared_ptr<BlockBuffer> block;
      if (fed == kTotalFrames) {
        auto* memory = new std::vector<float>(std::move(pcm));
        block = BlockBuffer::createWithMemory(memory->data(), memory->size() * sizeof(float),
                                              [memory, &lastReleased](void*, std::size_t) {
                                                delete memory;
                                                lastReleased.fire();
                                              });
      } else {
        block = BlockBuffer::createWithBytes(pcm.data(), pcm.size() * sizeof(float));
      }
      ASSERT_TRUE(queue->put(SampleBuffer::create(block, static_cast<std::int64_t>(frames)), 10.0));
    }
    ASSERT_TRUE(lastReleased.waitFor(30.0));
    encoder->endEncodeAudio();
    EXPECT_FALSE(encoder->isEncoderRunning());

    const auto packets = callback->packets();
    std::vector<std::uint8_t> stream;
    for (const auto& p : packets) {
      ASSERT_EQ(p.kind, 2u);
      const std::size_t f = p.block.size() - 16;
      ASSERT_TRUE(f == 417 || f == 418) << f;
      EXPECT_EQ(p.wireLength, f + 8);
      EXPECT_EQ(readBig32(p.block.data() + 8), f + 4);
      const std::uint8_t* frame = p.block.data() + 16;
      EXPECT_EQ(frame[0], 0xff);
      EXPECT_EQ(frame[1] & 0xe0, 0xe0) << "frame sync";
      EXPECT_EQ(f, (frame[2] & 0x02) ? 418u : 417u) << "size follows the padding bit";
      // The frame's sound began 26 ms per 418 pending bytes before the clock read after the
      // encoder call: at least one frame (25 ms) and at most the call's output plus carry.
      const std::uint32_t age = p.receivedAt - timestampOf(p);
      const std::uint32_t maxPending = 417 + (bufferFrames / 1152 + 2) * 418;
      EXPECT_GE(age, 25u);
      EXPECT_LE(age, 26 * maxPending / 418 + 200);
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
    ASSERT_EQ(probe.exitCode, 0) << probe.output;
    EXPECT_NE(probe.output.find("sample_rate=44100"), std::string::npos) << probe.output;
    EXPECT_NE(probe.output.find("channels=2"), std::string::npos) << probe.output;
    const auto at = probe.output.find("nb_read_frames=");
    ASSERT_NE(at, std::string::npos) << probe.output;
    const long decodedFrames = std::strtol(probe.output.c_str() + at + 15, nullptr, 10);
    const double inputFrames = static_cast<double>(kTotalFrames) / 1152.0;
    EXPECT_NEAR(static_cast<double>(decodedFrames), inputFrames, 2.0)
        << "decoded " << decodedFrames << " frames of " << packets.size() << " packets";
  }
}

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
}

}  // namespace
}  // namespace corvane
