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

#include "installer/zip_entry.h"
#include "installer/zip_entry_data.h"
#include "installer/zip_file_system.h"
#include "installer/zip_file_writer.h"
#include "installer/zip_link.h"
#include "platform/foundation/file_utils.h"
#include "platform/foundation/reference_date.h"

namespace corvane {

namespace detail {
namespace {

using extraction::EntryKind;
using extraction::EntryPlan;
using extraction::Fd;

constexpr std::uint64_t kUnixHost = 3;
constexpr std::size_t kWritePiece = 16384;
// Reference date (2001-01-01) as Unix seconds.
constexpr double kUnixToReference = 978307200.0;

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

// What became of one entry.
struct Outcome {
  enum class Kind { Done, Refused, Damaged, TooLarge };
  Kind kind = Kind::Done;
  std::string reason;  // Refused: why
  static Outcome refused(std::string why) { return {Kind::Refused, std::move(why)}; }
};

Outcome fromData(extraction::DataStatus status) {
  switch (status) {
    case extraction::DataStatus::Damaged:
      return {Outcome::Kind::Damaged, {}};
    case extraction::DataStatus::TooLarge:
      return {Outcome::Kind::TooLarge, {}};
    case extraction::DataStatus::Complete:
    case extraction::DataStatus::Stopped:
      break;
  }
  return {};
}

// One run of the extraction below an open destination folder: unpacks entry by entry and
// remembers the dates to set again at the end.
class Extraction {
 public:
  Extraction(unzFile zip, int root, bool overwrite)
      : zip_(zip), root_(root), overwrite_(overwrite), judge_(root) {}

