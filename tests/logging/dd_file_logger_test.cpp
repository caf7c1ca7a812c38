#include "logging/dd_file_logger.h"

#include <gtest/gtest.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "logging/dd_log.h"
#include "logging/dd_log_file_formatter_default.h"
#include "logging/dd_log_file_info.h"
#include "logging/dd_log_file_manager_default.h"
#include "logging/log_date_format.h"
#include "logging/log_test_support.h"
#include "platform/foundation/file_utils.h"
#include "platform/foundation/reference_date.h"

namespace corvane {
namespace {

namespace files = platform::files;
using test::LogLineCapture;
using test::readFile;
using test::TempDir;
using test::writeOnQueue;

// The default manager for the application "App" that records what the logger tells it.
class AppLogFileManager : public DDLogFileManagerDefault {
 public:
  static std::shared_ptr<AppLogFileManager> create(const std::string& folder) {
    return std::shared_ptr<AppLogFileManager>(new AppLogFileManager(folder));
  }
  std::string applicationName() override { return "App"; }

  void didArchiveLogFile(const std::string& path) override {
    std::lock_guard<std::mutex> lock(mutex_);
    archived_.push_back(path);
    cv_.notify_all();
  }
  void didRollAndArchiveLogFile(const std::string& path) override {
    std::lock_guard<std::mutex> lock(mutex_);
    rolled_.push_back(path);
    rollTimes_.push_back(std::chrono::steady_clock::now());
    cv_.notify_all();
  }

  std::vector<std::string> archived() {
    std::lock_guard<std::mutex> lock(mutex_);
    return archived_;
  }
  std::vector<std::string> rolled() {
    std::lock_guard<std::mutex> lock(mutex_);
    return rolled_;
  }
  std::chrono::steady_clock::time_point rollTime(size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return rollTimes_.at(i);
  }
  bool waitForRolls(size_t n, double seconds = 15) {
    return test::waitFor(mutex_, cv_, seconds, [&] { return rolled_.size() >= n; });
  }

 protected:
  explicit AppLogFileManager(const std::string& folder) : DDLogFileManagerDefault(folder) {}

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> archived_;
  std::vector<std::string> rolled_;
  std::vector<std::chrono::steady_clock::time_point> rollTimes_;
};

class FileLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    manager_ = AppLogFileManager::create(dir_.path());
  }

  // Waits until the settings changed before have reached the logger's queue.
  static void settle(const std::shared_ptr<DDFileLogger>& logger) { (void)logger->maximumFileSize(); }

  // Creates `name` in the folder with a creation date later than every earlier file's.
  void createOrdered(const std::string& name) {
    const std::string path = dir_ / name;
    for (int tries = 0; tries < 1000; ++tries) {
      ASSERT_TRUE(files::createFile(path));
      const double created = files::creationDate(path).value_or(0);
      if (created > lastCreated_) {
        lastCreated_ = created;
        return;
      }
      files::remove(path);
      ::usleep(2000);  // file dates move in clock ticks
    }
    FAIL() << "creation dates do not advance";
  }

  TempDir dir_;
  std::shared_ptr<AppLogFileManager> manager_;
  double lastCreated_ = 0;
};

TEST_F(FileLoggerTest, OnlyThisApplicationsDatedFilesAreLogFiles) {
  struct Case {
    const char* name;
    bool isLogFile;
  };
  const Case cases[] = {
      {"App 2026-03-01 14-05.log", true},    {"App 2026-03-01 14-05 2.log", true},
      {"App notes.log", false},              {"Other 2026-03-01 14-05.log", false},
      {"App 2026-13-01 14-05.log", false},   {"App 2026-02-30 14-05.log", false},
      {"App 2026-03-01 24-05.log", false},   {"App 2026-03-01 14-05.txt", false},
      {"App 2026-03-01 14-05 2 3.log", false}, {"App 2026-03-01 14:05.log", false},
      {"App2026-03-01 14-05 .log", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(manager_->isLogFile(c.name), c.isLogFile) << c.name;
    ASSERT_TRUE(files::createFile(dir_ / c.name));
  }
  std::vector<std::string> names = manager_->unsortedLogFileNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"App 2026-03-01 14-05 2.log", "App 2026-03-01 14-05.log"}));
}

