// Feeds arbitrary bytes to the control-packet code of the receiver link, as the control
// connection would deliver them: in chunks of any size, from any partial-packet state.
//
// Input layout: byte 0 gives the number n (0..16) of chunk-length bytes that follow; those
// lengths (0..255 each, used in turn) cut the rest of the input into reads. Then one byte is the
// initial partial-packet length (signed, so that lengths outside 0..15 occur) and one byte the
// link's own address byte. Everything after that is the received stream.
//
// Checked: reassembly gives the same packets and partial state whatever the cut (fuzzed cuts,
// one read, one byte at a time), equal to unscrambling each 16-byte block of the stream;
// scrambling is its own inverse; every decision depends only on the bytes that carry it; the
// version text is exactly the valid UTF-8 before the first zero; the name, PIN and mouse
// attachments keep their layouts; the UTF-8 helpers agree with the table of well-formed byte
// sequences.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../fuzz_check.h"
#include "session/control_dispatch.h"
#include "session/control_packet.h"

namespace {

using namespace corvane;

// Byte-at-a-time reassembly costs one call per byte and a vector per packet; past this
// many bytes only the fuzzed cuts and the single read are compared.
constexpr std::size_t kMaxBytewiseStream = 4096;

// Length of the well-formed UTF-8 sequence at the start of `s` by the table of well-formed
// byte sequences (first byte, then the allowed range of the second), or 0.
std::size_t wellFormedLength(std::string_view s) {
  if (s.empty()) return 0;
  const auto b0 = static_cast<std::uint8_t>(s[0]);
  if (b0 <= 0x7F) return 1;
  std::size_t length = 0;
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) low = 0xA0;
    if (b0 == 0xED) high = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) low = 0x90;
    if (b0 == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  const auto b1 = static_cast<std::uint8_t>(s[1]);
  if (b1 < low || b1 > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    const auto b = static_cast<std::uint8_t>(s[i]);
    if (b < 0x80 || b > 0xBF) return 0;
  }
  return length;
}

bool referenceValid(std::string_view s) {
  while (!s.empty()) {
    const std::size_t n = wellFormedLength(s);
    if (n == 0) return false;
    s.remove_prefix(n);
  }
  return true;
}

// Characters of `s`, each malformed byte counting as one; `ends` gets each character's end.
std::size_t referenceCount(std::string_view s, std::vector<std::size_t>* ends = nullptr) {
  std::size_t count = 0;
  std::size_t offset = 0;
  while (offset < s.size()) {
    offset += std::max<std::size_t>(1, wellFormedLength(s.substr(offset)));
    if (ends != nullptr) ends->push_back(offset);
    ++count;
  }
  return count;
}

ControlPacketBytes unscrambled(const std::uint8_t* wire) {
  ControlPacketBytes plain;
  for (std::size_t i = 0; i < kControlPacketSize; ++i) {
    plain[i] = static_cast<std::uint8_t>(wire[i] ^ kControlKey[i % kControlKey.size()]);
  }
  return plain;
}

struct Reassembly {
  std::vector<ControlPacketBytes> packets;
  ControlPacketBytes buffer{};
  std::int32_t held = 0;
};

// Reassembles `stream` from the state (`buffer`, `held`), cut into reads by `cut`, which
// answers the length of the next read given the bytes left.
template <class Cut>
Reassembly reassemble(const ControlPacketBytes& buffer, std::int32_t held,
                      std::span<const std::uint8_t> stream, Cut&& cut) {
  Reassembly r{{}, buffer, held};
  std::size_t pos = 0;
  do {
    const std::size_t take =
        std::min(static_cast<std::size_t>(cut(stream.size() - pos)), stream.size() - pos);
    auto packets = reassembleControlData(r.buffer, r.held, stream.subspan(pos, take));
    FUZZ_CHECK(r.held >= 0 && r.held < static_cast<std::int32_t>(kControlPacketSize));
    r.packets.insert(r.packets.end(), packets.begin(), packets.end());
    pos += take;
  } while (pos < stream.size());
  return r;
}

