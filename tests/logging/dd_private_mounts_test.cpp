// Tests that need file systems of their own, in a private mount namespace made before any
// thread exists: the system log logger read back from a syslog socket at /dev/log (a /dev of
// this process only), and the archived flag on a file system without extended attributes.
// Without the right to make a mount namespace (not root) they are skipped.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "logging/dd_asl_logger.h"
#include "logging/dd_log.h"
#include "logging/dd_log_file_info.h"
#include "logging/dd_log_file_manager_default.h"
#include "logging/log_test_support.h"
#include "platform/foundation/file_utils.h"

namespace corvane {
namespace {

namespace files = platform::files;

std::string g_skipReason;  // empty: the private mounts exist
std::string g_root;        // holds the real /dev and the attribute-less file system

std::string failure(const std::string& what) {
  const int error = errno;
  char buf[256];
  std::string text = what;
  text += ": ";
  text += ::strerror_r(error, buf, sizeof buf);  // GNU: answers the text
  return text;
}

// A /dev of our own (links to the real entries, so /dev/null and friends still work) in which
// the test may bind /dev/log, and a ramfs, which keeps no user extended attributes.
std::string makePrivateMounts() {
  if (::unshare(CLONE_NEWNS) != 0) return failure("unshare(CLONE_NEWNS) (needs root)");
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return failure("making / private");
  }
  std::string root = files::temporaryDirectory() + "corvane-mounts-XXXXXX";
  if (::mkdtemp(root.data()) == nullptr) return failure("mkdtemp");
  g_root = root;
  const std::string realDev = root + "/dev";
  const std::string ram = root + "/ram";
  if (::mkdir(realDev.c_str(), 0755) != 0 || ::mkdir(ram.c_str(), 0755) != 0) {
    return failure("mkdir");
  }
  if (::mount("/dev", realDev.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
    return failure("bind-mounting /dev");
  }
  if (::mount("ramfs", ram.c_str(), "ramfs", 0, nullptr) != 0) return failure("mounting ramfs");
  if (::mount("tmpfs", "/dev", "tmpfs", 0, "mode=755") != 0) return failure("mounting /dev");
  auto entries = files::contentsOfDirectory(realDev);
  if (!entries) return "cannot list " + realDev;
  for (const std::string& name : *entries) {
    std::string target = realDev;
    target += '/';
    target += name;
    const std::string link = "/dev/" + name;
    if (::symlink(target.c_str(), link.c_str()) != 0) {
      return failure("linking /dev/" + name);
    }
  }
  return "";
}

// Only empty folders are removed, never recursively: while a mount stays, g_root/dev is the
// machine's real /dev.
void removePrivateMounts() {
  if (g_root.empty()) return;
  ::umount2("/dev", MNT_DETACH);
  for (const char* sub : {"/dev", "/ram"}) {
    const std::string path = g_root + sub;
    ::umount2(path.c_str(), MNT_DETACH);
    ::rmdir(path.c_str());
  }
  ::rmdir(g_root.c_str());
}

// A datagram socket at /dev/log, where syslog(3) sends its lines.
class SyslogSocket {
 public:
  SyslogSocket() {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/dev/log");
    ::unlink(addr.sun_path);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      error_ = failure("bind /dev/log");
    }
  }
  ~SyslogSocket() {
    ::close(fd_);
    ::unlink("/dev/log");
  }
  const std::string& error() const { return error_; }
  // The next datagram, or "" after `seconds`.
  std::string receive(double seconds = 10) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(seconds * 1000)) <= 0) return "";
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof(buf), 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }

 private:
  int fd_ = -1;
  std::string error_;
};

// "<PRI>..." -> PRI, or -1.
int priorityOf(const std::string& datagram) {
  if (datagram.size() < 3 || datagram[0] != '<') return -1;
  const size_t end = datagram.find('>');
  if (end == std::string::npos) return -1;
  return std::stoi(datagram.substr(1, end - 1));
}

class PrivateMountsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!g_skipReason.empty()) GTEST_SKIP() << "no private mounts: " << g_skipReason;
  }
};

