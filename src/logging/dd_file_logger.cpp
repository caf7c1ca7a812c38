#include "logging/dd_file_logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "logging/dd_log_file_formatter_default.h"
#include "logging/dd_log_file_manager_default.h"
#include "platform/foundation/reference_date.h"
#include "platform/log/log.h"

namespace corvane {

using platform::dispatch::Block;
using platform::dispatch::Clock;
using platform::dispatch::Queue;
using platform::dispatch::Source;

namespace {

constexpr char kLoggerName[] = "corvane.logging.fileLogger";
constexpr int kMaxLoggedExceptions = 10;
// Far enough for any real rolling frequency, near enough for the steady clock's range.
constexpr double kLongestTimerSeconds = 10.0 * 365 * 24 * 60 * 60;

// Shared by every file logger of the process.
std::atomic<int> g_exceptionCount{0};

std::runtime_error systemError(const char* call, const std::string& path) {
  const int error = errno;  // before anything that may change it
  return std::runtime_error(std::string(call) + "(" + path + "): " + detail::errnoText(error));
}

void reportException(const char* what) {
  const int count = ++g_exceptionCount;
  if (count > kMaxLoggedExceptions) return;
  platform::log::nslog("DDFileLogger.logMessage: %s", what);
  if (count == kMaxLoggedExceptions) {
    platform::log::nslog(
        "DDFileLogger.logMessage: Too many exceptions -- will not log any more of them.");
  }
}

// Opens the regular file at `path` for appending. Anything else that has the name (a FIFO,
// device, socket, folder or symbolic link) is refused: a FIFO without a reader would block
// the open, and the logging queue waits for every logger. Checked before the open and
// again on the open descriptor, in case the name changed hands in between; the open itself
// cannot block.
int openForAppending(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) throw systemError("open", path);
  if (!S_ISREG(st.st_mode)) throw std::runtime_error("open(" + path + "): not a regular file");
  // Appending only: nothing another writer added is ever overwritten.
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) throw systemError("open", path);
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw std::runtime_error("open(" + path + "): not a regular file");
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 || ::lseek(fd, 0, SEEK_END) < 0) {
    const std::runtime_error error = systemError("open", path);
    ::close(fd);
    throw error;
  }
  return fd;
}

void writeAll(int fd, const std::string& bytes, const std::string& path) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw systemError("write", path);
    }
    if (n == 0) throw std::runtime_error("write(" + path + "): no progress");
    done += static_cast<size_t>(n);
  }
}

}  // namespace

namespace detail {
void resetFileLoggerExceptionCount() { g_exceptionCount = 0; }
}  // namespace detail

std::shared_ptr<DDFileLogger> DDFileLogger::create() { return create(nullptr); }

std::shared_ptr<DDFileLogger> DDFileLogger::create(DDLogFileManagerPtr logFileManager) {
  if (!logFileManager) logFileManager = DDLogFileManagerDefault::create();
  return std::shared_ptr<DDFileLogger>(new DDFileLogger(std::move(logFileManager)));
}

DDFileLogger::DDFileLogger(DDLogFileManagerPtr logFileManager)
    : DDAbstractLogger(kLoggerName), logFileManager_(std::move(logFileManager)) {
  formatter_ = std::make_shared<DDLogFileFormatterDefault>();
}

DDFileLogger::~DDFileLogger() {
  // Nothing else can reach the logger any more; its sources hold it only weakly.
  stopSources();
  closeHandle();
}

std::optional<std::string> DDFileLogger::loggerName() { return std::string(kLoggerName); }

std::weak_ptr<DDFileLogger> DDFileLogger::weakSelf() {
  return std::static_pointer_cast<DDFileLogger>(shared_from_this());
}

// Settings.

uint64_t DDFileLogger::maximumFileSize() {
  return readSetting([this] { return maximumFileSize_; });
}

void DDFileLogger::setMaximumFileSize(uint64_t maximumFileSize) {
  changeSettingThroughQueues([this, maximumFileSize] {
    maximumFileSize_ = maximumFileSize;
    try {
      maybeRollLogFileDueToSize();
    } catch (const std::exception& e) {
      reportException(e.what());
    }
  });
}

double DDFileLogger::rollingFrequency() {
  return readSetting([this] { return rollingFrequency_; });
}

void DDFileLogger::setRollingFrequency(double rollingFrequency) {
  changeSettingThroughQueues([this, rollingFrequency] {
    rollingFrequency_ = rollingFrequency;
    maybeRollLogFileDueToAge();
  });
}

void DDFileLogger::rollLogFile() { rollLogFileWithCompletionBlock(nullptr); }

void DDFileLogger::rollLogFileWithCompletionBlock(Block completionBlock) {
  changeSetting([this, completionBlock = std::move(completionBlock)] {
    rollLogFileNow();
    if (completionBlock) Queue::main()->async(completionBlock);
  });
}

// The current file.

