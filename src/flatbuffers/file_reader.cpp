#include "flatbuffers/file_reader.h"

#include <algorithm>
#include <limits>

namespace corvane {

namespace {

std::uint64_t sizeOf(std::FILE* file) {
  if (file == nullptr || fseeko(file, 0, SEEK_END) != 0) {
    return 0;
  }
  const off_t end = ftello(file);
  return end < 0 ? 0 : static_cast<std::uint64_t>(end);
}

}  // namespace

FlatBuffersFileReader::FlatBuffersFileReader(std::shared_ptr<std::FILE> fileHandle,
                                             std::uint64_t fileSize,
                                             std::shared_ptr<FlatBuffersReaderCache> cache)
    : fileSize_(fileSize),
      fileHandle_(std::move(fileHandle)),
      cache_(std::move(cache)),
      dataCache_(std::make_unique<RangeStore>()) {}

std::shared_ptr<FlatBuffersFileReader> FlatBuffersFileReader::create(
    std::shared_ptr<std::FILE> fileHandle, std::shared_ptr<FlatBuffersReaderCache> cache) {
  const std::uint64_t fileSize = sizeOf(fileHandle.get());
  return std::shared_ptr<FlatBuffersFileReader>(
      new FlatBuffersFileReader(std::move(fileHandle), fileSize, std::move(cache)));
}

const FlatBuffersFileReader::CachedRange* FlatBuffersFileReader::fetch(std::int64_t offset,
                                                                       std::int64_t length) const {
  const auto size = static_cast<std::int64_t>(
      std::min<std::uint64_t>(fileSize_, std::numeric_limits<std::int64_t>::max()));
  if (offset < 0 || length < 0 || length > size || offset > size - length) {
    return nullptr;
  }
  const DataCacheKey key{offset, length};
  auto& ranges = dataCache_->ranges;
  if (auto cached = ranges.find(key); cached != ranges.end()) {
    return &cached->second;
  }
  CachedRange range(static_cast<std::size_t>(length));
  if (!range.allocated()) {
    return nullptr;
  }
  if (length > 0) {
    // A file that shrank since creation no longer yields the range: nothing is cached.
    if (fseeko(fileHandle_.get(), static_cast<off_t>(offset), SEEK_SET) != 0 ||
        std::fread(range.data(), 1, range.size(), fileHandle_.get()) != range.size()) {
      std::clearerr(fileHandle_.get());
      return nullptr;
    }
  }
  return &ranges.emplace(key, std::move(range)).first->second;
}

FlatBuffersReadResult<ByteView> FlatBuffersFileReader::bytes(std::int64_t offset,
                                                             std::int64_t length) const {
  const CachedRange* range = fetch(offset, length);
  if (range == nullptr) {
    return FlatBuffersReaderError::outOfBufferBounds;
  }
  return ByteView(range->data(), range->size());
}

}  // namespace corvane
