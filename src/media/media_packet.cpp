#include "media/media_packet.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace corvane {
namespace {

void putHost32(std::uint8_t* at, std::uint32_t value) { std::memcpy(at, &value, 4); }

std::uint32_t getHost32(const std::uint8_t* at) {
  std::uint32_t value;
  std::memcpy(&value, at, 4);
  return value;
}

void putBig32(std::uint8_t* at, std::uint32_t value) {
  at[0] = static_cast<std::uint8_t>(value >> 24);
  at[1] = static_cast<std::uint8_t>(value >> 16);
  at[2] = static_cast<std::uint8_t>(value >> 8);
  at[3] = static_cast<std::uint8_t>(value);
}

constexpr std::size_t kMaxBlock = std::numeric_limits<std::uint32_t>::max();

}  // namespace

std::uint8_t* createVideoPacket(std::span<const std::uint8_t> nal, std::uint32_t timestamp) {
  const std::size_t n = nal.size();
  if (n > kMaxBlock - kVideoPacketOverhead) return nullptr;
  auto* block = static_cast<std::uint8_t*>(std::malloc(n + kVideoPacketOverhead));
  if (block == nullptr) return nullptr;
  putHost32(block, kMediaPacketKindVideo);
  putHost32(block + 4, static_cast<std::uint32_t>(n + 28));
  putBig32(block + 8, static_cast<std::uint32_t>(n + 24));
  for (std::size_t offset = 12; offset <= 28; offset += 4) putBig32(block + offset, 1);
  putBig32(block + 32, timestamp);
  if (n > 0) std::memcpy(block + 36, nal.data(), n);
  std::memset(block + 36 + n, 0, 4);  // the block's last four bytes lie past the wire part
  return block;
}

std::uint8_t* createAudioPacket(std::span<const std::uint8_t> head,
                                std::span<const std::uint8_t> tail, std::uint32_t timestamp) {
  if (head.size() > kMaxBlock - kAudioPacketOverhead ||
      tail.size() > kMaxBlock - kAudioPacketOverhead - head.size()) {
    return nullptr;
  }
  const std::size_t f = head.size() + tail.size();
  auto* block = static_cast<std::uint8_t*>(std::malloc(f + kAudioPacketOverhead));
  if (block == nullptr) return nullptr;
  putHost32(block, kMediaPacketKindAudio);
  putHost32(block + 4, static_cast<std::uint32_t>(f + 8));
  putBig32(block + 8, static_cast<std::uint32_t>(f + 4));
  putBig32(block + 12, timestamp);
  if (!head.empty()) std::memcpy(block + 16, head.data(), head.size());
  if (!tail.empty()) std::memcpy(block + 16 + head.size(), tail.data(), tail.size());
  return block;
}

std::uint32_t mediaPacketKind(const std::uint8_t* packet) { return getHost32(packet); }

std::uint32_t mediaPacketWireLength(const std::uint8_t* packet) { return getHost32(packet + 4); }

std::span<const std::uint8_t> mediaPacketWire(const std::uint8_t* packet) {
  return {packet + kMediaPacketHostHeaderSize, mediaPacketWireLength(packet)};
}

void freeMediaPacket(std::uint8_t* packet) { std::free(packet); }

}  // namespace corvane
