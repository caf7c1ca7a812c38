#include "platform/foundation/user_defaults.h"

#include <cmath>
#include <limits>

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
  return 0;
}

bool UserDefaults::boolForKey(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const PropertyList* value = values_.find(key);
  if (value == nullptr) return false;
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