TEST_F(FileLoggerTest, NewFilesNumberTheirAttempts) {
  // The names carry the minute: when it turns during the test, start again.
  for (int round = 0; round < 3; ++round) {
    const std::string first = manager_->generateLogFileNameWithAttempt(1);
    std::vector<std::string> made;
    made.reserve(3);
    for (int i = 0; i < 3; ++i) made.push_back(files::lastPathComponent(*manager_->createNewLogFile()));
    if (manager_->generateLogFileNameWithAttempt(1) != first) {
      for (const auto& name : made) files::remove(dir_ / name);
      continue;
    }
    const std::string stem = first.substr(0, first.size() - 4);
    EXPECT_EQ(made, (std::vector<std::string>{first, stem + " 2.log", stem + " 3.log"}));
    EXPECT_TRUE(manager_->isLogFile(made[2]));
    const std::string date = detail::formatLogDate(DDLogFileManagerDefault::kLogFileDatePattern,
                                                   platform::ReferenceDate::now(),
                                                   detail::LogTimeZone::Utc);
    EXPECT_EQ(first, "App " + date + ".log");
    return;
  }
  FAIL() << "the minute kept turning";
}

TEST_F(FileLoggerTest, DatesFormatInGmtAndParseStrictly) {
  const char* pattern = DDLogFileManagerDefault::kLogFileDatePattern;
  EXPECT_EQ(detail::formatLogDate(pattern, 0.0, detail::LogTimeZone::Utc), "2001-01-01 00-00");
  // 2026-03-01 14:05:00 UTC.
  const double date = platform::ReferenceDate::fromUnixTime(1772373900.0);
  EXPECT_EQ(detail::formatLogDate(pattern, date, detail::LogTimeZone::Utc), "2026-03-01 14-05");
  EXPECT_EQ(detail::parseLogDate(pattern, "2026-03-01 14-05", detail::LogTimeZone::Utc), date);
  EXPECT_EQ(detail::formatLogDate("yyyy/MM/dd HH:mm:ss:SSS", date + 0.25, detail::LogTimeZone::Utc),
            "2026/03/01 14:05:00:250");
  for (const char* bad : {"2026-03-01 14-5", "2026-03-01 14-05 ", "x026-03-01 14-05", ""}) {
    EXPECT_FALSE(detail::parseLogDate(pattern, bad, detail::LogTimeZone::Utc)) << bad;
  }
  EXPECT_EQ(DDLogFileManagerDefault::logFileDateFormatter()(date), "2026-03-01 14-05");

  // The line formatter: the given date formatter, two blanks, the text.
  DDLogFileFormatterDefault custom([](double d) { return "D" + std::to_string(int(d)); });
  auto m = test::makeMessage("text");
  EXPECT_EQ(*custom.formatLogMessage(m), "D" + std::to_string(int(m->timestamp())) + "  text");
  DDLogFileFormatterDefault standard;
  EXPECT_TRUE(test::hasShape(*standard.formatLogMessage(m), "9999/99/99 99:99:99:999  text"));
}

