// Test helpers: readable property lists in failure messages, and a fresh folder under the system's
// temporary folder, removed with everything in it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <string>

#include "platform/foundation/file_utils.h"
#include "platform/foundation/property_list.h"

namespace corvane::platform {
// Failure messages show property lists as XML.
inline void PrintTo(const PropertyList& value, std::ostream* os) { *os << value.toXml(); }
}  // namespace corvane::platform

namespace corvane::platform::testing {

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = "/tmp/corvane-foundation-XXXXXX";
    char* made = mkdtemp(pattern.data());
    EXPECT_NE(made, nullptr);
    path_ = pattern;
  }
  ~TempFolder() { files::remove(path_); }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  // Writes `text` to `name` (relative to the folder), making parent folders.
  std::string write(const std::string& name, const std::string& text) const {
    std::string full = *this / name;
    auto slash = full.rfind('/');
    files::createDirectory(full.substr(0, slash), true);
    std::ofstream out(full, std::ios::binary);
    out << text;
    return full;
  }

 private:
  std::string path_;
};

inline std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace corvane::platform::testing
