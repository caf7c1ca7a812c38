// Error values of the UDP socket: its own domain with codes 1..5, errno errors and
// resolver errors. Pure functions; safe from any thread.
#pragma once

#include <string>

#include "platform/foundation/error.h"

namespace corvane {

inline constexpr const char* GCDAsyncUdpSocketErrorDomain = "GCDAsyncUdpSocketErrorDomain";
// Domain of errors carrying an errno value.
inline constexpr const char* GCDAsyncUdpSocketPOSIXErrorDomain = "POSIXErrorDomain";
// Domain of name-resolver errors (getaddrinfo codes).
inline constexpr const char* GCDAsyncUdpSocketNetDBErrorDomain = "kCFStreamErrorDomainNetDB";

// Codes of GCDAsyncUdpSocketErrorDomain.
enum class GCDAsyncUdpSocketErrorCode : long {
  badConfig = 1,
  badParam = 2,
  sendTimeout = 3,
  socketClosed = 4,
  other = 5,
};

// Constructors of the socket's error values.
struct GCDAsyncUdpSocketErrors {
  static platform::Error badConfigError(const std::string& text);
  static platform::Error badParamError(const std::string& text);
  static platform::Error sendTimeoutError();
  static platform::Error socketClosedError();
  static platform::Error otherError(const std::string& text);
  // Resolver error: the getaddrinfo code and its text.
  static platform::Error gaiError(int gaiCode);
  // errno error: code errno, description the system's text, failure reason `reason`.
  static platform::Error errnoErrorWithReason(int err, const std::string& reason);
  static platform::Error errnoError(int err);
  // The text for `key` in the table "GCDAsyncUdpSocket"; no translations are shipped, so
  // this is the default text.
  static std::string localizedString(const std::string& key, const std::string& defaultText);
};

}  // namespace corvane
