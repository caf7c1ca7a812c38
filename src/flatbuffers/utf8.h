// Turns a string's bytes from a message into a string of its own. Pure; usable from any thread.
#pragma once

#include <optional>
#include <string>

#include "flatbuffers/reader.h"

namespace corvane {

// Absent for an absent view or bytes that are not valid UTF-8 (overlong forms, surrogates and
// values beyond U+10FFFF are refused); otherwise a copy of the bytes.
std::optional<std::string> stringFromUTF8(std::optional<ByteView> bytes);

}  // namespace corvane
