// The two protocols of the logging framework: DDLogger (a sink for log messages) and
// DDLogFormatter (turns a message into the text a logger writes, or drops it).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "logging/dd_log_message.h"
#include "platform/dispatch/dispatch.h"

namespace corvane {

class DDLogger;
class DDLogFormatter;
using DDLoggerPtr = std::shared_ptr<DDLogger>;
using DDLogFormatterPtr = std::shared_ptr<DDLogFormatter>;

class DDLogFormatter {
 public:
  virtual ~DDLogFormatter() = default;

  // The text to write for `logMessage`: the message's own `logMsg()` object (the logger then
  // writes its usual line), a new text (written as it stands), or nullptr to drop the message.
  // Runs on the queue of the logger that uses the formatter.
  virtual DDLogText formatLogMessage(const DDLogMessagePtr& logMessage) = 0;

  // Optional notifications, on the logger's queue, when the formatter is installed in or
  // taken out of `logger`. The defaults do nothing.
  virtual void didAddToLogger(DDLogger& /*logger*/) {}
  virtual void willRemoveFromLogger(DDLogger& /*logger*/) {}
};

class DDLogger {
 public:
  virtual ~DDLogger() = default;

  // Writes one message. Called by the facility on the logger's queue.
  virtual void logMessage(const DDLogMessagePtr& logMessage) = 0;

  virtual DDLogFormatterPtr logFormatter() = 0;
  virtual void setLogFormatter(DDLogFormatterPtr formatter) = 0;

  // Optional operations, called by the facility on the logger's queue. The facility calls
  // one only when the matching implements...() answers true (the defaults answer false).
  virtual bool implementsDidAddLogger() const { return false; }
  virtual void didAddLogger() {}
  virtual bool implementsWillRemoveLogger() const { return false; }
  virtual void willRemoveLogger() {}
  virtual bool implementsFlush() const { return false; }
  virtual void flush() {}

  // The queue the facility must call this logger on; nullptr lets the facility make one.
  virtual platform::dispatch::QueuePtr loggerQueue() { return nullptr; }
  // Label for a queue the facility makes; nullopt: an unnamed queue.
  virtual std::optional<std::string> loggerName() { return std::nullopt; }
};

}  // namespace corvane
