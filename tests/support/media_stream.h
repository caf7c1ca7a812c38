// The test receiver's parser of the media connections' byte streams: pure functions over a
// byte span, independent of the sender's code.
//
// Video packet: BE32 length L (= N + 24), five BE32 words, BE32 timestamp, N bytes of H.264.
// Audio packet: BE32 length L (= F + 4), BE32 timestamp, F bytes of MP3.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace corvane::test {

enum class MediaKind { Video, Audio };

// Packets longer than this are treated as garbage.
inline constexpr uint32_t kMaxMediaPacketLength = 64u * 1024u * 1024u;

enum class ParseStatus { NeedMore, Done, Error };

struct MediaPacketView {
  uint32_t length = 0;     // the length field
  uint32_t words[5] = {};  // video only
  uint32_t timestamp = 0;
  std::span<const uint8_t> payload;  // points into the parsed buffer
};

struct ParseResult {
  ParseStatus status = ParseStatus::NeedMore;
  size_t consumed = 0;  // bytes of the packet when Done
  std::string error;    // when Error
};

// Parses one packet at the start of `bytes`.
ParseResult parseMediaPacket(MediaKind kind, std::span<const uint8_t> bytes, MediaPacketView* out);

// 64-bit FNV-1a, used to compare payloads without keeping them.
uint64_t fnv1a(std::span<const uint8_t> bytes, uint64_t seed = 0xcbf29ce484222325ull);

}  // namespace corvane::test
