#include "sockets/socket_error_support.h"

#include <netdb.h>

#include <cstring>

namespace corvane::detail {

platform::Error errnoError(const char* domain, int err, std::optional<std::string> failureReason) {
  char buf[256];
  // GNU strerror_r returns the text (possibly not in buf).
  const char* text = strerror_r(err, buf, sizeof buf);
  platform::Error e(domain, err, text != nullptr ? std::string(text) : std::string());
  e.failureReason = std::move(failureReason);
  return e;
}

platform::Error resolverError(const char* domain, int gaiCode) {
  const char* text = gai_strerror(gaiCode);
  return platform::Error(domain, gaiCode, text != nullptr ? text : "");
}

}  // namespace corvane::detail
