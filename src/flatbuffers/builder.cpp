#include "flatbuffers/builder.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace corvane {

namespace {

// Cursors are stored as signed 32-bit numbers, so a message stays below 2^31 bytes.
constexpr std::int64_t kMaxMessageSize = std::numeric_limits<std::int32_t>::max();
// Field offsets, table sizes and vtable sizes are signed 16-bit numbers.
constexpr std::int64_t kMaxTableSize = std::numeric_limits<std::int16_t>::max();
constexpr std::int64_t kMaxPropertyCount = kMaxTableSize / 2 - 2;  // 16381 fields
constexpr std::size_t kDefaultAlignment = __STDCPP_DEFAULT_NEW_ALIGNMENT__;

[[noreturn]] void fail(FlatBuffersBuildError error) { throw FlatBuffersBuildException(error); }

// (-value) mod alignment, for a positive alignment.
std::int64_t paddingFor(std::int64_t value, std::int64_t alignment) {
  const std::int64_t remainder = value % alignment;
  return remainder == 0 ? 0 : alignment - remainder;
}

}  // namespace

void FlatBuffersBuilder::AlignedDelete::operator()(std::uint8_t* bytes) const {
  ::operator delete(bytes, std::align_val_t(alignment));
}

FlatBuffersBuilder::Storage FlatBuffersBuilder::allocate(std::int64_t capacity,
                                                         std::int64_t minalign) {
  const std::size_t alignment =
      minalign > 16 ? static_cast<std::size_t>(minalign) : kDefaultAlignment;
  auto* bytes = static_cast<std::uint8_t*>(
      ::operator new(static_cast<std::size_t>(capacity), std::align_val_t(alignment)));
  return Storage(bytes, AlignedDelete{alignment});
}

FlatBuffersBuilder::FlatBuffersBuilder(FlatBuffersBuilderOptions options)
    : options_(options),
      // Doubling never grows an empty allocation, so at least one byte is allocated.
      capacity_(std::max<std::int64_t>(options.initialCapacity(), 1)),
      data_(allocate(capacity_, 1)) {}

// Makes sure that more than `size` bytes are free in front of the message.
void FlatBuffersBuilder::makeRoom(std::int64_t size) {
  if (size < 0 || size > kMaxMessageSize - cursor_) {
    fail(FlatBuffersBuildError::offsetIsTooBig);
  }
  if (capacity_ - cursor_ > size) {
    return;
  }
  std::int64_t capacity = capacity_;
  while (capacity - cursor_ <= size) {
    capacity *= 2;
  }
  Storage grown = allocate(capacity, minalign_);
  std::memcpy(grown.get() + (capacity - cursor_), data_.get() + (capacity_ - cursor_),
              static_cast<std::size_t>(cursor_));
  data_ = std::move(grown);
  capacity_ = capacity;
}

// Writes `count` zero bytes (growing even for a count of 0 when the buffer is full).
void FlatBuffersBuilder::pad(std::int64_t count) {
  makeRoom(count);
  std::memset(at(cursor_ + count), 0, static_cast<std::size_t>(count));
  cursor_ += count;
}

// Raises minalign to `size` and pads so that `additional` more bytes end on a multiple of it.
void FlatBuffersBuilder::alignFor(std::int64_t size, std::int64_t additional) {
  minalign_ = std::max(minalign_, size);
  pad(paddingFor(cursor_ + additional, size));
}

void FlatBuffersBuilder::writeBits(std::uint64_t bits, std::int64_t size) {
  alignFor(size, 0);
  makeRoom(size);
  storeLittleEndian(at(cursor_ + size), bits, static_cast<std::size_t>(size));
  cursor_ += size;
}

// A 32-bit reference from the slot about to be written to `offset` (0 stays 0).
void FlatBuffersBuilder::writeReference(std::int32_t offset) {
  if (offset == 0) {
    insert(std::uint32_t{0});
    return;
  }
  alignFor(4, 0);
  insert(static_cast<std::int32_t>(cursor_ + 4 - offset));
}

