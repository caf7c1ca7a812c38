// Lazy random-access views of one vector inside a message, read through a FlatBuffersReader.
// A view reads its element count once, when it is made, and an element only when asked for; every
// element is optional and absent when it cannot be read. Positions run from 0 to count() - 1; the
// views are std::ranges::random_access_range and sized_range, usable in range-for.
//
// Layout: at myOffset a 32-bit element count, then the elements; table and string elements are
// 32-bit offsets relative to their own position, scalars are stored inline.
//
// count(): 0 for an absent vector, an unreadable or a negative stored count. A stored count whose
// elements would run past the end of the message is cut to the elements that lie inside it (the
// others could never be read), so iterating a damaged vector takes at most one step per element
// byte of the message.
//
// Threading: plain values, used on the thread of their reader. Ownership: a view keeps its reader
// alive; iterators refer to their view and must not outlive it.
#pragma once

#include <algorithm>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include "flatbuffers/reader.h"

namespace corvane {

template <class View, class Element>
class FlatBuffersVectorIterator {
 public:
  using value_type = std::optional<Element>;
  using difference_type = std::int64_t;
  using reference = value_type;
  using iterator_concept = std::random_access_iterator_tag;
  // Elements are produced on demand (not references), which legacy forward iterators cannot be.
  using iterator_category = std::input_iterator_tag;

  FlatBuffersVectorIterator() = default;
  FlatBuffersVectorIterator(const View* view, std::int64_t position)
      : view_(view), position_(position) {}

  value_type operator*() const { return (*view_)[position_]; }
  value_type operator[](difference_type n) const { return (*view_)[position_ + n]; }
  std::int64_t position() const { return position_; }

  FlatBuffersVectorIterator& operator++() {
    ++position_;
    return *this;
  }
  FlatBuffersVectorIterator operator++(int) {
    auto before = *this;
    ++position_;
    return before;
  }
  FlatBuffersVectorIterator& operator--() {
    --position_;
    return *this;
  }
  FlatBuffersVectorIterator operator--(int) {
    auto before = *this;
    --position_;
    return before;
  }
  FlatBuffersVectorIterator& operator+=(difference_type n) {
    position_ += n;
    return *this;
  }
  FlatBuffersVectorIterator& operator-=(difference_type n) {
    position_ -= n;
    return *this;
  }
  friend FlatBuffersVectorIterator operator+(FlatBuffersVectorIterator it, difference_type n) {
    return it += n;
  }
  friend FlatBuffersVectorIterator operator+(difference_type n, FlatBuffersVectorIterator it) {
    return it += n;
  }
  friend FlatBuffersVectorIterator operator-(FlatBuffersVectorIterator it, difference_type n) {
    return it -= n;
  }
  friend difference_type operator-(const FlatBuffersVectorIterator& a,
                                   const FlatBuffersVectorIterator& b) {
    return a.position_ - b.position_;
  }
  friend bool operator==(const FlatBuffersVectorIterator& a, const FlatBuffersVectorIterator& b) {
    return a.position_ == b.position_;
  }
  friend std::strong_ordering operator<=>(const FlatBuffersVectorIterator& a,
                                          const FlatBuffersVectorIterator& b) {
    return a.position_ <=> b.position_;
  }

 private:
  const View* view_ = nullptr;
  std::int64_t position_ = 0;
};

// What the four views share: the count, the reader, the vector's offset and the positions.
template <class Derived, class Element, FlatBuffersReader R>
class FlatBuffersVectorBase {
 public:
  using value_type = std::optional<Element>;
  using iterator = FlatBuffersVectorIterator<Derived, Element>;

  std::int64_t count() const { return count_; }
  const std::shared_ptr<R>& reader() const { return reader_; }
  std::optional<std::int32_t> myOffset() const { return myOffset_; }

  std::int64_t startIndex() const { return 0; }
  std::int64_t endIndex() const { return count_; }
  iterator begin() const { return iterator(static_cast<const Derived*>(this), 0); }
  iterator end() const { return iterator(static_cast<const Derived*>(this), count_); }
  std::size_t size() const { return static_cast<std::size_t>(count_); }
  bool empty() const { return count_ == 0; }

 protected:
  FlatBuffersVectorBase(std::shared_ptr<R> reader, std::optional<std::int32_t> myOffset,
                        std::int64_t elementSize)
      : count_(readCount(reader.get(), myOffset, elementSize)),
        reader_(std::move(reader)),
        myOffset_(myOffset) {}

  bool contains(std::int64_t position) const { return position >= 0 && position < count_; }

