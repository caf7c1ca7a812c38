// The application bundle: its resource folder (interface descriptions, images, the driver
// archive, Info.plist, strings tables), resource lookup by name and type, the information
// dictionary and localised strings.
//
// The main bundle's resource folder is, in this order: $CORVANE_RESOURCES when set (tests),
// <executable dir>/resources, <executable dir>/../share/corvane/resources; the first one
// that exists (else the first candidate, so that look-ups simply find nothing).
// Resource files are looked up in the resource folder itself, then in
// <resources>/<language>.lproj for the user's language ($LANGUAGE, $LC_ALL, $LC_MESSAGES,
// $LANG, e.g. "de_DE" then "de"), then in en.lproj and Base.lproj. Strings tables merge the
// same folders, the localised ones winning over the resource folder.
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/property_list.h"

namespace corvane::platform {

class Bundle {
 public:
  // The application's bundle (resource folder found as above, at first use).
  static std::shared_ptr<Bundle> main();
  // A bundle over a given resource folder (tests).
  static std::shared_ptr<Bundle> create(std::string resourcePath);

  const std::string& resourcePath() const { return resourcePath_; }

  // The path of "<name>.<type>" (or "<name>" when `type` is empty) in the resource folder,
  // else in the localised folders, or std::nullopt when there is no such file.
  std::optional<std::string> pathForResource(const std::string& name,
                                             const std::string& type) const;

  // Info.plist of the resource folder as a dictionary; empty when missing or unreadable.
  const PropertyList& infoDictionary() const;
  // A string value of the information dictionary ("ProductName"), std::nullopt if absent.
  std::optional<std::string> objectForInfoDictionaryKey(const std::string& key) const;

  // The text for `key` in the strings table `table` ("Localizable" when empty), read from
  // "<table>.strings" (lines like  "key" = "value";  with /* */ and // comments, or an
  // XML/binary property list dictionary). When the key is not found: `defaultValue`, or
  // the key itself when `defaultValue` is empty.
  std::string localizedString(const std::string& key, const std::string& defaultValue = "",
                              const std::string& table = "") const;

  // Parses the text of a strings file; pairs before a syntax error are kept.
  static std::map<std::string, std::string> parseStrings(const std::string& text);

 private:
  explicit Bundle(std::string resourcePath);
  std::vector<std::string> searchFolders() const;
  const std::map<std::string, std::string>& tableLocked(const std::string& table) const;

  const std::string resourcePath_;
  mutable std::mutex mutex_;
  mutable std::optional<PropertyList> info_;
  mutable std::map<std::string, std::map<std::string, std::string>> tables_;
};

}  // namespace corvane::platform
