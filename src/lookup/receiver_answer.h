// The receiver's answer to the UDP query, as a pure parser. Layout (L1, L2, L3 one unsigned byte
// each):
//   0        1   code, 2
//   1        1   L1, length of the address field (at least 4)
//   2        L1  address field; its first four bytes are the IPv4 octets in order
//   2+L1     4   name length field; only its first byte is read (L2)
//   6+L1     L2  name, UTF-8
//   6+L1+L2  4   version length field; only its first byte is read (L3)
//   10+L1+L2 L3  version, UTF-8
// Bytes after the version are ignored. Too short: L1 < 4, n < 7+L1+L2, or L3 > 0 and
// n < 10+L1+L2+L3.
//
// Pure; usable from any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace corvane {

inline constexpr std::uint16_t kReceiverQueryPort = 11105;
inline constexpr std::uint8_t kReceiverQueryByte = 0x01;
inline constexpr std::uint8_t kReceiverAnswerCode = 0x02;

struct ReceiverAnswer {
  enum class Status { Done, Empty, UnknownCode, TooShort, InvalidText };
  Status status = Status::Empty;
  std::uint8_t code = 0;  // byte 0, when there is one
  std::string localIp;    // with Done: the address octets, dotted decimal
  std::string name;       // with Done
  std::string version;    // with Done
};

ReceiverAnswer parseReceiverAnswer(std::span<const std::uint8_t> datagram);

}  // namespace corvane