void FlatBuffersBuilder::checkField(std::int64_t index) const {
  if (objectStart_ < 0) {
    fail(FlatBuffersBuildError::noOpenObject);
  }
  if (index < 0 || index >= static_cast<std::int64_t>(currentVTable_.size())) {
    fail(FlatBuffersBuildError::propertyIndexIsInvalid);
  }
}

void FlatBuffersBuilder::startObject(std::int64_t count) {
  if (objectStart_ != -1 || vectorNumElems_ != -1) {
    fail(FlatBuffersBuildError::objectIsNotClosed);
  }
  if (count < 0 || count > kMaxPropertyCount) {
    fail(FlatBuffersBuildError::propertyIndexIsInvalid);
  }
  currentVTable_.assign(static_cast<std::size_t>(count), 0);
  objectStart_ = static_cast<std::int32_t>(cursor_);
}

std::int64_t FlatBuffersBuilder::insert(std::int32_t offset, std::int64_t index) {
  checkField(index);
  insertOffset(offset);
  currentVTable_[static_cast<std::size_t>(index)] = static_cast<std::int32_t>(cursor_);
  return cursor_;
}

std::int64_t FlatBuffersBuilder::insertCurrentOffsetAsProperty(std::int64_t index) {
  checkField(index);
  currentVTable_[static_cast<std::size_t>(index)] = static_cast<std::int32_t>(cursor_);
  return cursor_;
}

std::int32_t FlatBuffersBuilder::endObject() {
  if (objectStart_ < 0) {
    fail(FlatBuffersBuildError::noOpenObject);
  }
  // The table's vtable-offset slot, patched below.
  alignFor(4, 0);
  makeRoom(4);
  const std::int64_t tableSize = cursor_ + 4 - objectStart_;
  if (tableSize > kMaxTableSize) {
    fail(FlatBuffersBuildError::offsetIsTooBig);
  }
  cursor_ += 4;
  const std::int64_t table = cursor_;

  for (auto entry = currentVTable_.rbegin(); entry != currentVTable_.rend(); ++entry) {
    insert(static_cast<std::int16_t>(*entry == 0 ? 0 : table - *entry));
  }
  insert(static_cast<std::int16_t>(tableSize));
  const std::int64_t vtableSize = (static_cast<std::int64_t>(currentVTable_.size()) + 2) * 2;
  insert(static_cast<std::int16_t>(vtableSize));

  const std::int64_t length = cursor_ - table;
  std::int64_t slot = length;
  bool shared = false;
  if (options_.uniqueVTables()) {
    const std::uint8_t* candidate = at(cursor_);
    for (const std::int32_t earlier : vTableOffsets_) {
      const std::uint8_t* existing = at(earlier);
      // The size field comes first: only vtables of the same size are compared in full, which
      // also keeps the comparison inside the earlier vtable.
      if (std::memcmp(existing, candidate, 2) == 0 &&
          std::memcmp(existing, candidate, static_cast<std::size_t>(length)) == 0) {
        cursor_ -= length;
        slot = earlier - table;
        shared = true;
        break;
      }
    }
    if (!shared) {
      vTableOffsets_.push_back(static_cast<std::int32_t>(cursor_));
    }
  }
  storeScalar(at(table), static_cast<std::int32_t>(slot));
  objectStart_ = -1;
  return static_cast<std::int32_t>(table);
}

void FlatBuffersBuilder::startVector(std::int64_t count, std::int64_t elementSize) {
  if (count < 0 || elementSize < 0 || count > kMaxMessageSize ||
      (elementSize > 0 && count > kMaxMessageSize / elementSize)) {
    fail(FlatBuffersBuildError::offsetIsTooBig);
  }
  alignFor(4, count * elementSize);
  if (objectStart_ != -1 || vectorNumElems_ != -1) {
    fail(FlatBuffersBuildError::objectIsNotClosed);
  }
  vectorNumElems_ = static_cast<std::int32_t>(count);
}

