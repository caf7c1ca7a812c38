#include "platform/foundation/bundle.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <string_view>

#include "platform/foundation/environment.h"
#include "platform/foundation/file_utils.h"

namespace corvane::platform {
namespace {

std::string executableDirectory() {
  std::vector<char> buf(PATH_MAX + 1, '\0');
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return ".";
  std::string path(buf.data(), static_cast<std::size_t>(n));
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string findMainResourcePath() {
  if (auto env = nonEmptyEnvironmentValue("CORVANE_RESOURCES")) return *env;
  std::string exe = executableDirectory();
  std::vector<std::string> candidates = {
      files::appendingPathComponent(exe, "resources"),
      files::appendingPathComponent(exe, "../share/corvane/resources")};
  for (const auto& candidate : candidates) {
    bool isDir = false;
    if (files::exists(candidate, &isDir) && isDir) return candidate;
  }
  return candidates.front();
}

// "de_DE.UTF-8@euro" -> {"de_DE", "de"}; "C" / "POSIX" name no language.
std::vector<std::string> userLanguages() {
  std::vector<std::string> result;
  auto addLocale = [&result](std::string locale) {
    locale = locale.substr(0, locale.find_first_of(".@"));
    if (locale.empty() || locale == "C" || locale == "POSIX") return;
    for (const std::string& name : {locale, locale.substr(0, locale.find('_'))}) {
      if (!name.empty() && std::find(result.begin(), result.end(), name) == result.end()) {
        result.push_back(name);
      }
    }
  };
  if (auto list = nonEmptyEnvironmentValue("LANGUAGE")) {
    std::stringstream ss(*list);
    std::string item;
    while (std::getline(ss, item, ':')) addLocale(item);
  }
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    if (auto value = nonEmptyEnvironmentValue(var)) {
      addLocale(*value);
      break;
    }
  }
  return result;
}

// Strings tables larger than this are not ours; they read as missing.
constexpr off_t kMaxTextSize = off_t{16} * 1024 * 1024;

// Reads a whole small regular file; std::nullopt when it cannot be read. A FIFO or device
// under the name is refused without waiting on it.
std::optional<std::string> readText(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxTextSize) {
    ::close(fd);
    return std::nullopt;
  }
  std::string text(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::read(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;  // the file shrank meanwhile
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  text.resize(done);
  return text;
}

void appendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// A tiny scanner over the text of a strings file.
class StringsScanner {
 public:
  explicit StringsScanner(const std::string& text) : s_(text) {
    // A UTF-8 byte order mark is not part of the text.
    if (s_.compare(0, 3, "\xEF\xBB\xBF") == 0) pos_ = 3;
  }

  // Skips blanks and comments; false on an unterminated comment.
  bool skip() {
    while (pos_ < s_.size()) {
      char c = s_[pos_];
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        ++pos_;
      } else if (s_.compare(pos_, 2, "//") == 0) {
        auto end = s_.find('\n', pos_);
        pos_ = end == std::string::npos ? s_.size() : end + 1;
      } else if (s_.compare(pos_, 2, "/*") == 0) {
        auto end = s_.find("*/", pos_ + 2);
        if (end == std::string::npos) return false;
        pos_ = end + 2;
      } else {
        return true;
      }
    }
    return true;
  }

  bool atEnd() const { return pos_ >= s_.size(); }
  bool take(char c) {
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  // A quoted string, or a bare word of letters, digits and "_.-$:/".
  std::optional<std::string> token() {
    if (pos_ >= s_.size()) return std::nullopt;
    if (s_[pos_] != '"') {
      std::size_t start = pos_;
      while (pos_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[pos_])) ||
                                  std::string_view("_.-$:/").find(s_[pos_]) != std::string::npos)) {
        ++pos_;
      }
      if (pos_ == start) return std::nullopt;
      return s_.substr(start, pos_ - start);
    }
    ++pos_;
    std::string out;
    while (pos_ < s_.size()) {
      char c = s_[pos_++];
      if (c == '"') return out;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (pos_ >= s_.size()) return std::nullopt;
      char e = s_[pos_++];
      switch (e) {
        case 'n':
          out.push_back('\n');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case '0':
          out.push_back('\0');
          break;
        case 'U':
        case 'u': {
          std::optional<std::uint32_t> unit = hex4();
          if (!unit) return std::nullopt;
          std::uint32_t cp = *unit;
          // UTF-16 escapes: a high surrogate pairs with a following \uDC00-\uDFFF escape.
          if (cp >= 0xD800 && cp <= 0xDBFF && pos_ + 1 < s_.size() && s_[pos_] == '\\' &&
              (s_[pos_ + 1] == 'u' || s_[pos_ + 1] == 'U')) {
            std::size_t save = pos_;
            pos_ += 2;
            std::optional<std::uint32_t> low = hex4();
            if (low && *low >= 0xDC00 && *low <= 0xDFFF) {
              cp = 0x10000 + ((cp - 0xD800) << 10) + (*low - 0xDC00);
            } else {
              pos_ = save;
            }
          }
          if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;  // a lone surrogate
          appendUtf8(out, cp);
          break;
        }
        default:
          out.push_back(e);
          break;  // \" \\ \' and unknown escapes keep the character
      }
    }
    return std::nullopt;  // unterminated
  }