TEST_F(PrivateMountsTest, SystemLogLoggerSendsEachFlagAtItsLevel) {
  SyslogSocket syslog;
  ASSERT_EQ(syslog.error(), "");
  auto logger = DDASLLogger::sharedInstance();
  ASSERT_TRUE(logger);
  EXPECT_EQ(DDASLLogger::create(), nullptr);
  EXPECT_EQ(logger->loggerQueue()->label(), "corvane.logging.aslLogger");
  EXPECT_EQ(logger->loggerName(), "corvane.logging.aslLogger");

  struct Case {
    int32_t flag;
    int severity;
  };
  const Case cases[] = {{DDLogFlagError, 1}, {DDLogFlagWarn, 2}, {DDLogFlagInfo, 3},
                        {DDLogFlagDebug, 4}, {DDLogFlagVerbose, 5}, {0, 5}, {3, 5}};
  DDLog::addLogger(logger);
  for (const Case& c : cases) {
    const std::string text = "flag " + std::to_string(c.flag) + " text";
    DDLog::log(false, DDLogLevelAll, c.flag, 0, __FILE__, __func__, __LINE__, std::nullopt, "%s",
               text.c_str());
    const std::string datagram = syslog.receive();
    ASSERT_FALSE(datagram.empty()) << "nothing reached the syslog socket for flag " << c.flag;
    const int priority = priorityOf(datagram);
    EXPECT_EQ(priority & 7, c.severity) << datagram;
    EXPECT_EQ(priority >> 3, 1) << "user facility: " << datagram;
    EXPECT_NE(datagram.find("com.apple.console: " + text), std::string::npos) << datagram;
  }
  // A formatter that drops the message: nothing is sent.
  class Drop : public DDLogFormatter {
    DDLogText formatLogMessage(const DDLogMessagePtr&) override { return nullptr; }
  };
  logger->setLogFormatter(std::make_shared<Drop>());
  DDLog::log(false, DDLogLevelAll, DDLogFlagError, 0, __FILE__, __func__, __LINE__, std::nullopt,
             "dropped");
  logger->setLogFormatter(nullptr);
  DDLog::log(false, DDLogLevelAll, DDLogFlagError, 0, __FILE__, __func__, __LINE__, std::nullopt,
             "kept");
  const std::string next = syslog.receive();
  EXPECT_NE(next.find("kept"), std::string::npos) << next;
  DDLog::removeLogger(logger);
  DDLog::flushLog();
}

TEST_F(PrivateMountsTest, ArchivedFlagFallsBackToAMarkerFile) {
  std::string folder = g_root + "/ram/logs-XXXXXX";
  ASSERT_NE(::mkdtemp(folder.data()), nullptr);
  struct Cleanup {
    std::string path;
    ~Cleanup() { files::remove(path); }  // inside the ramfs only
  } cleanup{folder};
  const std::string path = folder + "/App 2026-03-01 14-05.log";
  ASSERT_TRUE(files::createFile(path));
  ASSERT_NE(::setxattr(path.c_str(), "user.probe", "", 0, 0), 0);
  ASSERT_EQ(errno, ENOTSUP) << "this ramfs keeps extended attributes";

  test::LogLineCapture capture;
  auto info = DDLogFileInfo::logFileWithPath(path);
  EXPECT_FALSE(info->isArchived());
  info->setIsArchived(true);
  EXPECT_TRUE(DDLogFileInfo::logFileWithPath(path)->isArchived());
  const auto names = files::contentsOfDirectory(folder);
  ASSERT_TRUE(names);
  EXPECT_EQ(names->size(), 2u);

  // The marker is no log file of its own, follows a rename and goes with its file.
  class AppManager : public DDLogFileManagerDefault {
   public:
    explicit AppManager(const std::string& f) : DDLogFileManagerDefault(f) {}
    std::string applicationName() override { return "App"; }
  };
  auto manager = std::make_shared<AppManager>(folder);
  EXPECT_EQ(manager->unsortedLogFileNames(), std::vector<std::string>{"App 2026-03-01 14-05.log"});
  info->renameFile("App 2026-03-01 14-06.log");
  EXPECT_TRUE(DDLogFileInfo::logFileWithPath(folder + "/App 2026-03-01 14-06.log")->isArchived());
  info->setIsArchived(false);
  EXPECT_FALSE(info->isArchived());
  EXPECT_EQ(files::contentsOfDirectory(folder)->size(), 1u);
  EXPECT_TRUE(capture.lines().empty());
}

}  // namespace
}  // namespace corvane

int main(int argc, char** argv) {
  // Before any thread: a mount namespace belongs to the thread that makes it and to the
  // threads it starts afterwards.
  corvane::g_skipReason = corvane::makePrivateMounts();
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  corvane::removePrivateMounts();
  return result;
}
