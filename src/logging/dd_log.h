// DDLog: the process-wide hub of the logging framework. It takes log messages from any
// thread, orders them on one serial logging queue ("corvane.logging") and hands each to
// every added logger whose level lets it through, on that logger's own serial queue. The
// hub waits until every logger has finished a message before it takes the next, and at
// most 1000 messages wait for the hub: a producer that gets further ahead blocks.
//
// Threads: every function may be called from any thread, except that synchronous logging
// and `flushLog` must not be called from the logging queue or from a logger's queue (they
// wait for those queues). The state is built on first use and lives for the whole process;
// `flushLog` also runs when the process exits.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

#include "logging/dd_log_class.h"
#include "logging/dd_log_flags.h"
#include "logging/dd_log_message.h"
#include "logging/dd_logger.h"
#include "platform/dispatch/dispatch.h"

namespace corvane {

namespace platform {
struct Notification;
}  // namespace platform

class DDLog {
 public:
  DDLog() = delete;

  // Builds the hub's state; only the first call has an effect. Every other operation calls it.
  static void initialize();

  static platform::dispatch::QueuePtr loggingQueue();

  // Termination hook: flushes every logger. The argument is ignored.
  static void applicationWillTerminate(const platform::Notification* notification);

  // Adds a logger with level DDLogLevelAll / with `logLevel`. Asynchronous; nullptr is ignored.
  // A logger added twice gets two entries and receives each message twice.
  static void addLogger(DDLoggerPtr logger);
  static void addLogger(DDLoggerPtr logger, int32_t logLevel);
  // Removes the first entry of `logger` (asynchronous; nullptr or an unknown logger: nothing).
  static void removeLogger(DDLoggerPtr logger);
  static void removeAllLoggers();

  // Queues one message (nullptr: nothing); blocks while 1000 messages are pending.
  // Synchronous queueing returns once every logger has written the message.
  static void queueLogMessage(DDLogMessagePtr logMessage, bool asynchronously);

  // Builds a message from a printf-style format (nullptr: nothing) and queues it. `file` and
  // `function` are borrowed by the message: pass strings that outlive it (__FILE__, __func__).
  static void log(bool asynchronous, int32_t level, int32_t flag, int32_t context, const char* file,
                  const char* function, int32_t line, DDLogTag tag, const char* format, ...)
      __attribute__((format(printf, 9, 10)));
  static void logArgs(bool asynchronous, int32_t level, int32_t flag, int32_t context,
                      const char* file, const char* function, int32_t line, DDLogTag tag,
                      const char* format, va_list args) __attribute__((format(printf, 9, 0)));

  // Returns when every message queued before has been written and every logger that
  // implements `flush` has flushed.
  static void flushLog();

  // Log levels of the classes that registered themselves (see dd_log_class.h).
  static bool isRegisteredClass(const DDLogClass& cls);
  static std::vector<DDLogClass> registeredClasses();
  static std::vector<std::string> registeredClassNames();
  // The class's `ddLogLevel`; -1 when the class is not registered.
  static int32_t logLevelForClass(const DDLogClass& cls);
  static int32_t logLevelForClassWithName(const std::string& className);
  // Calls the class's `ddSetLogLevel`; an unregistered or unknown class: nothing.
  static void setLogLevel(int32_t logLevel, const DDLogClass& cls);
  static void setLogLevel(int32_t logLevel, const std::string& className);

 private:
  friend class DDLogClassRegistration;
  static void registerClass(DDLogClass cls);

  // Logging queue only.
  static void lt_addLogger(const DDLoggerPtr& logger, int32_t logLevel);
  static void lt_removeLogger(const DDLoggerPtr& logger);
  static void lt_removeAllLoggers();
  static void lt_log(const DDLogMessagePtr& logMessage);
  static void lt_flush();
};

}  // namespace corvane