TEST_F(FileLoggerTest, FileInfosCompareNewestFirstAndByPath) {
  createOrdered("App 2026-03-01 14-01.log");
  createOrdered("App 2026-03-01 14-02.log");
  auto older = DDLogFileInfo::logFileWithPath(dir_ / "App 2026-03-01 14-01.log");
  auto newer = DDLogFileInfo::logFileWithPath(dir_ / "App 2026-03-01 14-02.log");
  EXPECT_TRUE(newer->reverseCompareByCreationDate(*older));
  EXPECT_FALSE(older->reverseCompareByCreationDate(*newer));
  EXPECT_FALSE(older->reverseCompareByCreationDate(*older));  // equal dates compare same
  EXPECT_TRUE(older->isEqual(*DDLogFileInfo::logFileWithPath(older->filePath())));
  EXPECT_FALSE(older->isEqual(*newer));
  EXPECT_EQ(manager_->sortedLogFileNames(),
            (std::vector<std::string>{"App 2026-03-01 14-02.log", "App 2026-03-01 14-01.log"}));
  EXPECT_NE(older->description().find("fileName = App 2026-03-01 14-01.log"), std::string::npos);
  older->renameFile("App 2026-03-01 14-00.log");
  EXPECT_TRUE(files::exists(dir_ / "App 2026-03-01 14-00.log"));
  EXPECT_EQ(older->fileName(), "App 2026-03-01 14-00.log");
}

TEST_F(FileLoggerTest, ArchivedFlagIsAnExtendedAttributeThatPersists) {
  const std::string path = dir_ / "App 2026-03-01 14-05.log";
  ASSERT_TRUE(files::createFile(path));
  auto info = DDLogFileInfo::logFileWithPath(path);
  EXPECT_FALSE(info->isArchived());
  info->setIsArchived(true);
  EXPECT_TRUE(DDLogFileInfo::logFileWithPath(path)->isArchived());
  EXPECT_EQ(::getxattr(path.c_str(), "user.corvane.log.archived", nullptr, 0), 0);
  info->setIsArchived(false);
  EXPECT_FALSE(DDLogFileInfo::logFileWithPath(path)->isArchived());
  LogLineCapture capture;
  info->setIsArchived(false);  // absent already: not a failure
  EXPECT_TRUE(capture.lines().empty());
}

TEST_F(FileLoggerTest, AtMostTheMaximumOfArchivedFilesStayBesidesTheCurrentOne) {
  const std::vector<std::string> names = {
      "App 2026-03-01 14-01.log", "App 2026-03-01 14-02.log", "App 2026-03-01 14-03.log",
      "App 2026-03-01 14-04.log", "App 2026-03-01 14-05.log", "App 2026-03-01 14-06.log"};
  for (const auto& name : names) createOrdered(name);
  for (size_t i = 0; i < 5; ++i) DDLogFileInfo::logFileWithPath(dir_ / names[i])->setIsArchived(true);

  manager_->setMaximumNumberOfLogFiles(2);
  DDLog::loggingQueue()->sync([] {});  // the deletion runs there
  std::vector<std::string> left = manager_->sortedLogFileNames();
  EXPECT_EQ(left, (std::vector<std::string>{names[5], names[4], names[3]}));

  // No limit: nothing more goes.
  manager_->setMaximumNumberOfLogFiles(0);
  DDLog::loggingQueue()->sync([] {});
  EXPECT_EQ(manager_->sortedLogFileNames().size(), 3u);
}

TEST_F(FileLoggerTest, FirstMessageReusesTheNewestFileOnlyUnderBothLimits) {
  struct Case {
    const char* what;
    uint64_t maximumFileSize;
    bool reused;
  };
  for (const Case c : {Case{"under both limits", 1024, true}, Case{"over size", 4, false}}) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    auto manager = AppLogFileManager::create(dir.path());
    const std::string old = *manager->createNewLogFile();
    {
      std::ofstream(old) << "earlier line\n";
    }
    auto logger = DDFileLogger::create(manager);
    logger->setMaximumFileSize(c.maximumFileSize);
    settle(logger);
    writeOnQueue(*logger, "next line");

    const std::string oldText = readFile(old);
    EXPECT_EQ(oldText.find("earlier line\n"), 0u);
    if (c.reused) {
      EXPECT_NE(oldText.find("  next line\n"), std::string::npos);
      EXPECT_TRUE(manager->archived().empty());
      EXPECT_EQ(manager->unsortedLogFilePaths().size(), 1u);
    } else {
      EXPECT_EQ(oldText.find("next line"), std::string::npos);
      EXPECT_EQ(manager->archived(), std::vector<std::string>{old});
      EXPECT_TRUE(DDLogFileInfo::logFileWithPath(old)->isArchived());
      EXPECT_EQ(manager->unsortedLogFilePaths().size(), 2u);
    }
  }
}

