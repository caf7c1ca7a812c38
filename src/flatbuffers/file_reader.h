// FlatBuffersFileReader reads a message from an open file on demand, starting at file position
// 0. Every byte range read is kept in a cache keyed by (offset, length), so the file is read once
// per distinct range; byte views point into the cache and stay valid until clearDataCache() or
// the end of the reader.
//
// Threading: one thread at a time. Every cache miss moves the handle's file position.
// Ownership: the reader shares the handle and the cache; it releases both with itself.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "flatbuffers/reader.h"

namespace corvane {

// Key of one cached byte range of a file reader. Equal when both fields are equal; the hash uses
// the offset alone.
struct DataCacheKey {
  std::int64_t offset = 0;
  std::int64_t lenght = 0;

  bool operator==(const DataCacheKey&) const = default;
};

struct DataCacheKeyHash {
  std::size_t operator()(const DataCacheKey& key) const {
    return std::hash<std::int64_t>{}(key.offset);
  }
};

class FlatBuffersFileReader final : public FlatBuffersReaderExtension<FlatBuffersFileReader> {
 public:
  // The file's size is taken by seeking the handle to its end (0 when it cannot seek). A null
  // handle reads as an empty file.
  static std::shared_ptr<FlatBuffersFileReader> create(
      std::shared_ptr<std::FILE> fileHandle,
      std::shared_ptr<FlatBuffersReaderCache> cache = nullptr);

  FlatBuffersFileReader(const FlatBuffersFileReader&) = delete;
  FlatBuffersFileReader& operator=(const FlatBuffersFileReader&) = delete;

  std::uint64_t fileSize() const { return fileSize_; }
  const std::shared_ptr<std::FILE>& fileHandle() const { return fileHandle_; }
  const std::shared_ptr<FlatBuffersReaderCache>& cache() const { return cache_; }

  template <Scalar T>
  FlatBuffersReadResult<T> scalar(std::int64_t offset) const {
    const std::vector<std::uint8_t>* range =
        fetch(offset, static_cast<std::int64_t>(scalarSize<T>));
    if (range == nullptr) {
      return FlatBuffersReaderError::outOfBufferBounds;
    }
    return loadScalar<T>(range->data());
  }

  FlatBuffersReadResult<ByteView> bytes(std::int64_t offset, std::int64_t length) const;

  // True for another file reader over the same handle object.
  template <class Other>
  bool isEqual(const Other& other) const {
    if constexpr (std::is_same_v<Other, FlatBuffersFileReader>) {
      return fileHandle_ == other.fileHandle_;
    } else {
      return false;
    }
  }

  // Forgets every cached range; earlier byte views become invalid.
  void clearDataCache() { dataCache_.clear(); }

 private:
  FlatBuffersFileReader(std::shared_ptr<std::FILE> fileHandle, std::uint64_t fileSize,
                        std::shared_ptr<FlatBuffersReaderCache> cache);

  // The cached bytes of the range, reading them on a miss; null when the range is not inside the
  // file or the file no longer yields all its bytes.
  const std::vector<std::uint8_t>* fetch(std::int64_t offset, std::int64_t length) const;

  std::uint64_t fileSize_;
  std::shared_ptr<std::FILE> fileHandle_;
  std::shared_ptr<FlatBuffersReaderCache> cache_;
  mutable std::unordered_map<DataCacheKey, std::vector<std::uint8_t>, DataCacheKeyHash> dataCache_;
};

static_assert(FlatBuffersReader<FlatBuffersFileReader>);

}  // namespace corvane
