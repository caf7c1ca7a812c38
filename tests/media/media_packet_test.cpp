#include "media/media_packet.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <memory>
#include <numeric>
#include <vector>

#include "media/data_queue.h"
#include "media_test_support.h"

namespace corvane {
namespace {

using test::readBig32;
using test::readHost32;

struct PacketDeleter {
  void operator()(std::uint8_t* p) const { freeMediaPacket(p); }
};
using PacketPtr = std::unique_ptr<std::uint8_t, PacketDeleter>;

std::vector<std::uint8_t> pattern(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  std::iota(bytes.begin(), bytes.end(), std::uint8_t{3});
  return bytes;
}

TEST(MediaPacketTest, VideoPacketOfA1000ByteNalUnit) {
  const auto nal = pattern(1000);
  PacketPtr packet(createVideoPacket(nal, 0x11223344u));
  ASSERT_NE(packet, nullptr);
  const std::uint8_t* p = packet.get();
  EXPECT_EQ(readHost32(p), 1u);
  EXPECT_EQ(readHost32(p + 4), 1028u);
  EXPECT_EQ(mediaPacketKind(p), kMediaPacketKindVideo);
  EXPECT_EQ(mediaPacketWireLength(p), 1028u);
  const std::vector<std::uint8_t> head(p + 8, p + 36);
  const std::vector<std::uint8_t> expectedHead = {
      0x00, 0x00, 0x04, 0x00,                                                  // 1,024
      0,    0,    0,    1,    0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1,  // five words of 1
      0x11, 0x22, 0x33, 0x44};
  EXPECT_EQ(head, expectedHead);
  EXPECT_EQ(std::vector<std::uint8_t>(p + 36, p + 1036), nal);
  EXPECT_GE(malloc_usable_size(packet.get()), 1040u) << "the block is N + 40 bytes";
  const auto wire = mediaPacketWire(p);
  EXPECT_EQ(wire.data(), p + 8);
  EXPECT_EQ(wire.size(), 1028u);
  EXPECT_EQ(readBig32(wire.data()), wire.size() - 4) << "the length counts the bytes after it";
}

TEST(MediaPacketTest, AudioPacketOfA418ByteFrameFromCarryAndNewBytes) {
  const auto frame = pattern(418);
  const std::span<const std::uint8_t> all(frame);
  PacketPtr packet(createAudioPacket(all.first(100), all.subspan(100), 0xfffffff0u));
  ASSERT_NE(packet, nullptr);
  const std::uint8_t* p = packet.get();
  EXPECT_EQ(readHost32(p), 2u);
  EXPECT_EQ(readHost32(p + 4), 426u);
  const std::vector<std::uint8_t> head(p + 8, p + 16);
  EXPECT_EQ(head, (std::vector<std::uint8_t>{0x00, 0x00, 0x01, 0xa6, 0xff, 0xff, 0xff, 0xf0}));
  EXPECT_EQ(std::vector<std::uint8_t>(p + 16, p + 434), frame);
  EXPECT_GE(malloc_usable_size(packet.get()), 434u) << "the block is F + 16 bytes";
  EXPECT_EQ(mediaPacketWire(p).size(), 426u);
}

TEST(MediaPacketTest, PacketRefusedByAStoppedQueueIsFreedByTheCallee) {
  // The callee of the encoders: queue the boxed pointer or free the packet at once. Under
  // AddressSanitizer a packet that is neither queued nor freed shows up as a leak.
  auto queue = DataQueue<MediaPacketBox>::initWithCapacity(3);
  queue->setDestroyBlock([](const auto& box) { freeMediaPacket(box->pointer); });
  auto deliver = [&](std::uint8_t* packet) {
    if (!queue->put(std::make_shared<MediaPacketBox>(MediaPacketBox{packet}))) {
      freeMediaPacket(packet);
      return false;
    }
    return true;
  };
  const auto nal = pattern(10);
  EXPECT_TRUE(deliver(createVideoPacket(nal, 1)));
  queue->stopBlocking();
  EXPECT_FALSE(deliver(createVideoPacket(nal, 2)));
  EXPECT_EQ(queue->count(), 1u);
}

}  // namespace
}  // namespace corvane