std::int64_t FlatBuffersBuilder::insertOffset(std::optional<std::int32_t> offset) {
  if (!offset) {
    insert(std::uint32_t{0});
    return cursor_;
  }
  if (*offset > cursor_ || *offset < 0) {
    fail(FlatBuffersBuildError::offsetIsTooBig);
  }
  writeReference(*offset);
  return cursor_;
}

std::int32_t FlatBuffersBuilder::endVector() {
  insert(static_cast<std::uint32_t>(vectorNumElems_));
  vectorNumElems_ = -1;
  return static_cast<std::int32_t>(cursor_);
}

std::int32_t FlatBuffersBuilder::insert(std::optional<std::string_view> value) {
  if (objectStart_ != -1 || vectorNumElems_ != -1) {
    fail(FlatBuffersBuildError::objectIsNotClosed);
  }
  if (!value) {
    return 0;
  }
  if (options_.uniqueStrings()) {
    if (auto cached = stringCache_.find(std::string(*value)); cached != stringCache_.end()) {
      return cached->second;
    }
  }
  const auto length = static_cast<std::int64_t>(value->size());
  if (length > kMaxMessageSize) {
    fail(FlatBuffersBuildError::offsetIsTooBig);
  }
  const std::int64_t stored = length + (options_.nullTerminatedUTF8() ? 1 : 0);
  alignFor(4, stored);
  makeRoom(stored);
  std::uint8_t* bytes = at(cursor_ + stored);
  if (length > 0) {
    std::memcpy(bytes, value->data(), static_cast<std::size_t>(length));
  }
  if (stored > length) {
    bytes[length] = 0;
  }
  cursor_ += stored;
  insert(static_cast<std::uint32_t>(length));
  const auto offset = static_cast<std::int32_t>(cursor_);
  if (options_.uniqueStrings()) {
    stringCache_.emplace(std::string(*value), offset);
  }
  return offset;
}

void FlatBuffersBuilder::update(std::int32_t offset, std::int64_t cursor) {
  if (offset > cursor_ || offset < 0) {
    fail(FlatBuffersBuildError::offsetIsTooBig);
  }
  // The slot is the 4 bytes in front of `cursor`; a cursor below 4 holds no slot.
  if (cursor > cursor_ || cursor < 4) {
    fail(FlatBuffersBuildError::cursorIsInvalid);
  }
  storeScalar(at(cursor), static_cast<std::int32_t>(cursor - offset));
}

void FlatBuffersBuilder::finish(std::int32_t offset,
                                std::optional<std::string_view> fileIdentifier) {
  if (offset > cursor_ || offset < 0) {
    fail(FlatBuffersBuildError::offsetIsTooBig);
  }
  if (objectStart_ != -1 || vectorNumElems_ != -1) {
    fail(FlatBuffersBuildError::objectIsNotClosed);
  }
  pad(paddingFor(cursor_ + (fileIdentifier ? 8 : 4), minalign_));
  if (fileIdentifier) {
    if (fileIdentifier->size() != 4) {
      fail(FlatBuffersBuildError::badFileIdentifier);
    }
    for (auto byte = fileIdentifier->rbegin(); byte != fileIdentifier->rend(); ++byte) {
      insert(static_cast<std::uint8_t>(*byte));
    }
  }
  // The root offset; unlike a reference field, offset 0 is not special here.
  alignFor(4, 0);
  insert(static_cast<std::int32_t>(cursor_ + 4 - offset));
}

std::vector<std::uint8_t> FlatBuffersBuilder::makeData() const {
  const std::uint8_t* first = data_.get() + (capacity_ - cursor_);
  return std::vector<std::uint8_t>(first, first + cursor_);
}

}  // namespace corvane
