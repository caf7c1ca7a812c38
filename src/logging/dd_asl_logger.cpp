#include "logging/dd_asl_logger.h"

#include <mutex>

#include "logging/dd_log_flags.h"

namespace corvane {

using platform::log::SystemLogClient;

namespace {

constexpr char kLoggerName[] = "corvane.logging.aslLogger";
constexpr char kFacility[] = "com.apple.console";

std::once_flag g_initOnce;
std::mutex g_instanceMutex;
std::shared_ptr<DDASLLogger>* g_sharedInstance = nullptr;  // never destroyed

}  // namespace

void DDASLLogger::initialize() {
  std::call_once(g_initOnce, [] {
    auto* instance = new std::shared_ptr<DDASLLogger>(new DDASLLogger());
    std::lock_guard<std::mutex> lock(g_instanceMutex);
    g_sharedInstance = instance;
  });
}

std::shared_ptr<DDASLLogger> DDASLLogger::sharedInstance() {
  initialize();
  std::lock_guard<std::mutex> lock(g_instanceMutex);
  return *g_sharedInstance;
}

std::shared_ptr<DDASLLogger> DDASLLogger::create() {
  initialize();
  std::lock_guard<std::mutex> lock(g_instanceMutex);
  if (*g_sharedInstance) return nullptr;
  return std::shared_ptr<DDASLLogger>(new DDASLLogger());
}

DDASLLogger::DDASLLogger()
    : DDAbstractLogger(kLoggerName), client_(SystemLogClient::open(kFacility)) {}

std::optional<std::string> DDASLLogger::loggerName() { return std::string(kLoggerName); }

int DDASLLogger::levelForFlag(int32_t logFlag) {
  switch (logFlag) {
    case DDLogFlagError: return SystemLogClient::kAlert;
    case DDLogFlagWarn: return SystemLogClient::kCritical;
    case DDLogFlagInfo: return SystemLogClient::kError;
    case DDLogFlagDebug: return SystemLogClient::kWarning;
    default: return SystemLogClient::kNotice;
  }
}

void DDASLLogger::logMessage(const DDLogMessagePtr& logMessage) {
  DDLogText text = formatter_ ? formatter_->formatLogMessage(logMessage) : logMessage->logMsg();
  if (!text) return;
  client_->log(levelForFlag(logMessage->logFlag()), *text);
}

}  // namespace corvane
