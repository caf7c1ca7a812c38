// Helpers for the logger tests: a temporary folder removed afterwards, a capture of the
// platform log's diagnostic lines, and message construction and hand-over on a logger's queue.
#pragma once

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "logging/dd_log_flags.h"
#include "logging/dd_log_message.h"
#include "logging/dd_logger.h"
#include "platform/foundation/file_utils.h"
#include "platform/log/log.h"

namespace corvane::test {

class TempDir {
 public:
  TempDir() {
    std::string pattern = platform::files::temporaryDirectory() + "corvane-logfw-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    if (!path_.empty()) platform::files::remove(path_);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Collects the platform log's lines while alive (one capture at a time).
class LogLineCapture {
 public:
  LogLineCapture() { platform::log::setSink(&LogLineCapture::sink, this); }
  ~LogLineCapture() { platform::log::setSink(nullptr, nullptr); }
  LogLineCapture(const LogLineCapture&) = delete;
  LogLineCapture& operator=(const LogLineCapture&) = delete;

  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  // Lines that contain `needle`.
  std::vector<std::string> linesWith(std::string_view needle) {
    std::vector<std::string> found;
    for (const std::string& line : lines()) {
      if (line.find(needle) != std::string::npos) found.push_back(line);
    }
    return found;
  }

 private:
  static void sink(std::string_view line, void* context) {
    auto* self = static_cast<LogLineCapture*>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->lines_.emplace_back(line);
  }
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

inline DDLogMessagePtr makeMessage(const std::string& text, int32_t flag = DDLogFlagInfo,
                                   int32_t context = 0) {
  return DDLogMessage::create(text, DDLogLevelAll, flag, context, __FILE__, __func__, __LINE__,
                              std::nullopt, 0);
}

// Hands `text` to the logger on its own queue, as the facility does, and waits for it.
inline void writeOnQueue(DDLogger& logger, const std::string& text, int32_t flag = DDLogFlagInfo) {
  DDLogMessagePtr message = makeMessage(text, flag);
  logger.loggerQueue()->sync([&] { logger.logMessage(message); });
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Whether `text` has the form of `shape`: '9' stands for any digit, every other character for
// itself.
inline bool hasShape(std::string_view text, std::string_view shape) {
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (shape[i] == '9' ? (text[i] < '0' || text[i] > '9') : text[i] != shape[i]) return false;
  }
  return true;
}

// Waits (bounded) on `cv` until `pred` holds.
template <class Pred>
bool waitFor(std::mutex& mutex, std::condition_variable& cv, double seconds, Pred pred) {
  std::unique_lock<std::mutex> lock(mutex);
  return cv.wait_for(lock, std::chrono::duration<double>(seconds), pred);
}

}  // namespace corvane::test
