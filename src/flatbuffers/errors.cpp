#include "flatbuffers/errors.h"

namespace corvane {

std::string_view caseName(FlatBuffersBuildError error) {
  switch (error) {
    case FlatBuffersBuildError::objectIsNotClosed:
      return "objectIsNotClosed";
    case FlatBuffersBuildError::noOpenObject:
      return "noOpenObject";
    case FlatBuffersBuildError::propertyIndexIsInvalid:
      return "propertyIndexIsInvalid";
    case FlatBuffersBuildError::offsetIsTooBig:
      return "offsetIsTooBig";
    case FlatBuffersBuildError::cursorIsInvalid:
      return "cursorIsInvalid";
    case FlatBuffersBuildError::badFileIdentifier:
      return "badFileIdentifier";
    case FlatBuffersBuildError::unsupportedType:
      return "unsupportedType";
    case FlatBuffersBuildError::couldNotPerformLateBinding:
      return "couldNotPerformLateBinding";
  }
  return "unknown";
}

std::string_view caseName(FlatBuffersReaderError error) {
  switch (error) {
    case FlatBuffersReaderError::outOfBufferBounds:
      return "outOfBufferBounds";
    case FlatBuffersReaderError::canNotSetProperty:
      return "canNotSetProperty";
  }
  return "unknown";
}

platform::Error toError(FlatBuffersBuildError error) {
  return platform::Error("FlatBuffersBuildError", static_cast<long>(error),
                         std::string(caseName(error)));
}

platform::Error toError(FlatBuffersReaderError error) {
  return platform::Error("FlatBuffersReaderError", static_cast<long>(error),
                         std::string(caseName(error)));
}

FlatBuffersBuildException::FlatBuffersBuildException(FlatBuffersBuildError error)
    : error_(error), what_("FlatBuffersBuildError." + std::string(caseName(error))) {}

}  // namespace corvane
