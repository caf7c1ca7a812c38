// Error values of the TCP socket: its own domain with codes 1..8, errno errors, resolver
// errors and TLS status errors. Pure functions; safe from any thread.
#pragma once

#include <string>

#include "platform/foundation/error.h"

namespace corvane {

inline constexpr const char* GCDAsyncSocketErrorDomain = "GCDAsyncSocketErrorDomain";
// Domain of errors carrying an errno value.
inline constexpr const char* GCDAsyncSocketPOSIXErrorDomain = "POSIXErrorDomain";
// Domain of name-resolver errors (getaddrinfo codes).
inline constexpr const char* GCDAsyncSocketNetDBErrorDomain = "kCFStreamErrorDomainNetDB";
// Domain of TLS status errors.
inline constexpr const char* GCDAsyncSocketSSLErrorDomain = "kCFStreamErrorDomainSSL";

// Codes of GCDAsyncSocketErrorDomain.
enum class GCDAsyncSocketErrorCode : long {
  badConfig = 1,
  badParam = 2,
  connectTimeout = 3,
  readTimeout = 4,
  writeTimeout = 5,
  readMaxedOut = 6,
  connectionClosed = 7,
  other = 8,
};

// Constructors of the socket's error values.
struct GCDAsyncSocketErrors {
  static platform::Error badConfigError(const std::string& text);
  static platform::Error badParamError(const std::string& text);
  static platform::Error connectTimeoutError();
  static platform::Error readTimeoutError();
  static platform::Error writeTimeoutError();
  static platform::Error readMaxedOutError();
  static platform::Error connectionClosedError();
  static platform::Error otherError(const std::string& text);
  // errno error: code errno, description the system's text, failure reason `reason`.
  static platform::Error errorWithErrno(int err, const std::string& reason);
  static platform::Error errnoError(int err);
  static platform::Error gaiError(int gaiCode);
  static platform::Error sslError(int status);
  // The localised text for `key` in the table "GCDAsyncSocket"; no translations are
  // shipped, so this is the default text.
  static std::string localizedString(const std::string& key, const std::string& defaultText);
};

}  // namespace corvane
