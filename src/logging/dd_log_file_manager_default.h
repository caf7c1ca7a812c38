// DDLogFileManagerDefault: keeps the log files of this application in one folder (by default
// <home>/Library/Logs/<process name>). Files are named "<app> <yyyy-MM-dd HH-mm>.log" (GMT+0)
// and, when that name is taken, "<app> <date> <n>.log" for n = 2, 3, ...; at most
// `maximumNumberOfLogFiles` archived files are kept besides the one being written.
//
// Only regular files are log files: a folder, FIFO, socket, device or symbolic link with a
// log file's name is never listed, opened, archived or deleted. A folder that cannot be
// made and a file that cannot be created are each logged once per failure period (again
// only after a success).
//
// Thread-safety: every operation may be called from any thread; the maximum is atomic. A
// change of the maximum deletes surplus files asynchronously on the logging queue.
// Made with create(); the pending deletion keeps the manager alive.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "logging/dd_log_file_manager.h"

namespace corvane {

class DDLogFileManagerDefault : public DDLogFileManager,
                                public std::enable_shared_from_this<DDLogFileManagerDefault> {
 public:
  // Log files in `logsDirectory`, or in `defaultLogsDirectory()` when nullopt.
  static std::shared_ptr<DDLogFileManagerDefault> create(
      std::optional<std::string> logsDirectory = std::nullopt);
  ~DDLogFileManagerDefault() override = default;

  static inline constexpr uint64_t kDefaultMaximumNumberOfLogFiles = 5;
  // "yyyy'-'MM'-'dd' 'HH'-'mm'", GMT+0.
  static const char* const kLogFileDatePattern;

  // <user library>/Logs/<process name>.
  static std::string defaultLogsDirectory();
  // Turns a date into the date text of log file names (kLogFileDatePattern, GMT+0).
  static std::function<std::string(double date)> logFileDateFormatter();
  // The process name, read once per process ("" when there is none). Subclasses may answer
  // another name.
  virtual std::string applicationName();

  // Creates the folder (with its parents) when missing; a failure is logged and the path is
  // still returned.
  std::string logsDirectory() override;
  // What a log file's name tells: the date in it and the attempt number (1 without a number;
  // 0 when the last piece is not a number; the largest value when it is too large).
  struct LogFileName {
    double date = 0;
    uint64_t attempt = 1;
  };
  // The parts of `fileName` when it is the name of one of this application's log files.
  std::optional<LogFileName> parseLogFileName(const std::string& fileName);
  // Whether `fileName` is the name of one of this application's log files.
  bool isLogFile(const std::string& fileName) { return parseLogFileName(fileName).has_value(); }
  // `attempt` 1: "<app> <date>.log"; 2 and more: "<app> <date> <attempt>.log"; dated now.
  std::string generateLogFileNameWithAttempt(uint64_t attempt);

  // The regular files of the folder whose names are log file names, in listing order.
  std::vector<std::string> unsortedLogFilePaths() override;
  std::vector<std::string> unsortedLogFileNames() override;
  std::vector<DDLogFileInfoPtr> unsortedLogFileInfos() override;
  std::vector<std::string> sortedLogFilePaths() override;
  std::vector<std::string> sortedLogFileNames() override;
  // Newest first: by creation date, then by the date in the name, the attempt number and
  // the name, so that of files made within one clock tick the one made last comes first.
  std::vector<DDLogFileInfoPtr> sortedLogFileInfos() override;
  // The first free name of generateLogFileNameWithAttempt(1, 2, ...), created empty; then
  // deleteOldLogFiles. nullopt (logged) when the file cannot be created.
  std::optional<std::string> createNewLogFile() override;
  // Deletes the archived files beyond the maximum, oldest first (0: none); the newest file is
  // left out when it is not archived. Only regular files are removed; failures are ignored.
  void deleteOldLogFiles();

  uint64_t maximumNumberOfLogFiles() override { return maximumNumberOfLogFiles_.load(); }
  // A changed value deletes the surplus files asynchronously on the logging queue.
  void setMaximumNumberOfLogFiles(uint64_t maximumNumberOfLogFiles) override;

 protected:
  explicit DDLogFileManagerDefault(std::optional<std::string> logsDirectory);

 private:
  std::atomic<uint64_t> maximumNumberOfLogFiles_{kDefaultMaximumNumberOfLogFiles};
  const std::string logsDirectory_;
  // Set while a failure has been logged and no success has followed.
  std::atomic<bool> directoryFailureReported_{false};
  std::atomic<bool> fileFailureReported_{false};
};

}  // namespace corvane
