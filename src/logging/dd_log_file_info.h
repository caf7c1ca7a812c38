// DDLogFileInfo: one log file. Everything but the path is read from the file system on first
// use and cached; `reset` drops the cache (the size stays).
//
// The archived flag lives on the file itself, as the extended attribute
// "user.corvane.log.archived". On a file system without extended attributes it is a marker
// file next to the log file ("." + file name + ".archived"), so that the flag still persists.
//
// Not thread-safe: an info is used by one queue at a time (the file logger's queue, or the
// thread that asked the manager for it).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace corvane {

class DDLogFileInfo;
using DDLogFileInfoPtr = std::shared_ptr<DDLogFileInfo>;

class DDLogFileInfo {
 public:
  // The attributes the file system reports for the file (absent when it cannot be read).
  struct FileAttributes {
    std::optional<double> creationDate;
    std::optional<double> modificationDate;
    std::optional<uint64_t> fileSize;
  };

  static DDLogFileInfoPtr logFileWithPath(const std::string& filePath);
  explicit DDLogFileInfo(std::string filePath);

  const std::string& filePath() const { return filePath_; }
  const std::string& fileName();
  const FileAttributes& fileAttributes();
  // Seconds since the reference date; 0 when the file cannot be read. The file's birth time;
  // where the file system records none, its modification date (the time of the last write)
  // stands in for it.
  double creationDate();
  double modificationDate();
  // 0 when the file cannot be read.
  uint64_t fileSize();
  // Seconds since `creationDate`.
  double age();

  bool isArchived();
  // Adds the flag (empty value) or removes it; failures are logged.
  void setIsArchived(bool flag);

  // Drops the cached name, attributes and dates.
  void reset();
  // Moves the file to `newFileName` in its folder (when the name differs) and takes the new
  // path either way; a failed move is logged.
  void renameFile(const std::string& newFileName);

  // Extended attributes by full name ("user.*"); the marker file stands in for them where
  // the file system has none.
  bool hasExtendedAttributeWithName(const std::string& attrName);
  void addExtendedAttributeWithName(const std::string& attrName);
  void removeExtendedAttributeWithName(const std::string& attrName);

  // Same path (the object's class does not matter here: there are no subclasses to tell apart).
  bool isEqual(const DDLogFileInfo& other) const { return filePath_ == other.filePath_; }
  // Newer first: true when this file is newer than `other`; equal dates compare same.
  bool reverseCompareByCreationDate(DDLogFileInfo& other);
  bool reverseCompareByModificationDate(DDLogFileInfo& other);

  std::string description();

 private:
  std::string filePath_;
  std::optional<std::string> fileName_;
  std::optional<FileAttributes> fileAttributes_;
  std::optional<double> creationDate_;
  std::optional<double> modificationDate_;
  uint64_t fileSize_ = 0;  // 0: not read yet
};

namespace detail {
// The extended attribute that marks a log file archived.
inline constexpr char kLogFileArchivedAttribute[] = "user.corvane.log.archived";
// The marker file that stands for `attrName` on `filePath` where extended attributes are missing.
std::string extendedAttributeMarkerPath(const std::string& filePath, const std::string& attrName);
// Removes every marker file of `filePath` (when its log file is deleted or moved).
void removeExtendedAttributeMarkers(const std::string& filePath);
// Whether `path` itself (a link is not followed) is a regular file. Only regular files are
// log files: a folder, FIFO, socket, device or link of the same name is left alone.
bool isRegularFile(const std::string& path);
// Removes `path` when it is a regular file; anything else stays (answers false).
bool removeRegularFile(const std::string& path);
// The system's text for an errno value (thread-safe).
std::string errnoText(int error);
}  // namespace detail

}  // namespace corvane
