#include "platform/log/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace corvane::platform::log {
namespace {

// Captures lines through the sink. The sink's calls never overlap, so it uses no lock of
// its own: ThreadSanitizer would report overlapping calls as a race on `lines`.
struct Capture {
  std::vector<std::string> lines;
  Capture() { setSink(&Capture::sink, this); }
  ~Capture() { setSink(nullptr, nullptr); }
  static void sink(std::string_view line, void* context) {
    static_cast<Capture*>(context)->lines.emplace_back(line);
  }
};

std::string hex(long value) {
  std::ostringstream ss;
  ss << std::hex << value;
  return ss.str();
}

// A console line split into its parts; std::nullopt when it does not have the shape
// "yyyy-MM-dd HH:mm:ss.SSS log_tests[<pid>:<hex tid>] <text>".
struct Line {
  std::string pid;
  std::string tid;
  std::string text;
};

std::optional<Line> parseLine(const std::string& line) {
  const std::string stamp = "dddd-dd-dd dd:dd:dd.ddd ";
  if (line.size() < stamp.size()) return std::nullopt;
  for (std::size_t i = 0; i < stamp.size(); ++i) {
    bool ok = stamp[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                              : line[i] == stamp[i];
    if (!ok) return std::nullopt;
  }
  const std::string name = "log_tests[";
  if (line.compare(stamp.size(), name.size(), name) != 0) return std::nullopt;
  std::size_t colon = line.find(':', stamp.size() + name.size());
  std::size_t close = line.find("] ", stamp.size() + name.size());
  if (colon == std::string::npos || close == std::string::npos || colon > close) {
    return std::nullopt;
  }
  Line parts;
  std::size_t pidStart = stamp.size() + name.size();
  parts.pid = line.substr(pidStart, colon - pidStart);
  parts.tid = line.substr(colon + 1, close - colon - 1);
  parts.text = line.substr(close + 2);
  if (parts.pid.empty() || parts.tid.empty()) return std::nullopt;
  for (char c : parts.pid) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
  }
  for (char c : parts.tid) {
    if (!std::isxdigit(static_cast<unsigned char>(c)) ||
        std::isupper(static_cast<unsigned char>(c))) {
      return std::nullopt;
    }
  }
  return parts;
}

// Checks that `line` is a console line of this process and thread with the given text.
void expectLine(const std::string& line, const std::string& text) {
  auto parts = parseLine(line);
  ASSERT_TRUE(parts.has_value()) << line;
  EXPECT_EQ(parts->pid, std::to_string(getpid()));
  EXPECT_EQ(parts->tid, hex(syscall(SYS_gettid)));
  EXPECT_EQ(parts->text, text);
}

TEST(LogTest, LineFormats) {
  Capture capture;
  nslog("video socket connect to server %d %s", 11104, "ok");
  debug("applicationDidFinishLaunching");
  error("connect failed: 61");
  nslog("ends with newline\n");
  nslog(nullptr);  // logs nothing
  ASSERT_EQ(capture.lines.size(), 4u);
  expectLine(capture.lines[0], "video socket connect to server 11104 ok");
  expectLine(capture.lines[1], "<debug> applicationDidFinishLaunching");
  expectLine(capture.lines[2], "<error> connect failed: 61");
  // The newline of the text is the line's own; no empty line follows.
  expectLine(capture.lines[3], "ends with newline");
}

TEST(LogTest, TextIsLoggedAsItStands) {
  Capture capture;
  std::string big(100000, 'x');
  debug("100% %s %n");  // not a format
  nslog("%s", big.c_str());
  ASSERT_EQ(capture.lines.size(), 2u);
  EXPECT_NE(capture.lines[0].find("<debug> 100% %s %n"), std::string::npos);
  EXPECT_EQ(capture.lines[1].size() - capture.lines[1].find('x'), big.size());
}

// Points standard error at a file for the life of the object.
class StderrToFile {
 public:
  explicit StderrToFile(const std::string& path) : path_(path) {
    fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    dup2(fd, STDERR_FILENO);
    close(fd);
  }
  ~StderrToFile() { restore(); }
  void restore() {
    if (saved_ < 0) return;
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }

 private:
  std::string path_;
  int saved_ = -1;
};

TEST(LogTest, ManyThreadsWriteWholeLinesToStandardError) {
  char dir[] = "/tmp/corvane-log-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/stderr.txt";
  constexpr int kThreads = 16;
  constexpr int kLines = 400;
  {
    StderrToFile redirect(path);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        std::string padding(static_cast<std::size_t>(50 + t * 40), static_cast<char>('a' + t));
        for (int i = 0; i < kLines; ++i) {
          if (i % 2 == 0) {
            nslog("thread %d line %d %s end", t, i, padding.c_str());
          } else {
            debug("thread " + std::to_string(t) + " line " + std::to_string(i) + " " + padding +
                  " end");
          }
        }
      });
    }
    for (auto& th : threads) th.join();
  }
  std::ifstream in(path);
  std::string line;
  std::vector<std::vector<bool>> seen(kThreads, std::vector<bool>(kLines, false));
  int count = 0;
  while (std::getline(in, line)) {
    auto parts = parseLine(line);
    ASSERT_TRUE(parts.has_value()) << "broken line: " << line.substr(0, 200);
    std::string text = parts->text;
    bool isDebug = text.rfind("<debug> ", 0) == 0;
    if (isDebug) text.erase(0, 8);
    int t = -1;
    int i = -1;
    char padding[1200] = {};
    char tail[8] = {};
    ASSERT_EQ(std::sscanf(text.c_str(), "thread %d line %d %1199s %7s", &t, &i, padding, tail), 4)
        << "broken line: " << line.substr(0, 200);
    ASSERT_GE(t, 0);
    ASSERT_LT(t, kThreads);
    ASSERT_GE(i, 0);
    ASSERT_LT(i, kLines);
    EXPECT_EQ(std::string(padding),
              std::string(static_cast<std::size_t>(50 + t * 40), static_cast<char>('a' + t)));
    EXPECT_EQ(std::string(tail), "end");
    EXPECT_EQ(isDebug, i % 2 == 1);
    auto mark = seen[static_cast<std::size_t>(t)][static_cast<std::size_t>(i)];
    EXPECT_FALSE(mark);
    mark = true;
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLines);
  std::remove(path.c_str());
  rmdir(dir);
}

TEST(LogTest, SinkCallsNeverOverlap) {
  Capture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 200; ++i) error("busy");
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(capture.lines.size(), 8u * 200u);
}

}  // namespace
}  // namespace corvane::platform::log
