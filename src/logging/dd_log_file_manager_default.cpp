#include "logging/dd_log_file_manager_default.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
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

// The attempt number a name's last piece spells: 0 when it is not a decimal number, the
// largest value when it does not fit.
uint64_t attemptNumber(const std::string& piece) {
  if (piece.empty()) return 0;
  uint64_t value = 0;
  for (char c : piece) {
    if (c < '0' || c > '9') return 0;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return UINT64_MAX;
    value = value * 10 + digit;
  }
  return value;
}

// Logs `text` when `reported` was clear, and sets it: one line per failure period.
void reportOnce(std::atomic<bool>& reported, const std::string& text) {
  if (!reported.exchange(true)) platform::log::nslog("%s", text.c_str());
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
  bool isDirectory = false;
  if (files::exists(logsDirectory_, &isDirectory) && isDirectory) {
    directoryFailureReported_ = false;
    return logsDirectory_;
  }
  platform::Error error;
  if (files::createDirectory(logsDirectory_, true, &error)) {
    directoryFailureReported_ = false;
  } else {
    // Every listing and every new file asks for the folder: one line until it is made.
    reportOnce(directoryFailureReported_,
               "DDFileLogManagerDefault: Error creating logsDirectory: " + error.description);
  }
  return logsDirectory_;
}

std::optional<DDLogFileManagerDefault::LogFileName> DDLogFileManagerDefault::parseLogFileName(
    const std::string& fileName) {
  const std::string appName = applicationName();
  static const std::string kSuffix = ".log";
  if (fileName.size() < appName.size() + kSuffix.size()) return std::nullopt;
  if (fileName.compare(0, appName.size(), appName) != 0 || !endsWith(fileName, kSuffix)) {
    return std::nullopt;
  }
  const std::string datePart =
      fileName.substr(appName.size(), fileName.size() - appName.size() - kSuffix.size());
  if (datePart.size() < kMinimumDatePartLength) return std::nullopt;
  const std::vector<std::string> pieces = split(datePart, ' ');
  if (pieces.size() != 3 && pieces.size() != 4) return std::nullopt;
  const std::optional<double> date = detail::parseLogDate(
      kLogFileDatePattern, pieces[1] + " " + pieces[2], detail::LogTimeZone::Utc);
  if (!date) return std::nullopt;
  return LogFileName{*date, pieces.size() == 4 ? attemptNumber(pieces[3]) : 1};
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
    if (!isLogFile(name)) continue;
    std::string path = files::appendingPathComponent(folder, name);
    if (detail::isRegularFile(path)) paths.push_back(std::move(path));
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
  // Creation dates move in clock ticks (and where the file system keeps no birth time, the
  // modification date stands in), so files made back to back often share one. The date and
  // the attempt number in the name then tell which came last; the name settles the rest.
  struct Entry {
    double created;
    LogFileName name;
    DDLogFileInfoPtr info;
  };
  std::vector<Entry> entries;
  for (DDLogFileInfoPtr& info : unsortedLogFileInfos()) {
    const double created = info->creationDate();
    const LogFileName name = parseLogFileName(info->fileName()).value_or(LogFileName{0, 0});
    entries.push_back(Entry{created, name, std::move(info)});
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (a.created != b.created) return a.created > b.created;
    if (a.name.date != b.name.date) return a.name.date > b.name.date;
    if (a.name.attempt != b.name.attempt) return a.name.attempt > b.name.attempt;
    return a.info->filePath() > b.info->filePath();
  });
  std::vector<DDLogFileInfoPtr> infos;
  infos.reserve(entries.size());
  for (Entry& entry : entries) infos.push_back(std::move(entry.info));
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
      const int error = errno;
      if (error == EEXIST) continue;
      reportOnce(fileFailureReported_, "DDLogFileManagerDefault: Error creating log file " + path +
                                           ": " + detail::errnoText(error));
      return std::nullopt;
    }
    ::close(fd);
    fileFailureReported_ = false;
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
    // Never a folder with all it holds, nor whatever else has taken a log file's name.
    const std::string& path = infos[i]->filePath();
    if (detail::removeRegularFile(path) || !files::exists(path)) {
      detail::removeExtendedAttributeMarkers(path);
    }
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