 private:
  static std::int64_t readCount(const R* reader, std::optional<std::int32_t> myOffset,
                                std::int64_t elementSize) {
    if (reader == nullptr || !myOffset) {
      return 0;
    }
    const auto stored = reader->template scalar<std::int32_t>(*myOffset);
    if (!stored || *stored <= 0) {
      return 0;
    }
    const std::int64_t first = static_cast<std::int64_t>(*myOffset) + 4;
    // Readers that know their size (the memory and file readers) cut the count directly; the
    // count word was read, so the message holds at least `first` bytes.
    if constexpr (requires { reader->count(); }) {
      return std::min<std::int64_t>(*stored, (reader->count() - first) / elementSize);
    } else if constexpr (requires { reader->fileSize(); }) {
      const auto size = static_cast<std::int64_t>(std::min<std::uint64_t>(
          reader->fileSize(),
          static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())));
      return std::min<std::int64_t>(*stored, (size - first) / elementSize);
    } else {
      // Otherwise by search: the first n elements lie inside the message when their last byte can
      // be read.
      const auto fits = [&](std::int64_t n) {
        return reader->template scalar<std::uint8_t>(first + n * elementSize - 1).hasValue();
      };
      std::int64_t inside = *stored;
      if (fits(inside)) {
        return inside;
      }
      std::int64_t outside = inside;
      inside = 0;
      while (outside - inside > 1) {
        const std::int64_t middle = inside + (outside - inside) / 2;
        (fits(middle) ? inside : outside) = middle;
      }
      return inside;
    }
  }

  std::int64_t count_;
  std::shared_ptr<R> reader_;
  std::optional<std::int32_t> myOffset_;
};

// Elements: the table views T::create(reader, target) of the element's targets.
template <class T, FlatBuffersReader R>
requires FlatBuffersDirectAccess<T, R>
class FlatBuffersTableVector : public FlatBuffersVectorBase<FlatBuffersTableVector<T, R>, T, R> {
  using Base = FlatBuffersVectorBase<FlatBuffersTableVector<T, R>, T, R>;

 public:
  FlatBuffersTableVector(std::shared_ptr<R> reader, std::optional<std::int32_t> myOffset)
      : Base(std::move(reader), myOffset, 4) {}

  std::optional<T> operator[](std::int64_t position) const {
    if (!this->contains(position)) {
      return std::nullopt;
    }
    return T::create(this->reader(),
                     this->reader()->vectorElementOffset(this->myOffset(), position));
  }
};

// Elements: the stored values of type T.
template <Scalar T, FlatBuffersReader R>
class FlatBuffersScalarVector : public FlatBuffersVectorBase<FlatBuffersScalarVector<T, R>, T, R> {
  using Base = FlatBuffersVectorBase<FlatBuffersScalarVector<T, R>, T, R>;

 public:
  FlatBuffersScalarVector(std::shared_ptr<R> reader, std::optional<std::int32_t> myOffset)
      : Base(std::move(reader), myOffset, static_cast<std::int64_t>(scalarSize<T>)) {}

  std::optional<T> operator[](std::int64_t position) const {
    if (!this->contains(position)) {
      return std::nullopt;
    }
    return this->reader()->template vectorElementScalar<T>(this->myOffset(), position);
  }
};

// Elements: the cases of E for the stored numbers of type T; absent for a number naming no case.
template <Scalar T, FlatBuffersReader R, FlatBuffersEnum E>
class FlatBuffersEnumVector : public FlatBuffersVectorBase<FlatBuffersEnumVector<T, R, E>, E, R> {
  using Base = FlatBuffersVectorBase<FlatBuffersEnumVector<T, R, E>, E, R>;

 public:
  FlatBuffersEnumVector(std::shared_ptr<R> reader, std::optional<std::int32_t> myOffset)
      : Base(std::move(reader), myOffset, static_cast<std::int64_t>(scalarSize<T>)) {}

  std::optional<E> operator[](std::int64_t position) const {
    if (!this->contains(position)) {
      return std::nullopt;
    }
    const auto value = this->reader()->template vectorElementScalar<T>(this->myOffset(), position);
    if (!value) {
      return std::nullopt;
    }
    return FlatBuffersEnumTraits<E>::fromScalar(*value);
  }
};

// Elements: the UTF-8 bytes of the strings the elements point at.
template <FlatBuffersReader R>
class FlatBuffersStringVector
    : public FlatBuffersVectorBase<FlatBuffersStringVector<R>, ByteView, R> {
  using Base = FlatBuffersVectorBase<FlatBuffersStringVector<R>, ByteView, R>;

 public:
  FlatBuffersStringVector(std::shared_ptr<R> reader, std::optional<std::int32_t> myOffset)
      : Base(std::move(reader), myOffset, 4) {}

  std::optional<ByteView> operator[](std::int64_t position) const {
    if (!this->contains(position)) {
      return std::nullopt;
    }
    return this->reader()->stringBuffer(
        this->reader()->vectorElementOffset(this->myOffset(), position));
  }
};

}  // namespace corvane
