// Date texts of the logging framework: a small pattern formatter for the fixed patterns the
// loggers use (fields yyyy, MM, dd, HH, mm, ss, SSS; text in single quotes and any other
// character is literal) and the matching strict parser. Dates are seconds since the
// reference date. Pure functions; safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvane::detail {

enum class LogTimeZone { Local, Utc };

// `date` as text by `pattern`, in the local time zone or in GMT+0.
std::string formatLogDate(std::string_view pattern, double date, LogTimeZone zone);

// The date that `text` spells by `pattern` (every field exactly as wide as in the pattern,
// in range, literals matching, nothing left over), or nullopt.
std::optional<double> parseLogDate(std::string_view pattern, std::string_view text,
                                   LogTimeZone zone);

}  // namespace corvane::detail