void checkReassembly(std::span<const std::uint8_t> cuts, std::int8_t initialHeld,
                     std::span<const std::uint8_t> stream) {
  // The partial packet carried in: its bytes count only when its length is 0..15.
  ControlPacketBytes initial;
  for (std::size_t i = 0; i < initial.size(); ++i) {
    initial[i] = static_cast<std::uint8_t>(i * 37 + 11);
  }
  const std::size_t validHeld =
      initialHeld >= 0 && initialHeld < static_cast<std::int8_t>(kControlPacketSize)
          ? static_cast<std::size_t>(initialHeld)
          : 0;
  std::vector<std::uint8_t> whole(initial.begin(), initial.begin() + validHeld);
  whole.insert(whole.end(), stream.begin(), stream.end());

  std::vector<ControlPacketBytes> expected;
  for (std::size_t at = 0; whole.size() - at >= kControlPacketSize; at += kControlPacketSize) {
    expected.push_back(unscrambled(whole.data() + at));
  }
  const std::size_t tail = whole.size() % kControlPacketSize;

  auto check = [&](const Reassembly& r) {
    FUZZ_CHECK(r.packets == expected);
    FUZZ_CHECK(static_cast<std::size_t>(r.held) == tail);
    FUZZ_CHECK(std::equal(r.buffer.begin(), r.buffer.begin() + r.held,
                          whole.end() - static_cast<std::ptrdiff_t>(tail)));
  };

  // A zero cut is an empty read; the read after an empty one takes at least a byte.
  std::size_t next = 0;
  bool lastEmpty = false;
  const auto fuzzed = reassemble(initial, initialHeld, stream, [&](std::size_t) -> std::size_t {
    if (cuts.empty()) return std::numeric_limits<std::size_t>::max();
    std::size_t take = cuts[next++ % cuts.size()];
    if (lastEmpty) take = std::max<std::size_t>(take, 1);
    lastEmpty = take == 0;
    return take;
  });
  check(fuzzed);
  check(reassemble(initial, initialHeld, stream, [](std::size_t left) { return left; }));
  if (stream.size() <= kMaxBytewiseStream) {
    check(reassemble(initial, initialHeld, stream, [](std::size_t) { return 1; }));
  }

  // Lengths far outside 0..15 are a fresh start too, and an empty read changes nothing.
  for (std::int32_t bad : {std::numeric_limits<std::int32_t>::min(), std::int32_t{-1},
                           std::int32_t{16}, std::numeric_limits<std::int32_t>::max()}) {
    ControlPacketBytes buffer = initial;
    std::int32_t held = bad;
    FUZZ_CHECK(reassembleControlData(buffer, held, {}).empty());
    FUZZ_CHECK(held == 0);
  }
  ControlPacketBytes buffer = fuzzed.buffer;
  std::int32_t held = fuzzed.held;
  FUZZ_CHECK(reassembleControlData(buffer, held, std::span<const std::uint8_t>()).empty());
  FUZZ_CHECK(held == fuzzed.held && buffer == fuzzed.buffer);
}

bool isRequestAction(ControlAction a) {
  return a == ControlAction::None || a == ControlAction::AnswerOk || a == ControlAction::MirrorOn ||
         a == ControlAction::MirrorOff || a == ControlAction::KeyFrame ||
         a == ControlAction::UpdateFrameRate;
}

bool isResponseAction(ControlAction a) {
  return a == ControlAction::None || a == ControlAction::MirrorStartSuccess ||
         a == ControlAction::MirrorStartFailed || a == ControlAction::MirrorStopSuccess ||
         a == ControlAction::SendStatusRequest || a == ControlAction::SendMirrorStart ||
         a == ControlAction::ServerVersion || a == ControlAction::AuthenticateType;
}

// `packet` with the bytes not listed in `keep` replaced by `filler`.
ControlPacketBytes keepOnly(const ControlPacketBytes& packet, std::initializer_list<int> keep,
                            std::uint8_t filler) {
  ControlPacketBytes out;
  out.fill(filler);
  for (int i : keep) out[static_cast<std::size_t>(i)] = packet[static_cast<std::size_t>(i)];
  return out;
}

