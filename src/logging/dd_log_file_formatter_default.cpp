#include "logging/dd_log_file_formatter_default.h"

#include "logging/log_date_format.h"

namespace corvane {

DDLogFileFormatterDefault::DDLogFileFormatterDefault(DateFormatter dateFormatter)
    : dateFormatter_(dateFormatter ? std::move(dateFormatter) : [](double date) {
        return detail::formatLogDate(kDatePattern, date, detail::LogTimeZone::Local);
      }) {}

DDLogText DDLogFileFormatterDefault::formatLogMessage(const DDLogMessagePtr& logMessage) {
  const std::string& text = logMessage->logMsg() ? *logMessage->logMsg() : std::string();
  return std::make_shared<const std::string>(dateFormatter_(logMessage->timestamp()) + "  " +
                                             text);
}

}  // namespace corvane