 private:
  // One to four hex digits.
  std::optional<std::uint32_t> hex4() {
    std::uint32_t value = 0;
    int digits = 0;
    while (digits < 4 && pos_ < s_.size() && std::isxdigit(static_cast<unsigned char>(s_[pos_]))) {
      char h = s_[pos_++];
      value = value * 16 + static_cast<std::uint32_t>(std::isdigit(static_cast<unsigned char>(h))
                                                          ? h - '0'
                                                          : std::tolower(h) - 'a' + 10);
      ++digits;
    }
    if (digits == 0) return std::nullopt;
    return value;
  }

  const std::string& s_;
  std::size_t pos_ = 0;
};

}  // namespace

std::shared_ptr<Bundle> Bundle::main() {
  // Never destroyed, so that threads still running at exit can use it.
  static const auto* bundle = new std::shared_ptr<Bundle>(new Bundle(findMainResourcePath()));
  return *bundle;
}

std::shared_ptr<Bundle> Bundle::create(std::string resourcePath) {
  return std::shared_ptr<Bundle>(new Bundle(std::move(resourcePath)));
}

Bundle::Bundle(std::string resourcePath) : resourcePath_(std::move(resourcePath)) {}

std::vector<std::string> Bundle::searchFolders() const {
  std::vector<std::string> folders;
  for (const auto& language : userLanguages()) {
    folders.push_back(files::appendingPathComponent(resourcePath_, language + ".lproj"));
  }
  for (const char* fallback : {"en.lproj", "Base.lproj"}) {
    std::string folder = files::appendingPathComponent(resourcePath_, fallback);
    if (std::find(folders.begin(), folders.end(), folder) == folders.end()) {
      folders.push_back(folder);
    }
  }
  folders.push_back(resourcePath_);
  return folders;
}

std::optional<std::string> Bundle::pathForResource(const std::string& name,
                                                   const std::string& type) const {
  if (name.empty() || name.find("..") != std::string::npos) return std::nullopt;
  std::string file = type.empty() ? name : name + "." + type;
  // The resource folder itself comes first, then the localised folders in language order.
  std::vector<std::string> folders = searchFolders();
  std::rotate(folders.begin(), folders.end() - 1, folders.end());
  for (const auto& folder : folders) {
    std::string path = files::appendingPathComponent(folder, file);
    if (files::exists(path)) return path;
  }
  return std::nullopt;
}

const PropertyList& Bundle::infoDictionary() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!info_) {
    info_ = PropertyList::readFile(files::appendingPathComponent(resourcePath_, "Info.plist"));
    if (!info_ || info_->asDictionary() == nullptr) info_ = PropertyList::dictionary();
  }
  return *info_;
}

std::optional<std::string> Bundle::objectForInfoDictionaryKey(const std::string& key) const {
  const PropertyList* value = infoDictionary().find(key);
  return value != nullptr ? value->asString() : std::nullopt;
}

std::map<std::string, std::string> Bundle::parseStrings(const std::string& text) {
  std::map<std::string, std::string> pairs;
  StringsScanner in(text);
  while (in.skip() && !in.atEnd()) {
    std::optional<std::string> key = in.token();
    if (!key || !in.skip()) break;
    std::optional<std::string> value;
    if (in.take('=')) {
      if (!in.skip()) break;
      value = in.token();
      if (!value || !in.skip()) break;
    } else {
      value = *key;  // "key"; stands for "key" = "key";
    }
    if (!in.take(';')) break;
    pairs.insert_or_assign(*key, *value);
  }
  return pairs;
}

const std::map<std::string, std::string>& Bundle::tableLocked(const std::string& table) const {
  auto it = tables_.find(table);
  if (it != tables_.end()) return it->second;
  std::map<std::string, std::string> merged;
  // Earlier folders win: walk from the most general to the most specific.
  std::vector<std::string> folders = searchFolders();
  for (auto f = folders.rbegin(); f != folders.rend(); ++f) {
    std::string path = files::appendingPathComponent(*f, table + ".strings");
    std::map<std::string, std::string> pairs;
    if (auto text = readText(path)) {
      // A strings file may also be a property list dictionary.
      auto plist = text->find("<plist") != std::string::npos || text->rfind("bplist", 0) == 0
                       ? PropertyList::parse(text->data(), text->size())
                       : std::nullopt;
      if (plist && plist->asDictionary() != nullptr) {
        for (const auto& [k, v] : *plist->asDictionary()) {
          if (auto s = v.asString()) pairs[k] = *s;
        }
      } else {
        pairs = parseStrings(*text);
      }
    }
    for (auto& [k, v] : pairs) merged.insert_or_assign(k, std::move(v));
  }
  return tables_.emplace(table, std::move(merged)).first->second;
}

std::string Bundle::localizedString(const std::string& key, const std::string& defaultValue,
                                    const std::string& table) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto& pairs = tableLocked(table.empty() ? std::string("Localizable") : table);
  auto it = pairs.find(key);
  if (it != pairs.end()) return it->second;
  return defaultValue.empty() ? key : defaultValue;
}

}  // namespace corvane::platform