const DDLogFileInfoPtr& DDFileLogger::currentLogFileInfo() {
  if (currentLogFileInfo_) return currentLogFileInfo_;
  std::vector<DDLogFileInfoPtr> infos;
  // After a failed open the newest file is not tried again: a new file is made.
  if (!mustCreateNewLogFile_) infos = logFileManager_->sortedLogFileInfos();
  if (!infos.empty() && !infos.front()->isArchived()) {
    const DDLogFileInfoPtr& newest = infos.front();
    const bool overSize = maximumFileSize_ != 0 && newest->fileSize() >= maximumFileSize_;
    const bool overAge = !overSize && rollingFrequency_ > 0 && newest->age() >= rollingFrequency_;
    if (!overSize && !overAge) {
      currentLogFileInfo_ = newest;
    } else {
      newest->setIsArchived(true);
      logFileManager_->didArchiveLogFile(newest->filePath());
    }
  }
  if (!currentLogFileInfo_) {
    if (std::optional<std::string> path = logFileManager_->createNewLogFile()) {
      currentLogFileInfo_ = DDLogFileInfo::logFileWithPath(*path);
    }
  }
  return currentLogFileInfo_;
}

int DDFileLogger::currentLogFileHandle() {
  if (currentLogFileHandle_ >= 0) return currentLogFileHandle_;
  const DDLogFileInfoPtr& info = currentLogFileInfo();
  if (!info) {
    throw std::runtime_error("no log file could be created in " + logFileManager_->logsDirectory());
  }
  int fd = -1;
  try {
    fd = openForAppending(info->filePath());
  } catch (const std::exception&) {
    // Forget the file: the next message makes a new one instead of failing on this one
    // for ever (with no handle there is nothing to roll).
    currentLogFileInfo_.reset();
    mustCreateNewLogFile_ = true;
    throw;
  }
  mustCreateNewLogFile_ = false;
  currentLogFileHandle_ = fd;
  scheduleTimerToRollLogFileDueToAge();

  currentLogFileVnode_ = Source::createFileWatch(fd, loggerQueue());
  if (currentLogFileVnode_) {
    currentLogFileVnode_->setEventHandler([weak = weakSelf()] {
      if (auto self = weak.lock()) self->rollLogFileNow();
    });
    currentLogFileVnode_->resume();
  }
  return currentLogFileHandle_;
}

// Writing.

void DDFileLogger::logMessage(const DDLogMessagePtr& logMessage) {
  DDLogText text = formatter_ ? formatter_->formatLogMessage(logMessage) : logMessage->logMsg();
  if (!text) return;
  try {
    std::string line = *text;
    if (line.empty() || line.back() != '\n') line.push_back('\n');
    const int fd = currentLogFileHandle();
    writeAll(fd, line, currentLogFileInfo_->filePath());
    maybeRollLogFileDueToSize();
  } catch (const std::exception& e) {
    reportException(e.what());
  }
}

// Rolling.

void DDFileLogger::maybeRollLogFileDueToSize() {
  if (maximumFileSize_ == 0 || currentLogFileHandle_ < 0) return;
  const off_t offset = ::lseek(currentLogFileHandle_, 0, SEEK_CUR);
  if (offset < 0) {
    throw systemError("lseek", currentLogFileInfo_ ? currentLogFileInfo_->filePath() : "");
  }
  if (static_cast<uint64_t>(offset) >= maximumFileSize_) rollLogFileNow();
}

void DDFileLogger::maybeRollLogFileDueToAge() {
  if (rollingFrequency_ > 0 && currentLogFileInfo_ &&
      currentLogFileInfo_->age() >= rollingFrequency_) {
    rollLogFileNow();
  } else {
    scheduleTimerToRollLogFileDueToAge();
  }
}

void DDFileLogger::scheduleTimerToRollLogFileDueToAge() {
  if (rollingTimer_) {
    rollingTimer_->cancel();
    rollingTimer_.reset();
  }
  if (!currentLogFileInfo_ || !(rollingFrequency_ > 0)) return;
  const double due = currentLogFileInfo_->creationDate() + rollingFrequency_;
  const double wait = std::clamp(due - platform::ReferenceDate::now(), 0.0, kLongestTimerSeconds);
  rollingTimer_ = Source::createTimer(loggerQueue());
  rollingTimer_->setTimer(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(wait)),
                          platform::dispatch::kForever, 1e-9);
  rollingTimer_->setEventHandler([weak = weakSelf()] {
    if (auto self = weak.lock()) self->maybeRollLogFileDueToAge();
  });
  rollingTimer_->resume();
}

void DDFileLogger::rollLogFileNow() {
  if (currentLogFileHandle_ < 0) return;
  // The watch goes first: it must not look at a descriptor that is closed or reused.
  stopSources();
  closeHandle();
  if (currentLogFileInfo_) {
    currentLogFileInfo_->setIsArchived(true);
    logFileManager_->didRollAndArchiveLogFile(currentLogFileInfo_->filePath());
    currentLogFileInfo_.reset();
  }
}

void DDFileLogger::stopSources() {
  if (currentLogFileVnode_) {
    currentLogFileVnode_->cancel();
    currentLogFileVnode_.reset();
  }
  if (rollingTimer_) {
    rollingTimer_->cancel();
    rollingTimer_.reset();
  }
}

void DDFileLogger::closeHandle() {
  if (currentLogFileHandle_ < 0) return;
  ::fsync(currentLogFileHandle_);
  ::close(currentLogFileHandle_);
  currentLogFileHandle_ = -1;
}

}  // namespace corvane
