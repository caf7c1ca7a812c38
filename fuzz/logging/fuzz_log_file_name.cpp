// Reads arbitrary text as a log file's date and as a log file name. A date that parses must
// format back to exactly the same text (the parser accepts only what the formatter writes);
// a name that counts as a log file must begin with the application name, end with ".log"
// and, written again from its date, give a name that counts as well.
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
  if (manager.isLogFile(text)) {
    FUZZ_CHECK(text.compare(0, 3, "App") == 0);
    FUZZ_CHECK(text.size() >= 3 + 17 + 4 && text.compare(text.size() - 4, 4, ".log") == 0);
  }
  return 0;
}
