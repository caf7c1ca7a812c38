#include "installer/ss_zip_archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unzip.h>
#include <zip.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>

#include "platform/foundation/file_utils.h"
#include "platform/foundation/reference_date.h"

namespace corvane {

namespace detail {
namespace {

constexpr std::size_t kReadPiece = 4096;
constexpr std::size_t kWritePiece = 16384;
constexpr std::uint64_t kUnixHost = 3;
constexpr std::uint64_t kFileTypeMask = 0xF0000000u;
constexpr std::uint64_t kSymlinkType = 0xA0000000u;
// Reference date (2001-01-01) as Unix seconds.
constexpr double kUnixToReference = 978307200.0;

// An owned descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

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

// The entry name's components below the destination; a reason text when the name leaves it.
bool normalisedComponents(const std::string& name, std::vector<std::string>* out,
                          std::string* reason) {
  if (!name.empty() && name[0] == '/') {
    *reason = "absolute path";
    return false;
  }
  out->clear();
  for (auto& part : splitPath(name)) {
    if (part == ".") continue;
    if (part == "..") {
      *reason = "\"..\" component";
      return false;
    }
    out->push_back(std::move(part));
  }
  return true;
}

// Whether a link at `linkComponents` pointing to `target` stays below the destination.
bool linkStaysInside(const std::vector<std::string>& linkComponents, const std::string& target,
                     std::string* reason) {
  if (target.empty()) {
    *reason = "empty link target";
    return false;
  }
  if (target[0] == '/') {
    *reason = "link to an absolute path";
    return false;
  }
  long depth = static_cast<long>(linkComponents.size()) - 1;  // the link's folder
  for (const auto& part : splitPath(target)) {
    if (part == ".") continue;
    if (part == "..") {
      if (--depth < 0) {
        *reason = "link pointing outside the destination";
        return false;
      }
    } else {
      ++depth;
    }
  }
  return true;
}

struct timespec toTimespec(double referenceDate) {
  const double unix = referenceDate + kUnixToReference;
  struct timespec ts {};
  ts.tv_sec = static_cast<time_t>(unix);
  ts.tv_nsec = 0;
  return ts;
}

// Opens (and with `create`, makes, dated `date`) the folders `parts[0..count)` below `root`,
// never following a symbolic link. Invalid when a component is missing, not a folder or a
// link.
Fd openFolders(int root, const std::vector<std::string>& parts, std::size_t count, bool create,
               std::optional<double> date) {
  Fd current(::dup(root));
  for (std::size_t i = 0; i < count && current.valid(); ++i) {
    const char* name = parts[i].c_str();
    if (create && ::mkdirat(current.get(), name, 0777) == 0 && date) {
      const struct timespec ts = toTimespec(*date);
      const struct timespec times[2] = {ts, ts};
      ::utimensat(current.get(), name, times, AT_SYMLINK_NOFOLLOW);
    }
    current = Fd(::openat(current.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  return current;
}

// Sets the date of `leaf` in folder `dir` without following a link.
void setDateAt(int dir, const char* leaf, double date) {
  const struct timespec ts = toTimespec(date);
  const struct timespec times[2] = {ts, ts};
  ::utimensat(dir, leaf, times, AT_SYMLINK_NOFOLLOW);
}

// MS-DOS date and time, read as local time, as seconds since the reference date.
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

SSZipFileInfo toInfo(const unz_file_info& i) {
  SSZipFileInfo info;
  info.versionMadeBy = i.version;
  info.compressionMethod = i.compression_method;
  info.dosDate = i.dosDate;
  info.crc = i.crc;
  info.compressedSize = i.compressed_size;
  info.uncompressedSize = i.uncompressed_size;
  info.sizeFilename = i.size_filename;
  info.externalFileAttributes = i.external_fa;
  return info;
}

void setError(platform::Error* error, long code, const std::string& description) {
  if (error != nullptr) *error = platform::Error(kSSZipArchiveErrorDomain, code, description);
}

struct Remembered {
  std::vector<std::string> parts;
  double date = 0.0;
};

// Whether the file is a well-formed archive without entries: its end record (found from the
// end, with its comment reaching exactly to the end of the file) counts no entries. minizip
// cannot open such an archive when the record starts the file.
bool isArchiveWithoutEntries(const std::string& path) {
  constexpr std::size_t kRecord = 22;
  constexpr std::size_t kMaxComment = 0xFFFF;
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const auto size = static_cast<std::size_t>(st.st_size);
  if (size < kRecord) return false;
  const std::size_t tail = size < kRecord + kMaxComment ? size : kRecord + kMaxComment;
  std::vector<std::uint8_t> bytes(tail);
  if (::pread(fd.get(), bytes.data(), tail, static_cast<off_t>(size - tail)) !=
      static_cast<ssize_t>(tail)) {
    return false;
  }
  auto u16 = [&](std::size_t at) {
    return static_cast<std::size_t>(bytes[at]) | (static_cast<std::size_t>(bytes[at + 1]) << 8);
  };
  for (std::size_t pos = tail - kRecord + 1; pos-- > 0;) {
    if (bytes[pos] != 'P' || bytes[pos + 1] != 'K' || bytes[pos + 2] != 5 || bytes[pos + 3] != 6) {
      continue;
    }
    if (pos + kRecord + u16(pos + 20) != tail) continue;  // comment must end the file
    return u16(pos + 8) == 0 && u16(pos + 10) == 0;
  }
  return false;
}

}  // namespace
}  // namespace detail

bool SSZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination) {
  return unzipFileAtPath(path, destination, nullptr);
}

bool SSZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination,
                                   const std::shared_ptr<SSZipArchiveDelegate>& delegate) {
  return unzipFileAtPath(path, destination, true, "", nullptr, delegate);
}

bool SSZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination,
                                   bool overwrite, const std::string& password,
                                   platform::Error* error) {
  return unzipFileAtPath(path, destination, overwrite, password, error, nullptr);
}

bool SSZipArchive::unzipFileAtPath(const std::string& path, const std::string& destination,
                                   bool overwrite, const std::string& password,
                                   platform::Error* error,
                                   const std::shared_ptr<SSZipArchiveDelegate>& delegate) {
  using namespace detail;
  unzFile zip = unzOpen(path.c_str());
  if (zip == nullptr) {
    if (isArchiveWithoutEntries(path)) {
      setError(error, -2, "failed to open first file in zip file");
    } else {
      setError(error, -1, "failed to open zip file");
    }
    return false;
  }
  unz_global_info globalInfo{};
  unzGetGlobalInfo(zip, &globalInfo);
  if (unzGoToFirstFile(zip) != UNZ_OK) {
    unzClose(zip);
    setError(error, -2, "failed to open first file in zip file");
    return false;
  }
  const std::uint64_t total = platform::files::fileSize(path).value_or(0);
  const SSZipGlobalInfo zipInfo{globalInfo.number_entry, globalInfo.size_comment};

  // The destination itself is the caller's choice; everything below it is opened without
  // following links.
  platform::files::createDirectory(destination, true);
  Fd root(::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));

