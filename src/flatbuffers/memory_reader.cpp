#include "flatbuffers/memory_reader.h"

#include <algorithm>
#include <cstring>

namespace corvane {

FlatBuffersMemoryReader::FlatBuffersMemoryReader(const std::uint8_t* buffer, std::int64_t count,
                                                 std::shared_ptr<FlatBuffersReaderCache> cache,
                                                 std::unique_ptr<std::uint8_t[]> copy)
    : count_(buffer == nullptr ? 0 : std::max<std::int64_t>(count, 0)),
      cache_(std::move(cache)),
      buffer_(buffer),
      originalBuffer_(std::move(copy)) {}

std::shared_ptr<FlatBuffersMemoryReader> FlatBuffersMemoryReader::create(
    const std::uint8_t* buffer, std::int64_t count, std::shared_ptr<FlatBuffersReaderCache> cache) {
  return std::shared_ptr<FlatBuffersMemoryReader>(
      new FlatBuffersMemoryReader(buffer, count, std::move(cache), nullptr));
}

std::shared_ptr<FlatBuffersMemoryReader> FlatBuffersMemoryReader::create(
    std::span<const std::uint8_t> data, bool withoutCopy,
    std::shared_ptr<FlatBuffersReaderCache> cache) {
  const auto count = static_cast<std::int64_t>(data.size());
  if (withoutCopy) {
    return std::shared_ptr<FlatBuffersMemoryReader>(
        new FlatBuffersMemoryReader(data.data(), count, std::move(cache), nullptr));
  }
  // At least one byte, so that every copying reader has a buffer pointer of its own.
  auto copy = std::make_unique<std::uint8_t[]>(std::max<std::size_t>(data.size(), 1));
  if (!data.empty()) {
    std::memcpy(copy.get(), data.data(), data.size());
  }
  const std::uint8_t* buffer = copy.get();
  return std::shared_ptr<FlatBuffersMemoryReader>(
      new FlatBuffersMemoryReader(buffer, count, std::move(cache), std::move(copy)));
}

std::optional<ByteView> FlatBuffersMemoryReader::originalBuffer() const {
  if (!originalBuffer_) {
    return std::nullopt;
  }
  return ByteView(originalBuffer_.get(), static_cast<std::size_t>(count_));
}

FlatBuffersReadResult<ByteView> FlatBuffersMemoryReader::bytes(std::int64_t offset,
                                                               std::int64_t length) const {
  if (offset < 0 || length < 0 || length > count_ || offset > count_ - length) {
    return FlatBuffersReaderError::outOfBufferBounds;
  }
  return ByteView(buffer_ + offset, static_cast<std::size_t>(length));
}

}  // namespace corvane
