// The fixed-size values that messages store: booleans, integers of 8 to 64 bits and IEEE-754
// floating point, kept little-endian whatever the host's byte order.
// Pure functions and constants; usable from any thread.
#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <type_traits>

namespace corvane {

// The thirteen scalar types. 64-bit integers have two C++ spellings on this platform (long and
// long long); both are accepted, so that the fixed-width and the machine-word integers are all
// scalars.
using ScalarTypes = std::tuple<bool, std::int8_t, std::uint8_t, std::int16_t, std::uint16_t,
                               std::int32_t, std::uint32_t, std::int64_t, std::uint64_t, long long,
                               unsigned long long, float, double>;

namespace detail {
template <class T, class Tuple>
struct IsScalarType;
template <class T, class... Ts>
struct IsScalarType<T, std::tuple<Ts...>> : std::bool_constant<(std::is_same_v<T, Ts> || ...)> {};

template <class Tuple>
struct AllDistinct;
template <>
struct AllDistinct<std::tuple<>> : std::true_type {};
template <class T, class... Ts>
struct AllDistinct<std::tuple<T, Ts...>>
    : std::bool_constant<!(std::is_same_v<T, Ts> || ...) && AllDistinct<std::tuple<Ts...>>::value> {
};
}  // namespace detail

static_assert(std::tuple_size_v<ScalarTypes> == 13 && detail::AllDistinct<ScalarTypes>::value,
              "the scalar types must be thirteen distinct types");
static_assert(sizeof(long long) == 8 && sizeof(double) == 8 && sizeof(float) == 4,
              "the scalar sizes are fixed by the message format");

// A value the runtime reads and writes: one of the thirteen types, compared with ==.
template <class T>
concept Scalar = detail::IsScalarType<T, ScalarTypes>::value && std::equality_comparable<T>;

// Stored size in bytes (bool occupies one byte).
template <Scalar T>
inline constexpr std::size_t scalarSize = sizeof(T);

// The value's bits as an unsigned number of scalarSize<T> bytes.
template <Scalar T>
constexpr std::uint64_t scalarToBits(T value) {
  if constexpr (std::is_same_v<T, bool>) {
    return value ? 1u : 0u;
  } else if constexpr (std::is_same_v<T, float>) {
    return std::bit_cast<std::uint32_t>(value);
  } else if constexpr (std::is_same_v<T, double>) {
    return std::bit_cast<std::uint64_t>(value);
  } else {
    return static_cast<std::uint64_t>(static_cast<std::make_unsigned_t<T>>(value));
  }
}

// The value of the given bits. Any stored byte other than 0 reads as true, so that damaged
// messages never produce an invalid bool.
template <Scalar T>
constexpr T scalarFromBits(std::uint64_t bits) {
  if constexpr (std::is_same_v<T, bool>) {
    return (bits & 0xffu) != 0;
  } else if constexpr (std::is_same_v<T, float>) {
    return std::bit_cast<float>(static_cast<std::uint32_t>(bits));
  } else if constexpr (std::is_same_v<T, double>) {
    return std::bit_cast<double>(bits);
  } else {
    return static_cast<T>(static_cast<std::make_unsigned_t<T>>(bits));
  }
}

// Little-endian byte order, independent of the host.
inline void storeLittleEndian(std::uint8_t* destination, std::uint64_t bits, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    destination[i] = static_cast<std::uint8_t>(bits >> (8 * i));
  }
}

inline std::uint64_t loadLittleEndian(const std::uint8_t* source, std::size_t size) {
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < size; ++i) {
    bits |= static_cast<std::uint64_t>(source[i]) << (8 * i);
  }
  return bits;
}

template <Scalar T>
void storeScalar(std::uint8_t* destination, T value) {
  storeLittleEndian(destination, scalarToBits(value), scalarSize<T>);
}

template <Scalar T>
T loadScalar(const std::uint8_t* source) {
  return scalarFromBits<T>(loadLittleEndian(source, scalarSize<T>));
}

}  // namespace corvane
