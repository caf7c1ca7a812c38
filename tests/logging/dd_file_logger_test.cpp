#include "logging/dd_file_logger.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "logging/app_log_file_manager.h"
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
using test::AppLogFileManager;
using test::LogLineCapture;
using test::readFile;
using test::TempDir;
using test::writeOnQueue;

class FileLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    manager_ = AppLogFileManager::create(dir_.path());
  }

  // Waits until the settings changed before have reached the logger's queue.
  static void settle(const std::shared_ptr<DDFileLogger>& logger) {
    (void)logger->maximumFileSize();
  }

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
      {"App 2026-03-01 14-05.log", true},
      {"App 2026-03-01 14-05 2.log", true},
      {"App notes.log", false},
      {"Other 2026-03-01 14-05.log", false},
      {"App 2026-13-01 14-05.log", false},
      {"App 2026-02-30 14-05.log", false},
      {"App 2026-03-01 24-05.log", false},
      {"App 2026-03-01 14-05.txt", false},
      {"App 2026-03-01 14-05 2 3.log", false},
      {"App 2026-03-01 14:05.log", false},
      {"App2026-03-01 14-05 .log", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(manager_->isLogFile(c.name), c.isLogFile) << c.name;
    ASSERT_TRUE(files::createFile(dir_ / c.name));
  }
  std::vector<std::string> names = manager_->unsortedLogFileNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names,
            (std::vector<std::string>{"App 2026-03-01 14-05 2.log", "App 2026-03-01 14-05.log"}));
}

