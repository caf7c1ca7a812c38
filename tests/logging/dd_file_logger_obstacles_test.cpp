// The file logger among things that are not its log files: entries of the logs folder that
// only look like log files (folders, FIFOs, sockets, devices, links), files that fail to
// open, a logs folder that cannot be made, and files made within one clock tick.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "logging/app_log_file_manager.h"
#include "logging/dd_file_logger.h"
#include "logging/dd_log.h"
#include "logging/dd_log_file_info.h"
#include "logging/log_test_support.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/file_utils.h"

namespace corvane {
namespace {

namespace files = platform::files;
using test::AppLogFileManager;
using test::LogLineCapture;
using test::readFile;
using test::TempDir;

// Hands `text` to the logger on its queue and waits at most `seconds` for it to be written:
// false when the logger's queue is stuck.
bool writeWithin(const std::shared_ptr<DDFileLogger>& logger, const std::string& text,
                 double seconds = 20) {
  auto written = std::make_shared<platform::dispatch::Semaphore>(0);
  DDLogMessagePtr message = test::makeMessage(text);
  logger->loggerQueue()->async([logger, message, written] {
    logger->logMessage(message);
    written->signal();
  });
  return written->wait(seconds);
}

// The file type bits of `path` itself (links not followed); 0 when nothing is there.
mode_t typeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}

// Every line of every log file of the manager.
std::string allLogText(AppLogFileManager& manager) {
  std::string text;
  for (const std::string& path : manager.sortedLogFilePaths()) text += readFile(path);
  return text;
}

size_t count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// A FIFO that a stuck open can be released from: opening its reading end lets a blocked
// writer's open return. The reading end stays open until the end, so a late write does not
// raise SIGPIPE.
class Fifo {
 public:
  explicit Fifo(std::string path) : path_(std::move(path)) {
    made_ = ::mkfifo(path_.c_str(), 0644) == 0;
  }
  ~Fifo() {
    if (reader_ >= 0) ::close(reader_);
  }
  Fifo(const Fifo&) = delete;
  Fifo& operator=(const Fifo&) = delete;
  bool made() const { return made_; }
  void release() {
    if (reader_ < 0) reader_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  }

 private:
  std::string path_;
  bool made_ = false;
  int reader_ = -1;
};

// Makes a file read-only for this process: its mode, and for a process that may write
// anyway (root), the file system's immutable flag. Removed again at the end.
class ReadOnlyFile {
 public:
  explicit ReadOnlyFile(std::string path) : path_(std::move(path)) {
    if (::chmod(path_.c_str(), 0444) != 0) {
      problem_ = "chmod failed";
      return;
    }
    if (!writable()) return;
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
      flags |= FS_IMMUTABLE_FL;
      immutable_ = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    if (fd >= 0) ::close(fd);
    if (writable())
      problem_ = "this process may write read-only files and cannot make them immutable";
  }
  ~ReadOnlyFile() {
    if (!immutable_) return;
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
      flags &= ~FS_IMMUTABLE_FL;
      ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    if (fd >= 0) ::close(fd);
  }
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;
  // Empty when the file cannot be opened for writing any more.
  const std::string& problem() const { return problem_; }

 private:
  bool writable() const {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
  }
  std::string path_;
  std::string problem_;
  bool immutable_ = false;
};

// A manager that runs `afterCreate` on the first file it makes, before the logger opens it.
class InterferingManager : public AppLogFileManager {
 public:
  static std::shared_ptr<InterferingManager> create(
      const std::string& folder, std::function<void(const std::string&)> afterCreate) {
    auto manager = std::shared_ptr<InterferingManager>(new InterferingManager(folder));
    manager->afterCreate_ = std::move(afterCreate);
    return manager;
  }
  std::optional<std::string> createNewLogFile() override {
    std::optional<std::string> path = AppLogFileManager::createNewLogFile();
    if (path && afterCreate_) {
      afterCreate_(*path);
      afterCreate_ = nullptr;
    }
    return path;
  }

