// Lines the look-up classes print to standard output (besides their diagnostic log lines), and
// the text of an error as they print and log it. Safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/error.h"

namespace corvane {

// Writes `text` and a newline to standard output in one write.
void printLine(std::string_view text);

// Tests capture the printed lines: while a sink is set, lines go to it (one call at a time, on
// the printing thread) instead of standard output. setPrintSink(nullptr, nullptr) restores
// standard output.
using PrintSink = void (*)(std::string_view line, void* context);
void setPrintSink(PrintSink sink, void* context);

// `Error Domain=<domain> Code=<code> "<description>"`, or "(null)" for no error.
std::string errorText(const std::optional<platform::Error>& error);

}  // namespace corvane
