#include "platform/foundation/file_utils.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/foundation/environment.h"
#include "platform/foundation/reference_date.h"

namespace corvane::platform::files {
namespace {

bool fail(Error* error, int err, const std::string& what, const std::string& path) {
  if (error != nullptr) {
    *error = Error("POSIXErrorDomain", err, what + " \"" + path + "\": " + systemErrorText(err));
  }
  return false;
}

std::string withoutTrailingSlashes(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

bool makeOne(const std::string& path, Error* error) {
  if (::mkdir(path.c_str(), 0755) != 0) return fail(error, errno, "Cannot create folder", path);
  return true;
}

// The next entry name of a folder stream, nullptr at its end.
const char* nextEntryName(DIR* dir) {
  // Each stream here is read by one thread only; readdir is safe for distinct streams.
  const dirent* entry = ::readdir(dir);  // NOLINT(concurrency-mt-unsafe)
  return entry != nullptr ? entry->d_name : nullptr;
}

bool isDotOrDotDot(const char* name) {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// Removes `name` below the folder `parent`, depth first and never following symbolic links
// (a link is removed, not what it points at). Answers 0 or the errno of the first failure.
int removeBelow(int parent, const char* name) {
  struct stat st {};
  if (::fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ::unlinkat(parent, name, 0) == 0 ? 0 : errno;
  const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    const int err = errno;
    ::close(fd);
    return err;
  }
  // Names first, then removal: the stream is not read while its folder changes.
  std::vector<std::string> names;
  while (const char* entry = nextEntryName(dir)) {
    if (!isDotOrDotDot(entry)) names.emplace_back(entry);
  }
  int err = 0;
  for (const auto& entry : names) {
    err = removeBelow(fd, entry.c_str());
    if (err != 0) break;
  }
  ::closedir(dir);  // closes fd
  if (err != 0) return err;
  return ::unlinkat(parent, name, AT_REMOVEDIR) == 0 ? 0 : errno;
}

std::optional<double> dateOf(const struct timespec& ts) { return ReferenceDate::fromTimespec(ts); }

}  // namespace

bool exists(const std::string& path, bool* isDirectory) {
  if (isDirectory != nullptr) *isDirectory = false;
  if (path.empty()) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (isDirectory != nullptr) *isDirectory = S_ISDIR(st.st_mode);
    return true;
  }
  // A dangling symbolic link still occupies the name.
  return ::lstat(path.c_str(), &st) == 0;
}

bool createDirectory(const std::string& path, bool withIntermediates, Error* error,
                     std::optional<double> modificationDate) {
  if (path.empty()) return fail(error, ENOENT, "Cannot create folder", path);
  std::string target = withoutTrailingSlashes(path);
  if (!withIntermediates) {
    if (!makeOne(target, error)) return false;
    if (modificationDate) setModificationDate(target, *modificationDate, nullptr);
    return true;
  }

  bool isDir = false;
  if (exists(target, &isDir)) {
    return isDir ? true : fail(error, EEXIST, "Cannot create folder", target);
  }
  // Make each missing ancestor, shallowest first. Dates are set at the end: making a child
  // would move its parent's modification date again.
  std::vector<std::string> made;
  std::size_t pos = 0;
  while (true) {
    pos = target.find('/', pos + 1);
    std::string prefix = target.substr(0, pos);
    if (!prefix.empty() && !exists(prefix, &isDir)) {
      if (makeOne(prefix, error)) {
        made.push_back(prefix);
      } else if (!(exists(prefix, &isDir) && isDir)) {
        return false;  // (another thread or process may have made it meanwhile)
      }
    } else if (!prefix.empty() && !isDir) {
      return fail(error, ENOTDIR, "Cannot create folder", target);
    }
    if (pos == std::string::npos) break;
  }
  if (modificationDate) {
    for (const auto& folder : made) setModificationDate(folder, *modificationDate, nullptr);
  }
  return true;
}

bool createFile(const std::string& path, const std::vector<std::uint8_t>& contents, Error* error) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return fail(error, errno, "Cannot create file", path);
  std::size_t done = 0;
  while (done < contents.size()) {
    ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : EIO;
      ::close(fd);
      return fail(error, err, "Cannot write file", path);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) return fail(error, errno, "Cannot write file", path);
  return true;
}

bool remove(const std::string& path, Error* error) {
  struct stat st {};
  if (path.empty() || ::lstat(path.c_str(), &st) != 0) {
    return fail(error, path.empty() ? ENOENT : errno, "Cannot remove", path);
  }
  if (!S_ISDIR(st.st_mode)) {
    if (::unlink(path.c_str()) != 0) return fail(error, errno, "Cannot remove", path);
    return true;
  }
  // Depth first, never following links out of the tree.
  const int err = removeBelow(AT_FDCWD, path.c_str());
  if (err != 0) return fail(error, err, "Cannot remove", path);
  return true;
}

bool move(const std::string& from, const std::string& to, Error* error) {
  struct stat st {};
  if (::lstat(from.c_str(), &st) != 0) return fail(error, errno, "Cannot move", from);
  if (::lstat(to.c_str(), &st) == 0) return fail(error, EEXIST, "Cannot move to", to);
  if (::rename(from.c_str(), to.c_str()) != 0) return fail(error, errno, "Cannot move", from);
  return true;
}

std::optional<std::vector<std::string>> contentsOfDirectory(const std::string& path, Error* error) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) {
    fail(error, errno, "Cannot list folder", path);
    return std::nullopt;
  }
  std::vector<std::string> names;
  while (const char* entry = nextEntryName(dir)) {
    if (!isDotOrDotDot(entry)) names.emplace_back(entry);
  }
  ::closedir(dir);
  return names;
}

