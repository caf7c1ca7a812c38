// DDLogFileFormatterDefault: the file logger's line, "<yyyy/MM/dd HH:mm:ss:SSS>  <text>"
// (local time, two blanks). Immutable after construction; usable from any queue.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "logging/dd_logger.h"

namespace corvane {

class DDLogFileFormatterDefault : public DDLogFormatter {
 public:
  // Turns a message's timestamp (seconds since the reference date) into text.
  using DateFormatter = std::function<std::string(double date)>;

  static inline constexpr char kDatePattern[] = "yyyy/MM/dd HH:mm:ss:SSS";

  // With the date formatter given, or (nullptr) the local-time pattern above.
  explicit DDLogFileFormatterDefault(DateFormatter dateFormatter = nullptr);

  DDLogText formatLogMessage(const DDLogMessagePtr& logMessage) override;

 private:
  const DateFormatter dateFormatter_;
};

}  // namespace corvane
