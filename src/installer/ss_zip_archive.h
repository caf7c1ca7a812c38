// SSZipArchive: unpacks a zip archive (minizip over zlib) into a folder, turning entries
// into files, folders and symbolic links with their dates and permissions; and writes zip
// archives (the writing side, which the application itself does not use).
//
// Unpacking never leaves the destination: an entry whose name is absolute or has a ".."
// component, and a symbolic-link entry whose target is absolute, resolves (through the links
// unpacked so far) to a place outside the destination, or is longer than a path can be, is
// refused (skipped, counted, reported to the delegate, and the extraction answers NO with
// error -3); writing never follows a symbolic link (a link found where a file or folder is to
// be written is not written through). Each entry's data is checked: a read error, a CRC or
// size that is not what the header declared (-4), or a file declaring more than 1 GiB (-5)
// ends the extraction with NO; the file being written is dropped (a file it would have
// replaced keeps its contents), so no partial file is left.
//
// Errors (domain "SSZipArchiveErrorDomain"): -1 "failed to open zip file", -2 "failed to open
// first file in zip file", -3 "refused entries outside the destination folder", -4 "damaged
// entry in zip file", -5 "entry in zip file larger than the size limit".
//
// Threads: the class operations may run on any thread; delegate messages come on the
// calling thread, inside the call. An archive writer object belongs to one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/error.h"

namespace corvane {

inline constexpr const char* kSSZipArchiveErrorDomain = "SSZipArchiveErrorDomain";

// The archive's global information.
struct SSZipGlobalInfo {
  std::uint64_t numberEntry = 0;
  std::uint64_t commentSize = 0;
};

// One entry's information.
struct SSZipFileInfo {
  std::uint64_t versionMadeBy = 0;
  std::uint64_t compressionMethod = 0;
  std::uint64_t dosDate = 0;
  std::uint64_t crc = 0;
  std::uint64_t compressedSize = 0;
  std::uint64_t uncompressedSize = 0;
  std::uint64_t sizeFilename = 0;
  std::uint64_t externalFileAttributes = 0;
};

// Every message is optional: the default bodies do nothing.
class SSZipArchiveDelegate {
 public:
  virtual ~SSZipArchiveDelegate() = default;
  virtual void zipArchiveWillUnzipArchiveAtPath(const std::string& /*path*/,
                                                const SSZipGlobalInfo& /*zipInfo*/) {}
  virtual void zipArchiveWillUnzipFileAtIndex(std::int64_t /*fileIndex*/,
                                              std::int64_t /*totalFiles*/,
                                              const std::string& /*archivePath*/,
                                              const SSZipFileInfo& /*fileInfo*/) {}
  virtual void zipArchiveDidUnzipFileAtIndex(std::int64_t /*fileIndex*/,
                                             std::int64_t /*totalFiles*/,
                                             const std::string& /*archivePath*/,
                                             const SSZipFileInfo& /*fileInfo*/) {}
  virtual void zipArchiveProgressEvent(std::uint64_t /*loaded*/, std::uint64_t /*total*/) {}
  virtual void zipArchiveDidUnzipArchiveAtPath(const std::string& /*path*/,
                                               const SSZipGlobalInfo& /*zipInfo*/,
                                               const std::string& /*unzippedPath*/) {}
  // An entry that would have been written outside the destination, with the reason.
  virtual void zipArchiveDidRefuseEntry(const std::string& /*entryName*/,
                                        const std::string& /*reason*/) {}
};

class SSZipArchive {
 public:
  // Unpacking (overwrite on, no password, no error, no delegate where not given).
  static bool unzipFileAtPath(const std::string& path, const std::string& destination);
  static bool unzipFileAtPath(const std::string& path, const std::string& destination,
                              const std::shared_ptr<SSZipArchiveDelegate>& delegate);
  static bool unzipFileAtPath(const std::string& path, const std::string& destination,
                              bool overwrite, const std::string& password,
                              platform::Error* error);
  static bool unzipFileAtPath(const std::string& path, const std::string& destination,
                              bool overwrite, const std::string& password,
                              platform::Error* error,
                              const std::shared_ptr<SSZipArchiveDelegate>& delegate);

  // Writing: a new archive at `path` holding the given files (entry names = their last
  // path components), or every file below a folder (entry names relative to it).
  static bool createZipFileAtPath(const std::string& path,
                                  const std::vector<std::string>& filePaths);
  static bool createZipFileAtPath(const std::string& path, const std::string& directoryPath);

  // An archive writer for `path`; nothing happens until `open`.
  static std::shared_ptr<SSZipArchive> initWithPath(std::string path);
  ~SSZipArchive();
  SSZipArchive(const SSZipArchive&) = delete;
  SSZipArchive& operator=(const SSZipArchive&) = delete;

  // Creates the archive file (replacing one that exists).
  bool open();
  // Adds the file at `path` as `fileName` (its last path component when empty), dated with
  // its modification date and carrying its permissions.
  bool writeFileAtPath(const std::string& path, const std::string& fileName = "");
  // Adds `data` as `filename`, dated now.
  bool writeData(const std::vector<std::uint8_t>& data, const std::string& filename);
  // Finishes the archive; false when it was not open or the write failed.
  bool close();

 private:
  explicit SSZipArchive(std::string path);
  bool addEntry(const std::string& name, const std::vector<std::uint8_t>* data, const std::string* filePath,
                double date, std::uint32_t permissions);

  const std::string path_;
  void* zip_ = nullptr;  // minizip's zipFile
};

}  // namespace corvane
