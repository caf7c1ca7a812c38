// DDASLLogger: sends each log message to the system log (syslog here) under the facility
// name "com.apple.console". Flags map onto severities: error 1 (alert), warn 2 (critical),
// info 3 (error), debug 4 (warning), any other flag 5 (notice).
//
// A process-wide singleton. `logMessage` runs on the logger's queue
// ("corvane.logging.aslLogger"), so its one client connection is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "logging/dd_abstract_logger.h"
#include "platform/log/system_log.h"

namespace corvane {

class DDASLLogger : public DDAbstractLogger {
 public:
  // Makes the shared instance; only the first call has an effect.
  static void initialize();
  static std::shared_ptr<DDASLLogger> sharedInstance();
  // A new system log logger; nullptr once the shared instance exists (always, after
  // initialize).
  static std::shared_ptr<DDASLLogger> create();

  // The system-log severity of a message flag.
  static int levelForFlag(int32_t logFlag);

  void logMessage(const DDLogMessagePtr& logMessage) override;
  std::optional<std::string> loggerName() override;

 private:
  DDASLLogger();

  const std::unique_ptr<platform::log::SystemLogClient> client_;
};

}  // namespace corvane
