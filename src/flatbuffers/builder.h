// FlatBuffersBuilder writes one message in the FlatBuffers binary format, back to front: every
// child (string, vector, table) is written before the table that refers to it, the root offset
// last. It knows no schema; the schema code drives it field by field.
//
// Positions ("cursors") count bytes from the END of the message, so they stay valid when the
// allocation grows. The message is always the last cursor() bytes of the allocation.
//
// Threading: none inside. A builder belongs to the thread that builds the message.
// Ownership: the builder owns its buffer; makeData() returns a copy.
// Errors: every failing operation throws FlatBuffersBuildException carrying the case; the bytes
// already written stay and the builder should be dropped. Besides the cases named per operation,
// offsetIsTooBig is thrown when a write would make the message reach 2^31 bytes or a table reach
// 32768 bytes, or for a negative offset, count or element size; propertyIndexIsInvalid when a
// property count is negative or does not fit a vtable (16382 or more).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "flatbuffers/builder_options.h"
#include "flatbuffers/errors.h"
#include "flatbuffers/scalar.h"

namespace corvane {

class FlatBuffersBuilder {
 public:
  // A reference slot whose target object is written later; for schema code.
  struct DeferedBinding {
    std::shared_ptr<const void> object;
    std::int64_t cursor = 0;
  };

  explicit FlatBuffersBuilder(FlatBuffersBuilderOptions options);
  FlatBuffersBuilder(const FlatBuffersBuilder&) = delete;
  FlatBuffersBuilder& operator=(const FlatBuffersBuilder&) = delete;

  const FlatBuffersBuilderOptions& options() const { return options_; }
  void setOptions(const FlatBuffersBuilderOptions& options) { options_ = options; }

  // Opens a table of `count` properties. Throws objectIsNotClosed while a table or vector is open.
  void startObject(std::int64_t count);

  // Writes a scalar field of the open table unless it equals its default (and forceDefaults is
  // off). Returns the cursor after the write, or empty when skipped.
  // Throws noOpenObject, then propertyIndexIsInvalid.
  template <Scalar T>
  std::optional<std::int64_t> insert(T value, T defaultValue, std::int64_t index);

  // Writes a reference field of the open table pointing at `offset`; never skipped.
  // Throws noOpenObject, propertyIndexIsInvalid, then offsetIsTooBig.
  std::int64_t insert(std::int32_t offset, std::int64_t index);

  // Marks the bytes the caller has just written as field `index`; writes nothing.
  std::int64_t insertCurrentOffsetAsProperty(std::int64_t index);

  // Closes the open table, writes (or shares) its vtable and returns the table's offset.
  // Throws noOpenObject.
  std::int32_t endObject();

  // Opens a vector of `count` elements of `elementSize` bytes; the caller then writes the
  // elements, the last written becoming element 0. The alignment padding is applied before the
  // objectIsNotClosed check.
  void startVector(std::int64_t count, std::int64_t elementSize);

  // Writes a 32-bit reference to `offset` (0 for an absent offset or offset 0) and returns the
  // cursor. Throws offsetIsTooBig when the offset lies beyond the cursor.
  std::int64_t insertOffset(std::optional<std::int32_t> offset);

  // Writes one scalar, aligned to its size.
  template <Scalar T>
  void insert(T value);

  // Writes the element count of the vector opened by startVector() and returns the vector's
  // offset. Must follow startVector().
  std::int32_t endVector();

  // Writes a string (or returns the earlier copy with uniqueStrings); an absent string returns 0
  // and writes nothing. Throws objectIsNotClosed while a table or vector is open.
  std::int32_t insert(std::optional<std::string_view> value);

  // Patches the 32-bit slot written when the cursor reached `cursor` to point at `offset`.
  // Throws offsetIsTooBig, then cursorIsInvalid (also for a cursor that holds no 4-byte slot).
  void update(std::int32_t offset, std::int64_t cursor);

  // Writes the root offset (and the 4-byte identifier, when given) at the start of the message.
  // Throws offsetIsTooBig, objectIsNotClosed, then badFileIdentifier.
  void finish(std::int32_t offset, std::optional<std::string_view> fileIdentifier);

  // A copy of the message: the last cursor() bytes of the allocation.
  std::vector<std::uint8_t> makeData() const;

  // State, for schema code and tests.
  std::int64_t capacity() const { return capacity_; }
  std::int64_t minalign() const { return minalign_; }
  std::int64_t cursor() const { return cursor_; }
  std::int32_t objectStart() const { return objectStart_; }
  std::int32_t vectorNumElems() const { return vectorNumElems_; }
  const std::vector<std::int32_t>& currentVTable() const { return currentVTable_; }
  const std::vector<std::int32_t>& vTableOffsets() const { return vTableOffsets_; }

  // Shared-object bookkeeping of the schema's object writers; the builder itself never touches
  // these. Objects are identified by address.
  std::unordered_map<const void*, std::int32_t>& cache() { return cache_; }
  std::unordered_set<const void*>& inProgress() { return inProgress_; }
  std::vector<DeferedBinding>& deferedBindings() { return deferedBindings_; }

 private:
  struct AlignedDelete {
    std::size_t alignment;
    void operator()(std::uint8_t* bytes) const;
  };
  using Storage = std::unique_ptr<std::uint8_t[], AlignedDelete>;

  static Storage allocate(std::int64_t capacity, std::int64_t minalign);
  void makeRoom(std::int64_t size);
  void pad(std::int64_t count);
  void alignFor(std::int64_t size, std::int64_t additional);
  void writeBits(std::uint64_t bits, std::int64_t size);
  void writeReference(std::int32_t offset);
  void checkField(std::int64_t index) const;
  std::uint8_t* at(std::int64_t cursor) { return data_.get() + (capacity_ - cursor); }

  FlatBuffersBuilderOptions options_;
  std::int64_t capacity_;
  Storage data_;
  std::int64_t minalign_ = 1;
  std::int64_t cursor_ = 0;
  std::vector<std::int32_t> currentVTable_;
  std::int32_t objectStart_ = -1;
  std::int32_t vectorNumElems_ = -1;
  std::vector<std::int32_t> vTableOffsets_;
  std::unordered_map<const void*, std::int32_t> cache_;
  std::unordered_set<const void*> inProgress_;
  std::vector<DeferedBinding> deferedBindings_;
  std::unordered_map<std::string, std::int32_t> stringCache_;
};

template <Scalar T>
void FlatBuffersBuilder::insert(T value) {
  writeBits(scalarToBits(value), static_cast<std::int64_t>(scalarSize<T>));
}

template <Scalar T>
std::optional<std::int64_t> FlatBuffersBuilder::insert(T value, T defaultValue,
                                                       std::int64_t index) {
  checkField(index);
  if (!options_.forceDefaults() && value == defaultValue) {
    return std::nullopt;
  }
  insert(value);
  currentVTable_[static_cast<std::size_t>(index)] = static_cast<std::int32_t>(cursor_);
  return cursor_;
}

}  // namespace corvane
