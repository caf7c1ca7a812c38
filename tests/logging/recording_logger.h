// Test doubles for the logging framework: a logger that records what the facility calls on
// it (and on which queue), with an optional gate that holds each message until released,
// and a formatter that records its installation and answers with a chosen text.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "logging/dd_abstract_logger.h"
#include "logging/dd_log.h"
#include "platform/dispatch/dispatch.h"

namespace corvane::test {

class RecordingLogger : public DDAbstractLogger {
 public:
  struct Record {
    DDLogMessagePtr message;
    std::string prefix;       // the `prefix` setting when the message was written
    bool onOwnQueue = false;  // isOnInternalLoggerQueue() inside logMessage
    bool onLoggingQueue = false;
  };

  static std::shared_ptr<RecordingLogger> create(bool implementsFlush = true) {
    return std::shared_ptr<RecordingLogger>(new RecordingLogger(implementsFlush));
  }

  void logMessage(const DDLogMessagePtr& message) override {
    if (gated_) gate_.wait(platform::dispatch::kForever);
    Record r{message, prefix_, isOnInternalLoggerQueue(), isOnGlobalLoggingQueue()};
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(std::move(r));
    cv_.notify_all();
  }

  bool implementsDidAddLogger() const override { return true; }
  void didAddLogger() override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(isOnInternalLoggerQueue() ? "didAdd@own" : "didAdd@other");
    cv_.notify_all();
  }
  bool implementsWillRemoveLogger() const override { return true; }
  void willRemoveLogger() override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(isOnInternalLoggerQueue() ? "willRemove@own" : "willRemove@other");
    cv_.notify_all();
  }
  bool implementsFlush() const override { return implementsFlush_; }
  void flush() override {
    if (onFlush_) onFlush_();
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back("flush");
    cv_.notify_all();
  }
  std::optional<std::string> loggerName() override { return std::string("test.recording"); }

  // Holds every message in logMessage until `release` lets it through.
  void setGated() { gated_ = true; }
  void release(int count) {
    for (int i = 0; i < count; ++i) gate_.signal();
  }
  // Runs inside flush, on the logger's queue (set before the logger is added).
  void setOnFlush(std::function<void()> f) { onFlush_ = std::move(f); }

  // A setting kept by the two-step queue rule.
  void setPrefix(std::string p) {
    changeSetting([this, p = std::move(p)] { prefix_ = p; });
  }
  std::string prefix() {
    return readSetting([this] { return prefix_; });
  }

  std::vector<Record> records() {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }
  std::vector<std::string> texts() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> t;
    for (const Record& r : records_) t.push_back(*r.message->logMsg());
    return t;
  }
  std::vector<std::string> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  // Waits (bounded) until at least `n` messages were recorded.
  bool waitForRecords(size_t n, double seconds = 10) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(seconds),
                        [&] { return records_.size() >= n; });
  }
  bool waitForEvent(const std::string& e, double seconds = 10) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
      return std::find(events_.begin(), events_.end(), e) != events_.end();
    });
  }

 private:
  explicit RecordingLogger(bool implementsFlush)
      : DDAbstractLogger("test.recording"), implementsFlush_(implementsFlush) {}

  const bool implementsFlush_;
  std::atomic<bool> gated_{false};
  platform::dispatch::Semaphore gate_{0};
  std::function<void()> onFlush_;
  std::string prefix_;  // logger's queue only
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Record> records_;
  std::vector<std::string> events_;
};

// Answers `formatLogMessage` with the message's own text, a fixed text or nothing, and
// counts its installations.
class RecordingFormatter : public DDLogFormatter {
 public:
  enum class Answer { OwnText, Fixed, Nothing };
  RecordingFormatter(Answer answer, std::string fixed = "")
      : answer_(answer), fixed_(std::make_shared<const std::string>(std::move(fixed))) {}

  DDLogText formatLogMessage(const DDLogMessagePtr& message) override {
    switch (answer_) {
      case Answer::OwnText:
        return message->logMsg();
      case Answer::Fixed:
        return fixed_;
      case Answer::Nothing:
        return nullptr;
    }
    return nullptr;
  }
  void didAddToLogger(DDLogger&) override { ++added; }
  void willRemoveFromLogger(DDLogger&) override { ++removed; }

  std::atomic<int> added{0};
  std::atomic<int> removed{0};

 private:
  const Answer answer_;
  const DDLogText fixed_;
};

// Leaves the facility without loggers and with nothing pending.
inline void resetFacility() {
  DDLog::removeAllLoggers();
  DDLog::flushLog();
}

}  // namespace corvane::test
