// DDLoggingContextSet: a lock-guarded set of context numbers, and the two filters built on it.
// DDContextWhitelistFilterLogFormatter passes only messages whose context is in its set;
// DDContextBlacklistFilterLogFormatter drops exactly those. Both answer the message's own
// text when they pass it. Every operation may be called from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <vector>

#include "logging/dd_logger.h"

namespace corvane {

class DDLoggingContextSet {
 public:
  void addToSet(int32_t loggingContext);
  void removeFromSet(int32_t loggingContext);
  bool isInSet(int32_t loggingContext);
  // The members, in no particular order.
  std::vector<int32_t> currentSet();

 private:
  std::mutex lock_;
  std::set<int32_t> set_;
};

class DDContextWhitelistFilterLogFormatter : public DDLogFormatter {
 public:
  void addToWhitelist(int32_t loggingContext) { contextSet_.addToSet(loggingContext); }
  void removeFromWhitelist(int32_t loggingContext) { contextSet_.removeFromSet(loggingContext); }
  std::vector<int32_t> whitelist() { return contextSet_.currentSet(); }
  bool isOnWhitelist(int32_t loggingContext) { return contextSet_.isInSet(loggingContext); }

  DDLogText formatLogMessage(const DDLogMessagePtr& logMessage) override;

 private:
  DDLoggingContextSet contextSet_;
};

class DDContextBlacklistFilterLogFormatter : public DDLogFormatter {
 public:
  void addToBlacklist(int32_t loggingContext) { contextSet_.addToSet(loggingContext); }
  void removeFromBlacklist(int32_t loggingContext) { contextSet_.removeFromSet(loggingContext); }
  std::vector<int32_t> blacklist() { return contextSet_.currentSet(); }
  bool isOnBlacklist(int32_t loggingContext) { return contextSet_.isInSet(loggingContext); }

  DDLogText formatLogMessage(const DDLogMessagePtr& logMessage) override;

 private:
  DDLoggingContextSet contextSet_;
};

}  // namespace corvane
