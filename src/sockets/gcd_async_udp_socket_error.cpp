#include "sockets/gcd_async_udp_socket_error.h"

#include "sockets/socket_error_support.h"

namespace corvane {

using platform::Error;

namespace {

using Code = GCDAsyncUdpSocketErrorCode;

Error udpDomainError(Code code, std::string text) {
  return Error(GCDAsyncUdpSocketErrorDomain, static_cast<long>(code), std::move(text));
}

}  // namespace

std::string GCDAsyncUdpSocketErrors::localizedString(const std::string& /*key*/,
                                                     const std::string& defaultText) {
  return defaultText;
}

Error GCDAsyncUdpSocketErrors::badConfigError(const std::string& text) {
  return udpDomainError(Code::badConfig, text);
}

Error GCDAsyncUdpSocketErrors::badParamError(const std::string& text) {
  return udpDomainError(Code::badParam, text);
}

Error GCDAsyncUdpSocketErrors::sendTimeoutError() {
  return udpDomainError(Code::sendTimeout, localizedString("GCDAsyncUdpSocketSendTimeoutError",
                                                           "Send operation timed out"));
}

Error GCDAsyncUdpSocketErrors::socketClosedError() {
  return udpDomainError(Code::socketClosed,
                        localizedString("GCDAsyncUdpSocketClosedError", "Socket closed"));
}

Error GCDAsyncUdpSocketErrors::otherError(const std::string& text) {
  return udpDomainError(Code::other, text);
}

Error GCDAsyncUdpSocketErrors::gaiError(int gaiCode) {
  return detail::resolverError(GCDAsyncUdpSocketNetDBErrorDomain, gaiCode);
}

Error GCDAsyncUdpSocketErrors::errnoErrorWithReason(int err, const std::string& reason) {
  return detail::errnoError(GCDAsyncUdpSocketPOSIXErrorDomain, err, reason);
}

Error GCDAsyncUdpSocketErrors::errnoError(int err) {
  return detail::errnoError(GCDAsyncUdpSocketPOSIXErrorDomain, err);
}

}  // namespace corvane
