// DDFileLogger: writes log messages to plain-text files in the folder of its file manager,
// one file at a time. The file is rolled (closed, marked archived, never reopened) when it
// reaches `maximumFileSize`, when it is `rollingFrequency` old (a one-shot timer), when it is
// deleted or renamed from outside (a file watch), on `rollLogFile` and on removal of the
// logger. The next message then starts a new file. The first message reuses the newest
// unarchived file when it is still under both limits.
//
// Lines: the formatter's text (by default DDLogFileFormatterDefault), newline added when
// missing. A failure to open or write a file is counted process-wide and logged for the first
// ten only; the message is lost and the next one tries again. A file that fails to open is
// forgotten: the next message makes a new file. Only regular files are opened, and opening
// never blocks (a FIFO with a log file's name cannot stall the logging queue).
//
// Threads: file work, the timer and the file watch run on the logger's queue
// ("corvane.logging.fileLogger"); the settings follow the two-step queue rule of
// DDAbstractLogger and may be used from any thread. Made with create(); the timer and the
// watch hold the logger weakly. Releasing the logger closes the file and stops both.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "logging/dd_abstract_logger.h"
#include "logging/dd_log_file_info.h"
#include "logging/dd_log_file_manager.h"
#include "platform/dispatch/dispatch.h"

namespace corvane {

class DDFileLogger : public DDAbstractLogger {
 public:
  static inline constexpr uint64_t kDefaultMaximumFileSize = 1024 * 1024;
  static inline constexpr double kDefaultRollingFrequency = 60 * 60 * 24;

  // With a new DDLogFileManagerDefault / with `logFileManager` (nullptr: a default one).
  static std::shared_ptr<DDFileLogger> create();
  static std::shared_ptr<DDFileLogger> create(DDLogFileManagerPtr logFileManager);
  ~DDFileLogger() override;

  const DDLogFileManagerPtr& logFileManager() const { return logFileManager_; }

  // Bytes; 0: no size limit. The setter rolls at once when the open file is over the new size.
  uint64_t maximumFileSize();
  void setMaximumFileSize(uint64_t maximumFileSize);
  // Seconds; 0 or less: no age limit. The setter rolls at once when the current file is over
  // the new age, else re-arms the timer.
  double rollingFrequency();
  void setRollingFrequency(double rollingFrequency);

  // Rolls the current file (by the two-step rule); `completionBlock` then runs on the main
  // queue.
  void rollLogFile();
  void rollLogFileWithCompletionBlock(platform::dispatch::Block completionBlock);

  void logMessage(const DDLogMessagePtr& logMessage) override;
  bool implementsWillRemoveLogger() const override { return true; }
  void willRemoveLogger() override { rollLogFileNow(); }
  std::optional<std::string> loggerName() override;

 private:
  explicit DDFileLogger(DDLogFileManagerPtr logFileManager);

  // Logger's queue only. The first two throw std::runtime_error on failure.
  const DDLogFileInfoPtr& currentLogFileInfo();
  int currentLogFileHandle();
  void maybeRollLogFileDueToSize();
  void maybeRollLogFileDueToAge();
  void scheduleTimerToRollLogFileDueToAge();
  void rollLogFileNow();
  void stopSources();
  void closeHandle();
  std::weak_ptr<DDFileLogger> weakSelf();

  const DDLogFileManagerPtr logFileManager_;

  // Logger's queue only.
  DDLogFileInfoPtr currentLogFileInfo_;
  int currentLogFileHandle_ = -1;
  platform::dispatch::SourcePtr currentLogFileVnode_;
  platform::dispatch::SourcePtr rollingTimer_;
  uint64_t maximumFileSize_ = kDefaultMaximumFileSize;
  double rollingFrequency_ = kDefaultRollingFrequency;
  // Set by a failed open until an open succeeds: the newest file is not reused.
  bool mustCreateNewLogFile_ = false;
};

namespace detail {
// Sets the process-wide count of file-logger failures back to 0 (tests).
void resetFileLoggerExceptionCount();
}  // namespace detail

}  // namespace corvane