void checkRequest(const ControlPacketBytes& packet, std::uint8_t filler) {
  const auto request = packetFromBytes<_RequestPacket>(packet);
  FUZZ_CHECK(packetBytes(request) == packet);
  const ControlDecision decision = decideControlRequest(request);
  FUZZ_CHECK(isRequestAction(decision.action) && !decision.text);
  if (decision.action == ControlAction::UpdateFrameRate) {
    FUZZ_CHECK(decision.value == static_cast<std::int8_t>(packet[4]));
  } else {
    FUZZ_CHECK(decision.value == 0);
  }
  // Only the code and the first attachment byte carry the decision.
  FUZZ_CHECK(decideControlRequest(
                 packetFromBytes<_RequestPacket>(keepOnly(packet, {2, 3, 4}, filler))) == decision);

  // The answer echoes the request's type, address and code and carries the attachment.
  std::uint8_t attach[8];
  std::memcpy(attach, packet.data() + 8, sizeof attach);
  for (const std::uint8_t* a :
       {static_cast<const std::uint8_t*>(attach), static_cast<const std::uint8_t*>(nullptr)}) {
    const auto answer = packetBytes(makeResponsePacket(filler, packet[15], request, a));
    FUZZ_CHECK(answer[0] == filler && answer[1] == kControlTypeByte &&
               answer[2] == kControlKindResponse && answer[3] == packet[15] &&
               answer[4] == packet[1] && answer[5] == packet[0] && answer[6] == packet[3] &&
               answer[7] == 0);
    for (std::size_t i = 0; i < 8; ++i) {
      FUZZ_CHECK(answer[8 + i] == (a != nullptr ? packet[8 + i] : 0));
    }
  }
  // Building the same request gives back the same bytes, with the request kind.
  ControlPacketBytes rebuilt = packet;
  rebuilt[2] = kControlKindRequest;
  FUZZ_CHECK(packetBytes(makeRequestPacket(packet[0], packet[1], packet[3], packet.data() + 4)) ==
             rebuilt);
}

void checkResponse(const ControlPacketBytes& packet, std::int8_t locaIpByte, std::uint8_t filler) {
  const auto response = packetFromBytes<_ResponsePacket>(packet);
  FUZZ_CHECK(packetBytes(response) == packet);
  const ControlDecision decision = decideControlResponse(response, locaIpByte);
  FUZZ_CHECK(isResponseAction(decision.action));
  if (decision.action == ControlAction::MirrorStartFailed) {
    FUZZ_CHECK(decision.value == -1 || decision.value == -2);
  } else {
    FUZZ_CHECK(decision.value == 0);
  }
  FUZZ_CHECK(!decision.text || decision.action == ControlAction::ServerVersion);
  if (decision.action == ControlAction::ServerVersion) {
    FUZZ_CHECK(packet[3] == kControlResultOk && packet[6] == kRequestGetReceiverVersion);
  }

  // The version text: bytes 8..15 up to the first zero, when they are valid UTF-8.
  const auto* first = reinterpret_cast<const char*>(packet.data() + 8);
  const std::string_view raw(first,
                             static_cast<std::size_t>(std::find(first, first + 8, '\0') - first));
  const auto text = responseVersionText(response);
  FUZZ_CHECK(text.has_value() == referenceValid(raw));
  FUZZ_CHECK(!text || *text == raw);
  if (decision.action == ControlAction::ServerVersion) FUZZ_CHECK(decision.text == text);

  // Bytes 0, 1, 4, 5 and 7 never matter; the own address byte matters only for a status answer.
  FUZZ_CHECK(decideControlResponse(packetFromBytes<_ResponsePacket>(keepOnly(
                                       packet, {2, 3, 6, 8, 9, 10, 11, 12, 13, 14, 15}, filler)),
                                   locaIpByte) == decision);
  if (packet[6] != kRequestGetReceiverStatus) {
    FUZZ_CHECK(decideControlResponse(response, static_cast<std::int8_t>(locaIpByte ^ 0x5A)) ==
               decision);
  }
}

void checkCallback(const ControlPacketBytes& packet, std::uint8_t filler) {
  const auto callback = packetFromBytes<CallbackPacket>(packet);
  FUZZ_CHECK(packetBytes(callback) == packet);
  const ControlDecision decision = decideControlCallback(callback);
  FUZZ_CHECK(!decision.text);
  FUZZ_CHECK(decision.action == ControlAction::None ||
             decision.action == ControlAction::DeviceStatus ||
             decision.action == ControlAction::KeyStatus);
  FUZZ_CHECK(decision.value == (decision.action == ControlAction::DeviceStatus ? packet[5] : 0));
  FUZZ_CHECK(decideControlCallback(
                 packetFromBytes<CallbackPacket>(keepOnly(packet, {2, 3, 5}, filler))) == decision);
}

