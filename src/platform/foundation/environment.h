// Reading the process environment and the system's error texts.
//
// The program reads its environment but never changes it; tests set variables only while no
// other thread of theirs reads them. Under that rule these reads are safe from any thread.
#pragma once

#include <optional>
#include <string>

namespace corvane::platform {

// The value of an environment variable, std::nullopt when it is not set.
std::optional<std::string> environmentValue(const char* name);

// The value of an environment variable, std::nullopt when it is not set or empty.
std::optional<std::string> nonEmptyEnvironmentValue(const char* name);

// The system's text for an errno value ("No such file or directory"); thread-safe.
std::string systemErrorText(int code);

}  // namespace corvane::platform
