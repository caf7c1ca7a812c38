#include "platform/foundation/environment.h"

#include <cstdlib>
#include <cstring>

namespace corvane::platform {

std::optional<std::string> environmentValue(const char* name) {
  // Safe here: nothing in the program changes the environment while threads read it.
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> nonEmptyEnvironmentValue(const char* name) {
  std::optional<std::string> value = environmentValue(name);
  if (value && value->empty()) return std::nullopt;
  return value;
}

std::string systemErrorText(int code) {
  char buffer[256] = {};
  // The GNU variant answers a pointer to the text: either the buffer or a static string.
  const char* text = ::strerror_r(code, buffer, sizeof buffer);
  return text != nullptr ? std::string(text) : std::string("Unknown error ") + std::to_string(code);
}

}  // namespace corvane::platform
