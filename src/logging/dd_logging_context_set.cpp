#include "logging/dd_logging_context_set.h"

namespace corvane {

void DDLoggingContextSet::addToSet(int32_t loggingContext) {
  std::lock_guard<std::mutex> guard(lock_);
  set_.insert(loggingContext);
}

void DDLoggingContextSet::removeFromSet(int32_t loggingContext) {
  std::lock_guard<std::mutex> guard(lock_);
  set_.erase(loggingContext);
}

bool DDLoggingContextSet::isInSet(int32_t loggingContext) {
  std::lock_guard<std::mutex> guard(lock_);
  return set_.count(loggingContext) != 0;
}

std::vector<int32_t> DDLoggingContextSet::currentSet() {
  std::lock_guard<std::mutex> guard(lock_);
  return {set_.begin(), set_.end()};
}

DDLogText DDContextWhitelistFilterLogFormatter::formatLogMessage(
    const DDLogMessagePtr& logMessage) {
  return contextSet_.isInSet(logMessage->logContext()) ? logMessage->logMsg() : nullptr;
}

DDLogText DDContextBlacklistFilterLogFormatter::formatLogMessage(
    const DDLogMessagePtr& logMessage) {
  return contextSet_.isInSet(logMessage->logContext()) ? nullptr : logMessage->logMsg();
}

}  // namespace corvane
