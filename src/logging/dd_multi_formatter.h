// DDMultiFormatter: a chain of formatters. Each member gets a copy of the message carrying
// the text so far and its answer becomes the new text; a member that drops the message
// (nullptr) ends the chain. An empty chain answers the message's own text.
//
// Thread-safety: chains run in parallel on a concurrent queue
// ("corvane.logging.multiformatter"); changes of the list run there as barriers, so a change
// made before a chain starts is seen by it. Members are not told when the chain is installed
// in a logger.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "logging/dd_logger.h"
#include "platform/dispatch/dispatch.h"

namespace corvane {

class DDMultiFormatter : public DDLogFormatter {
 public:
  DDMultiFormatter();

  DDLogText formatLogMessage(const DDLogMessagePtr& logMessage) override;
  // A copy of `message` whose text is `line`.
  static DDLogMessagePtr logMessageForLine(DDLogText line, const DDLogMessage& message);

  // A copy of the list.
  std::vector<DDLogFormatterPtr> formatters();
  void addFormatter(DDLogFormatterPtr formatter);
  void removeFormatter(const DDLogFormatterPtr& formatter);
  void removeAllFormatters();
  bool isFormattingWithFormatter(const DDLogFormatterPtr& formatter);

 private:
  const platform::dispatch::QueuePtr queue_;
  // Read on queue_, changed only by barrier blocks on it.
  std::shared_ptr<std::vector<DDLogFormatterPtr>> formatters_;
};

}  // namespace corvane
