// The system log: one client connection of the process to the system's log service
// (syslog(3) here), opened with a facility name and used with numeric severities 0 (most
// severe) to 7, as the original platform's system log numbers them.
//
// Thread-safety: syslog(3) is thread-safe; a client may be used from any thread. The
// connection settings are process-wide (syslog keeps one), so the last client opened sets the
// name every line carries.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace corvane::platform::log {

class SystemLogClient {
 public:
  // Severities 0..7, as both the original platform and syslog number them.
  static constexpr int kEmergency = 0;
  static constexpr int kAlert = 1;
  static constexpr int kCritical = 2;
  static constexpr int kError = 3;
  static constexpr int kWarning = 4;
  static constexpr int kNotice = 5;
  static constexpr int kInfo = 6;
  static constexpr int kDebug = 7;

  // A connection whose lines carry `facility` as their name (user facility, no options).
  static std::unique_ptr<SystemLogClient> open(std::string facility);
  ~SystemLogClient();
  SystemLogClient(const SystemLogClient&) = delete;
  SystemLogClient& operator=(const SystemLogClient&) = delete;

  // Sends `text` at `level` (clamped to 0..7), as it stands ("%s").
  void log(int level, std::string_view text);

 private:
  explicit SystemLogClient(std::string facility) : facility_(std::move(facility)) {}
  // openlog keeps the pointer: the text lives as long as the client.
  const std::string facility_;
};

}  // namespace corvane::platform::log
