// DDAbstractLogger: the base class of the framework's loggers. It owns the logger's serial
// queue (labelled with the logger's name and tagged with the logger itself, so that the
// logger can tell whether it runs on it) and the formatter, and provides the two-step queue
// rule by which subclasses read and change their settings in order with the messages
// already queued:
//   - a setting is read synchronously through the logging queue and then the logger's queue;
//   - a change runs at once when the caller is on the logger's own queue, and otherwise is
//     submitted asynchronously to the logging queue, which submits it asynchronously to the
//     logger's queue.
//
// Threads: `logMessage` and everything a subclass keeps as settings run on the logger's
// queue; the public accessors may be called from any thread. Loggers are owned through
// std::shared_ptr (changes in flight keep the logger alive).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "logging/dd_logger.h"
#include "platform/dispatch/dispatch.h"

namespace corvane {

class DDAbstractLogger : public DDLogger, public std::enable_shared_from_this<DDAbstractLogger> {
 public:
  ~DDAbstractLogger() override;
  DDAbstractLogger(const DDAbstractLogger&) = delete;
  DDAbstractLogger& operator=(const DDAbstractLogger&) = delete;

  // Does nothing; subclasses write the message.
  void logMessage(const DDLogMessagePtr& logMessage) override;

  // Read by the two-step rule (from the logger's own queue: read directly).
  DDLogFormatterPtr logFormatter() override;
  // Always through the logging queue and then the logger's queue. A formatter that differs
  // from the current one is installed: the old one gets `willRemoveFromLogger`, the new one
  // `didAddToLogger`.
  void setLogFormatter(DDLogFormatterPtr formatter) override;

  platform::dispatch::QueuePtr loggerQueue() override { return loggerQueue_; }
  std::optional<std::string> loggerName() override { return std::string("DDAbstractLogger"); }

  // True when the caller runs on the facility's logging queue.
  bool isOnGlobalLoggingQueue() const;
  // True when the caller runs on this logger's queue.
  bool isOnInternalLoggerQueue() const;

 protected:
  // The logger's queue is labelled `queueLabel`: subclasses pass their `loggerName`.
  DDAbstractLogger();
  explicit DDAbstractLogger(const std::string& queueLabel);

  // Two-step queue rule. `read` runs on the logger's queue; its result is returned.
  // From the logger's own queue it runs directly, from the logging queue it goes only
  // through the logger's queue (waiting on the queue one runs on would never return).
  template <class Read>
  auto readSetting(Read&& read) -> decltype(read());
  // Runs `change` at once on the logger's own queue, else through both queues.
  void changeSetting(platform::dispatch::Block change);
  // Runs `change` through both queues, even when called on the logger's own queue.
  void changeSettingThroughQueues(platform::dispatch::Block change);

  // Logger's queue only.
  DDLogFormatterPtr formatter_;

 private:
  void runOnLoggerQueueSync(const platform::dispatch::Block& block);

  const platform::dispatch::QueuePtr loggerQueue_;
};

template <class Read>
auto DDAbstractLogger::readSetting(Read&& read) -> decltype(read()) {
  using Result = decltype(read());
  if constexpr (std::is_void_v<Result>) {
    runOnLoggerQueueSync([&] { read(); });
  } else {
    std::optional<Result> result;
    runOnLoggerQueueSync([&] { result.emplace(read()); });
    return std::move(*result);
  }
}

}  // namespace corvane
