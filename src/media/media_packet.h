// Media packets: one C-heap block per H.264 NAL unit (video, kind 1) or per MP3 frame
// (audio, kind 2). The block starts with an 8-byte header in host byte order (kind, wire
// length) that only this program reads, followed by the wire part that the receiver link
// writes to the connection unchanged.
//
//   video: [kind 1][N+28] | BE N+24, BE 1 x5, BE timestamp, NAL unit (N bytes, Annex B)
//   audio: [kind 2][F+8]  | BE F+4, BE timestamp, MP3 frame (F bytes)
//
// Ownership: the blocks come from malloc and are freed with `freeMediaPacket` (free). The
// encoder that makes a packet passes it with `AVCallback::onOutputMediaData`; from then on
// the callee owns it. All functions are pure and may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace corvane {

inline constexpr std::uint32_t kMediaPacketKindVideo = 1;
inline constexpr std::uint32_t kMediaPacketKindAudio = 2;
inline constexpr std::size_t kMediaPacketHostHeaderSize = 8;
inline constexpr std::size_t kVideoPacketOverhead = 40;  // block size = NAL size + 40
inline constexpr std::size_t kAudioPacketOverhead = 16;  // block size = frame size + 16

// A video packet carrying `nal` with the frame's timestamp; nullptr when the NAL unit is too
// large for the 32-bit length fields or memory runs out.
std::uint8_t* createVideoPacket(std::span<const std::uint8_t> nal, std::uint32_t timestamp);
// An audio packet whose payload is `head` followed by `tail` (the framer's carry and the new
// bytes); nullptr when too large or out of memory.
std::uint8_t* createAudioPacket(std::span<const std::uint8_t> head,
                                std::span<const std::uint8_t> tail, std::uint32_t timestamp);

// Host-header fields of a packet.
std::uint32_t mediaPacketKind(const std::uint8_t* packet);
std::uint32_t mediaPacketWireLength(const std::uint8_t* packet);
// The wire part: from offset 8, `mediaPacketWireLength` bytes.
std::span<const std::uint8_t> mediaPacketWire(const std::uint8_t* packet);

void freeMediaPacket(std::uint8_t* packet);

// The boxed pointer that the encoded-media queues carry. The box does not own the packet:
// whoever takes it from the queue frees the packet, and the queue's destroy block frees
// packets left behind.
struct MediaPacketBox {
  std::uint8_t* pointer = nullptr;
};

}  // namespace corvane