std::optional<double> modificationDate(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return dateOf(st.st_mtim);
}

bool setModificationDate(const std::string& path, double date, Error* error) {
  if (!std::isfinite(date)) return fail(error, EINVAL, "Cannot set the date of", path);
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // access time unchanged
  times[1] = ReferenceDate::toTimespec(date);
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
    return fail(error, errno, "Cannot set the date of", path);
  }
  return true;
}

std::optional<double> creationDate(const std::string& path) {
  struct statx stx {};
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &stx) != 0) {
    return std::nullopt;
  }
  const statx_timestamp& t = (stx.stx_mask & STATX_BTIME) ? stx.stx_btime : stx.stx_mtime;
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(t.tv_sec);
  ts.tv_nsec = static_cast<long>(t.tv_nsec);
  return ReferenceDate::fromTimespec(ts);
}

std::optional<std::uint64_t> fileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::optional<std::uint32_t> posixPermissions(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<std::uint32_t>(st.st_mode & 07777);
}

bool setPosixPermissions(const std::string& path, std::uint32_t permissions, Error* error) {
  if (::chmod(path.c_str(), static_cast<mode_t>(permissions & 07777)) != 0) {
    return fail(error, errno, "Cannot set the permissions of", path);
  }
  return true;
}

std::string lastPathComponent(const std::string& path) {
  std::string p = withoutTrailingSlashes(path);
  if (p == "/") return p;
  auto slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string appendingPathComponent(const std::string& path, const std::string& component) {
  if (path.empty()) return component;
  std::string c = component;
  while (!c.empty() && c.front() == '/') c.erase(c.begin());
  if (path.back() == '/') return path + c;
  return path + "/" + c;
}

namespace {
// The password database entry of the real user, read reentrantly.
template <typename F>
auto withPasswd(F&& f) -> decltype(f(static_cast<const passwd*>(nullptr))) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd pw{};
  passwd* result = nullptr;
  if (getpwuid_r(getuid(), &pw, buffer.data(), buffer.size(), &result) != 0) result = nullptr;
  return f(result);
}
}  // namespace

std::string homeDirectory() {
  if (auto home = nonEmptyEnvironmentValue("HOME")) return *home;
  std::string fromDb = withPasswd([](const passwd* pw) {
    return pw != nullptr && pw->pw_dir != nullptr ? std::string(pw->pw_dir) : std::string();
  });
  return fromDb.empty() ? std::string("/") : fromDb;
}

std::string userLibraryDirectory() { return appendingPathComponent(homeDirectory(), "Library"); }

namespace {

// Whether `path` is a folder (not a link to one) of the calling user's own, open to nobody
// else (mode 0700).
bool isPrivateFolder(const std::string& path) {
  struct stat st {};
  if (path.empty() || path[0] != '/' || ::lstat(path.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 07777) == 0700;
}

std::string withSlash(std::string path) {
  if (path.empty() || path.back() != '/') path.push_back('/');
  return path;
}

// A fresh private folder below `base`, made once per base and process (mkdtemp: mode 0700,
// the caller's own) and made again when it went away; "" when none can be made.
std::string freshPrivateFolder(const std::string& base) {
  static std::mutex mutex;
  static std::map<std::string, std::string> made;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = made.find(base);
  if (it != made.end() && isPrivateFolder(it->second)) return it->second;
  std::string pattern = base + "corvane-" + std::to_string(::geteuid()) + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr || !isPrivateFolder(pattern)) return "";
  made[base] = pattern;
  return pattern;
}

}  // namespace

std::string temporaryDirectory() {
  if (auto runtime = nonEmptyEnvironmentValue("XDG_RUNTIME_DIR")) {
    const std::string folder = withoutTrailingSlashes(*runtime);
    if (isPrivateFolder(folder)) return withSlash(folder);
  }
  const std::string base = withSlash(nonEmptyEnvironmentValue("TMPDIR").value_or("/tmp"));
  // The user's folder of a fixed name, made here or by an earlier run; one that somebody else
  // made, or that is open to others, is never used.
  const std::string own = base + "corvane-" + std::to_string(::geteuid());
  if (::mkdir(own.c_str(), 0700) == 0) ::chmod(own.c_str(), 0700);  // whatever the umask
  if (isPrivateFolder(own)) return withSlash(own);
  const std::string fresh = freshPrivateFolder(base);
  return fresh.empty() ? fresh : withSlash(fresh);
}

std::string fullUserName() {
  return withPasswd([](const passwd* pw) {
    if (pw == nullptr) return std::string();
    std::string gecos = pw->pw_gecos != nullptr ? pw->pw_gecos : "";
    std::string full = gecos.substr(0, gecos.find(','));
    if (!full.empty()) return full;
    return pw->pw_name != nullptr ? std::string(pw->pw_name) : std::string();
  });
}

}  // namespace corvane::platform::files
