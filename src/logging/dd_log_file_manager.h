// DDLogFileManager: what the file logger asks of the keeper of its log folder. The file logger
// calls every operation on its own queue; implementations must be thread-safe where they are
// shared by several loggers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "logging/dd_log_file_info.h"

namespace corvane {

class DDLogFileManager;
using DDLogFileManagerPtr = std::shared_ptr<DDLogFileManager>;

class DDLogFileManager {
 public:
  virtual ~DDLogFileManager() = default;

  virtual std::string logsDirectory() = 0;
  virtual std::vector<std::string> unsortedLogFilePaths() = 0;
  virtual std::vector<std::string> unsortedLogFileNames() = 0;
  virtual std::vector<DDLogFileInfoPtr> unsortedLogFileInfos() = 0;
  // Newest first.
  virtual std::vector<std::string> sortedLogFilePaths() = 0;
  virtual std::vector<std::string> sortedLogFileNames() = 0;
  virtual std::vector<DDLogFileInfoPtr> sortedLogFileInfos() = 0;
  // Creates a new, empty log file and returns its path; nullopt when none could be made.
  virtual std::optional<std::string> createNewLogFile() = 0;

  // How many archived files to keep; 0: no limit.
  virtual uint64_t maximumNumberOfLogFiles() = 0;
  virtual void setMaximumNumberOfLogFiles(uint64_t maximumNumberOfLogFiles) = 0;

  // Optional notifications: a file was archived without being written (it was over a limit
  // when the logger started), and the file being written was rolled and archived.
  virtual void didArchiveLogFile(const std::string& /*logFilePath*/) {}
  virtual void didRollAndArchiveLogFile(const std::string& /*logFilePath*/) {}
};

}  // namespace corvane