  if (delegate) delegate->zipArchiveWillUnzipArchiveAtPath(path, zipInfo);

  bool success = root.valid();
  std::uint64_t refused = 0;
  std::uint64_t done = 0;
  std::int64_t index = 0;
  const auto count = static_cast<std::int64_t>(globalInfo.number_entry);
  std::vector<Remembered> remembered;
  std::vector<char> buffer(kReadPiece);

  int ret = success ? UNZ_OK : UNZ_END_OF_LIST_OF_FILE;
  while (ret == UNZ_OK) {
    ret = password.empty() ? unzOpenCurrentFile(zip)
                           : unzOpenCurrentFilePassword(zip, password.c_str());
    if (ret != UNZ_OK) {
      success = false;
      break;
    }
    unz_file_info raw{};
    if (unzGetCurrentFileInfo(zip, &raw, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
      success = false;
      unzCloseCurrentFile(zip);
      break;
    }
    const SSZipFileInfo fileInfo = toInfo(raw);
    if (delegate) {
      delegate->zipArchiveWillUnzipFileAtIndex(index, count, path, fileInfo);
      delegate->zipArchiveProgressEvent(done + raw.compressed_size, total);
    }
    done += raw.compressed_size;

    std::vector<char> nameBuffer(raw.size_filename + 1, '\0');
    unz_file_info again{};
    unzGetCurrentFileInfo(zip, &again, nameBuffer.data(), static_cast<uLong>(nameBuffer.size()),
                          nullptr, 0, nullptr, 0);
    nameBuffer.back() = '\0';
    std::string name(nameBuffer.data());  // a NUL inside the stored name ends it
    const bool isLink = ((raw.version >> 8) == kUnixHost) &&
                        ((raw.external_fa & kFileTypeMask) == kSymlinkType);
    const bool isFolder = !name.empty() && (name.back() == '/' || name.back() == '\\');
    for (char& c : name) {
      if (c == '\\') c = '/';
    }
    const double date = dosDateToReference(raw.dosDate);

    std::vector<std::string> parts;
    std::string reason;
    bool allowed = normalisedComponents(name, &parts, &reason);
    if (allowed && parts.empty() && !isFolder) {
      allowed = false;
      reason = "empty name";
    }
    std::string linkTarget;
    if (allowed && isLink) {
      std::vector<char> bytes;
      int n = 0;
      while ((n = unzReadCurrentFile(zip, buffer.data(), static_cast<unsigned>(buffer.size()))) > 0) {
        bytes.insert(bytes.end(), buffer.data(), buffer.data() + n);
      }
      linkTarget.assign(bytes.begin(), bytes.end());
      if (linkTarget.find('\0') != std::string::npos) {
        allowed = false;
        reason = "link target with a NUL byte";
      } else {
        allowed = linkStaysInside(parts, linkTarget, &reason);
      }
    }

    if (allowed) {
      const std::size_t folderCount = isFolder ? parts.size() : parts.size() - 1;
      Fd folder = openFolders(root.get(), parts, folderCount, true, date);
      if (!folder.valid()) {
        if (errno == ELOOP || errno == ENOTDIR) {
          allowed = false;
          reason = "path through a symbolic link or a file";
        }
      } else if (!isFolder) {
        if (!isLink) remembered.push_back({parts, date});
        const char* leaf = parts.back().c_str();
        struct stat st {};
        const bool existing = ::fstatat(folder.get(), leaf, &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (existing && !overwrite) {
          // keep what is there
        } else if (isLink) {
          if (existing && !S_ISDIR(st.st_mode)) ::unlinkat(folder.get(), leaf, 0);
          ::symlinkat(linkTarget.c_str(), folder.get(), leaf);
        } else {
          // A link in the file's place is replaced, never written through.
          if (existing && S_ISLNK(st.st_mode)) ::unlinkat(folder.get(), leaf, 0);
          Fd out(::openat(folder.get(), leaf, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                          0666));
          if (out.valid()) {
            int n = 0;
            bool written = true;
            while ((n = unzReadCurrentFile(zip, buffer.data(), static_cast<unsigned>(buffer.size()))) >
                   0) {
              const char* p = buffer.data();
              auto left = static_cast<std::size_t>(n);
              while (left > 0 && written) {
                const ssize_t w = ::write(out.get(), p, left);
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) {
                  written = false;
                  break;
                }
                p += w;
                left -= static_cast<std::size_t>(w);
              }
            }
            if (raw.dosDate != 0) {
              const struct timespec ts = toTimespec(date);
              const struct timespec times[2] = {ts, ts};
              ::futimens(out.get(), times);
            }
            if (raw.external_fa > 0xFFFF) {
              // Permission bits only: an archive makes no set-id or sticky files.
              ::fchmod(out.get(), static_cast<mode_t>((raw.external_fa >> 16) & 0777));
            }
          }
        }
      } else {
        remembered.push_back({parts, date});
      }
    }
    if (!allowed) {
      ++refused;
      if (delegate) delegate->zipArchiveDidRefuseEntry(name, reason);
    }

    unzCloseCurrentFile(zip);
    ret = unzGoToNextFile(zip);
    if (delegate) delegate->zipArchiveDidUnzipFileAtIndex(index, count, path, fileInfo);
    ++index;
  }
  unzClose(zip);

  // Folders keep their stored dates although files were written into them afterwards.
  for (const auto& r : remembered) {
    if (r.parts.empty()) {
      const struct timespec ts = toTimespec(r.date);
      const struct timespec times[2] = {ts, ts};
      if (root.valid()) ::futimens(root.get(), times);
      continue;
    }
    Fd folder = openFolders(root.get(), r.parts, r.parts.size() - 1, false, std::nullopt);
    if (folder.valid()) setDateAt(folder.get(), r.parts.back().c_str(), r.date);
  }

  if (success && refused > 0) {
    success = false;
    setError(error, -3, "refused entries outside the destination folder");
  }
  if (success && delegate) {
    delegate->zipArchiveDidUnzipArchiveAtPath(path, zipInfo, destination);
    delegate->zipArchiveProgressEvent(total, total);
  }
  return success;
}

// Writing

std::shared_ptr<SSZipArchive> SSZipArchive::initWithPath(std::string path) {
  return std::shared_ptr<SSZipArchive>(new SSZipArchive(std::move(path)));
}

SSZipArchive::SSZipArchive(std::string path) : path_(std::move(path)) {}

SSZipArchive::~SSZipArchive() {
  if (zip_ != nullptr) zipClose(static_cast<zipFile>(zip_), nullptr);
}

bool SSZipArchive::open() {
  if (zip_ != nullptr) return false;
  zip_ = zipOpen(path_.c_str(), APPEND_STATUS_CREATE);
  return zip_ != nullptr;
}

bool SSZipArchive::close() {
  if (zip_ == nullptr) return false;
  const int rc = zipClose(static_cast<zipFile>(zip_), nullptr);
  zip_ = nullptr;
  return rc == ZIP_OK;
}

bool SSZipArchive::addEntry(const std::string& name, const std::vector<std::uint8_t>* data,
                            const std::string* filePath, double date, std::uint32_t permissions) {
  if (zip_ == nullptr || name.empty()) return false;
  zip_fileinfo info{};
  const auto unix = static_cast<time_t>(date + detail::kUnixToReference);
  struct tm t {};
  localtime_r(&unix, &t);
  info.tmz_date.tm_sec = static_cast<uInt>(t.tm_sec);
  info.tmz_date.tm_min = static_cast<uInt>(t.tm_min);
  info.tmz_date.tm_hour = static_cast<uInt>(t.tm_hour);
  info.tmz_date.tm_mday = static_cast<uInt>(t.tm_mday);
  info.tmz_date.tm_mon = static_cast<uInt>(t.tm_mon);  // 0-based, as minizip expects
  info.tmz_date.tm_year = static_cast<uInt>(t.tm_year + 1900);
  info.external_fa = static_cast<uLong>(permissions + 32768u) << 16;
  auto* zip = static_cast<zipFile>(zip_);
  if (zipOpenNewFileInZip4(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                           Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY,
                           nullptr, 0, (detail::kUnixHost << 8) | 20, 0) != ZIP_OK) {
    return false;
  }
  bool ok = true;
  if (data != nullptr) {
    ok = data->empty() ||
         zipWriteInFileInZip(zip, data->data(), static_cast<unsigned>(data->size())) == ZIP_OK;
  } else {
    FILE* input = std::fopen(filePath->c_str(), "re");
    if (input == nullptr) {
      ok = false;
    } else {
      std::vector<char> piece(detail::kWritePiece);
      std::size_t n = 0;
      while (ok && (n = std::fread(piece.data(), 1, piece.size(), input)) > 0) {
        ok = zipWriteInFileInZip(zip, piece.data(), static_cast<unsigned>(n)) == ZIP_OK;
      }
      if (std::ferror(input) != 0) ok = false;
      std::fclose(input);
    }
  }
  return zipCloseFileInZip(zip) == ZIP_OK && ok;
}

bool SSZipArchive::writeFileAtPath(const std::string& path, const std::string& fileName) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const std::string name = fileName.empty() ? platform::files::lastPathComponent(path) : fileName;
  const double date = platform::files::modificationDate(path).value_or(platform::ReferenceDate::now());
  return addEntry(name, nullptr, &path, date, static_cast<std::uint32_t>(st.st_mode & 07777));
}

