#include "installer/zip_link.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "installer/zip_file_system.h"

namespace corvane::extraction {

namespace {
constexpr int kMaxHops = 40;
}  // namespace

LinkTarget readLinkTarget(void* zip, std::uint64_t declaredSize, std::uint64_t crc) {
  LinkTarget result;
  if (declaredSize > kMaxLinkTarget) {
    result.refusal = "link target longer than a path";
    return result;
  }
  result.status = readEntryData(zip, {declaredSize, crc, kMaxLinkTarget},
                                [&result](const std::uint8_t* bytes, std::size_t size) {
                                  result.target.append(bytes, bytes + size);
                                  return true;
                                });
  if (result.status == DataStatus::TooLarge) {
    // Declared short, inflating longer: damaged rather than merely long.
    result.status = DataStatus::Damaged;
  }
  if (result.status == DataStatus::Complete && result.target.find('\0') != std::string::npos) {
    result.refusal = "link target with a NUL byte";
  }
  return result;
}

LinkJudge::Found LinkJudge::look(const std::vector<std::string>& path,
                                 std::string* linkTarget) const {
  if (path.empty()) return Found::Folder;
  Fd folder = openFolders(root_, path, path.size() - 1, false, std::nullopt);
  if (!folder.valid()) return Found::Other;
  struct stat st {};
  if (::fstatat(folder.get(), path.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return Found::Other;
  }
  if (S_ISDIR(st.st_mode)) return Found::Folder;
  if (!S_ISLNK(st.st_mode)) return Found::Other;
  std::vector<char> buffer(kMaxLinkTarget + 2);
  const ssize_t n = ::readlinkat(folder.get(), path.back().c_str(), buffer.data(), buffer.size());
  if (n < 0 || static_cast<std::uint64_t>(n) > kMaxLinkTarget) return Found::Other;
  linkTarget->assign(buffer.data(), static_cast<std::size_t>(n));
  return Found::Link;
}

bool LinkJudge::walk(std::vector<std::string>& at, bool& certain, const std::string& target,
                     int& hops, std::string* reason) {
  if (target.empty()) {
    *reason = "empty link target";
    return false;
  }
  if (target[0] == '/') {
    *reason = "link to an absolute path";
    return false;
  }
  for (const auto& part : splitPath(target)) {
    if (part == ".") continue;
    if (part == "..") {
      if (!certain) {
        *reason = "link climbing out of something that is not a folder yet";
        return false;
      }
      if (at.empty()) {
        *reason = "link pointing outside the destination";
        return false;
      }
      at.pop_back();
      continue;
    }
    at.push_back(part);
    if (!certain) continue;
    std::string inner;
    switch (look(at, &inner)) {
      case Found::Folder:
        break;
      case Found::Other:
        certain = false;
        break;
      case Found::Link:
        if (++hops > kMaxHops) {
          *reason = "too many links";
          return false;
        }
        pinned_.insert(joinPath(at, at.size()));
        at.pop_back();  // a link's target starts from its own folder
        if (!walk(at, certain, inner, hops, reason)) return false;
        break;
    }
  }
  return true;
}

bool LinkJudge::resolvesInside(const std::vector<std::string>& link, const std::string& target,
                               std::string* reason) {
  if (link.empty()) {
    *reason = "empty name";
    return false;
  }
  std::vector<std::string> at(link.begin(), link.end() - 1);
  bool certain = true;  // the link's folder was just made (or found) as a real folder
  int hops = 0;
  return walk(at, certain, target, hops, reason);
}

bool LinkJudge::isPinned(const std::vector<std::string>& path) const {
  return pinned_.count(joinPath(path, path.size())) != 0;
}

bool makeLink(int dir, const std::string& leaf, const std::string& target, bool overwrite) {
  struct stat st {};
  if (::fstatat(dir, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!overwrite || S_ISDIR(st.st_mode)) return false;
    ::unlinkat(dir, leaf.c_str(), 0);
  }
  return ::symlinkat(target.c_str(), dir, leaf.c_str()) == 0;
}

}  // namespace corvane::extraction
