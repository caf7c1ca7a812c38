// FlatBuffersMemoryReader reads a message held in memory, in place.
//
// Threading: immutable after creation; one thread at a time uses it with its cache.
// Ownership: made over the caller's bytes (create(buffer, count, ...) or withoutCopy), it must not
// outlive them and they must not change. Made by copying, it owns the copy (originalBuffer()) and
// releases it with itself; byte views are valid only while the reader lives.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>

#include "flatbuffers/reader.h"

namespace corvane {

class FlatBuffersMemoryReader final : public FlatBuffersReaderExtension<FlatBuffersMemoryReader> {
 public:
  // Reads `count` bytes at `buffer` in place (a null buffer or a negative count reads as empty).
  static std::shared_ptr<FlatBuffersMemoryReader> create(
      const std::uint8_t* buffer, std::int64_t count,
      std::shared_ptr<FlatBuffersReaderCache> cache = nullptr);
  // Reads `data` in place with withoutCopy, otherwise a private copy of it.
  static std::shared_ptr<FlatBuffersMemoryReader> create(
      std::span<const std::uint8_t> data, bool withoutCopy,
      std::shared_ptr<FlatBuffersReaderCache> cache = nullptr);

  FlatBuffersMemoryReader(const FlatBuffersMemoryReader&) = delete;
  FlatBuffersMemoryReader& operator=(const FlatBuffersMemoryReader&) = delete;

  std::int64_t count() const { return count_; }
  const std::shared_ptr<FlatBuffersReaderCache>& cache() const { return cache_; }
  const std::uint8_t* buffer() const { return buffer_; }
  // The reader's own copy; absent when the bytes belong to the caller.
  std::optional<ByteView> originalBuffer() const;

  template <Scalar T>
  FlatBuffersReadResult<T> scalar(std::int64_t offset) const {
    constexpr auto size = static_cast<std::int64_t>(scalarSize<T>);
    if (offset < 0 || size > count_ || offset > count_ - size) {
      return FlatBuffersReaderError::outOfBufferBounds;
    }
    return loadScalar<T>(buffer_ + offset);
  }

  FlatBuffersReadResult<ByteView> bytes(std::int64_t offset, std::int64_t length) const;

  // True for another memory reader over the same buffer pointer.
  template <class Other>
  bool isEqual(const Other& other) const {
    if constexpr (std::is_same_v<Other, FlatBuffersMemoryReader>) {
      return buffer_ == other.buffer_;
    } else {
      return false;
    }
  }

 private:
  FlatBuffersMemoryReader(const std::uint8_t* buffer, std::int64_t count,
                          std::shared_ptr<FlatBuffersReaderCache> cache,
                          std::unique_ptr<std::uint8_t[]> copy);

  std::int64_t count_;
  std::shared_ptr<FlatBuffersReaderCache> cache_;
  const std::uint8_t* buffer_;
  std::unique_ptr<std::uint8_t[]> originalBuffer_;
};

static_assert(FlatBuffersReader<FlatBuffersMemoryReader>);

}  // namespace corvane
