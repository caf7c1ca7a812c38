#include "session/control_packet.h"

#include <algorithm>

namespace corvane {
namespace {

// Length of the well-formed UTF-8 sequence at the start of `s`, or 0 when it is malformed.
size_t utf8SequenceLength(std::string_view s) {
  if (s.empty()) return 0;
  const auto b0 = static_cast<uint8_t>(s[0]);
  if (b0 < 0x80) return 1;
  size_t len;
  uint32_t min;
  uint32_t cp;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2;
    min = 0x80;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3;
    min = 0x800;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4;
    min = 0x10000;
    cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (s.size() < len) return 0;
  for (size_t i = 1; i < len; ++i) {
    const auto b = static_cast<uint8_t>(s[i]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

// Byte length of the next character: a well-formed sequence, or one stray byte.
size_t nextCharacterLength(std::string_view s) {
  const size_t n = utf8SequenceLength(s);
  return n == 0 ? 1 : n;
}

}  // namespace

void encode(uint8_t* packet) {
  for (size_t i = 0; i < kControlPacketSize; ++i) packet[i] ^= kControlKey[i % kControlKey.size()];
}

_RequestPacket makeRequestPacket(uint8_t addressByte, uint8_t typeByte, uint8_t code,
                                 const uint8_t* attach) {
  _RequestPacket p{};
  p.addressByte = addressByte;
  p.typeByte = typeByte;
  p.kind = kControlKindRequest;
  p.code = static_cast<int8_t>(code);
  if (attach != nullptr) std::memcpy(p.attach, attach, sizeof(p.attach));
  return p;
}

_ResponsePacket makeResponsePacket(uint8_t addressByte, uint8_t result,
                                   const _RequestPacket& request, const uint8_t* attach) {
  _ResponsePacket p{};
  p.addressByte = addressByte;
  p.typeByte = kControlTypeByte;
  p.kind = kControlKindResponse;
  p.result = result;
  p.requestType = request.typeByte;
  p.requestAddress = request.addressByte;
  p.requestCode = request.code;
  p.reserved = 0;
  if (attach != nullptr) std::memcpy(p.attach, attach, sizeof(p.attach));
  return p;
}

bool isValidUtf8(std::string_view bytes) {
  while (!bytes.empty()) {
    const size_t n = utf8SequenceLength(bytes);
    if (n == 0) return false;
    bytes.remove_prefix(n);
  }
  return true;
}

size_t utf8CharacterCount(std::string_view text) {
  size_t count = 0;
  while (!text.empty()) {
    text.remove_prefix(nextCharacterLength(text));
    ++count;
  }
  return count;
}

std::vector<std::array<uint8_t, 12>> senderNamePieces(std::string_view name) {
  std::vector<std::array<uint8_t, 12>> pieces;
  std::string_view rest = name;
  while (!rest.empty()) {
    // Byte offsets of the first 11 characters; drop characters until they fit in 12 bytes.
    size_t ends[11];
    size_t n = 0;
    size_t offset = 0;
    while (n < 11 && offset < rest.size()) {
      offset += nextCharacterLength(rest.substr(offset));
      ends[n++] = offset;
    }
    while (n > 0 && ends[n - 1] > 12) --n;
    // A single character is at most 4 bytes, so n >= 1 here.
    const size_t bytes = ends[n - 1];
    std::array<uint8_t, 12> piece{};
    std::memcpy(piece.data(), rest.data(), bytes);
    pieces.push_back(piece);
    rest.remove_prefix(bytes);
  }
  return pieces;
}

std::optional<std::array<uint8_t, 12>> pinCodeAttachment(std::string_view pin) {
  if (pin.size() > 11) return std::nullopt;
  std::array<uint8_t, 12> attach{};
  attach[0] = static_cast<uint8_t>(utf8CharacterCount(pin));
  std::memcpy(attach.data() + 1, pin.data(), pin.size());
  return attach;
}

std::array<uint8_t, 12> mouseEventAttachment(uint8_t type, uint8_t action, int32_t x, int32_t y) {
  const auto ux = static_cast<uint32_t>(x);
  const auto uy = static_cast<uint32_t>(y);
  std::array<uint8_t, 12> attach{};
  attach[0] = type;
  attach[1] = action;
  attach[2] = static_cast<uint8_t>(ux >> 8);
  attach[3] = static_cast<uint8_t>(ux);
  attach[4] = static_cast<uint8_t>(uy >> 8);
  attach[5] = static_cast<uint8_t>(uy);
  return attach;
}

std::optional<std::string> responseVersionText(const _ResponsePacket& response) {
  const auto* begin = reinterpret_cast<const char*>(response.attach);
  const auto* end = std::find(begin, begin + sizeof(response.attach), '\0');
  std::string text(begin, end);
  if (!isValidUtf8(text)) return std::nullopt;
  return text;
}

std::vector<ControlPacketBytes> reassembleControlData(ControlPacketBytes& controlBuf,
                                                      int32_t& controlBufLen,
                                                      std::span<const uint8_t> chunk) {
  std::vector<ControlPacketBytes> packets;
  size_t held = controlBufLen >= 0 && controlBufLen < static_cast<int32_t>(kControlPacketSize)
                    ? static_cast<size_t>(controlBufLen)
                    : 0;
  size_t pos = 0;
  while (pos < chunk.size()) {
    const size_t take = std::min(kControlPacketSize - held, chunk.size() - pos);
    std::memcpy(controlBuf.data() + held, chunk.data() + pos, take);
    held += take;
    pos += take;
    if (held == kControlPacketSize) {
      ControlPacketBytes packet = controlBuf;
      encode(packet);
      packets.push_back(packet);
      held = 0;
    }
  }
  controlBufLen = static_cast<int32_t>(held);
  return packets;
}

}  // namespace corvane
