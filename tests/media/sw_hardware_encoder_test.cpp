#include "media/sw_hardware_encoder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "media/media_packet.h"
#include "media_test_support.h"

namespace corvane {
namespace {

using test::readBig32;
using test::readHost32;
using test::RecordingCallback;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kStart[] = {0, 0, 0, 1};

// Splits an Annex B byte string at its 4-byte start codes.
std::vector<Bytes> splitAtStartCodes(const std::uint8_t* data, std::size_t size) {
  std::vector<Bytes> units;
  std::size_t i = 0;
  while (i + 4 <= size) {
    if (std::equal(kStart, kStart + 4, data + i)) {
      units.emplace_back();
      i += 4;
      continue;
    }
    if (!units.empty()) units.back().push_back(data[i]);
    ++i;
  }
  for (; i < size; ++i) {
    if (!units.empty()) units.back().push_back(data[i]);
  }
  return units;
}

// Checks the packet head and answers the NAL units after it.
std::vector<Bytes> unitsOf(const Bytes& block, std::uint32_t* timestamp) {
  EXPECT_GE(block.size(), 44u);
  if (block.size() < 44) return {};
  const std::uint32_t t = static_cast<std::uint32_t>(block.size()) - 44;
  EXPECT_EQ(readHost32(block.data()), 1u);
  EXPECT_EQ(readHost32(block.data() + 4), t + 36);
  EXPECT_EQ(readBig32(block.data() + 8), t + 32);
  for (std::size_t word = 0; word < 5; ++word) {
    EXPECT_EQ(readBig32(block.data() + 12 + 4 * word), 1u);
  }
  *timestamp = readBig32(block.data() + 32);
  EXPECT_TRUE(std::equal(kStart, kStart + 4, block.data() + 36)) << "start code before the SPS";
  return splitAtStartCodes(block.data() + 36, block.size() - 36);
}

TEST(HardwareVideoPacket, LaysOutHeadParameterSetsAndStartCodes) {
  const Bytes sps = {0x67, 1, 2, 3};
  const Bytes pps = {0x68, 4};
  const Bytes frame = {0, 0, 0, 3, 0x65, 9, 9, 0, 0, 0, 2, 0x41, 7};
  std::uint8_t* packet = createHardwareVideoPacket(sps, pps, frame, 0x01020304);
  ASSERT_NE(packet, nullptr);
  const std::uint32_t t = static_cast<std::uint32_t>(sps.size() + pps.size() + frame.size());
  EXPECT_EQ(mediaPacketWireLength(packet), t + 36);
  const Bytes block(packet, packet + 8 + t + 36);
  const Bytes expected = {1,
                          0,
                          0,
                          0,  // host kind (little-endian host)
                          static_cast<std::uint8_t>(t + 36),
                          0,
                          0,
                          0,  // host wire length
                          0,
                          0,
                          0,
                          static_cast<std::uint8_t>(t + 32),  // BE length of the rest
                          0,
                          0,
                          0,
                          1,
                          0,
                          0,
                          0,
                          1,
                          0,
                          0,
                          0,
                          1,
                          0,
                          0,
                          0,
                          1,
                          0,
                          0,
                          0,
                          1,
                          1,
                          2,
                          3,
                          4,  // BE timestamp
                          0,
                          0,
                          0,
                          1,
                          0x67,
                          1,
                          2,
                          3,  // SPS
                          0,
                          0,
                          0,
                          1,
                          0x68,
                          4,  // PPS
                          0,
                          0,
                          0,
                          1,
                          0x65,
                          9,
                          9,
                          0,
                          0,
                          0,
                          1,
                          0x41,
                          7};
  ASSERT_EQ(readHost32(block.data()), 1u);  // the expected bytes assume a little-endian host
  EXPECT_EQ(block, expected);
  freeMediaPacket(packet);
}

TEST(HardwareVideoPacket, RefusesMalformedInput) {
  const Bytes sps = {0x67, 1};
  const Bytes pps = {0x68, 2};
  struct Case {
    const char* what;
    Bytes sps, pps, frame;
  };
  const Case cases[] = {
      {"no SPS", {}, pps, {0, 0, 0, 1, 0x65}},
      {"no PPS", sps, {}, {0, 0, 0, 1, 0x65}},
      {"no frame", sps, pps, {}},
      {"cut length prefix", sps, pps, {0, 0, 0}},
      {"length past the end", sps, pps, {0, 0, 0, 9, 0x65}},
      {"length far past the end", sps, pps, {0xFF, 0xFF, 0xFF, 0xFF, 0x65}},
      {"empty unit", sps, pps, {0, 0, 0, 0, 0, 0, 0, 1, 0x65}},
      {"trailing bytes", sps, pps, {0, 0, 0, 1, 0x65, 0, 0}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(createHardwareVideoPacket(c.sps, c.pps, c.frame, 0), nullptr) << c.what;
  }
}

class HardwareEncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    encoder = SWHardwareEncoder::create();
    encoder->setVaCallback(callback);
  }
  void TearDown() override {
    encoder->stop();
    encoder->releaseCompressionSession();
  }
  std::shared_ptr<SWHardwareEncoder> encoder;
  std::shared_ptr<RecordingCallback> callback = std::make_shared<RecordingCallback>();
};

TEST_F(HardwareEncoderTest, PacketsCarryBothParameterSetsAndFFmpegDecodesThem) {
  if (!test::haveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  ASSERT_TRUE(encoder->createCompressionSessionWithSize(640, 360));
  EXPECT_EQ(encoder->encodeSize().width, 640);
  constexpr int kFrames = 12;
  for (int i = 0; i < kFrames; ++i) {
    // A key frame asked for at the start and in the middle.
    encoder->compress(test::makeNv12Frame(640, 360, i), static_cast<std::uint32_t>(5000 + 40 * i),
                      i == 0 || i == 6);
  }
  encoder->completeFrames();
  const auto packets = callback->packets();
  ASSERT_EQ(packets.size(), static_cast<std::size_t>(kFrames)) << "one packet per frame";
  Bytes stream;
  for (std::size_t i = 0; i < packets.size(); ++i) {
    std::uint32_t timestamp = 0;
    const auto units = unitsOf(packets[i].block, &timestamp);
    EXPECT_EQ(timestamp, 5000 + 40 * i) << "media-clock milliseconds";
    ASSERT_GE(units.size(), 3u);
    EXPECT_EQ(units[0][0] & 0x1f, 7) << "SPS in packet " << i;
    EXPECT_EQ(units[1][0] & 0x1f, 8) << "PPS in packet " << i;
    bool idr = false;
    for (std::size_t u = 2; u < units.size(); ++u) idr = idr || (units[u][0] & 0x1f) == 5;
    EXPECT_EQ(idr, i == 0 || i == 6) << "key frames where asked, packet " << i;
    stream.insert(stream.end(), packets[i].block.begin() + 36, packets[i].block.end());
  }
  EXPECT_FALSE(encoder->forceKeyframe()) << "cleared by the key frame that came out";

  test::TempFolder folder;
  const std::string file = folder.file("hardware.h264");
  test::writeFile(file, stream);
  const auto decode = test::runProcess(
      {"ffmpeg", "-nostdin", "-v", "error", "-f", "h264", "-i", file, "-f", "null", "-"});
  EXPECT_EQ(decode.exitCode, 0) << decode.output;
  EXPECT_TRUE(decode.output.empty()) << decode.output;
  const auto probe = test::runProcess({"ffprobe", "-v", "error", "-count_frames", "-show_entries",
                                       "stream=width,height,nb_read_frames,profile", "-of",
                                       "default=noprint_wrappers=1", file});
  EXPECT_NE(probe.output.find("width=640"), std::string::npos) << probe.output;
  EXPECT_NE(probe.output.find("nb_read_frames=12"), std::string::npos) << probe.output;
  EXPECT_NE(probe.output.find("profile=High"), std::string::npos) << probe.output;
}

TEST_F(HardwareEncoderTest, WorkerFollowsTheFrameSize) {
  auto queue = RawVideoQueue::initWithCapacity(3);
  encoder->setRawVideoInput(queue);
  encoder->start();
  for (int i = 0; i < 3; ++i) {
    auto item = std::make_shared<RawVideoFrame>();
    item->buffer = test::makeNv12Frame(320, 240, i);
    item->timestamp = 100u + static_cast<std::uint32_t>(i);
    item->keyframe = i == 0;
    ASSERT_TRUE(queue->put(item, 10.0));
  }
  ASSERT_TRUE(callback->waitForCount(3, 60.0));
  encoder->stop();
  EXPECT_EQ(encoder->encodeSize().width, 320) << "a new session at the frames' size";
  EXPECT_EQ(encoder->encodeSize().height, 240);
}

// Hands packets on as a recorder does: `put` into its queue without a time limit (freed when
// refused). `blocked` fires when a packet finds the queue full.
class QueueingCallback : public AVCallback {
 public:
  QueueingCallback() {
    queue->setDestroyBlock([](const Queue::Item& box) { freeMediaPacket(box->pointer); });
  }
  void onOutputMediaData(std::uint8_t* packet) override {
    if (queue->count() >= static_cast<std::uint64_t>(queue->capacity())) blocked.fire();
    if (!queue->put(std::make_shared<MediaPacketBox>(MediaPacketBox{packet}))) {
      freeMediaPacket(packet);
    }
  }
  using Queue = DataQueue<MediaPacketBox>;
  const std::shared_ptr<Queue> queue = Queue::initWithCapacity(1);
  test::Signal blocked;
};

TEST(HardwareEncoder, StopReturnsWhileTheCallbacksQueueIsFullAndNobodyDrainsIt) {
  struct Case {
    const char* what;
    std::vector<int> widths;  // of the frames, in order (height = width * 3 / 4)
  };
  const Case cases[] = {
      {"frames of one size", {320, 320, 320, 320, 320}},
      {"a size change while the old session's frames wait", {320, 320, 320, 640}},
  };
  for (const Case& c : cases) {
    auto encoder = SWHardwareEncoder::create();
    auto callback = std::make_shared<QueueingCallback>();
    auto input = RawVideoQueue::initWithCapacity(8);
    encoder->setVaCallback(callback);
    encoder->setRawVideoInput(input);
    encoder->start();
    for (std::size_t i = 0; i < c.widths.size(); ++i) {
      auto item = std::make_shared<RawVideoFrame>();
      item->buffer = test::makeNv12Frame(c.widths[i], c.widths[i] * 3 / 4, static_cast<int>(i));
      item->timestamp = static_cast<std::uint32_t>(i);
      ASSERT_TRUE(input->put(item, 10.0)) << c.what;
    }
    ASSERT_TRUE(callback->blocked.waitFor(60.0)) << c.what << ": the callback never blocked";
    // Every frame taken: the worker is past its last size change.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (input->count() > 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(input->count(), 0u) << c.what;

    test::Signal stopped;
    std::thread owner([&] {
      encoder->stop();
      stopped.fire();
    });
    EXPECT_TRUE(stopped.waitFor(30.0)) << c.what << ": stop waited for the undrained queue";
    // The owner's next step ends the blocked hand-over (and, had stop hung, releases it).
    callback->queue->stopBlocking();
    owner.join();

    // Nothing keeps the encoder once the hand-over has ended.
    std::weak_ptr<SWHardwareEncoder> weak = encoder;
    encoder.reset();
    const auto released = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!weak.expired() && std::chrono::steady_clock::now() < released) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(weak.expired()) << c.what;
  }
}

TEST(HardwareEncoder, TheLatestInstanceIsTheCurrentOne) {
  auto first = SWHardwareEncoder::create();
  EXPECT_EQ(SWHardwareEncoder::current(), first);
  auto second = SWHardwareEncoder::create();
  EXPECT_EQ(SWHardwareEncoder::current(), second);
  second.reset();
  EXPECT_EQ(SWHardwareEncoder::current(), nullptr);
}

}  // namespace
}  // namespace corvane
