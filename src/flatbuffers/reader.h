// Reading side of the message runtime. A reader is a byte source with four requirements (see the
// FlatBuffersReader concept); FlatBuffersReaderExtension implements all navigation on top of them:
// the root offset, field look-up through the vtable, reference and scalar fields, strings and
// vector elements.
//
// Every offset is a signed 32-bit byte position from the first byte of the message. Values are
// little-endian at any position. Every raw read is bounds-checked; the navigation never fails:
// damaged or truncated messages read as absent fields, defaults, empty vectors and absent strings.
// Positions computed from message contents that leave the signed 32-bit range read as absent.
//
// Threading: a reader and its cache are used by one thread at a time (the caller's).
#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>

#include "flatbuffers/read_result.h"
#include "flatbuffers/reader_cache.h"
#include "flatbuffers/scalar.h"

namespace corvane {

// Read-only bytes inside a message; valid as long as its reader (see the reader's header).
using ByteView = std::span<const std::uint8_t>;

template <class Derived>
class FlatBuffersReaderExtension;

// A reader type provides, as const members:
//   cache()                -> std::shared_ptr<FlatBuffersReaderCache> (may be null)
//   scalar<T>(offset)      -> FlatBuffersReadResult<T> for every Scalar T; outOfBufferBounds
//                             unless the whole value lies inside the source
//   bytes(offset, length)  -> FlatBuffersReadResult<ByteView>; outOfBufferBounds likewise
//   isEqual(other)         -> true exactly when `other` is of the same type and reads the same
//                             source
// and derives from FlatBuffersReaderExtension<itself> for the navigation.
template <class R>
concept FlatBuffersReader = std::derived_from<R, FlatBuffersReaderExtension<R>> &&
    requires(const R& reader, std::int64_t offset) {
  { reader.cache() } -> std::convertible_to<std::shared_ptr<FlatBuffersReaderCache>>;
  {
    reader.template scalar<std::uint8_t>(offset)
    } -> std::same_as<FlatBuffersReadResult<std::uint8_t>>;
  {
    reader.template scalar<std::int32_t>(offset)
    } -> std::same_as<FlatBuffersReadResult<std::int32_t>>;
  { reader.template scalar<double>(offset) } -> std::same_as<FlatBuffersReadResult<double>>;
  { reader.bytes(offset, offset) } -> std::same_as<FlatBuffersReadResult<ByteView>>;
  { reader.isEqual(reader) } -> std::same_as<bool>;
};

// A generated enumeration stored as a number: fromScalar(value) takes any Scalar and returns the
// matching case, or nothing for an unknown number. Class types provide a static member template
// fromScalar; a scoped enum specializes FlatBuffersEnumTraits instead.
template <class E>
struct FlatBuffersEnumTraits {
  template <Scalar T>
  requires requires(T value) {
    { E::fromScalar(value) } -> std::same_as<std::optional<E>>;
  }
  static std::optional<E> fromScalar(T value) { return E::fromScalar(value); }
};

template <class E>
concept FlatBuffersEnum = requires(std::int8_t small, double wide) {
  { FlatBuffersEnumTraits<E>::fromScalar(small) } -> std::same_as<std::optional<E>>;
  { FlatBuffersEnumTraits<E>::fromScalar(wide) } -> std::same_as<std::optional<E>>;
};

// A generated zero-copy table view over readers of type R: T::create(reader, myOffset) yields the
// view of the table at myOffset, or nothing (for an absent offset).
template <class T, class R>
concept FlatBuffersDirectAccess = requires(std::shared_ptr<R> reader,
                                           std::optional<std::int32_t> myOffset) {
  { T::create(reader, myOffset) } -> std::same_as<std::optional<T>>;
};

template <class Derived>
class FlatBuffersReaderExtension {
 public:
  // The signed 32-bit value at offset 0; absent for a message shorter than 4 bytes. A file
  // identifier is neither skipped nor checked.
  std::optional<std::int32_t> rootObjectOffset() const { return read<std::int32_t>(0); }

  // The byte offset of field `propertyIndex` inside the table at `objectOffset`; 0 when the field
  // is absent, lies beyond the vtable (a writer with fewer fields), is not inside the table, or
  // cannot be read.
  std::int16_t fieldOffset(std::int32_t objectOffset, std::int64_t propertyIndex) const {
    if (propertyIndex < 0 || propertyIndex > kMaxPropertyIndex) {
      return 0;
    }
    const auto back = read<std::int32_t>(objectOffset);
    if (!back) {
      return 0;
    }
    const auto vtable = toOffset(static_cast<std::int64_t>(objectOffset) - *back);
    if (!vtable) {
      return 0;
    }
    const auto length = read<std::int16_t>(*vtable);
    const auto tableSize = read<std::int16_t>(static_cast<std::int64_t>(*vtable) + 2);
    const std::int64_t slot = 4 + 2 * propertyIndex;
    if (!length || !tableSize || *length <= slot) {
      return 0;
    }
    const auto field = read<std::int16_t>(*vtable + slot);
    // A negative entry cannot name a position inside the table.
    if (!field || *field <= 0 || *field >= *tableSize) {
      return 0;
    }
    return *field;
  }

