// The error value reported by sockets, archives and the FlatBuffers runtime:
// a domain, a code, a description and optional reason and suggestion texts.
#pragma once

#include <optional>
#include <string>

namespace corvane::platform {

struct Error {
  std::string domain;
  long code = 0;
  std::string description;
  std::optional<std::string> failureReason;
  std::optional<std::string> recoverySuggestion;

  Error() = default;
  Error(std::string domain_, long code_, std::string description_)
      : domain(std::move(domain_)), code(code_), description(std::move(description_)) {}

  bool operator==(const Error&) const = default;
};

}  // namespace corvane::platform
