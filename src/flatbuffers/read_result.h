// The outcome of one raw read from a message: the value, or the reader error that stopped it.
// Plain value; usable from any thread.
#pragma once

#include <optional>
#include <utility>

#include "flatbuffers/errors.h"

namespace corvane {

template <class T>
class FlatBuffersReadResult {
 public:
  FlatBuffersReadResult(T value) : value_(std::move(value)) {}  // NOLINT: implicit on purpose
  FlatBuffersReadResult(FlatBuffersReaderError error) : error_(error) {}  // NOLINT

  bool hasValue() const { return value_.has_value(); }
  explicit operator bool() const { return hasValue(); }
  // Throws std::bad_optional_access when the read failed.
  const T& value() const { return value_.value(); }
  const T& operator*() const { return *value_; }
  const T* operator->() const { return &*value_; }
  // Meaningful only when the read failed.
  FlatBuffersReaderError error() const { return error_; }
  const std::optional<T>& toOptional() const { return value_; }

 private:
  std::optional<T> value_;
  FlatBuffersReaderError error_ = FlatBuffersReaderError::outOfBufferBounds;
};

}  // namespace corvane
