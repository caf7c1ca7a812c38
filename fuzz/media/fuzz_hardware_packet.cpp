// Feeds arbitrary parameter sets and frame data to the hardware encoder's packet builder.
//
// Input layout: byte 0 is the SPS length, byte 1 the PPS length (both cut to what is left), the
// bytes after them are the SPS, the PPS and the length-prefixed frame data, in that order.
//
// Checked: a packet is made exactly when both parameter sets are non-empty and the frame data
// is a whole sequence of non-empty length-prefixed units; a packet has the head, both parameter
// sets after start codes, and the frame with every length prefix (and nothing else) replaced by
// a start code.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "../fuzz_check.h"
#include "media/media_packet.h"
#include "media/sw_hardware_encoder.h"

namespace {

std::uint32_t big32(const std::uint8_t* at) {
  return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) |
         (std::uint32_t{at[2]} << 8) | std::uint32_t{at[3]};
}

// The unit offsets of well-formed frame data, or false.
bool walk(std::span<const std::uint8_t> frame, std::vector<std::size_t>* prefixes) {
  if (frame.empty()) return false;
  std::size_t offset = 0;
  while (offset < frame.size()) {
    if (frame.size() - offset < 4) return false;
    const std::size_t length = big32(frame.data() + offset);
    if (length == 0 || length > frame.size() - offset - 4) return false;
    prefixes->push_back(offset);
    offset += 4 + length;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::span<const std::uint8_t> rest(data + 2, size - 2);
  const std::size_t s = std::min<std::size_t>(data[0], rest.size());
  const auto sps = rest.first(s);
  rest = rest.subspan(s);
  const std::size_t p = std::min<std::size_t>(data[1], rest.size());
  const auto pps = rest.first(p);
  const auto frame = rest.subspan(p);

  std::vector<std::size_t> prefixes;
  const bool wellFormed = !sps.empty() && !pps.empty() && walk(frame, &prefixes);
  std::uint8_t* packet = corvane::createHardwareVideoPacket(sps, pps, frame, 0xA1B2C3D4);
  FUZZ_CHECK((packet != nullptr) == wellFormed);
  if (packet == nullptr) return 0;

  const std::size_t t = sps.size() + pps.size() + frame.size();
  FUZZ_CHECK(corvane::mediaPacketKind(packet) == corvane::kMediaPacketKindVideo);
  FUZZ_CHECK(corvane::mediaPacketWireLength(packet) == t + 36);
  FUZZ_CHECK(big32(packet + 8) == t + 32);
  for (std::size_t word = 12; word <= 28; word += 4) FUZZ_CHECK(big32(packet + word) == 1);
  FUZZ_CHECK(big32(packet + 32) == 0xA1B2C3D4);
  const std::uint8_t* at = packet + 36;
  FUZZ_CHECK(big32(at) == 1 && std::memcmp(at + 4, sps.data(), sps.size()) == 0);
  at += 4 + sps.size();
  FUZZ_CHECK(big32(at) == 1 && std::memcmp(at + 4, pps.data(), pps.size()) == 0);
  at += 4 + pps.size();
  std::size_t next = 0;
  for (std::size_t i = 0; i < frame.size(); ++i) {
    if (next < prefixes.size() && i == prefixes[next]) {
      FUZZ_CHECK(big32(at + i) == 1);
      i += 3;
      ++next;
      continue;
    }
    FUZZ_CHECK(at[i] == frame[i]);
  }
  corvane::freeMediaPacket(packet);
  return 0;
}
