#include "installer/zip_file_system.h"

#include <fcntl.h>
#include <unistd.h>

#include <ctime>

namespace corvane::extraction {

namespace {
// Reference date (2001-01-01) as Unix seconds.
constexpr double kUnixToReference = 978307200.0;
}  // namespace

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

std::vector<std::string> splitPath(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : path) {
    if (c == '/') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part.push_back(c);
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

std::string joinPath(const std::vector<std::string>& parts, std::size_t count) {
  std::string path;
  for (std::size_t i = 0; i < count && i < parts.size(); ++i) {
    if (i > 0) path += '/';
    path += parts[i];
  }
  return path;
}

struct timespec toTimespec(double referenceDate) {
  struct timespec ts {};
  ts.tv_sec = static_cast<time_t>(referenceDate + kUnixToReference);
  ts.tv_nsec = 0;
  return ts;
}

Fd openFolders(int root, const std::vector<std::string>& parts, std::size_t count, bool create,
               std::optional<double> date) {
  Fd current(::dup(root));
  for (std::size_t i = 0; i < count && current.valid(); ++i) {
    const char* name = parts[i].c_str();
    if (create && ::mkdirat(current.get(), name, 0777) == 0 && date) {
      setDateAt(current.get(), name, *date);
    }
    current = Fd(::openat(current.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  return current;
}

void setDateAt(int dir, const char* leaf, double date) {
  const struct timespec ts = toTimespec(date);
  const struct timespec times[2] = {ts, ts};
  ::utimensat(dir, leaf, times, AT_SYMLINK_NOFOLLOW);
}

double dosDateToReference(std::uint64_t dos) {
  struct tm t {};
  t.tm_year = static_cast<int>(((dos >> 25) & 0x7F) + 1980) - 1900;
  t.tm_mon = static_cast<int>((dos >> 21) & 0x0F) - 1;
  t.tm_mday = static_cast<int>((dos >> 16) & 0x1F);
  t.tm_hour = static_cast<int>((dos >> 11) & 0x1F);
  t.tm_min = static_cast<int>((dos >> 5) & 0x3F);
  t.tm_sec = static_cast<int>((dos & 0x1F) * 2);
  t.tm_isdst = -1;
  const time_t unix = ::mktime(&t);
  return static_cast<double>(unix) - kUnixToReference;
}

}  // namespace corvane::extraction
