// Error values that the TCP and the UDP socket build alike: errno errors (the system's text,
// optionally a failure reason) and name-resolver errors (getaddrinfo codes). Each socket
// passes its own domain constant. Pure functions; any thread.
#pragma once

#include <optional>
#include <string>

#include "platform/foundation/error.h"

namespace corvane::detail {

// Code `err`, description the system's text for it.
platform::Error errnoError(const char* domain, int err,
                           std::optional<std::string> failureReason = std::nullopt);
// Code `gaiCode`, description the resolver's text for it.
platform::Error resolverError(const char* domain, int gaiCode);
// The system's text for `err` as a string (thread-safe).
std::string systemMessage(int err);
// Prints "what: <system text for err>" as one line to standard error.
void printSystemMessage(const char* what, int err);

}  // namespace corvane::detail
