#include "platform/foundation/user_defaults.h"

#include <cctype>
#include <cmath>
#include <limits>
#include <string_view>

#include "platform/foundation/file_utils.h"

namespace corvane::platform {
namespace {

// The shared instance; the holder is never destroyed, so that threads still running at
// exit can use it.
struct Standard {
  std::mutex mutex;
  std::shared_ptr<UserDefaults> instance;
};

Standard& shared() {
  static Standard* standard = new Standard();
  return *standard;
}

// A stored string as an integer, as another tool writing the same file means it: "YES" /
// "true" read as 1 and "NO" / "false" as 0 (any case); otherwise leading blanks, an optional
// sign and the decimal digits that follow ("6", " -12", "8.5" -> 8), saturating at the
// integer range. Anything else reads as 0.
std::int64_t integerFromString(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos])) != 0) ++pos;
  std::size_t end = text.size();
  while (end > pos && std::isspace(static_cast<unsigned char>(text[end - 1])) != 0) --end;
  const std::string_view word = text.substr(pos, end - pos);
  auto is = [word](std::string_view name) {
    if (word.size() != name.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
      if (std::tolower(static_cast<unsigned char>(word[i])) != name[i]) return false;
    }
    return true;
  };
  if (is("yes") || is("true")) return 1;
  if (is("no") || is("false")) return 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  std::int64_t value = 0;  // accumulated towards the sign, so kMin is reachable
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    const int digit = text[pos] - '0';
    if (negative) {
      if (value < (kMin + digit) / 10) return kMin;
      value = value * 10 - digit;
    } else {
      if (value > (kMax - digit) / 10) return kMax;
      value = value * 10 + digit;
    }
  }
  return value;
}

}  // namespace

std::shared_ptr<UserDefaults> UserDefaults::standard() {
  Standard& s = shared();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.instance) s.instance = create(standardFilePath());
  return s.instance;
}

void UserDefaults::resetStandardUserDefaults() {
  Standard& s = shared();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.instance.reset();
}

std::shared_ptr<UserDefaults> UserDefaults::create(std::string filePath) {
  return std::shared_ptr<UserDefaults>(new UserDefaults(std::move(filePath)));
}

std::string UserDefaults::standardFilePath() {
  return files::appendingPathComponent(files::homeDirectory(), ".config/corvane/defaults.plist");
}

UserDefaults::UserDefaults(std::string filePath) : filePath_(std::move(filePath)) {
  std::optional<PropertyList> stored = PropertyList::readFile(filePath_);
  // Anything but a dictionary (a garbled or foreign file) counts as no settings.
  if (stored && stored->asDictionary() != nullptr) values_ = std::move(*stored);
}

std::int64_t UserDefaults::integerForKey(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const PropertyList* value = values_.find(key);
  if (value == nullptr) return 0;
  if (auto i = value->asInteger()) return *i;
  if (auto r = value->asReal()) {
    // A real from the file is cut towards zero; NaN reads as 0 and values beyond the
    // integer range saturate (converting them would be undefined).
    if (std::isnan(*r)) return 0;
    if (*r >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
    if (*r <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(*r);
  }
  if (auto text = value->asString()) return integerFromString(*text);
  return 0;
}

bool UserDefaults::boolForKey(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const PropertyList* value = values_.find(key);
  if (value == nullptr) return false;
  if (auto text = value->asString()) return integerFromString(*text) != 0;
  return value->asBoolean().value_or(false);
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const PropertyList* value = values_.find(key);
  if (value == nullptr) return std::nullopt;
  return value->asString();
}

bool UserDefaults::setInteger(std::int64_t value, const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  values_.set(key, PropertyList::integer(value));
  return storeLocked();
}

bool UserDefaults::setBool(bool value, const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  values_.set(key, PropertyList::boolean(value));
  return storeLocked();
}

bool UserDefaults::setString(const std::string& value, const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  values_.set(key, PropertyList::string(value));
  return storeLocked();
}

bool UserDefaults::removeObjectForKey(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  values_.remove(key);
  return storeLocked();
}

bool UserDefaults::storeLocked() {
  auto slash = filePath_.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    files::createDirectory(filePath_.substr(0, slash), true);
  }
  return values_.writeXmlAtomically(filePath_);
}

}  // namespace corvane::platform