 private:
  using AppLogFileManager::AppLogFileManager;
  std::function<void(const std::string&)> afterCreate_;  // logger's queue only
};

enum class Obstacle {
  FolderNamedLikeThisMinutesFile,
  ReadOnlyNewestFile,
  RemovedBeforeOpen,
  FifoBeforeOpen,
};

struct FailedOpenCase {
  const char* name;
  Obstacle obstacle;
  int lost;  // messages lost to the failed open
};

void PrintTo(const FailedOpenCase& c, std::ostream* os) { *os << c.name; }

class FailedOpenTest : public ::testing::TestWithParam<FailedOpenCase> {};

TEST_P(FailedOpenTest, ForgetsTheFileAndTheNextMessageMakesANewOne) {
  constexpr int kMessages = 30;
  const FailedOpenCase& c = GetParam();
  detail::resetFileLoggerExceptionCount();
  TempDir dir;
  std::string obstacle;
  std::unique_ptr<Fifo> fifo;
  std::unique_ptr<ReadOnlyFile> readOnly;
  std::function<void(const std::string&)> afterCreate;
  switch (c.obstacle) {
    case Obstacle::FolderNamedLikeThisMinutesFile:
      obstacle = dir / AppLogFileManager::create(dir.path())->generateLogFileNameWithAttempt(1);
      ASSERT_TRUE(files::createDirectory(obstacle, false));
      break;
    case Obstacle::ReadOnlyNewestFile:
      obstacle = dir / "App 2026-03-01 14-05.log";
      ASSERT_TRUE(files::createFile(obstacle, {'k', 'e', 'p', 't', '\n'}));
      readOnly = std::make_unique<ReadOnlyFile>(obstacle);
      if (!readOnly->problem().empty()) GTEST_SKIP() << readOnly->problem();
      break;
    case Obstacle::RemovedBeforeOpen:
      afterCreate = [](const std::string& path) { ::unlink(path.c_str()); };
      break;
    case Obstacle::FifoBeforeOpen:
      afterCreate = [&](const std::string& path) {
        ::unlink(path.c_str());
        fifo = std::make_unique<Fifo>(path);
        obstacle = path;
      };
      break;
  }
  auto manager = InterferingManager::create(dir.path(), afterCreate);
  LogLineCapture capture;
  {
    auto logger = DDFileLogger::create(manager);
    for (int i = 0; i < kMessages; ++i) {
      if (!writeWithin(logger, "message " + std::to_string(i))) {
        if (fifo) fifo->release();
        FAIL() << "logging is stuck at message " << i;
      }
    }
    const std::string text = allLogText(*manager);
    EXPECT_EQ(count(text, "  message "), size_t(kMessages - c.lost)) << text;
    EXPECT_EQ(text.find("  message 0\n") == std::string::npos, c.lost > 0) << text;
    EXPECT_NE(text.find("  message 29\n"), std::string::npos) << text;
    EXPECT_EQ(capture.linesWith("DDFileLogger.logMessage: open(").size(), size_t(c.lost));

    // Rolling works again, and the next message goes to a new file.
    const size_t filesBefore = manager->unsortedLogFilePaths().size();
    logger->rollLogFile();
    ASSERT_TRUE(manager->waitForRolls(1));
    ASSERT_TRUE(writeWithin(logger, "after the roll"));
    const auto paths = manager->sortedLogFilePaths();
    EXPECT_EQ(paths.size(), filesBefore + 1);
    EXPECT_EQ(readFile(paths.at(0)).find("  after the roll\n"), 23u);
  }
  // The obstacle is left as it was.
  switch (c.obstacle) {
    case Obstacle::FolderNamedLikeThisMinutesFile:
      EXPECT_EQ(typeOf(obstacle), mode_t(S_IFDIR));
      break;
    case Obstacle::ReadOnlyNewestFile:
      EXPECT_EQ(readFile(obstacle), "kept\n");
      break;
    case Obstacle::RemovedBeforeOpen:
      break;
    case Obstacle::FifoBeforeOpen:
      EXPECT_EQ(typeOf(obstacle), mode_t(S_IFIFO));
      break;
  }
  detail::resetFileLoggerExceptionCount();
}

INSTANTIATE_TEST_SUITE_P(
    FileLoggerObstacles, FailedOpenTest,
    ::testing::Values(
        FailedOpenCase{"FolderNamedLikeThisMinutesFile", Obstacle::FolderNamedLikeThisMinutesFile,
                       0},
        FailedOpenCase{"ReadOnlyNewestFile", Obstacle::ReadOnlyNewestFile, 1},
        FailedOpenCase{"FileRemovedBetweenCreationAndOpen", Obstacle::RemovedBeforeOpen, 1},
        FailedOpenCase{"FileReplacedByAFifoBetweenCreationAndOpen", Obstacle::FifoBeforeOpen, 1}),
    [](const ::testing::TestParamInfo<FailedOpenCase>& tested) {
      return std::string(tested.param.name);
    });

TEST(FileLoggerObstaclesTest, OnlyRegularFilesAreOpenedRotatedOrDeleted) {
  TempDir dir;
  TempDir elsewhere;
  const std::string target = elsewhere / "target.txt";
  ASSERT_TRUE(files::createFile(target, {'t', 'a', 'r', 'g', 'e', 't', '\n'}));

  // Named like log files, dated before anything the logger makes.
  const std::string folder = dir / "App 2026-03-01 14-01.log";
  ASSERT_TRUE(files::createDirectory(folder, false));
  ASSERT_TRUE(files::createFile(folder + "/inside.txt", {'i', 'n', '\n'}));
  const std::string fifoPath = dir / "App 2026-03-01 14-02.log";
  Fifo fifo(fifoPath);
  ASSERT_TRUE(fifo.made());
  const std::string link = dir / "App 2026-03-01 14-03.log";
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  const std::string dangling = dir / "App 2026-03-01 14-04.log";
  ASSERT_EQ(::symlink((elsewhere / "missing.log").c_str(), dangling.c_str()), 0);
  const std::string socketPath = dir / "App 2026-03-01 14-05.log";
  const int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.size(), sizeof(addr.sun_path));
  std::strcpy(addr.sun_path, socketPath.c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  std::vector<std::pair<std::string, mode_t>> obstacles = {{folder, S_IFDIR},
                                                           {fifoPath, S_IFIFO},
                                                           {link, S_IFLNK},
                                                           {dangling, S_IFLNK},
                                                           {socketPath, S_IFSOCK}};
  const std::string device = dir / "App 2026-03-01 14-06.log";
  if (::mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
    obstacles.emplace_back(device, S_IFCHR);
  } else {
    std::cout << "[  SKIPPED ] the device case: mknod: " << std::strerror(errno) << "\n";
  }

  auto manager = AppLogFileManager::create(dir.path());
  EXPECT_TRUE(manager->unsortedLogFileNames().empty());
  manager->setMaximumNumberOfLogFiles(1);
  DDLog::loggingQueue()->sync([] {});
  {
    auto logger = DDFileLogger::create(manager);
    logger->setMaximumFileSize(100);  // three lines a file: rolls, new files, deletions
    for (int i = 0; i < 10; ++i) {
      if (!writeWithin(logger, "message number " + std::to_string(i))) {
        fifo.release();
        FAIL() << "logging is stuck at message " << i;
      }
    }
    EXPECT_GE(manager->rolled().size(), 3u);
  }
  for (const auto& [path, type] : obstacles) {
    EXPECT_EQ(typeOf(path), type) << path;
    EXPECT_FALSE(DDLogFileInfo::logFileWithPath(path)->isArchived()) << path;
  }
  EXPECT_EQ(readFile(folder + "/inside.txt"), "in\n");
  EXPECT_EQ(readFile(target), "target\n");
  EXPECT_FALSE(DDLogFileInfo::logFileWithPath(target)->isArchived());
  // Besides them: the file being written and one archived file.
  EXPECT_EQ(manager->unsortedLogFilePaths().size(), 2u);
  ::close(sock);
}

// Lists every entry with a log file's name, whatever it is, as a listing would that raced
// with an entry's replacement.
class ListsEverythingManager : public AppLogFileManager {
 public:
  static std::shared_ptr<ListsEverythingManager> create(const std::string& folder) {
    return std::shared_ptr<ListsEverythingManager>(new ListsEverythingManager(folder));
  }
  std::vector<std::string> unsortedLogFilePaths() override {
    std::vector<std::string> paths;
    for (const std::string& name :
         files::contentsOfDirectory(logsDirectory()).value_or(std::vector<std::string>{})) {
      if (isLogFile(name)) paths.push_back(files::appendingPathComponent(logsDirectory(), name));
    }
    return paths;
  }

