// The 16-byte control packets of the receiver link: layouts, scrambling, building,
// the attachments of the sender's requests, and reassembly of the incoming byte stream.
//
// Everything here is a pure function over caller-owned bytes; safe from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace corvane {

inline constexpr size_t kControlPacketSize = 16;
using ControlPacketBytes = std::array<uint8_t, kControlPacketSize>;

// Kinds (byte 2).
inline constexpr int8_t kControlKindRequest = 1;
inline constexpr int8_t kControlKindResponse = 2;
inline constexpr int8_t kControlKindCallback = 3;

// The type byte of every packet this program sends.
inline constexpr uint8_t kControlTypeByte = 4;

// Results (byte 3 of a response).
inline constexpr uint8_t kControlResultOk = 1;
inline constexpr uint8_t kControlResultFailed = 0;

// Request codes.
inline constexpr int8_t kRequestHeartBeat = 0;
inline constexpr int8_t kRequestMirrorStart = 1;
inline constexpr int8_t kRequestMirrorStop = 2;
inline constexpr int8_t kRequestGetReceiverStatus = 9;
inline constexpr int8_t kRequestGetReceiverVersion = 14;
inline constexpr int8_t kRequestSenderNameFirst = 15;
inline constexpr int8_t kRequestSenderNameNext = 16;
inline constexpr int8_t kRequestSyncClientType = 20;
inline constexpr int8_t kRequestKeyFrame = 24;
inline constexpr int8_t kRequestGetAuthentication = 25;
inline constexpr int8_t kRequestAuthenticate = 26;
inline constexpr int8_t kRequestMouseAlone = 33;
inline constexpr int8_t kRequestMouseEvent = 34;
inline constexpr int8_t kRequestAuthenPinCode = 35;
inline constexpr int8_t kRequestUpdateFrameRate = 38;

// Callback commands (byte 3 of a callback, unsigned).
inline constexpr uint8_t kCommandSetDeviceStatus = 128;
inline constexpr uint8_t kCommandSetKeyStatus = 129;

// Write tags on the link's connections.
inline constexpr long kTagControlRequest = 1;
inline constexpr long kTagControlResponse = 2;
inline constexpr long kTagVideoData = 3;
inline constexpr long kTagAudioData = 4;

// The scrambling key shared with the receiver.
inline constexpr std::array<uint8_t, 13> kControlKey = {'Q', 'o', 'r', 'v', 'i', 'm', 'a',
                                                        'l', '_', 'k', 'e', 's', 't'};

// Kind 1: a request, from either side.
struct _RequestPacket {
  uint8_t addressByte;  // last octet of the sender's IPv4 address
  uint8_t typeByte;     // 4 when this program sends
  int8_t kind;          // 1
  int8_t code;          // request code
  uint8_t attach[12];   // packet offsets 4..15
};

// Kind 2: the answer to a request.
struct _ResponsePacket {
  uint8_t addressByte;
  uint8_t typeByte;
  int8_t kind;             // 2
  uint8_t result;          // 1 OK, 0 failed
  uint8_t requestType;     // byte 1 of the answered request
  uint8_t requestAddress;  // byte 0 of the answered request
  int8_t requestCode;      // code of the answered request
  uint8_t reserved;        // 0
  uint8_t attach[8];       // packet offsets 8..15
};

// Kind 3: a command from the receiver.
struct CallbackPacket {
  uint8_t addressByte;
  uint8_t typeByte;
  int8_t kind;         // 3
  uint8_t command;     // 128, 129
  uint8_t attach[12];  // packet offsets 4..15; offset 5 is the device status of command 128
};

static_assert(sizeof(_RequestPacket) == kControlPacketSize);
static_assert(sizeof(_ResponsePacket) == kControlPacketSize);
static_assert(sizeof(CallbackPacket) == kControlPacketSize);
static_assert(std::is_trivially_copyable_v<_RequestPacket>);

template <typename Packet>
ControlPacketBytes packetBytes(const Packet& packet) {
  static_assert(sizeof(Packet) == kControlPacketSize && std::is_trivially_copyable_v<Packet>);
  ControlPacketBytes bytes;
  std::memcpy(bytes.data(), &packet, kControlPacketSize);
  return bytes;
}

template <typename Packet>
Packet packetFromBytes(const ControlPacketBytes& bytes) {
  static_assert(sizeof(Packet) == kControlPacketSize && std::is_trivially_copyable_v<Packet>);
  Packet packet;
  std::memcpy(&packet, bytes.data(), kControlPacketSize);
  return packet;
}

// Scrambles or unscrambles 16 bytes in place (XOR with the key; its own inverse).
void encode(uint8_t* packet);
inline void encode(ControlPacketBytes& packet) { encode(packet.data()); }

// A request as the sender builds it (not yet scrambled). `attach` points to 12 bytes or is
// null (all zero).
_RequestPacket makeRequestPacket(uint8_t addressByte, uint8_t typeByte, uint8_t code,
                                 const uint8_t* attach);

// The answer to `request` (not yet scrambled). `attach` points to 8 bytes or is null.
_ResponsePacket makeResponsePacket(uint8_t addressByte, uint8_t result,
                                   const _RequestPacket& request, const uint8_t* attach);

// The 12-byte attachments of the sender's requests, one per sent packet of `setSenderName:`:
// at most 11 characters and at most 12 UTF-8 bytes each, zero-padded. An empty name gives
// none. Bytes that are not valid UTF-8 count as one character each and pass unchanged.
std::vector<std::array<uint8_t, 12>> senderNamePieces(std::string_view name);

// Request 35: [0] = the PIN's length in characters, [1..11] its UTF-8 bytes, zero-padded.
// Empty when the PIN's UTF-8 form is longer than 11 bytes (it does not fit).
std::optional<std::array<uint8_t, 12>> pinCodeAttachment(std::string_view pin);

// Request 34: [0] type, [1] action, [2..3] x and [4..5] y as big-endian 16-bit (low 16 bits).
std::array<uint8_t, 12> mouseEventAttachment(uint8_t type, uint8_t action, int32_t x, int32_t y);

// The version text of a version answer: packet bytes 8..15 up to the first zero byte;
// empty when those bytes are not valid UTF-8.
std::optional<std::string> responseVersionText(const _ResponsePacket& response);

// True when `bytes` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// Number of Unicode scalar values in `text` (each invalid byte counts as one).
size_t utf8CharacterCount(std::string_view text);

// Reassembly of the control connection's byte stream. `controlBuf` / `controlBufLen` hold the
// partial packet between calls (a length outside 0..15 is treated as 0). Appends the chunk and
// returns every completed packet, unscrambled, in arrival order; afterwards `controlBufLen` is
// the count of bytes of the new partial packet.
std::vector<ControlPacketBytes> reassembleControlData(ControlPacketBytes& controlBuf,
                                                      int32_t& controlBufLen,
                                                      std::span<const uint8_t> chunk);

}  // namespace corvane
