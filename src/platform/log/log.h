// Diagnostic lines: the console log (NSLog-style) and the unified log's debug and error
// calls. Each message becomes one line on standard error; safe from any thread.
//
// Console line: "<yyyy-MM-dd HH:mm:ss.SSS> <process>[<pid>:<tid>] <text>".
// Unified log line: the same, with "<debug>" or "<error>" before the text.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace corvane::platform::log {

// printf-style console line, as the media and session classes write them.
void nslog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void vnslog(const char* format, va_list args);

// Unified log at debug and error level; the text is logged as it stands.
void debug(std::string_view text);
void error(std::string_view text);

// Tests capture the lines: while a sink is set, lines go to it instead of standard error.
using Sink = void (*)(std::string_view line, void* context);
void setSink(Sink sink, void* context);

}  // namespace corvane::platform::log
