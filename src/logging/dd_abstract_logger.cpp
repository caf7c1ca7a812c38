#include "logging/dd_abstract_logger.h"

#include "logging/dd_log.h"
#include "logging/logging_queue_key.h"

namespace corvane {

using platform::dispatch::Block;
using platform::dispatch::Queue;

DDAbstractLogger::DDAbstractLogger() : DDAbstractLogger("DDAbstractLogger") {}

DDAbstractLogger::DDAbstractLogger(const std::string& queueLabel)
    : loggerQueue_(Queue::createSerial(queueLabel)) {
  // Tagged with the logger itself so that isOnInternalLoggerQueue can recognise it.
  loggerQueue_->setSpecific(this, this);
}

DDAbstractLogger::~DDAbstractLogger() {
  // The queue may outlive the logger (a holder of loggerQueue()); it must then no longer
  // answer for this address, which a later logger may occupy.
  loggerQueue_->setSpecific(this, nullptr);
}

void DDAbstractLogger::logMessage(const DDLogMessagePtr& /*logMessage*/) {}

bool DDAbstractLogger::isOnGlobalLoggingQueue() const {
  return Queue::getCurrentSpecific(detail::loggingQueueKey()) != nullptr;
}

bool DDAbstractLogger::isOnInternalLoggerQueue() const {
  return Queue::getCurrentSpecific(this) != nullptr;
}

void DDAbstractLogger::runOnLoggerQueueSync(const Block& block) {
  if (isOnInternalLoggerQueue()) {
    block();
  } else if (isOnGlobalLoggingQueue()) {
    loggerQueue_->sync(block);
  } else {
    DDLog::loggingQueue()->sync([&] { loggerQueue_->sync(block); });
  }
}

void DDAbstractLogger::changeSetting(Block change) {
  if (isOnInternalLoggerQueue()) {
    change();
    return;
  }
  changeSettingThroughQueues(std::move(change));
}

void DDAbstractLogger::changeSettingThroughQueues(Block change) {
  // The pending change keeps the logger alive.
  auto self = weak_from_this().lock();
  auto queue = loggerQueue_;
  DDLog::loggingQueue()->async([self, queue, change = std::move(change)]() mutable {
    queue->async([self, change = std::move(change)] { change(); });
  });
}

DDLogFormatterPtr DDAbstractLogger::logFormatter() {
  return readSetting([this] { return formatter_; });
}

void DDAbstractLogger::setLogFormatter(DDLogFormatterPtr formatter) {
  changeSettingThroughQueues([this, formatter = std::move(formatter)] {
    if (formatter == formatter_) return;
    if (formatter_) formatter_->willRemoveFromLogger(*this);
    formatter_ = formatter;
    if (formatter_) formatter_->didAddToLogger(*this);
  });
}

}  // namespace corvane