void checkPacket(const std::uint8_t* wire, std::int8_t locaIpByte) {
  ControlPacketBytes packet = unscrambled(wire);
  ControlPacketBytes scrambled = packet;
  encode(scrambled);
  FUZZ_CHECK(std::equal(scrambled.begin(), scrambled.end(), wire));
  encode(scrambled);
  FUZZ_CHECK(scrambled == packet);

  // Every layout is read over every packet, as a peer may send any kind byte; the link picks
  // the one its kind byte names.
  const auto filler = static_cast<std::uint8_t>(~packet[0]);
  checkRequest(packet, filler);
  checkResponse(packet, locaIpByte, filler);
  checkCallback(packet, filler);
}

void checkText(std::string_view text) {
  FUZZ_CHECK(isValidUtf8(text) == referenceValid(text));
  std::vector<std::size_t> ends;
  FUZZ_CHECK(utf8CharacterCount(text) == referenceCount(text, &ends));

  // Sender name pieces: whole characters, at most 11 and at most 12 bytes each, as many as
  // fit, zero-padded, together the whole name.
  const auto pieces = senderNamePieces(text);
  std::size_t offset = 0;
  std::size_t character = 0;
  for (const auto& piece : pieces) {
    FUZZ_CHECK(offset < text.size());
    std::size_t last = character;
    while (last < ends.size() && last - character < 11 && ends[last] - offset <= 12) ++last;
    FUZZ_CHECK(last > character);
    const std::size_t bytes = ends[last - 1] - offset;
    FUZZ_CHECK(std::memcmp(piece.data(), text.data() + offset, bytes) == 0);
    FUZZ_CHECK(std::all_of(piece.begin() + static_cast<std::ptrdiff_t>(bytes), piece.end(),
                           [](std::uint8_t b) { return b == 0; }));
    offset += bytes;
    character = last;
  }
  FUZZ_CHECK(offset == text.size());

  // The PIN: its character count, then its bytes, when they fit in 11.
  const std::string_view pin = text.substr(0, std::min<std::size_t>(text.size(), 14));
  const auto attach = pinCodeAttachment(pin);
  FUZZ_CHECK(attach.has_value() == (pin.size() <= 11));
  if (attach) {
    FUZZ_CHECK((*attach)[0] == referenceCount(pin));
    FUZZ_CHECK(pin.empty() || std::memcmp(attach->data() + 1, pin.data(), pin.size()) == 0);
    FUZZ_CHECK(std::all_of(attach->begin() + 1 + static_cast<std::ptrdiff_t>(pin.size()),
                           attach->end(), [](std::uint8_t b) { return b == 0; }));
  }
}

void checkMouse(std::span<const std::uint8_t> bytes) {
  std::uint8_t v[10] = {};
  std::memcpy(v, bytes.data(), std::min(bytes.size(), sizeof v));
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::memcpy(&x, v + 2, sizeof x);
  std::memcpy(&y, v + 6, sizeof y);
  const auto attach = mouseEventAttachment(v[0], v[1], x, y);
  const auto ux = static_cast<std::uint32_t>(x);
  const auto uy = static_cast<std::uint32_t>(y);
  FUZZ_CHECK(attach[0] == v[0] && attach[1] == v[1]);
  FUZZ_CHECK(((attach[2] << 8) | attach[3]) == static_cast<int>(ux & 0xFFFF));
  FUZZ_CHECK(((attach[4] << 8) | attach[5]) == static_cast<int>(uy & 0xFFFF));
  FUZZ_CHECK(std::all_of(attach.begin() + 6, attach.end(), [](std::uint8_t b) { return b == 0; }));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> input(data, size);
  if (input.empty()) return 0;
  const std::size_t cutCount = std::min<std::size_t>(input[0] % 17, input.size() - 1);
  const auto cuts = input.subspan(1, cutCount);
  input = input.subspan(1 + cutCount);
  std::int8_t initialHeld = 0;
  std::int8_t locaIpByte = 0;
  if (!input.empty()) {
    initialHeld = static_cast<std::int8_t>(input[0]);
    input = input.subspan(1);
  }
  if (!input.empty()) {
    locaIpByte = static_cast<std::int8_t>(input[0]);
    input = input.subspan(1);
  }

  checkReassembly(cuts, initialHeld, input);
  for (std::size_t at = 0; input.size() - at >= kControlPacketSize; at += kControlPacketSize) {
    checkPacket(input.data() + at, locaIpByte);
  }
  checkText(std::string_view(reinterpret_cast<const char*>(input.data()), input.size()));
  checkMouse(input);
  return 0;
}
