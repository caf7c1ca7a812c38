#include "sockets/GCDAsyncUdpSocketError.h"

#include <netdb.h>

#include <cstring>

namespace corvane {

using platform::Error;

namespace {

using Code = GCDAsyncUdpSocketErrorCode;

Error udpDomainError(Code code, std::string text) {
  return Error(GCDAsyncUdpSocketErrorDomain, static_cast<long>(code), std::move(text));
}

std::string udpSystemText(int err) {
  char buf[256];
  // GNU strerror_r returns the text (possibly not in buf).
  const char* text = strerror_r(err, buf, sizeof buf);
  return text != nullptr ? std::string(text) : std::string();
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
  const char* text = gai_strerror(gaiCode);
  return Error(GCDAsyncUdpSocketNetDBErrorDomain, gaiCode, text != nullptr ? text : "");
}

Error GCDAsyncUdpSocketErrors::errnoErrorWithReason(int err, const std::string& reason) {
  Error e(GCDAsyncUdpSocketPOSIXErrorDomain, err, udpSystemText(err));
  e.failureReason = reason;
  return e;
}

Error GCDAsyncUdpSocketErrors::errnoError(int err) {
  return Error(GCDAsyncUdpSocketPOSIXErrorDomain, err, udpSystemText(err));
}

}  // namespace corvane
