#include "logging/dd_log.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "logging/dd_logger_node.h"
#include "logging/logging_queue_key.h"
#include "platform/foundation/process_info.h"

namespace corvane {

using platform::dispatch::Group;
using platform::dispatch::Queue;
using platform::dispatch::QueuePtr;
using platform::dispatch::Semaphore;

namespace {

constexpr long kMaxQueuedMessages = 1000;
const char kLoggingQueueKey = 0;

// The hub's state. Built once and never destroyed, so that the exit handler and loggers on
// other threads can still use it while the process shuts down.
struct HubState {
  QueuePtr loggingQueue;
  Group loggingGroup;
  Semaphore queueSemaphore{kMaxQueuedMessages};
  unsigned numProcessors = 1;
  // Logging queue only.
  std::vector<DDLoggerNodePtr> loggers;
};

HubState* g_state = nullptr;
std::once_flag g_initOnce;

HubState& state() {
  DDLog::initialize();
  return *g_state;
}

void flushAtExit() { DDLog::applicationWillTerminate(nullptr); }

// Classes that made themselves known; filled during static initialisation, so guarded
// by a lock and independent of the hub's state.
struct ClassRegistry {
  std::mutex mutex;
  std::vector<DDLogClass> classes;
};

ClassRegistry& classRegistry() {
  static ClassRegistry* registry = new ClassRegistry();
  return *registry;
}

DDLogClass classNamed(const std::string& name) {
  ClassRegistry& r = classRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  for (const DDLogClass& cls : r.classes) {
    if (cls->name == name) return cls;
  }
  return nullptr;
}

}  // namespace

namespace detail {
const void* loggingQueueKey() { return &kLoggingQueueKey; }
}  // namespace detail

void DDLog::initialize() {
  std::call_once(g_initOnce, [] {
    auto* s = new HubState();
    s->loggers.reserve(4);
    s->loggingQueue = Queue::createSerial("corvane.logging");
    s->loggingQueue->setSpecific(&kLoggingQueueKey, const_cast<char*>(&kLoggingQueueKey));
    unsigned n = platform::ProcessInfo::processorCount();
    s->numProcessors = n == 0 ? 1 : n;
    g_state = s;
    // There is no application object to observe for its will-terminate notification:
    // flush from an exit handler instead.
    std::atexit(flushAtExit);
  });
}

QueuePtr DDLog::loggingQueue() { return state().loggingQueue; }

void DDLog::applicationWillTerminate(const platform::Notification* /*notification*/) { flushLog(); }

void DDLog::addLogger(DDLoggerPtr logger) { addLogger(std::move(logger), DDLogLevelAll); }

void DDLog::addLogger(DDLoggerPtr logger, int32_t logLevel) {
  if (!logger) return;
  state().loggingQueue->async(
      [logger = std::move(logger), logLevel] { lt_addLogger(logger, logLevel); });
}

void DDLog::removeLogger(DDLoggerPtr logger) {
  if (!logger) return;
  state().loggingQueue->async([logger = std::move(logger)] { lt_removeLogger(logger); });
}

void DDLog::removeAllLoggers() {
  state().loggingQueue->async([] { lt_removeAllLoggers(); });
}

void DDLog::queueLogMessage(DDLogMessagePtr logMessage, bool asynchronously) {
  if (!logMessage) return;
  HubState& s = state();
  // Back-pressure: at most kMaxQueuedMessages wait for the hub; the producer blocks here.
  s.queueSemaphore.wait(platform::dispatch::kForever);
  auto block = [logMessage = std::move(logMessage)] { lt_log(logMessage); };
  if (asynchronously) {
    s.loggingQueue->async(std::move(block));
  } else {
    s.loggingQueue->sync(std::move(block));
  }
}

void DDLog::log(bool asynchronous, int32_t level, int32_t flag, int32_t context, const char* file,
                const char* function, int32_t line, DDLogTag tag, const char* format, ...) {
  if (format == nullptr) return;
  va_list args;
  va_start(args, format);
  logArgs(asynchronous, level, flag, context, file, function, line, std::move(tag), format, args);
  va_end(args);
}

void DDLog::logArgs(bool asynchronous, int32_t level, int32_t flag, int32_t context,
                    const char* file, const char* function, int32_t line, DDLogTag tag,
                    const char* format, va_list args) {
  if (format == nullptr) return;
  std::string text;
  va_list copy;
  va_copy(copy, args);
  char small[256];
  int needed = std::vsnprintf(small, sizeof(small), format, copy);
  va_end(copy);
  if (needed < 0) {
    // An invalid format yields no text rather than no message.
  } else if (static_cast<size_t>(needed) < sizeof(small)) {
    text.assign(small, static_cast<size_t>(needed));
  } else {
    text.resize(static_cast<size_t>(needed));
    std::vsnprintf(text.data(), text.size() + 1, format, args);
  }
  queueLogMessage(DDLogMessage::create(std::move(text), level, flag, context, file, function, line,
                                       std::move(tag), 0),
                  asynchronous);
}

void DDLog::flushLog() {
  state().loggingQueue->sync([] { lt_flush(); });
}

void DDLog::lt_addLogger(const DDLoggerPtr& logger, int32_t logLevel) {
  QueuePtr queue = logger->loggerQueue();
  if (!queue) {
    std::optional<std::string> name = logger->loggerName();
    queue = Queue::createSerial(name ? *name : std::string());
  }
  auto node = DDLoggerNode::nodeWithLogger(logger, queue, logLevel);
  g_state->loggers.push_back(node);
  if (logger->implementsDidAddLogger()) {
    queue->async([logger] { logger->didAddLogger(); });
  }
}

void DDLog::lt_removeLogger(const DDLoggerPtr& logger) {
  auto& loggers = g_state->loggers;
  for (auto it = loggers.begin(); it != loggers.end(); ++it) {
    if ((*it)->logger() != logger) continue;
    if (logger->implementsWillRemoveLogger()) {
      (*it)->loggerQueue()->async([logger] { logger->willRemoveLogger(); });
    }
    loggers.erase(it);
    return;
  }
}

void DDLog::lt_removeAllLoggers() {
  auto& loggers = g_state->loggers;
  for (const DDLoggerNodePtr& node : loggers) {
    if (node->logger()->implementsWillRemoveLogger()) {
      node->loggerQueue()->async([logger = node->logger()] { logger->willRemoveLogger(); });
    }
  }
  loggers.clear();
}

void DDLog::lt_log(const DDLogMessagePtr& logMessage) {
  HubState& s = *g_state;
  size_t passing = 0;
  for (const DDLoggerNodePtr& node : s.loggers) {
    if (DDLogLevelPasses(node->logLevel(), logMessage->logFlag())) ++passing;
  }
  if (s.numProcessors < 2 || passing == 1) {
    // One logger at a time, each synchronously on its own queue. With a single logger this
    // is the same as the group below (the hub waits for it either way) without two thread
    // hand-offs per message.
    for (const DDLoggerNodePtr& node : s.loggers) {
      if (!DDLogLevelPasses(node->logLevel(), logMessage->logFlag())) continue;
      node->loggerQueue()->sync([&] { node->logger()->logMessage(logMessage); });
    }
  } else if (passing > 1) {
    // The loggers work on the message in parallel; the hub takes the next message only
    // when all of them have finished this one.
    for (const DDLoggerNodePtr& node : s.loggers) {
      if (!DDLogLevelPasses(node->logLevel(), logMessage->logFlag())) continue;
      s.loggingGroup.async(node->loggerQueue(), [logger = node->logger(), logMessage] {
        logger->logMessage(logMessage);
      });
    }
    s.loggingGroup.wait(platform::dispatch::kForever);
  }
  s.queueSemaphore.signal();
}

void DDLog::lt_flush() {
  HubState& s = *g_state;
  for (const DDLoggerNodePtr& node : s.loggers) {
    if (!node->logger()->implementsFlush()) continue;
    s.loggingGroup.async(node->loggerQueue(), [logger = node->logger()] { logger->flush(); });
  }
  s.loggingGroup.wait(platform::dispatch::kForever);
}

// Registered classes.

DDLogClassRegistration::DDLogClassRegistration(DDLogClass cls) {
  DDLog::registerClass(std::move(cls));
}

void DDLog::registerClass(DDLogClass cls) {
  if (!cls) return;
  ClassRegistry& r = classRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.classes.push_back(std::move(cls));
}

bool DDLog::isRegisteredClass(const DDLogClass& cls) {
  return cls && cls->ddLogLevel && cls->ddSetLogLevel;
}

std::vector<DDLogClass> DDLog::registeredClasses() {
  ClassRegistry& r = classRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  std::vector<DDLogClass> result;
  for (const DDLogClass& cls : r.classes) {
    if (isRegisteredClass(cls)) result.push_back(cls);
  }
  return result;
}

std::vector<std::string> DDLog::registeredClassNames() {
  std::vector<std::string> names;
  for (const DDLogClass& cls : registeredClasses()) names.push_back(cls->name);
  return names;
}

int32_t DDLog::logLevelForClass(const DDLogClass& cls) {
  if (!isRegisteredClass(cls)) return -1;
  return cls->ddLogLevel();
}

int32_t DDLog::logLevelForClassWithName(const std::string& className) {
  return logLevelForClass(classNamed(className));
}

void DDLog::setLogLevel(int32_t logLevel, const DDLogClass& cls) {
  if (!isRegisteredClass(cls)) return;
  cls->ddSetLogLevel(logLevel);
}

void DDLog::setLogLevel(int32_t logLevel, const std::string& className) {
  setLogLevel(logLevel, classNamed(className));
}

}  // namespace corvane
