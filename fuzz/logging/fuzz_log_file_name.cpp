// Reads arbitrary text as a log file's date and as a log file name. A date that parses must
// format back to exactly the same text (the parser accepts only what the formatter writes);
// a name that counts as a log file must begin with the application name, end with ".log",
// carry the date it is sorted by right after its first blank, and, written again from
// that date and attempt, give a name that parses to the same parts.
#include <cstdint>
#include <string>

#include "../fuzz_check.h"
#include "logging/dd_log_file_manager_default.h"
#include "logging/log_date_format.h"

namespace {

using corvane::DDLogFileManagerDefault;
namespace detail = corvane::detail;

class AppManager : public DDLogFileManagerDefault {
 public:
  AppManager() : DDLogFileManagerDefault(std::string("/nonexistent")) {}
  std::string applicationName() override { return "App"; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const char* pattern = DDLogFileManagerDefault::kLogFileDatePattern;

  if (auto date = detail::parseLogDate(pattern, text, detail::LogTimeZone::Utc)) {
    FUZZ_CHECK(detail::formatLogDate(pattern, *date, detail::LogTimeZone::Utc) == text);
    static AppManager manager;
    FUZZ_CHECK(manager.isLogFile("App " + text + ".log"));
    FUZZ_CHECK(manager.isLogFile("App " + text + " 7.log"));
  }

  static AppManager manager;
  const auto parsed = manager.parseLogFileName(text);
  FUZZ_CHECK(manager.isLogFile(text) == parsed.has_value());
  if (parsed) {
    FUZZ_CHECK(text.compare(0, 3, "App") == 0);
    FUZZ_CHECK(text.size() >= 3 + 17 + 4 && text.compare(text.size() - 4, 4, ".log") == 0);
    const std::string date = detail::formatLogDate(pattern, parsed->date, detail::LogTimeZone::Utc);
    const size_t blank = text.find(' ');
    FUZZ_CHECK(blank != std::string::npos && text.compare(blank + 1, date.size(), date) == 0);
    if (parsed->attempt > 0) {
      const std::string again = "App " + date +
                                (parsed->attempt > 1 ? " " + std::to_string(parsed->attempt) : "") +
                                ".log";
      const auto reparsed = manager.parseLogFileName(again);
      FUZZ_CHECK(reparsed && reparsed->date == parsed->date &&
                 reparsed->attempt == parsed->attempt);
    }
  }
  return 0;
}