  // The table, string or vector that a reference field points at; absent for an absent field, a
  // stored 0 or a failed read. Negative (backward) references are followed.
  std::optional<std::int32_t> offset(std::int32_t objectOffset, std::int64_t propertyIndex) const {
    const std::int16_t field = fieldOffset(objectOffset, propertyIndex);
    if (field == 0) {
      return std::nullopt;
    }
    return follow(static_cast<std::int64_t>(objectOffset) + field);
  }

  // A scalar field, or `defaultValue` when it is absent or cannot be read.
  template <Scalar T>
  T get(std::int32_t objectOffset, std::int64_t propertyIndex, T defaultValue) const {
    return get<T>(objectOffset, propertyIndex).value_or(defaultValue);
  }

  // A scalar field, or absent when it is absent or cannot be read.
  template <Scalar T>
  std::optional<T> get(std::int32_t objectOffset, std::int64_t propertyIndex) const {
    const std::int16_t field = fieldOffset(objectOffset, propertyIndex);
    if (field == 0) {
      return std::nullopt;
    }
    return read<T>(static_cast<std::int64_t>(objectOffset) + field);
  }

  // The UTF-8 bytes of the string at `stringOffset` (no terminating 0 is expected or included);
  // absent for an absent offset, a negative length or bytes outside the message.
  std::optional<ByteView> stringBuffer(std::optional<std::int32_t> stringOffset) const {
    if (!stringOffset) {
      return std::nullopt;
    }
    const auto length = read<std::int32_t>(*stringOffset);
    if (!length || *length < 0) {
      return std::nullopt;
    }
    return self().bytes(static_cast<std::int64_t>(*stringOffset) + 4, *length).toOptional();
  }

  // The stored element count; 0 for an absent vector, an unreadable or a negative count.
  std::int64_t vectorElementCount(std::optional<std::int32_t> vectorOffset) const {
    if (!vectorOffset) {
      return 0;
    }
    const auto count = read<std::int32_t>(*vectorOffset);
    return count && *count > 0 ? *count : 0;
  }

  // The target of reference element `index`; absent for an index outside the vector, a stored 0
  // or a failed read.
  std::optional<std::int32_t> vectorElementOffset(std::optional<std::int32_t> vectorOffset,
                                                  std::int64_t index) const {
    if (!vectorOffset || index < 0 || index >= vectorElementCount(vectorOffset)) {
      return std::nullopt;
    }
    return follow(static_cast<std::int64_t>(*vectorOffset) + 4 + 4 * index);
  }

  // Scalar element `index`; absent for an index outside the vector or a failed read.
  template <Scalar T>
  std::optional<T> vectorElementScalar(std::optional<std::int32_t> vectorOffset,
                                       std::int64_t index) const {
    if (!vectorOffset || index < 0 || index >= vectorElementCount(vectorOffset)) {
      return std::nullopt;
    }
    return read<T>(static_cast<std::int64_t>(*vectorOffset) + 4 +
                   index * static_cast<std::int64_t>(scalarSize<T>));
  }

 protected:
  FlatBuffersReaderExtension() = default;

 private:
  // The largest index whose vtable slot position 4 + 2 * index fits a signed 16-bit value.
  static constexpr std::int64_t kMaxPropertyIndex =
      (std::numeric_limits<std::int16_t>::max() - 4) / 2;

  const Derived& self() const { return static_cast<const Derived&>(*this); }

  template <Scalar T>
  std::optional<T> read(std::int64_t at) const {
    return self().template scalar<T>(at).toOptional();
  }

  static std::optional<std::int32_t> toOffset(std::int64_t position) {
    if (position < std::numeric_limits<std::int32_t>::min() ||
        position > std::numeric_limits<std::int32_t>::max()) {
      return std::nullopt;
    }
    return static_cast<std::int32_t>(position);
  }

  // The target of the 32-bit reference stored at `slot`.
  std::optional<std::int32_t> follow(std::int64_t slot) const {
    const auto relative = read<std::int32_t>(slot);
    if (!relative || *relative == 0) {
      return std::nullopt;
    }
    return toOffset(slot + *relative);
  }
};

}  // namespace corvane
