// DDLogFileManagerDefault: keeps the log files of this application in one folder (by default
// <home>/Library/Logs/<process name>). Files are named "<app> <yyyy-MM-dd HH-mm>.log" (GMT+0)
// and, when that name is taken, "<app> <date> <n>.log" for n = 2, 3, ...; at most
// `maximumNumberOfLogFiles` archived files are kept besides the one being written.
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
  // Whether `fileName` is the name of one of this application's log files.
  bool isLogFile(const std::string& fileName);
  // `attempt` 1: "<app> <date>.log"; 2 and more: "<app> <date> <attempt>.log"; dated now.
  std::string generateLogFileNameWithAttempt(uint64_t attempt);

  std::vector<std::string> unsortedLogFilePaths() override;
  std::vector<std::string> unsortedLogFileNames() override;
  std::vector<DDLogFileInfoPtr> unsortedLogFileInfos() override;
  std::vector<std::string> sortedLogFilePaths() override;
  std::vector<std::string> sortedLogFileNames() override;
  std::vector<DDLogFileInfoPtr> sortedLogFileInfos() override;
  // The first free name of generateLogFileNameWithAttempt(1, 2, ...), created empty; then
  // deleteOldLogFiles. nullopt (logged) when the file cannot be created.
  std::optional<std::string> createNewLogFile() override;
  // Deletes the archived files beyond the maximum, oldest first (0: none); the newest file is
  // left out when it is not archived. Failures are ignored.
  void deleteOldLogFiles();

  uint64_t maximumNumberOfLogFiles() override { return maximumNumberOfLogFiles_.load(); }
  // A changed value deletes the surplus files asynchronously on the logging queue.
  void setMaximumNumberOfLogFiles(uint64_t maximumNumberOfLogFiles) override;

 protected:
  explicit DDLogFileManagerDefault(std::optional<std::string> logsDirectory);

 private:
  std::atomic<uint64_t> maximumNumberOfLogFiles_{kDefaultMaximumNumberOfLogFiles};
  const std::string logsDirectory_;
};

}  // namespace corvane
