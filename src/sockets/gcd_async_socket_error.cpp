#include "sockets/gcd_async_socket_error.h"

#include "sockets/socket_error_support.h"

namespace corvane {

using platform::Error;

namespace {

using Code = GCDAsyncSocketErrorCode;

Error domainError(Code code, std::string text) {
  return Error(GCDAsyncSocketErrorDomain, static_cast<long>(code), std::move(text));
}

}  // namespace

std::string GCDAsyncSocketErrors::localizedString(const std::string& /*key*/,
                                                  const std::string& defaultText) {
  return defaultText;
}

Error GCDAsyncSocketErrors::badConfigError(const std::string& text) {
  return domainError(Code::badConfig, text);
}

Error GCDAsyncSocketErrors::badParamError(const std::string& text) {
  return domainError(Code::badParam, text);
}

Error GCDAsyncSocketErrors::connectTimeoutError() {
  return domainError(Code::connectTimeout, localizedString("GCDAsyncSocketConnectTimeoutError",
                                                           "Attempt to connect to host timed out"));
}

Error GCDAsyncSocketErrors::readTimeoutError() {
  return domainError(Code::readTimeout,
                     localizedString("GCDAsyncSocketReadTimeoutError", "Read operation timed out"));
}

Error GCDAsyncSocketErrors::writeTimeoutError() {
  return domainError(Code::writeTimeout, localizedString("GCDAsyncSocketWriteTimeoutError",
                                                         "Write operation timed out"));
}

Error GCDAsyncSocketErrors::readMaxedOutError() {
  return domainError(Code::readMaxedOut,
                     localizedString("GCDAsyncSocketReadMaxedOutError",
                                     "Read operation reached set maximum length"));
}

Error GCDAsyncSocketErrors::connectionClosedError() {
  return domainError(Code::connectionClosed,
                     localizedString("GCDAsyncSocketClosedError", "Socket closed by remote peer"));
}

Error GCDAsyncSocketErrors::otherError(const std::string& text) {
  return domainError(Code::other, text);
}

Error GCDAsyncSocketErrors::errorWithErrno(int err, const std::string& reason) {
  return detail::errnoError(GCDAsyncSocketPOSIXErrorDomain, err, reason);
}

Error GCDAsyncSocketErrors::errnoError(int err) {
  return detail::errnoError(GCDAsyncSocketPOSIXErrorDomain, err);
}

Error GCDAsyncSocketErrors::gaiError(int gaiCode) {
  return detail::resolverError(GCDAsyncSocketNetDBErrorDomain, gaiCode);
}

Error GCDAsyncSocketErrors::sslError(int status) {
  Error e(GCDAsyncSocketSSLErrorDomain, status,
          std::string(GCDAsyncSocketSSLErrorDomain) + " error " + std::to_string(status));
  e.recoverySuggestion = "Error code definition can be found in Apple's SecureTransport.h";
  return e;
}

}  // namespace corvane
