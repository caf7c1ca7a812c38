// Diagnostic lines: the console log (printf-style) and the unified log's debug and error
// calls. Each message becomes one line on standard error; safe from any thread.
//
// Console line: "<yyyy-MM-dd HH:mm:ss.SSS> <process>[<pid>:<tid>] <text>" (local time,
// kernel thread id in lower-case hex). The text is written as it stands; a newline is
// added when it does not end with one. One write(2) per line, so lines of different
// threads never mix.
// Unified log line: the same, with "<debug>" or "<error>" before the text.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace corvane::platform::log {

// printf-style console line, as the media and session classes write them. A null format
// logs nothing.
void nslog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void vnslog(const char* format, va_list args);

// Unified log at debug and error level; the text is logged as it stands.
void debug(std::string_view text);
void error(std::string_view text);

// Tests capture the lines: while a sink is set, lines go to it instead of standard error.
// The sink gets each line without its newline, one call at a time (calls never overlap),
// on the thread that logs; it must not log itself. setSink(nullptr, nullptr) restores
// standard error.
using Sink = void (*)(std::string_view line, void* context);
void setSink(Sink sink, void* context);

}  // namespace corvane::platform::log
