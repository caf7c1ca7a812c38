#include "flatbuffers/utf8.h"

namespace corvane {

namespace {

bool isContinuation(std::uint8_t byte) { return (byte & 0xc0) == 0x80; }

bool isValidUTF8(ByteView bytes) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const std::uint8_t lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint32_t value = 0;
    std::uint32_t smallest = 0;
    if ((lead & 0xe0) == 0xc0) {
      length = 2;
      value = lead & 0x1f;
      smallest = 0x80;
    } else if ((lead & 0xf0) == 0xe0) {
      length = 3;
      value = lead & 0x0f;
      smallest = 0x800;
    } else if ((lead & 0xf8) == 0xf0) {
      length = 4;
      value = lead & 0x07;
      smallest = 0x10000;
    } else {
      return false;
    }
    if (length > n - i) {
      return false;
    }
    for (std::size_t k = 1; k < length; ++k) {
      if (!isContinuation(bytes[i + k])) {
        return false;
      }
      value = (value << 6) | (bytes[i + k] & 0x3f);
    }
    if (value < smallest || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) {
      return false;
    }
    i += length;
  }
  return true;
}

}  // namespace

std::optional<std::string> stringFromUTF8(std::optional<ByteView> bytes) {
  if (!bytes || !isValidUTF8(*bytes)) {
    return std::nullopt;
  }
  return std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size());
}

}  // namespace corvane
