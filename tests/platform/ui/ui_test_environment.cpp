// Makes the application for the test process, before any test: on Qt's offscreen platform,
// or with CORVANE_UI_TEST_PLATFORM=xcb on a private Xvfb display that this process starts
// (the X server ends by itself when the test process, its last client, goes). With
// CORVANE_UI_TEST_TRAY=1 as well, a system tray (trayer) runs on that display for the tests
// that need one; it ends with the test process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QSystemTrayIcon>

#include <cerrno>
#include <poll.h>
#include <string>
#include <vector>

#include "platform/foundation/file_utils.h"
#include "ui_test_support.h"

namespace corvane::platform::ui::testing {
namespace {

std::string& runtimeFolder() {
  static std::string folder;
  return folder;
}

extern "C" char** environ;

// Starts Xvfb on a free display; answers its number, or -1 with `why` set.
int startXvfb(std::string* why) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *why = "pipe failed";
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args = {"Xvfb", "-displayfd", "3", "-screen", "0", "1024x768x24",
                                   "-nolisten", "tcp", "-terminate"};
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, "Xvfb", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    *why = "Xvfb cannot be started (is the xvfb package installed?)";
    return -1;
  }
  // Xvfb writes its display number once it accepts clients; wait at most 20 s.
  std::string number;
  pollfd p{fds[0], POLLIN, 0};
  while (poll(&p, 1, 20000) > 0) {
    char c = 0;
    const ssize_t n = read(fds[0], &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') break;
    number.push_back(c);
  }
  close(fds[0]);
  if (number.empty()) {
    *why = "Xvfb gave no display number";
    return -1;
  }
  return std::stoi(number);
}

// Starts a system tray on $DISPLAY that is ended when this process ends; answers its id, or -1.
pid_t startTray() {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  // The child: ended with the test process, whatever way it ends.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  const int null = open("/dev/null", O_RDWR);
  dup2(null, 1);
  dup2(null, 2);
  execlp("trayer", "trayer", static_cast<char*>(nullptr));
  _exit(127);
}

pid_t& trayProcess() {
  static pid_t pid = -1;
  return pid;
}

class UiEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    // Qt wants a private runtime folder (mode 700); the offscreen platform needs no display.
    std::string pattern = "/tmp/corvane-ui-runtime-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    ASSERT_EQ(chmod(pattern.c_str(), 0700), 0);
    runtimeFolder() = pattern;
    // Set before any thread of the test process exists.
    setenv("XDG_RUNTIME_DIR", pattern.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    const char* platform = getenv("CORVANE_UI_TEST_PLATFORM");  // NOLINT(concurrency-mt-unsafe)
    if (platform != nullptr && std::string(platform) == "xcb") {
      std::string why;
      const int display = startXvfb(&why);
      if (display < 0) GTEST_SKIP() << "no X display for the xcb run: " << why;
      const std::string name = ":" + std::to_string(display);
      setenv("DISPLAY", name.c_str(), 1);       // NOLINT(concurrency-mt-unsafe)
      setenv("QT_QPA_PLATFORM", "xcb", 1);      // NOLINT(concurrency-mt-unsafe)
      const char* tray = getenv("CORVANE_UI_TEST_TRAY");  // NOLINT(concurrency-mt-unsafe)
      if (tray != nullptr && std::string(tray) == "1") {
        trayProcess() = startTray();
        ASSERT_GT(trayProcess(), 0) << "trayer cannot be started (run scripts/install-deps)";
        app();
        ASSERT_TRUE(waitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }))
            << "trayer offered no system tray";
      }
    } else {
      setenv("QT_QPA_PLATFORM", "offscreen", 1);  // NOLINT(concurrency-mt-unsafe)
    }
    app();
  }
  void TearDown() override {
    if (trayProcess() > 0) {
      kill(trayProcess(), SIGTERM);
      waitpid(trayProcess(), nullptr, 0);
      trayProcess() = -1;
    }
    if (!runtimeFolder().empty()) files::remove(runtimeFolder());
  }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new UiEnvironment);

}  // namespace

Application& app() {
  static char name[] = "ui_tests";
  static char* argv[] = {name, nullptr};
  static std::shared_ptr<Application> application = Application::create(1, argv);
  return *application;
}

}  // namespace corvane::platform::ui::testing

// Qt's font set-up leaves fontconfig's caches allocated at exit, and on X11 its session-bus
// client leaves a D-Bus buffer; those are the system libraries', not ours.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\nleak:libdbus-1.so\n";
}