TEST_F(FileLoggerTest, RollsBySizeAndStartsANewFile) {
  auto logger = DDFileLogger::create(manager_);
  logger->setMaximumFileSize(100);
  settle(logger);
  // Each line: 23 date characters, two blanks, 16 characters and a newline = 42 bytes.
  for (int i = 0; i < 3; ++i) writeOnQueue(*logger, "message number " + std::to_string(i));
  ASSERT_EQ(manager_->rolled().size(), 1u);
  const std::string first = manager_->rolled()[0];
  EXPECT_TRUE(DDLogFileInfo::logFileWithPath(first)->isArchived());
  const std::string text = readFile(first);
  ASSERT_EQ(text.size(), 3u * 42u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(test::hasShape(std::string_view(text).substr(i * 42, 42),
                               "9999/99/99 99:99:99:999  message number 9\n"))
        << text;
  }

  writeOnQueue(*logger, "after the roll");
  const auto paths = manager_->sortedLogFilePaths();
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_NE(paths[0], first);
  EXPECT_NE(readFile(paths[0]).find("after the roll"), std::string::npos);
  EXPECT_FALSE(DDLogFileInfo::logFileWithPath(paths[0])->isArchived());
}

TEST_F(FileLoggerTest, SizeAndFrequencyZeroNeverRoll) {
  auto logger = DDFileLogger::create(manager_);
  logger->setMaximumFileSize(0);
  logger->setRollingFrequency(0);
  settle(logger);
  const std::string chunk(1000, 'x');
  for (int i = 0; i < 1200; ++i) writeOnQueue(*logger, chunk);  // past the default 1 MiB
  logger->setRollingFrequency(0.0);
  settle(logger);
  EXPECT_TRUE(manager_->rolled().empty());
  const auto infos = manager_->sortedLogFileInfos();
  ASSERT_EQ(infos.size(), 1u);
  EXPECT_GT(infos[0]->fileSize(), DDFileLogger::kDefaultMaximumFileSize);
  EXPECT_FALSE(infos[0]->isArchived());
}

TEST_F(FileLoggerTest, RollsByAgeOnItsTimer) {
  auto logger = DDFileLogger::create(manager_);
  logger->setRollingFrequency(1.0);
  settle(logger);
  writeOnQueue(*logger, "ages");
  const auto written = std::chrono::steady_clock::now();
  ASSERT_TRUE(manager_->waitForRolls(1)) << "no roll by age";
  // The timer fires one rolling period after the file was created (its date is at most a
  // clock tick before the write).
  EXPECT_GE(std::chrono::duration<double>(manager_->rollTime(0) - written).count(), 0.9);
  EXPECT_TRUE(DDLogFileInfo::logFileWithPath(manager_->rolled()[0])->isArchived());
  EXPECT_NE(readFile(manager_->rolled()[0]).find("ages"), std::string::npos);
}

