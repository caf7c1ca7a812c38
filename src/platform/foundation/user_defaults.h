// User defaults: small settings (integers, booleans, strings) kept by key in an XML
// property list under the user's home, <home>/.config/corvane/defaults.plist.
//
// Every setter writes the file at once (atomically), so a new instance, or the next run of
// the program, reads what an earlier one wrote. A missing or garbled file reads as empty.
// Absent keys read as 0 / false / std::nullopt.
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/property_list.h"

namespace corvane::platform {

class UserDefaults {
 public:
  // The process-wide instance, reading <home>/.config/corvane/defaults.plist with the home
  // of `files::homeDirectory()` at its first use.
  static std::shared_ptr<UserDefaults> standard();
  // Drops the process-wide instance; the next `standard()` makes a new one from the file
  // under the then-current home (tests point $HOME at a temporary folder first).
  static void resetStandardUserDefaults();
  // An instance backed by the given file (tests).
  static std::shared_ptr<UserDefaults> create(std::string filePath);
  // <home>/.config/corvane/defaults.plist for the current home.
  static std::string standardFilePath();

  // 0 when absent or neither a number nor a string (a boolean reads as 0 or 1); a real is
  // cut towards zero and saturates at the integer range. A string (as another tool may store
  // it) converts: "YES"/"true" -> 1, "NO"/"false" -> 0 (any case), else its leading decimal
  // integer ("6", " -12", "8.5" -> 8; saturating), else 0.
  std::int64_t integerForKey(const std::string& key) const;
  // false when absent; numbers read as non-zero; strings convert as for `integerForKey`
  // and read as true when that gives non-zero ("YES", "true", "1").
  bool boolForKey(const std::string& key) const;
  // std::nullopt when absent or not a string.
  std::optional<std::string> stringForKey(const std::string& key) const;

  // Setters return whether the file was written; the value is kept in memory either way.
  bool setInteger(std::int64_t value, const std::string& key);
  bool setBool(bool value, const std::string& key);
  bool setString(const std::string& value, const std::string& key);
  bool removeObjectForKey(const std::string& key);

  const std::string& filePath() const { return filePath_; }

 private:
  explicit UserDefaults(std::string filePath);
  bool storeLocked();

  const std::string filePath_;
  mutable std::mutex mutex_;
  PropertyList values_;
};

}  // namespace corvane::platform
