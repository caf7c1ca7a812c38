// Error cases of the message runtime: what the builder throws and what the readers return.
// Plain values; usable from any thread.
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"

namespace corvane {

// A case's position is its error code.
enum class FlatBuffersBuildError {
  objectIsNotClosed = 0,
  noOpenObject = 1,
  propertyIndexIsInvalid = 2,
  offsetIsTooBig = 3,
  cursorIsInvalid = 4,
  badFileIdentifier = 5,
  unsupportedType = 6,
  couldNotPerformLateBinding = 7,
};

enum class FlatBuffersReaderError {
  outOfBufferBounds = 0,
  canNotSetProperty = 1,
};

// The case's name, e.g. "objectIsNotClosed".
std::string_view caseName(FlatBuffersBuildError error);
std::string_view caseName(FlatBuffersReaderError error);

// The error value of the project: domain "FlatBuffersBuildError" or "FlatBuffersReaderError", the
// case's code and its name as the description.
platform::Error toError(FlatBuffersBuildError error);
platform::Error toError(FlatBuffersReaderError error);

// Every failing builder operation throws this, carrying the case.
class FlatBuffersBuildException : public std::exception {
 public:
  explicit FlatBuffersBuildException(FlatBuffersBuildError error);

  FlatBuffersBuildError error() const noexcept { return error_; }
  // "FlatBuffersBuildError.<case>"
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  FlatBuffersBuildError error_;
  std::string what_;
};

}  // namespace corvane
