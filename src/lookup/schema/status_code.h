// StatusCode: the look-up server's answer to a query, stored as a signed 8-bit number.
// Pure values and functions; usable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <type_traits>

#include "flatbuffers/reader.h"
#include "flatbuffers/scalar.h"

namespace corvane {

enum class StatusCode : std::int8_t {
  NONE = 0,
  OK = 1,
  FAILED = 2,
  FAILED_NOT_EXIT = 3,
};

// The case of a raw value: exactly 0 to 3, nothing for any other value (negative ones included).
constexpr std::optional<StatusCode> statusCodeFromRawValue(std::int8_t rawValue) {
  if (rawValue < 0 || rawValue > 3) {
    return std::nullopt;
  }
  return static_cast<StatusCode>(rawValue);
}

constexpr std::int8_t rawValue(StatusCode code) { return static_cast<std::int8_t>(code); }

// The case of a scalar read from a message: only a signed 8-bit value in 0 to 3 names one.
template <>
struct FlatBuffersEnumTraits<StatusCode> {
  template <Scalar T>
  static std::optional<StatusCode> fromScalar(T value) {
    if constexpr (std::is_same_v<T, std::int8_t>) {
      return statusCodeFromRawValue(value);
    } else {
      return std::nullopt;
    }
  }
};

static_assert(FlatBuffersEnum<StatusCode>);

}  // namespace corvane
