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
#include <memory_resource>
#include <new>
#include <type_traits>
#include <unordered_map>

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
    const CachedRange* range = fetch(offset, static_cast<std::int64_t>(scalarSize<T>));
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
  void clearDataCache() { dataCache_ = std::make_unique<RangeStore>(); }

 private:
  // The bytes of one cached range. Ranges of up to 8 bytes (every scalar) are kept inside the
  // entry; longer ones in a block of their own. The bytes never move while the entry exists (map
  // entries keep their address), which keeps byte views valid.
  class CachedRange {
   public:
    // Check `allocated()`: a long range's block may not be obtainable.
    explicit CachedRange(std::size_t size)
        : size_(size),
          heap_(size > kInlineSize ? new (std::nothrow) std::uint8_t[size] : nullptr) {}
    bool allocated() const { return size_ <= kInlineSize || heap_ != nullptr; }
    std::uint8_t* data() { return size_ > kInlineSize ? heap_.get() : inline_; }
    const std::uint8_t* data() const { return size_ > kInlineSize ? heap_.get() : inline_; }
    std::size_t size() const { return size_; }

   private:
    static constexpr std::size_t kInlineSize = 8;
    std::size_t size_;
    std::unique_ptr<std::uint8_t[]> heap_;
    std::uint8_t inline_[kInlineSize] = {};
  };

  // The range cache. Entries are only ever added until the whole cache is dropped, so the map's
  // nodes come from an arena that is released in one piece: a miss costs no allocation of its
  // own unless the range is longer than 8 bytes.
  struct RangeStore {
    std::pmr::monotonic_buffer_resource arena{2048};
    std::pmr::unordered_map<DataCacheKey, CachedRange, DataCacheKeyHash> ranges{&arena};
  };

  FlatBuffersFileReader(std::shared_ptr<std::FILE> fileHandle, std::uint64_t fileSize,
                        std::shared_ptr<FlatBuffersReaderCache> cache);

  // The cached bytes of the range, reading them on a miss; null when the range is not inside the
  // file, the file no longer yields all its bytes, or no memory can be had for it. A range is
  // allocated only after it has been found to lie inside the file, so a length read from a
  // damaged message never allocates more than the file holds.
  const CachedRange* fetch(std::int64_t offset, std::int64_t length) const;

  std::uint64_t fileSize_;
  std::shared_ptr<std::FILE> fileHandle_;
  std::shared_ptr<FlatBuffersReaderCache> cache_;
  std::unique_ptr<RangeStore> dataCache_;
};

static_assert(FlatBuffersReader<FlatBuffersFileReader>);

}  // namespace corvane