bool SSZipArchive::writeData(const std::vector<std::uint8_t>& data, const std::string& filename) {
  return addEntry(filename, &data, nullptr, platform::ReferenceDate::now(), 0644);
}

bool SSZipArchive::createZipFileAtPath(const std::string& path,
                                       const std::vector<std::string>& filePaths) {
  auto archive = initWithPath(path);
  if (!archive->open()) return false;
  bool ok = true;
  for (const auto& file : filePaths) ok = archive->writeFileAtPath(file) && ok;
  return archive->close() && ok;
}

bool SSZipArchive::createZipFileAtPath(const std::string& path, const std::string& directoryPath) {
  auto archive = initWithPath(path);
  if (!archive->open()) return false;
  bool ok = true;
  // Every regular file below the folder, by its path relative to it; links are not followed.
  std::function<void(const std::string&, const std::string&)> walk =
      [&](const std::string& folder, const std::string& prefix) {
        auto names = platform::files::contentsOfDirectory(folder);
        if (!names) {
          ok = false;
          return;
        }
        for (const auto& n : *names) {
          const std::string full = platform::files::appendingPathComponent(folder, n);
          struct stat st {};
          if (::lstat(full.c_str(), &st) != 0) continue;
          if (S_ISDIR(st.st_mode)) {
            walk(full, prefix + n + "/");
          } else if (S_ISREG(st.st_mode)) {
            ok = archive->writeFileAtPath(full, prefix + n) && ok;
          }
        }
      };
  walk(directoryPath, "");
  return archive->close() && ok;
}

}  // namespace corvane