 private:
  using AppLogFileManager::AppLogFileManager;
};

TEST(FileLoggerObstaclesTest, DeletingOldFilesRemovesRegularFilesOnly) {
  TempDir dir;
  auto manager = ListsEverythingManager::create(dir.path());
  // Oldest first, each with a later name date than the one before.
  const std::string folder = dir / "App 2026-03-01 14-01.log";
  ASSERT_TRUE(files::createDirectory(folder, false));
  ASSERT_TRUE(files::createFile(folder + "/inside.txt", {'i', 'n', '\n'}));
  Fifo fifo(dir / "App 2026-03-01 14-02.log");
  ASSERT_TRUE(fifo.made());
  for (const char* name :
       {"App 2026-03-01 14-03.log", "App 2026-03-01 14-04.log", "App 2026-03-01 14-05.log"}) {
    ASSERT_TRUE(files::createFile(dir / name));
    DDLogFileInfo::logFileWithPath(dir / name)->setIsArchived(true);
  }
  ASSERT_EQ(manager->unsortedLogFilePaths().size(), 5u);
  manager->setMaximumNumberOfLogFiles(1);
  DDLog::loggingQueue()->sync([] {});  // the deletion runs there

  EXPECT_EQ(typeOf(folder), mode_t(S_IFDIR));
  EXPECT_EQ(readFile(folder + "/inside.txt"), "in\n");
  EXPECT_EQ(typeOf(dir / "App 2026-03-01 14-02.log"), mode_t(S_IFIFO));
  EXPECT_EQ(typeOf(dir / "App 2026-03-01 14-03.log"), 0u);
  EXPECT_EQ(typeOf(dir / "App 2026-03-01 14-04.log"), 0u);
  EXPECT_EQ(typeOf(dir / "App 2026-03-01 14-05.log"), mode_t(S_IFREG));
}

TEST(FileLoggerObstaclesTest, AFolderThatCannotBeMadeIsReportedOncePerFailure) {
  TempDir dir;
  const std::string blocker = dir / "blocker";  // a file where the folder's parent should be
  const std::string folder = blocker + "/logs";
  ASSERT_TRUE(files::createFile(blocker));
  const std::string kFolderLine = "DDFileLogManagerDefault: Error creating logsDirectory: ";
  detail::resetFileLoggerExceptionCount();
  LogLineCapture capture;
  auto manager = AppLogFileManager::create(folder);
  {
    auto logger = DDFileLogger::create(manager);
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(writeWithin(logger, "lost " + std::to_string(i)));
    EXPECT_EQ(capture.linesWith(kFolderLine).size(), 1u);
    EXPECT_EQ(capture.linesWith("Error creating log file").size(), 1u);
    EXPECT_EQ(capture.linesWith("DDFileLogger.logMessage: ").size(), 11u);  // the usual cap
    EXPECT_EQ(capture.lines().size(), 13u);

    // Once the folder can be made, the next message is written.
    ASSERT_TRUE(files::remove(blocker));
    ASSERT_TRUE(writeWithin(logger, "written"));
    ASSERT_EQ(manager->unsortedLogFilePaths().size(), 1u);
    EXPECT_NE(readFile(manager->unsortedLogFilePaths()[0]).find("  written\n"), std::string::npos);
  }
  // A new failure is reported again, once.
  ASSERT_TRUE(files::remove(blocker));
  ASSERT_TRUE(files::createFile(blocker));
  for (int i = 0; i < 3; ++i) (void)manager->unsortedLogFilePaths();
  EXPECT_EQ(capture.linesWith(kFolderLine).size(), 2u);
  detail::resetFileLoggerExceptionCount();
}

TEST(FileLoggerObstaclesTest, FilesOfOneClockTickSortByTheirNames) {
  TempDir dir;
  // Made back to back, with nothing that reads their times in between: most share one
  // creation date. In order: attempts 1 to 12 of one minute, then 1 and 2 of the next.
  std::vector<std::string> made;
  for (int attempt = 1; attempt <= 12; ++attempt) {
    made.push_back("App 2026-03-01 14-05" +
                   (attempt > 1 ? " " + std::to_string(attempt) : std::string()) + ".log");
  }
  made.emplace_back("App 2026-03-01 14-06.log");
  made.emplace_back("App 2026-03-01 14-06 2.log");
  for (const std::string& name : made) {
    const int fd = ::open((dir / name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << name;
    ::close(fd);
  }
  std::vector<double> dates;
  for (const std::string& name : made) dates.push_back(files::creationDate(dir / name).value_or(0));
  if (std::adjacent_find(dates.begin(), dates.end()) == dates.end()) {
    std::cout << "note: no two files made back to back share a creation date here\n";
  }
  auto manager = AppLogFileManager::create(dir.path());
  EXPECT_EQ(manager->sortedLogFileNames(), std::vector<std::string>(made.rbegin(), made.rend()));
}

TEST(FileLoggerObstaclesTest, TheFileJustMadeIsNeverDeleted) {
  TempDir dir;
  auto manager = AppLogFileManager::create(dir.path());
  manager->setMaximumNumberOfLogFiles(1);
  DDLog::loggingQueue()->sync([] {});
  std::vector<std::string> made;
  for (int i = 0; i < 15; ++i) {
    const std::string path = *manager->createNewLogFile();
    ASSERT_TRUE(files::exists(path)) << "the file just made was deleted: " << path;
    made.push_back(files::lastPathComponent(path));
    DDLogFileInfo::logFileWithPath(path)->setIsArchived(true);  // as a roll does
  }
  // The last one made, and the one archived file kept besides it.
  EXPECT_EQ(manager->sortedLogFileNames(),
            (std::vector<std::string>{made[made.size() - 1], made[made.size() - 2]}));
}

}  // namespace
}  // namespace corvane
