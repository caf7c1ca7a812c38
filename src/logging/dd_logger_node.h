// DDLoggerNode: the facility's record of one added logger. Immutable; made and read on the
// logging queue.
#pragma once

#include <cstdint>
#include <memory>

#include "logging/dd_logger.h"
#include "platform/dispatch/dispatch.h"

namespace corvane {

class DDLoggerNode;
using DDLoggerNodePtr = std::shared_ptr<DDLoggerNode>;

class DDLoggerNode {
 public:
  static DDLoggerNodePtr nodeWithLogger(DDLoggerPtr logger,
                                        platform::dispatch::QueuePtr loggerQueue,
                                        int32_t logLevel) {
    return std::make_shared<DDLoggerNode>(std::move(logger), std::move(loggerQueue), logLevel);
  }

  // A null queue leaves `loggerQueue` unset.
  DDLoggerNode(DDLoggerPtr logger, platform::dispatch::QueuePtr loggerQueue, int32_t logLevel)
      : logger_(std::move(logger)), loggerQueue_(std::move(loggerQueue)), logLevel_(logLevel) {}

  const DDLoggerPtr& logger() const { return logger_; }
  const platform::dispatch::QueuePtr& loggerQueue() const { return loggerQueue_; }
  int32_t logLevel() const { return logLevel_; }

 private:
  const DDLoggerPtr logger_;
  const platform::dispatch::QueuePtr loggerQueue_;
  const int32_t logLevel_;
};

}  // namespace corvane
