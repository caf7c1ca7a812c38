#include "logging/dd_multi_formatter.h"

#include <algorithm>

namespace corvane {

using platform::dispatch::Queue;

DDMultiFormatter::DDMultiFormatter()
    : queue_(Queue::createConcurrent("corvane.logging.multiformatter")),
      formatters_(std::make_shared<std::vector<DDLogFormatterPtr>>()) {}

DDLogMessagePtr DDMultiFormatter::logMessageForLine(DDLogText line, const DDLogMessage& message) {
  return message.copyWithLogMsg(std::move(line));
}

DDLogText DDMultiFormatter::formatLogMessage(const DDLogMessagePtr& logMessage) {
  DDLogText line = logMessage->logMsg();
  queue_->sync([&] {
    for (const DDLogFormatterPtr& formatter : *formatters_) {
      line = formatter->formatLogMessage(logMessageForLine(line, *logMessage));
      if (!line) return;
    }
  });
  return line;
}

std::vector<DDLogFormatterPtr> DDMultiFormatter::formatters() {
  std::vector<DDLogFormatterPtr> copy;
  queue_->sync([&] { copy = *formatters_; });
  return copy;
}

// The barrier blocks hold the list, not the formatter object, so they may outlive it.

void DDMultiFormatter::addFormatter(DDLogFormatterPtr formatter) {
  queue_->barrierAsync([list = formatters_, formatter = std::move(formatter)] {
    list->push_back(formatter);
  });
}

void DDMultiFormatter::removeFormatter(const DDLogFormatterPtr& formatter) {
  queue_->barrierAsync([list = formatters_, formatter] {
    auto it = std::find(list->begin(), list->end(), formatter);
    if (it != list->end()) list->erase(it);
  });
}

void DDMultiFormatter::removeAllFormatters() {
  queue_->barrierAsync([list = formatters_] { list->clear(); });
}

bool DDMultiFormatter::isFormattingWithFormatter(const DDLogFormatterPtr& formatter) {
  bool found = false;
  queue_->sync([&] {
    found = std::find(formatters_->begin(), formatters_->end(), formatter) != formatters_->end();
  });
  return found;
}

}  // namespace corvane
