// Byte helpers for the message runtime tests: messages are compared as hex text ("0c 00 ff").
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "flatbuffers/builder.h"

namespace corvane::test {

using Bytes = std::vector<std::uint8_t>;

inline std::string hex(const Bytes& bytes) {
  std::string text;
  for (std::uint8_t byte : bytes) {
    char digits[4];
    std::snprintf(digits, sizeof digits, "%02x", byte);
    if (!text.empty()) {
      text += ' ';
    }
    text += digits;
  }
  return text;
}

// Hex text to bytes; everything but hex digits (blanks, '|') is skipped.
inline Bytes fromHex(std::string_view text) {
  Bytes bytes;
  int high = -1;
  for (char c : text) {
    int value = -1;
    if (c >= '0' && c <= '9') value = c - '0';
    if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
    if (value < 0) continue;
    if (high < 0) {
      high = value;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(high * 16 + value));
      high = -1;
    }
  }
  return bytes;
}

// Builder options by name; everything off and a one-byte start unless set.
struct Options {
  std::int64_t initialCapacity = 1;
  bool uniqueStrings = false;
  bool uniqueTables = false;
  bool uniqueVTables = false;
  bool forceDefaults = false;
  bool nullTerminatedUTF8 = false;

  operator FlatBuffersBuilderOptions() const {  // NOLINT: implicit on purpose
    return FlatBuffersBuilderOptions(initialCapacity, uniqueStrings, uniqueTables, uniqueVTables,
                                     forceDefaults, nullTerminatedUTF8);
  }
};

}  // namespace corvane::test
