// Helpers of the look-up tests: captured log and printed lines that can be waited for, a
// private home folder for the user defaults, and waiting on a condition with a deadline.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lookup/console_output.h"
#include "platform/foundation/user_defaults.h"
#include "platform/log/log.h"

namespace corvane::test {

constexpr double kWait = 10.0;  // generous bound for events that must happen

// Lines collected under a lock; waitFor blocks until a predicate holds or a deadline passes.
class LineLog {
 public:
  void add(std::string line) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(std::move(line));
    }
    changed_.notify_all();
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  bool contains(std::string_view text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return containsLocked(text);
  }
  // How many lines hold `text`.
  std::size_t count(std::string_view text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (const auto& line : lines_) {
      if (line.find(text) != std::string::npos) ++n;
    }
    return n;
  }
  // Waits until the number of lines holding `text` satisfies `enough`.
  bool waitFor(std::string_view text, const std::function<bool(std::size_t)>& enough,
               double seconds = kWait) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
      std::size_t n = 0;
      for (const auto& line : lines_) {
        if (line.find(text) != std::string::npos) ++n;
      }
      return enough(n);
    });
  }
  bool waitFor(std::string_view text, double seconds = kWait) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                             [&] { return containsLocked(text); });
  }

 private:
  bool containsLocked(std::string_view text) const {
    for (const auto& line : lines_) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> lines_;
};

// The log lines of one test, without the date, process and thread ("<debug> text" keeps only
// "text"; errors become "<error> text").
class LogLines : public LineLog {
 public:
  LogLines() { platform::log::setSink(&LogLines::receive, this); }
  ~LogLines() { platform::log::setSink(nullptr, nullptr); }
  LogLines(const LogLines&) = delete;
  LogLines& operator=(const LogLines&) = delete;

 private:
  static void receive(std::string_view line, void* context) {
    const auto level = line.find('<');
    const auto marker = line.find("> ", level);
    std::string text(marker == std::string_view::npos ? line : line.substr(marker + 2));
    if (level != std::string_view::npos && line.substr(level).starts_with("<error>")) {
      text = "<error> " + text;
    }
    static_cast<LogLines*>(context)->add(std::move(text));
  }
};

// The lines printed to standard output during one test.
class PrintedLines : public LineLog {
 public:
  PrintedLines() { setPrintSink(&PrintedLines::receive, this); }
  ~PrintedLines() { setPrintSink(nullptr, nullptr); }
  PrintedLines(const PrintedLines&) = delete;
  PrintedLines& operator=(const PrintedLines&) = delete;

 private:
  static void receive(std::string_view line, void* context) {
    static_cast<PrintedLines*>(context)->add(std::string(line));
  }
};

// Points $HOME at a fresh temporary folder (so the user defaults are private to the test) and
// restores it afterwards.
class TemporaryHome {
 public:
  TemporaryHome() {
    const char* old = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe): test set-up
    if (old != nullptr) saved_ = old;
    std::string pattern =
        (std::filesystem::temp_directory_path() / "corvane-lookup-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    ::setenv("HOME", path_.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    platform::UserDefaults::resetStandardUserDefaults();
  }
  ~TemporaryHome() {
    if (saved_) {
      ::setenv("HOME", saved_->c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    } else {
      ::unsetenv("HOME");  // NOLINT(concurrency-mt-unsafe)
    }
    platform::UserDefaults::resetStandardUserDefaults();
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryHome(const TemporaryHome&) = delete;
  TemporaryHome& operator=(const TemporaryHome&) = delete;

 private:
  std::optional<std::string> saved_;
  std::string path_;
};

}  // namespace corvane::test
