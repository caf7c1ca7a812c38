#include "platform/log/system_log.h"

#include <syslog.h>

#include <algorithm>
#include <mutex>

namespace corvane::platform::log {

namespace {
// openlog's name pointer must stay valid while syslog may use it: clients are opened and
// closed under this lock, and a closing client hands the name back to the default.
std::mutex g_openMutex;
const std::string* g_openName = nullptr;
}  // namespace

std::unique_ptr<SystemLogClient> SystemLogClient::open(std::string facility) {
  std::unique_ptr<SystemLogClient> client(new SystemLogClient(std::move(facility)));
  std::lock_guard<std::mutex> lock(g_openMutex);
  ::openlog(client->facility_.c_str(), 0, LOG_USER);
  g_openName = &client->facility_;
  return client;
}

SystemLogClient::~SystemLogClient() {
  std::lock_guard<std::mutex> lock(g_openMutex);
  if (g_openName == &facility_) {
    ::closelog();
    g_openName = nullptr;
  }
}

void SystemLogClient::log(int level, std::string_view text) {
  const int priority = std::clamp(level, kEmergency, kDebug);
  const std::string line(text);
  std::lock_guard<std::mutex> lock(g_openMutex);
  ::syslog(LOG_USER | priority, "%s", line.c_str());
}

}  // namespace corvane::platform::log
