#include "support/xvfb.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace corvane::test {

namespace {

// Runs a program (no shell) and answers its exit status (-1 when it could not run).
int runQuietly(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool onPath(const std::string& program) {
  const char* path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe): tests set no variables
  std::string paths = path != nullptr ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= paths.size()) {
    const std::size_t end = paths.find(':', start);
    const std::string dir = paths.substr(start, end == std::string::npos ? end : end - start);
    std::string candidate = dir;
    candidate += "/";
    candidate += program;
    if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) return true;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return false;
}

std::string modeName(int width, int height) {
  return std::to_string(width) + "x" + std::to_string(height) + "_test";
}

}  // namespace

std::unique_ptr<Xvfb> Xvfb::start(std::string* whyNot, int width, int height) {
  for (const char* program : {"Xvfb", "xrandr"}) {
    if (!onPath(program)) {
      if (whyNot != nullptr) {
        *whyNot = std::string(program) + " is not installed (scripts/install-deps installs it)";
      }
      return nullptr;
    }
  }
  int fds[2];
  if (pipe(fds) != 0) {
    if (whyNot != nullptr) *whyNot = "no pipe for Xvfb's display number";
    return nullptr;
  }
  fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  const std::string fd = std::to_string(fds[1]);
  std::vector<std::string> argv = {"Xvfb",  "-displayfd", fd,   "-noreset", "-nolisten",
                                   "tcp",   "-screen",    "0",  screen,     "+extension",
                                   "RANDR", "-ac",        "-br"};
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, "Xvfb", &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (spawned != 0) {
    close(fds[0]);
    if (whyNot != nullptr) *whyNot = "Xvfb could not be started";
    return nullptr;
  }
  // The server writes its display number once it accepts clients.
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd pfd{fds[0], POLLIN, 0};
    if (poll(&pfd, 1, 100) <= 0) continue;
    char c = 0;
    const ssize_t n = read(fds[0], &c, 1);
    if (n <= 0 || c == '\n') break;
    number.push_back(c);
  }
  close(fds[0]);
  if (number.empty()) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    if (whyNot != nullptr) *whyNot = "Xvfb did not report a display number";
    return nullptr;
  }
  std::unique_ptr<Xvfb> server(new Xvfb(pid, ":" + number, width, height));
  runQuietly({"xrandr", "-display", server->display_, "--output", "screen", "--primary"});
  return server;
}

Xvfb::~Xvfb() {
  kill(pid_, SIGTERM);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

bool Xvfb::addMode(int width, int height) {
  // A plain 60 Hz mode line; Xvfb takes any timing.
  const int hTotal = width + 160;
  const int vTotal = height + 30;
  const double clock = static_cast<double>(hTotal) * vTotal * 60.0 / 1e6;
  const std::string name = modeName(width, height);
  const std::vector<std::string> newMode = {"xrandr",
                                            "-display",
                                            display_,
                                            "--newmode",
                                            name,
                                            std::to_string(clock),
                                            std::to_string(width),
                                            std::to_string(width + 48),
                                            std::to_string(width + 80),
                                            std::to_string(hTotal),
                                            std::to_string(height),
                                            std::to_string(height + 3),
                                            std::to_string(height + 8),
                                            std::to_string(vTotal),
                                            "+hsync",
                                            "+vsync"};
  if (runQuietly(newMode) != 0) return false;
  return runQuietly({"xrandr", "-display", display_, "--addmode", "screen", name}) == 0;
}

bool Xvfb::setMode(int width, int height) {
  const std::string name = width == width_ && height == height_
                               ? std::to_string(width) + "x" + std::to_string(height)
                               : modeName(width, height);
  return runQuietly({"xrandr", "-display", display_, "--output", "screen", "--mode", name}) == 0;
}

TestWindow::TestWindow(const std::string& display, int x, int y, int width, int height,
                       std::uint32_t rgb, const std::string& name)
    : width_(width), height_(height) {
  display_ = XOpenDisplay(display.c_str());
  if (display_ == nullptr) return;
  const int screen = DefaultScreen(display_);
  XSetWindowAttributes attributes{};
  attributes.background_pixel = rgb;
  attributes.override_redirect = True;  // placed exactly where asked, manager or not
  window_ =
      XCreateWindow(display_, RootWindow(display_, screen), x, y, static_cast<unsigned>(width),
                    static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                    CWBackPixel | CWOverrideRedirect, &attributes);
  if (!name.empty()) XStoreName(display_, window_, name.c_str());  // "": an untitled window
  XClassHint hint{};
  std::string className = "CorvaneTest";
  hint.res_name = className.data();
  hint.res_class = className.data();
  XSetClassHint(display_, window_, &hint);
  XMapRaised(display_, window_);
  fill(rgb);
}

TestWindow::~TestWindow() {
  if (display_ == nullptr) return;
  XDestroyWindow(display_, window_);
  XCloseDisplay(display_);
}

void TestWindow::fill(std::uint32_t rgb) { fillRect(0, 0, width_, height_, rgb); }

void TestWindow::fillRect(int x, int y, int width, int height, std::uint32_t rgb) {
  if (display_ == nullptr) return;
  GC gc = XCreateGC(display_, window_, 0, nullptr);
  XSetForeground(display_, gc, rgb);
  XFillRectangle(display_, window_, gc, x, y, static_cast<unsigned>(width),
                 static_cast<unsigned>(height));
  XFreeGC(display_, gc);
  XSync(display_, False);
}

void TestWindow::warpPointer(int x, int y) {
  if (display_ == nullptr) return;
  XWarpPointer(display_, None, DefaultRootWindow(display_), 0, 0, 0, 0, x, y);
  XSync(display_, False);
}

}  // namespace corvane::test
