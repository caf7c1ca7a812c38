#include "sockets/socket_error_support.h"

#include <netdb.h>

#include <cstdio>
#include <cstring>

namespace corvane::detail {

std::string systemMessage(int err) {
  char buf[256];
  // GNU strerror_r returns the text (possibly not in buf).
  const char* text = strerror_r(err, buf, sizeof buf);
  return text != nullptr ? std::string(text) : std::string();
}

void printSystemMessage(const char* what, int err) {
  const std::string line = std::string(what) + ": " + systemMessage(err) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

platform::Error errnoError(const char* domain, int err, std::optional<std::string> failureReason) {
  platform::Error e(domain, err, systemMessage(err));
  e.failureReason = std::move(failureReason);
  return e;
}

platform::Error resolverError(const char* domain, int gaiCode) {
  const char* text = gai_strerror(gaiCode);
  return platform::Error(domain, gaiCode, text != nullptr ? text : "");
}

}  // namespace corvane::detail
