// The default log file manager for the application "App", recording what the file logger
// tells it (files archived unwritten, files rolled), with a bounded wait for rolls.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "logging/dd_log_file_manager_default.h"
#include "logging/log_test_support.h"

namespace corvane::test {

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
    return waitFor(mutex_, cv_, seconds, [&] { return rolled_.size() >= n; });
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

}  // namespace corvane::test
