#include "support/media_stream.h"

namespace corvane::test {
namespace {

uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

}  // namespace

ParseResult parseMediaPacket(MediaKind kind, std::span<const uint8_t> bytes, MediaPacketView* out) {
  ParseResult r;
  if (bytes.size() < 4) return r;
  const uint32_t length = be32(bytes.data());
  const uint32_t header = kind == MediaKind::Video ? 24 : 4;
  if (length < header) {
    r.status = ParseStatus::Error;
    r.error = "length " + std::to_string(length) + " shorter than the " + std::to_string(header) +
              "-byte header";
    return r;
  }
  if (length > kMaxMediaPacketLength) {
    r.status = ParseStatus::Error;
    r.error = "length " + std::to_string(length) + " too large";
    return r;
  }
  const size_t total = size_t{4} + length;
  if (bytes.size() < total) return r;
  MediaPacketView v;
  v.length = length;
  const uint8_t* p = bytes.data() + 4;
  if (kind == MediaKind::Video) {
    for (auto& w : v.words) {
      w = be32(p);
      p += 4;
    }
  }
  v.timestamp = be32(p);
  p += 4;
  v.payload = std::span<const uint8_t>(p, bytes.data() + total);
  if (out != nullptr) *out = v;
  r.status = ParseStatus::Done;
  r.consumed = total;
  return r;
}

uint64_t fnv1a(std::span<const uint8_t> bytes, uint64_t seed) {
  uint64_t h = seed;
  for (uint8_t b : bytes) {
    h ^= b;
    h *= 0x100000001b3ull;
  }
  return h;
}

}  // namespace corvane::test
