// DDDispatchQueueLogFormatter: "<yyyy-MM-dd HH:mm:ss:SSS> [<queue or thread>] <text>" (local
// time). The bracket shows the label of the queue the message was made on; for the shared
// global queues (and messages made on no queue) the thread's name, else the thread number in
// hexadecimal. Labels may be replaced by shorter texts (the main thread's queue shows "main")
// and are cut to `maxQueueLength` or padded with blanks to `minQueueLength` (0: neither).
//
// Thread-safety: may serve several loggers at once; formatLogMessage runs on any logger's
// queue. The replacements are guarded by a lock and the lengths are atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "logging/dd_logger.h"

namespace corvane {

class DDDispatchQueueLogFormatter : public DDLogFormatter {
 public:
  DDDispatchQueueLogFormatter();

  // The replacement for a full queue label, if any.
  std::optional<std::string> replacementStringForQueueLabel(const std::string& longLabel);
  // nullopt removes the replacement.
  void setReplacementString(std::optional<std::string> shortLabel, const std::string& longLabel);

  // "yyyy-MM-dd HH:mm:ss:SSS" in the local time zone.
  std::string stringFromDate(double date) const;
  std::string queueThreadLabelForLogMessage(const DDLogMessage& logMessage);

  DDLogText formatLogMessage(const DDLogMessagePtr& logMessage) override;
  void didAddToLogger(DDLogger& logger) override;
  void willRemoveFromLogger(DDLogger& logger) override;
  // Loggers that use this formatter.
  int32_t loggerCount() const { return atomicLoggerCount_.load(); }

  uint64_t minQueueLength() const { return minQueueLength_.load(); }
  void setMinQueueLength(uint64_t minQueueLength) { minQueueLength_ = minQueueLength; }
  uint64_t maxQueueLength() const { return maxQueueLength_.load(); }
  void setMaxQueueLength(uint64_t maxQueueLength) { maxQueueLength_ = maxQueueLength; }

 private:
  const std::string dateFormatString_ = "yyyy-MM-dd HH:mm:ss:SSS";
  std::atomic<int32_t> atomicLoggerCount_{0};
  std::atomic<uint64_t> minQueueLength_{0};
  std::atomic<uint64_t> maxQueueLength_{0};
  std::mutex lock_;  // guards replacements_
  std::unordered_map<std::string, std::string> replacements_;
};

}  // namespace corvane