  Outcome unpack(const unz_file_info& raw, const EntryPlan& plan) {
    if (plan.refusal) return Outcome::refused(*plan.refusal);
    const bool folderEntry = plan.kind == EntryKind::Folder;
    const std::size_t folderCount = folderEntry ? plan.parts.size() : plan.parts.size() - 1;
    Fd folder = extraction::openFolders(root_, plan.parts, folderCount, true, plan.date);
    if (!folder.valid()) {
      if (errno == ELOOP || errno == ENOTDIR) {
        return Outcome::refused("path through a symbolic link or a file");
      }
      return {};  // folder creation errors are not the archive's fault
    }
    if (folderEntry) {
      remembered_.push_back({plan.parts, plan.date});
      return {};
    }
    if (plan.kind == EntryKind::File) remembered_.push_back({plan.parts, plan.date});
    struct stat st {};
    const char* leaf = plan.parts.back().c_str();
    const bool existing = ::fstatat(folder.get(), leaf, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (existing && !overwrite_) return {};  // keep what is there
    if (plan.kind == EntryKind::Link) return unpackLink(raw, plan, folder.get());
    return unpackFile(raw, plan, folder.get());
  }

  // Folders keep their stored dates although files were written into them afterwards.
  void restoreDates() const {
    for (const auto& r : remembered_) {
      if (r.parts.empty()) {
        const struct timespec ts = extraction::toTimespec(r.date);
        const struct timespec times[2] = {ts, ts};
        ::futimens(root_, times);
        continue;
      }
      Fd folder = extraction::openFolders(root_, r.parts, r.parts.size() - 1, false, std::nullopt);
      if (folder.valid()) extraction::setDateAt(folder.get(), r.parts.back().c_str(), r.date);
    }
  }

 private:
  struct Remembered {
    std::vector<std::string> parts;
    double date = 0.0;
  };

  Outcome unpackLink(const unz_file_info& raw, const EntryPlan& plan, int folder) {
    const auto link = extraction::readLinkTarget(zip_, raw.uncompressed_size, raw.crc);
    if (link.status != extraction::DataStatus::Complete) return fromData(link.status);
    if (link.refusal) return Outcome::refused(*link.refusal);
    if (judge_.isPinned(plan.parts)) {
      return Outcome::refused("replacing a link that another link resolves through");
    }
    std::string reason;
    if (!judge_.resolvesInside(plan.parts, link.target, &reason)) return Outcome::refused(reason);
    extraction::makeLink(folder, plan.parts.back(), link.target, overwrite_);
    return {};
  }

  Outcome unpackFile(const unz_file_info& raw, const EntryPlan& plan, int folder) {
    const extraction::FileEntry entry{
        plan.parts.back(), raw.uncompressed_size, raw.crc, raw.dosDate, plan.date, raw.external_fa};
    switch (extraction::writeFileEntry(zip_, folder, entry)) {
      case extraction::FileResult::Damaged:
        return {Outcome::Kind::Damaged, {}};
      case extraction::FileResult::TooLarge:
        return {Outcome::Kind::TooLarge, {}};
      case extraction::FileResult::Written:
      case extraction::FileResult::Skipped:  // an unwritable target is skipped silently
        break;
    }
    return {};
  }

  const unzFile zip_;
  const int root_;
  const bool overwrite_;
  extraction::LinkJudge judge_;
  std::vector<Remembered> remembered_;
};

// The current entry's information and stored name; false when it cannot be read.
bool currentEntry(unzFile zip, unz_file_info* raw, extraction::EntryHeader* header) {
  if (unzGetCurrentFileInfo(zip, raw, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) return false;
  std::vector<char> name(raw->size_filename + 1, '\0');
  unz_file_info again{};
  if (unzGetCurrentFileInfo(zip, &again, name.data(), static_cast<uLong>(name.size()), nullptr, 0,
                            nullptr, 0) != UNZ_OK) {
    return false;
  }
  header->storedName.assign(name.data(), raw->size_filename);
  header->versionMadeBy = raw->version;
  header->externalAttributes = raw->external_fa;
  header->dosDate = raw->dosDate;
  return true;
}

// How the entries went.
struct Tally {
  bool damaged = false;   // an entry (or the archive's directory) could not be read intact
  bool tooLarge = false;  // an entry exceeded the size limit
  std::uint64_t refused = 0;
};

// Who hears about the progress of the entries.
struct Progress {
  const std::string& path;
  std::uint64_t total = 0;  // the archive's file size
  std::int64_t count = 0;   // entries
  const std::shared_ptr<SSZipArchiveDelegate>& delegate;
};

// Unpacks every entry from the current (first) one on; stops at the first damaged or
// oversized entry.
Tally unpackEntries(unzFile zip, Extraction& run, const std::string& password,
                    const Progress& progress) {
  Tally tally;
  const auto& delegate = progress.delegate;
  std::uint64_t done = 0;
  for (std::int64_t index = 0;; ++index) {
    const int opened = password.empty() ? unzOpenCurrentFile(zip)
                                        : unzOpenCurrentFilePassword(zip, password.c_str());
    unz_file_info raw{};
    extraction::EntryHeader header;
    if (opened != UNZ_OK || !currentEntry(zip, &raw, &header)) {
      if (opened == UNZ_OK) unzCloseCurrentFile(zip);
      tally.damaged = true;
      return tally;
    }
    const SSZipFileInfo fileInfo = toInfo(raw);
    if (delegate) {
      delegate->zipArchiveWillUnzipFileAtIndex(index, progress.count, progress.path, fileInfo);
      delegate->zipArchiveProgressEvent(done + raw.compressed_size, progress.total);
    }
    done += raw.compressed_size;

    const EntryPlan plan = extraction::classifyEntry(header);
    const Outcome outcome = run.unpack(raw, plan);
    // Closing checks the CRC of an entry that was read to its end.
    const int closed = unzCloseCurrentFile(zip);
    if (outcome.kind == Outcome::Kind::Damaged || closed != UNZ_OK) {
      tally.damaged = true;
      return tally;
    }
    if (outcome.kind == Outcome::Kind::TooLarge) {
      tally.tooLarge = true;
      return tally;
    }
    if (outcome.kind == Outcome::Kind::Refused) {
      ++tally.refused;
      if (delegate) delegate->zipArchiveDidRefuseEntry(plan.name, outcome.reason);
    }
    const int next = unzGoToNextFile(zip);
    if (delegate) {
      delegate->zipArchiveDidUnzipFileAtIndex(index, progress.count, progress.path, fileInfo);
    }
    if (next == UNZ_END_OF_LIST_OF_FILE) return tally;
    if (next != UNZ_OK) {
      tally.damaged = true;
      return tally;
    }
  }
}

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
  Extraction run(zip, root.get(), overwrite);
  const Tally tally =
      success ? unpackEntries(
                    zip, run, password,
                    {path, total, static_cast<std::int64_t>(globalInfo.number_entry), delegate})
              : Tally{};
  unzClose(zip);
  run.restoreDates();

  if (tally.damaged) {
    success = false;
    setError(error, -4, "damaged entry in zip file");
  } else if (tally.tooLarge) {
    success = false;
    setError(error, -5, "entry in zip file larger than the size limit");
  } else if (success && tally.refused > 0) {
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
  const double date =
      platform::files::modificationDate(path).value_or(platform::ReferenceDate::now());
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
