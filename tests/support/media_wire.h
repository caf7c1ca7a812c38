// Builds media packet wire parts the way a sender puts them on the video and audio
// connections, for tests that feed or check the test receiver.
#pragma once

#include <cstdint>
#include <vector>

namespace corvane::test {

inline void putBe32(std::vector<uint8_t>& b, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}

// The wire part of a video media packet: length, five words of 1, timestamp, NAL unit.
inline std::vector<uint8_t> videoWire(uint32_t timestamp, const std::vector<uint8_t>& nal) {
  std::vector<uint8_t> b;
  putBe32(b, static_cast<uint32_t>(nal.size() + 24));
  for (int i = 0; i < 5; ++i) putBe32(b, 1);
  putBe32(b, timestamp);
  b.insert(b.end(), nal.begin(), nal.end());
  return b;
}

// The wire part of an audio media packet: length, timestamp, MP3 frame.
inline std::vector<uint8_t> audioWire(uint32_t timestamp, const std::vector<uint8_t>& frame) {
  std::vector<uint8_t> b;
  putBe32(b, static_cast<uint32_t>(frame.size() + 4));
  putBe32(b, timestamp);
  b.insert(b.end(), frame.begin(), frame.end());
  return b;
}

}  // namespace corvane::test
