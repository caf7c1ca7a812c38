#include "logging/dd_dispatch_queue_log_formatter.h"

#include <array>
#include <cstdio>

#include "logging/log_date_format.h"
#include "platform/dispatch/dispatch.h"

namespace corvane {

using platform::dispatch::Priority;
using platform::dispatch::Queue;

namespace {

// Labels of the shared queues, whose label says nothing about the work: those of the
// original platform and those of this system's dispatch layer.
bool isSharedQueueLabel(const std::string& label) {
  static const std::array<const char*, 6> kPlatformLabels = {
      "com.apple.root.low-priority",           "com.apple.root.default-priority",
      "com.apple.root.high-priority",          "com.apple.root.low-overcommit-priority",
      "com.apple.root.default-overcommit-priority", "com.apple.root.high-overcommit-priority"};
  for (const char* shared : kPlatformLabels) {
    if (label == shared) return true;
  }
  for (Priority p : {Priority::High, Priority::Default, Priority::Low, Priority::Background}) {
    if (label == Queue::global(p)->label()) return true;
  }
  return false;
}

// Number of UTF-8 characters (scalar values) in `text`.
size_t characterCount(const std::string& text) {
  size_t count = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

// The first `characters` characters of `text`.
std::string prefixOfCharacters(const std::string& text, size_t characters) {
  size_t seen = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      if (seen == characters) return text.substr(0, i);
      ++seen;
    }
  }
  return text;
}

}  // namespace

DDDispatchQueueLogFormatter::DDDispatchQueueLogFormatter() {
  replacements_.emplace("com.apple.main-thread", "main");
}

std::optional<std::string> DDDispatchQueueLogFormatter::replacementStringForQueueLabel(
    const std::string& longLabel) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = replacements_.find(longLabel);
  if (it == replacements_.end()) return std::nullopt;
  return it->second;
}

void DDDispatchQueueLogFormatter::setReplacementString(std::optional<std::string> shortLabel,
                                                       const std::string& longLabel) {
  std::lock_guard<std::mutex> guard(lock_);
  if (shortLabel) {
    replacements_[longLabel] = std::move(*shortLabel);
  } else {
    replacements_.erase(longLabel);
  }
}

std::string DDDispatchQueueLogFormatter::stringFromDate(double date) const {
  // Formatting keeps no state between calls, so one formatter serves any number of loggers
  // and threads at once.
  return detail::formatLogDate(dateFormatString_, date, detail::LogTimeZone::Local);
}

std::string DDDispatchQueueLogFormatter::queueThreadLabelForLogMessage(
    const DDLogMessage& logMessage) {
  std::string label;
  bool usable = false;
  if (logMessage.queueLabel() != nullptr && !isSharedQueueLabel(logMessage.queueLabel())) {
    label = logMessage.queueLabel();
    usable = true;
  } else if (!logMessage.threadName().empty()) {
    label = logMessage.threadName();
    usable = true;
  }
  if (usable) {
    if (auto replacement = replacementStringForQueueLabel(label)) label = std::move(*replacement);
  } else {
    label = logMessage.threadID();
  }

  const size_t maxLength = static_cast<size_t>(maxQueueLength());
  const size_t minLength = static_cast<size_t>(minQueueLength());
  const size_t length = characterCount(label);
  if (maxLength > 0 && length > maxLength) return prefixOfCharacters(label, maxLength);
  if (length < minLength) label.append(minLength - length, ' ');
  return label;
}

DDLogText DDDispatchQueueLogFormatter::formatLogMessage(const DDLogMessagePtr& logMessage) {
  const std::string& text = logMessage->logMsg() ? *logMessage->logMsg() : std::string();
  return std::make_shared<const std::string>(stringFromDate(logMessage->timestamp()) + " [" +
                                             queueThreadLabelForLogMessage(*logMessage) + "] " +
                                             text);
}

void DDDispatchQueueLogFormatter::didAddToLogger(DDLogger& /*logger*/) { ++atomicLoggerCount_; }

void DDDispatchQueueLogFormatter::willRemoveFromLogger(DDLogger& /*logger*/) {
  --atomicLoggerCount_;
}

}  // namespace corvane
