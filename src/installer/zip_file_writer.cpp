#include "installer/zip_file_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>

#include "installer/zip_file_system.h"

namespace corvane::extraction {

namespace {

// A new file with a name of its own in folder `dir`, removed unless it was moved into place.
class StagedFile {
 public:
  explicit StagedFile(int dir) : dir_(dir) {
    std::random_device random;
    for (int attempt = 0; attempt < 16 && !fd_.valid(); ++attempt) {
      char name[32];
      std::snprintf(name, sizeof name, ".sszip-%08x.part", random());
      fd_ = Fd(::openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
      if (fd_.valid()) name_ = name;
      if (!fd_.valid() && errno != EEXIST) break;
    }
  }
  ~StagedFile() {
    if (!name_.empty()) ::unlinkat(dir_, name_.c_str(), 0);
  }
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  bool valid() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  // Moves the file to `leaf`, replacing a file or link there.
  bool moveTo(const std::string& leaf) {
    if (::renameat(dir_, name_.c_str(), dir_, leaf.c_str()) != 0) return false;
    name_.clear();
    return true;
  }

 private:
  const int dir_;
  Fd fd_;
  std::string name_;
};

bool writeAll(int fd, const std::uint8_t* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t w = ::write(fd, bytes, size);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    bytes += w;
    size -= static_cast<std::size_t>(w);
  }
  return true;
}

}  // namespace

FileResult writeFileEntry(void* zip, int dir, const FileEntry& entry) {
  if (entry.declaredSize > kMaxEntrySize) return FileResult::TooLarge;
  StagedFile staged(dir);
  if (!staged.valid()) return FileResult::Skipped;
  bool written = true;
  const DataStatus status = readEntryData(zip, {entry.declaredSize, entry.crc, kMaxEntrySize},
                                          [&](const std::uint8_t* bytes, std::size_t size) {
                                            written = writeAll(staged.fd(), bytes, size);
                                            return written;
                                          });
  switch (status) {
    case DataStatus::Complete:
      break;
    case DataStatus::Damaged:
      return FileResult::Damaged;
    case DataStatus::TooLarge:
      return FileResult::TooLarge;
    case DataStatus::Stopped:
      return FileResult::Skipped;  // the disk would not take it
  }
  if (entry.dosDate != 0) {
    const struct timespec ts = toTimespec(entry.date);
    const struct timespec times[2] = {ts, ts};
    ::futimens(staged.fd(), times);
  }
  if (entry.externalAttributes > 0xFFFF) {
    // Permission bits only: an archive makes no set-id or sticky files.
    ::fchmod(staged.fd(), static_cast<mode_t>((entry.externalAttributes >> 16) & 0777));
  }
  return staged.moveTo(entry.leaf) ? FileResult::Written : FileResult::Skipped;
}

}  // namespace corvane::extraction