TEST_F(FileLoggerTest, OpenFileRemovedFromOutsideRollsTheLogger) {
  struct Case {
    const char* what;
    bool rename;
  };
  for (const Case c : {Case{"deleted", false}, Case{"renamed", true}}) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    auto manager = AppLogFileManager::create(dir.path());
    auto logger = DDFileLogger::create(manager);
    writeOnQueue(*logger, "before");
    const auto paths = manager->unsortedLogFilePaths();
    ASSERT_EQ(paths.size(), 1u);
    LogLineCapture capture;  // marking a vanished file archived logs a failure
    if (c.rename) {
      ASSERT_TRUE(files::move(paths[0], dir / "moved away.txt"));
    } else {
      ASSERT_TRUE(files::remove(paths[0]));
    }
    ASSERT_TRUE(manager->waitForRolls(1)) << "the watch did not roll the logger";
    EXPECT_EQ(manager->rolled()[0], paths[0]);

    writeOnQueue(*logger, "after");
    const auto now = manager->unsortedLogFilePaths();
    ASSERT_EQ(now.size(), 1u);
    EXPECT_EQ(readFile(now[0]).find("before"), std::string::npos);
    EXPECT_NE(readFile(now[0]).find("after"), std::string::npos);
    if (c.rename) {
      EXPECT_NE(readFile(dir / "moved away.txt").find("before"), std::string::npos);
    }
  }
}

// A manager whose every new log file is /dev/full: each write fails.
class FullDiskManager : public AppLogFileManager {
 public:
  static std::shared_ptr<FullDiskManager> create(const std::string& folder) {
    return std::shared_ptr<FullDiskManager>(new FullDiskManager(folder));
  }
  std::vector<DDLogFileInfoPtr> sortedLogFileInfos() override { return {}; }
  std::optional<std::string> createNewLogFile() override { return std::string("/dev/full"); }

 private:
  using AppLogFileManager::AppLogFileManager;
};

TEST_F(FileLoggerTest, OnlyTheFirstTenWriteFailuresAreLogged) {
  detail::resetFileLoggerExceptionCount();
  auto logger = DDFileLogger::create(FullDiskManager::create(dir_.path()));
  LogLineCapture capture;
  for (int i = 0; i < 10; ++i) writeOnQueue(*logger, "lost " + std::to_string(i));
  auto lines = capture.linesWith("DDFileLogger.logMessage: ");
  ASSERT_EQ(lines.size(), 11u);
  for (int i = 0; i < 10; ++i) {
    EXPECT_NE(lines[size_t(i)].find("DDFileLogger.logMessage: write(/dev/full): No space left on device"),
              std::string::npos)
        << lines[size_t(i)];
  }
  EXPECT_NE(lines[10].find("DDFileLogger.logMessage: Too many exceptions -- will not log any more of them."),
            std::string::npos);
  for (int i = 0; i < 5; ++i) writeOnQueue(*logger, "eleventh and later");
  EXPECT_EQ(capture.linesWith("DDFileLogger.logMessage: ").size(), 11u);
  detail::resetFileLoggerExceptionCount();
}

TEST_F(FileLoggerTest, FacilityWritesThroughTheLoggerAndRemovalRolls) {
  auto logger = DDFileLogger::create(manager_);
  EXPECT_EQ(logger->loggerQueue()->label(), "corvane.logging.fileLogger");
  DDLog::addLogger(logger);
  DDLog::log(false, DDLogLevelAll, DDLogFlagWarn, 0, __FILE__, __func__, __LINE__, std::nullopt,
             "through the facility %d", 42);
  DDLog::removeLogger(logger);
  DDLog::flushLog();
  ASSERT_TRUE(manager_->waitForRolls(1));
  const std::string text = readFile(manager_->rolled()[0]);
  EXPECT_NE(text.find("  through the facility 42\n"), std::string::npos);
  EXPECT_TRUE(DDLogFileInfo::logFileWithPath(manager_->rolled()[0])->isArchived());
}

TEST_F(FileLoggerTest, RollLogFileRunsItsCompletionOnTheMainQueue) {
  auto logger = DDFileLogger::create(manager_);
  writeOnQueue(*logger, "one");
  std::atomic<bool> done{false};
  logger->rollLogFileWithCompletionBlock([&] { done = true; });
  EXPECT_TRUE(platform::dispatch::MainQueue::runUntil([&] { return done.load(); }, 10));
  EXPECT_EQ(manager_->rolled().size(), 1u);
}

}  // namespace
}  // namespace corvane
