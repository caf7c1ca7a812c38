#include "logging/log_date_format.h"

#include <cmath>
#include <ctime>
#include <vector>

#include "platform/foundation/reference_date.h"

namespace corvane::detail {
namespace {

using platform::ReferenceDate;

enum class Field { Literal, Year, Month, Day, Hour, Minute, Second, Millisecond };

struct Token {
  Field field = Field::Literal;
  std::string literal;  // Field::Literal only
  int width = 0;
};

Field fieldFor(char c, size_t run) {
  switch (c) {
    case 'y': return run == 4 ? Field::Year : Field::Literal;
    case 'M': return run == 2 ? Field::Month : Field::Literal;
    case 'd': return run == 2 ? Field::Day : Field::Literal;
    case 'H': return run == 2 ? Field::Hour : Field::Literal;
    case 'm': return run == 2 ? Field::Minute : Field::Literal;
    case 's': return run == 2 ? Field::Second : Field::Literal;
    case 'S': return run == 3 ? Field::Millisecond : Field::Literal;
    default: return Field::Literal;
  }
}

std::vector<Token> tokenize(std::string_view pattern) {
  std::vector<Token> tokens;
  auto addLiteral = [&](std::string_view text) {
    if (tokens.empty() || tokens.back().field != Field::Literal) tokens.push_back({});
    tokens.back().literal.append(text);
  };
  size_t i = 0;
  while (i < pattern.size()) {
    const char c = pattern[i];
    if (c == '\'') {
      const size_t end = pattern.find('\'', i + 1);
      if (end == i + 1) {
        addLiteral("'");  // '' is a quote
        i += 2;
        continue;
      }
      const size_t stop = end == std::string_view::npos ? pattern.size() : end;
      addLiteral(pattern.substr(i + 1, stop - i - 1));
      i = stop == pattern.size() ? stop : stop + 1;
      continue;
    }
    size_t run = 1;
    while (i + run < pattern.size() && pattern[i + run] == c) ++run;
    const Field field = fieldFor(c, run);
    if (field == Field::Literal) {
      addLiteral(pattern.substr(i, run));
    } else {
      tokens.push_back({field, {}, static_cast<int>(run)});
    }
    i += run;
  }
  return tokens;
}

void appendNumber(std::string& out, long value, int width) {
  std::string digits = std::to_string(value < 0 ? -value : value);
  if (value < 0) out.push_back('-');
  for (size_t n = digits.size(); n < static_cast<size_t>(width); ++n) out.push_back('0');
  out.append(digits);
}

bool isLeap(long year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int daysInMonth(long year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeap(year) ? 29 : kDays[month - 1];
}

}  // namespace

std::string formatLogDate(std::string_view pattern, double date, LogTimeZone zone) {
  if (!std::isfinite(date)) date = 0;
  const double whole = std::floor(date);
  long millis = std::lround((date - whole) * 1000.0);
  double seconds = whole;
  if (millis >= 1000) {
    millis -= 1000;
    seconds += 1;
  }
  const timespec ts = ReferenceDate::toTimespec(seconds);
  const time_t unixSeconds = ts.tv_sec;
  std::tm tm{};
  if (zone == LogTimeZone::Utc) {
    ::gmtime_r(&unixSeconds, &tm);
  } else {
    ::localtime_r(&unixSeconds, &tm);
  }
  std::string out;
  for (const Token& t : tokenize(pattern)) {
    switch (t.field) {
      case Field::Literal: out.append(t.literal); break;
      case Field::Year: appendNumber(out, long(tm.tm_year) + 1900, t.width); break;
      case Field::Month: appendNumber(out, long(tm.tm_mon) + 1, t.width); break;
      case Field::Day: appendNumber(out, tm.tm_mday, t.width); break;
      case Field::Hour: appendNumber(out, tm.tm_hour, t.width); break;
      case Field::Minute: appendNumber(out, tm.tm_min, t.width); break;
      case Field::Second: appendNumber(out, tm.tm_sec, t.width); break;
      case Field::Millisecond: appendNumber(out, millis, t.width); break;
    }
  }
  return out;
}

std::optional<double> parseLogDate(std::string_view pattern, std::string_view text,
                                   LogTimeZone zone) {
  long year = 2001;
  int month = 1, day = 1, hour = 0, minute = 0, second = 0, millis = 0;
  size_t pos = 0;
  for (const Token& t : tokenize(pattern)) {
    if (t.field == Field::Literal) {
      if (text.substr(pos, t.literal.size()) != t.literal) return std::nullopt;
      pos += t.literal.size();
      continue;
    }
    const size_t width = static_cast<size_t>(t.width);
    if (text.size() - pos < width) return std::nullopt;
    int value = 0;
    for (size_t k = 0; k < width; ++k) {
      const char c = text[pos + k];
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + (c - '0');
    }
    pos += width;
    switch (t.field) {
      case Field::Year: year = value; break;
      case Field::Month: month = value; break;
      case Field::Day: day = value; break;
      case Field::Hour: hour = value; break;
      case Field::Minute: minute = value; break;
      case Field::Second: second = value; break;
      case Field::Millisecond: millis = value; break;
      case Field::Literal: break;
    }
  }
  if (pos != text.size()) return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    return std::nullopt;
  }
  std::tm tm{};
  tm.tm_year = static_cast<int>(year - 1900);
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  const time_t unixSeconds = zone == LogTimeZone::Utc ? ::timegm(&tm) : ::mktime(&tm);
  return ReferenceDate::fromUnixTime(static_cast<double>(unixSeconds)) + millis / 1000.0;
}

}  // namespace corvane::detail