TEST_F(FileLoggerTest, NewFilesNumberTheirAttempts) {
  // The names carry the minute: when it turns during the test, start again.
  for (int round = 0; round < 3; ++round) {
    const std::string first = manager_->generateLogFileNameWithAttempt(1);
    std::vector<std::string> made;
    made.reserve(3);
    for (int i = 0; i < 3; ++i)
      made.push_back(files::lastPathComponent(*manager_->createNewLogFile()));
    if (manager_->generateLogFileNameWithAttempt(1) != first) {
      for (const auto& name : made) files::remove(dir_ / name);
      continue;
    }
    const std::string stem = first.substr(0, first.size() - 4);
    EXPECT_EQ(made, (std::vector<std::string>{first, stem + " 2.log", stem + " 3.log"}));
    EXPECT_TRUE(manager_->isLogFile(made[2]));
    const std::string date =
        detail::formatLogDate(DDLogFileManagerDefault::kLogFileDatePattern,
                              platform::ReferenceDate::now(), detail::LogTimeZone::Utc);
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
  const std::vector<std::string> names = {"App 2026-03-01 14-01.log", "App 2026-03-01 14-02.log",
                                          "App 2026-03-01 14-03.log", "App 2026-03-01 14-04.log",
                                          "App 2026-03-01 14-05.log", "App 2026-03-01 14-06.log"};
  for (const auto& name : names) createOrdered(name);
  for (size_t i = 0; i < 5; ++i)
    DDLogFileInfo::logFileWithPath(dir_ / names[i])->setIsArchived(true);

  manager_->setMaximumNumberOfLogFiles(2);
  DDLog::loggingQueue()->sync([] {});  // the deletion runs there
  std::vector<std::string> left = manager_->sortedLogFileNames();
  EXPECT_EQ(left, (std::vector<std::string>{names[5], names[4], names[3]}));

  // No limit: nothing more goes.
  manager_->setMaximumNumberOfLogFiles(0);
  DDLog::loggingQueue()->sync([] {});
  EXPECT_EQ(manager_->sortedLogFileNames().size(), 3u);
}

TEST_F(FileLoggerTest, NewFileDeletesTheArchivedFilesBeyondTheMaximum) {
  manager_->setMaximumNumberOfLogFiles(2);
  DDLog::loggingQueue()->sync([] {});  // its own deletion (of nothing) has run
  const std::vector<std::string> names = {"App 2026-03-01 14-01.log", "App 2026-03-01 14-02.log",
                                          "App 2026-03-01 14-03.log", "App 2026-03-01 14-04.log"};
  for (const auto& name : names) {
    createOrdered(name);
    DDLogFileInfo::logFileWithPath(dir_ / name)->setIsArchived(true);
  }
  const std::string made = files::lastPathComponent(*manager_->createNewLogFile());
  EXPECT_EQ(manager_->sortedLogFileNames(), (std::vector<std::string>{made, names[3], names[2]}));
}

TEST_F(FileLoggerTest, FirstMessageReusesTheNewestFileOnlyUnderBothLimits) {
  // Any file is older than the shortest positive rolling frequency.
  constexpr double kAnyAge = 1e-9;
  struct Case {
    const char* what;
    uint64_t maximumFileSize;
    double rollingFrequency;
    bool reused;
  };
  for (const Case c :
       {Case{"under both limits", 1024, DDFileLogger::kDefaultRollingFrequency, true},
        Case{"over size", 4, DDFileLogger::kDefaultRollingFrequency, false},
        Case{"over age", 1024, kAnyAge, false}}) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    auto manager = AppLogFileManager::create(dir.path());
    const std::string old = *manager->createNewLogFile();
    { std::ofstream(old) << "earlier line\n"; }
    ASSERT_GE(DDLogFileInfo::logFileWithPath(old)->age(), kAnyAge);
    auto logger = DDFileLogger::create(manager);
    logger->setMaximumFileSize(c.maximumFileSize);
    logger->setRollingFrequency(c.rollingFrequency);
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

TEST_F(FileLoggerTest, LoweredLimitsRollTheOpenFile) {
  struct Case {
    const char* what;
    std::function<void(DDFileLogger&)> lower;
    bool atOnce;  // else by the re-armed age timer
  };
  const Case cases[] = {
      {"size below the file's", [](DDFileLogger& l) { l.setMaximumFileSize(10); }, true},
      {"age below the file's", [](DDFileLogger& l) { l.setRollingFrequency(1e-9); }, true},
      {"age of a second", [](DDFileLogger& l) { l.setRollingFrequency(1.0); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    auto manager = AppLogFileManager::create(dir.path());
    auto logger = DDFileLogger::create(manager);
    writeOnQueue(*logger, "first line");
    const auto paths = manager->unsortedLogFilePaths();
    ASSERT_EQ(paths.size(), 1u);
    c.lower(*logger);
    settle(logger);
    if (c.atOnce) {
      EXPECT_EQ(manager->rolled(), std::vector<std::string>{paths[0]}) << "no roll by the setter";
    } else {
      EXPECT_TRUE(manager->rolled().empty());
      ASSERT_TRUE(manager->waitForRolls(1)) << "the setter did not re-arm the age timer";
      EXPECT_EQ(manager->rolled()[0], paths[0]);
    }
    EXPECT_TRUE(DDLogFileInfo::logFileWithPath(paths[0])->isArchived());
  }
}

// How many descriptors of this process are open on `path`.
int openDescriptorsOf(const std::string& path) {
  char real[PATH_MAX];
  if (::realpath(path.c_str(), real) == nullptr) return -1;
  int count = 0;
  for (const std::string& fd :
       files::contentsOfDirectory("/proc/self/fd").value_or(std::vector<std::string>{})) {
    char target[PATH_MAX];
    const std::string link = "/proc/self/fd/" + fd;
    const ssize_t n = ::readlink(link.c_str(), target, sizeof(target) - 1);
    if (n > 0 && std::string(target, size_t(n)) == real) ++count;
  }
  return count;
}

TEST_F(FileLoggerTest, ReleasingTheLoggerClosesItsFile) {
  auto logger = DDFileLogger::create(manager_);
  writeOnQueue(*logger, "the only line");
  const auto paths = manager_->unsortedLogFilePaths();
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(openDescriptorsOf(paths[0]), 1);
  std::weak_ptr<DDFileLogger> weak = logger;
  logger.reset();
  ASSERT_TRUE(weak.expired());
  EXPECT_EQ(openDescriptorsOf(paths[0]), 0);
  EXPECT_NE(readFile(paths[0]).find("  the only line\n"), std::string::npos);
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

// While alive, every write that would make a file longer fails with EFBIG: the process may
// grow no file (its file size limit is 0, and the signal for passing it is ignored).
class NoFileGrowth {
 public:
  NoFileGrowth() {
    ok_ = ::getrlimit(RLIMIT_FSIZE, &old_) == 0;
    oldHandler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit none = old_;
    none.rlim_cur = 0;
    ok_ = ok_ && oldHandler_ != SIG_ERR && ::setrlimit(RLIMIT_FSIZE, &none) == 0;
  }
  ~NoFileGrowth() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    ::signal(SIGXFSZ, oldHandler_);
  }
  NoFileGrowth(const NoFileGrowth&) = delete;
  NoFileGrowth& operator=(const NoFileGrowth&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
  rlimit old_{};
  void (*oldHandler_)(int) = SIG_DFL;
};

TEST_F(FileLoggerTest, OnlyTheFirstTenWriteFailuresAreLogged) {
  detail::resetFileLoggerExceptionCount();
  auto logger = DDFileLogger::create(manager_);
  writeOnQueue(*logger, "opens the file");
  const auto paths = manager_->unsortedLogFilePaths();
  ASSERT_EQ(paths.size(), 1u);
  LogLineCapture capture;
  {
    NoFileGrowth noGrowth;
    ASSERT_TRUE(noGrowth.ok());
    for (int i = 0; i < 10; ++i) writeOnQueue(*logger, "lost " + std::to_string(i));
    auto lines = capture.linesWith("DDFileLogger.logMessage: ");
    ASSERT_EQ(lines.size(), 11u);
    for (int i = 0; i < 10; ++i) {
      EXPECT_NE(
          lines[size_t(i)].find("DDFileLogger.logMessage: write(" + paths[0] + "): File too large"),
          std::string::npos)
          << lines[size_t(i)];
    }
    EXPECT_NE(lines[10].find(
                  "DDFileLogger.logMessage: Too many exceptions -- will not log any more of them."),
              std::string::npos);
    for (int i = 0; i < 5; ++i) writeOnQueue(*logger, "eleventh and later");
    EXPECT_EQ(capture.linesWith("DDFileLogger.logMessage: ").size(), 11u);
  }
  // The file stays open and takes the next line once writing works again.
  writeOnQueue(*logger, "written again");
  EXPECT_NE(readFile(paths[0]).find("  written again\n"), std::string::npos);
  EXPECT_EQ(readFile(paths[0]).find("lost"), std::string::npos);
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
