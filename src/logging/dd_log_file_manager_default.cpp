#include "logging/dd_log_file_manager_default.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "logging/dd_log.h"
#include "logging/log_date_format.h"
#include "platform/foundation/file_utils.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/reference_date.h"
#include "platform/log/log.h"

namespace corvane {

namespace files = platform::files;

const char* const DDLogFileManagerDefault::kLogFileDatePattern = "yyyy'-'MM'-'dd' 'HH'-'mm'";

namespace {

constexpr size_t kMinimumDatePartLength = 17;

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    if (end == std::string::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::shared_ptr<DDLogFileManagerDefault> DDLogFileManagerDefault::create(
    std::optional<std::string> logsDirectory) {
  return std::shared_ptr<DDLogFileManagerDefault>(
      new DDLogFileManagerDefault(std::move(logsDirectory)));
}

DDLogFileManagerDefault::DDLogFileManagerDefault(std::optional<std::string> logsDirectory)
    : logsDirectory_(logsDirectory ? std::move(*logsDirectory) : defaultLogsDirectory()) {}

std::string DDLogFileManagerDefault::defaultLogsDirectory() {
  std::string library = files::userLibraryDirectory();
  if (library.empty()) library = files::temporaryDirectory();
  return files::appendingPathComponent(files::appendingPathComponent(library, "Logs"),
                                       platform::ProcessInfo::processName());
}

std::function<std::string(double)> DDLogFileManagerDefault::logFileDateFormatter() {
  return [](double date) {
    return detail::formatLogDate(kLogFileDatePattern, date, detail::LogTimeZone::Utc);
  };
}

std::string DDLogFileManagerDefault::applicationName() {
  static const std::string name = platform::ProcessInfo::processName();
  return name;
}

std::string DDLogFileManagerDefault::logsDirectory() {
  if (!files::exists(logsDirectory_)) {
    platform::Error error;
    if (!files::createDirectory(logsDirectory_, true, &error)) {
      platform::log::nslog("DDFileLogManagerDefault: Error creating logsDirectory: %s",
                           error.description.c_str());
    }
  }
  return logsDirectory_;
}

bool DDLogFileManagerDefault::isLogFile(const std::string& fileName) {
  const std::string appName = applicationName();
  static const std::string kSuffix = ".log";
  if (fileName.size() < appName.size() + kSuffix.size()) return false;
  if (fileName.compare(0, appName.size(), appName) != 0 || !endsWith(fileName, kSuffix)) {
    return false;
  }
  const std::string datePart =
      fileName.substr(appName.size(), fileName.size() - appName.size() - kSuffix.size());
  if (datePart.size() < kMinimumDatePartLength) return false;
  const std::vector<std::string> pieces = split(datePart, ' ');
  if (pieces.size() != 3 && pieces.size() != 4) return false;
  return detail::parseLogDate(kLogFileDatePattern, pieces[1] + " " + pieces[2],
                              detail::LogTimeZone::Utc)
      .has_value();
}

std::string DDLogFileManagerDefault::generateLogFileNameWithAttempt(uint64_t attempt) {
  const std::string date = logFileDateFormatter()(platform::ReferenceDate::now());
  if (attempt > 1) return applicationName() + " " + date + " " + std::to_string(attempt) + ".log";
  return applicationName() + " " + date + ".log";
}

std::vector<std::string> DDLogFileManagerDefault::unsortedLogFilePaths() {
  const std::string folder = logsDirectory();
  std::vector<std::string> paths;
  auto names = files::contentsOfDirectory(folder);
  if (!names) return paths;
  for (const std::string& name : *names) {
    if (isLogFile(name)) paths.push_back(files::appendingPathComponent(folder, name));
  }
  return paths;
}

std::vector<std::string> DDLogFileManagerDefault::unsortedLogFileNames() {
  std::vector<std::string> names;
  for (const std::string& path : unsortedLogFilePaths()) {
    names.push_back(files::lastPathComponent(path));
  }
  return names;
}

std::vector<DDLogFileInfoPtr> DDLogFileManagerDefault::unsortedLogFileInfos() {
  std::vector<DDLogFileInfoPtr> infos;
  for (const std::string& path : unsortedLogFilePaths()) {
    infos.push_back(DDLogFileInfo::logFileWithPath(path));
  }
  return infos;
}

std::vector<DDLogFileInfoPtr> DDLogFileManagerDefault::sortedLogFileInfos() {
  std::vector<DDLogFileInfoPtr> infos = unsortedLogFileInfos();
  std::stable_sort(infos.begin(), infos.end(),
                   [](const DDLogFileInfoPtr& a, const DDLogFileInfoPtr& b) {
                     return a->reverseCompareByCreationDate(*b);
                   });
  return infos;
}

std::vector<std::string> DDLogFileManagerDefault::sortedLogFilePaths() {
  std::vector<std::string> paths;
  for (const auto& info : sortedLogFileInfos()) paths.push_back(info->filePath());
  return paths;
}

std::vector<std::string> DDLogFileManagerDefault::sortedLogFileNames() {
  std::vector<std::string> names;
  for (const auto& info : sortedLogFileInfos()) names.push_back(info->fileName());
  return names;
}

std::optional<std::string> DDLogFileManagerDefault::createNewLogFile() {
  const std::string folder = logsDirectory();
  for (uint64_t attempt = 1;; ++attempt) {
    const std::string path =
        files::appendingPathComponent(folder, generateLogFileNameWithAttempt(attempt));
    if (files::exists(path)) continue;
    // Exclusive creation: another process that picked the same name at the same moment
    // makes this attempt fail instead of both sharing one file.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      platform::log::nslog("DDLogFileManagerDefault: Error creating log file %s: %s",
                           path.c_str(), detail::errnoText(errno).c_str());
      return std::nullopt;
    }
    ::close(fd);
    deleteOldLogFiles();
    return path;
  }
}

void DDLogFileManagerDefault::deleteOldLogFiles() {
  const uint64_t maximum = maximumNumberOfLogFiles();
  if (maximum == 0) return;
  std::vector<DDLogFileInfoPtr> infos = sortedLogFileInfos();
  size_t first = 0;
  // The newest file, when not archived, is the one being written.
  if (!infos.empty() && !infos.front()->isArchived()) first = 1;
  const uint64_t kept = std::min<uint64_t>(maximum, infos.size() - first);
  for (size_t i = first + static_cast<size_t>(kept); i < infos.size(); ++i) {
    files::remove(infos[i]->filePath());
    detail::removeExtendedAttributeMarkers(infos[i]->filePath());
  }
}

void DDLogFileManagerDefault::setMaximumNumberOfLogFiles(uint64_t maximumNumberOfLogFiles) {
  const uint64_t old = maximumNumberOfLogFiles_.exchange(maximumNumberOfLogFiles);
  if (old == maximumNumberOfLogFiles) return;
  auto self = weak_from_this().lock();
  if (!self) {
    deleteOldLogFiles();  // not shared: nothing could keep it alive for later
    return;
  }
  DDLog::loggingQueue()->async([self] { self->deleteOldLogFiles(); });
}

}  // namespace corvane
