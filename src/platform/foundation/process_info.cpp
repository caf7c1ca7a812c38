#include "platform/foundation/process_info.h"

#include "platform/foundation/environment.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

namespace corvane::platform {
namespace {

struct State {
  std::mutex mutex;
  std::vector<ProcessInfo::Activity> activities;
  ProcessInfo::ActivityToken nextToken = 1;
  bool rootSet = false;
  std::string systemRoot;
};

State& state() {
  static State* s = new State();  // never destroyed: usable by threads running at exit
  return *s;
}

}  // namespace

std::string ProcessInfo::processName() {
  const char* name = program_invocation_short_name;
  return name != nullptr ? std::string(name) : std::string();
}

int ProcessInfo::processIdentifier() { return static_cast<int>(getpid()); }

unsigned ProcessInfo::processorCount() {
  long n = sysconf(_SC_NPROCESSORS_CONF);
  return n > 0 ? static_cast<unsigned>(n) : 1u;
}

ProcessInfo::ActivityToken ProcessInfo::beginActivity(std::uint64_t options,
                                                      const std::string& reason) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  Activity activity{s.nextToken++, options, reason};
  s.activities.push_back(activity);
  return activity.token;
}

void ProcessInfo::endActivity(ActivityToken token) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  auto it = std::find_if(s.activities.begin(), s.activities.end(),
                         [token](const Activity& a) { return a.token == token; });
  if (it != s.activities.end()) s.activities.erase(it);
}

std::vector<ProcessInfo::Activity> ProcessInfo::activities() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.activities;
}

std::string ProcessInfo::systemRoot() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.rootSet) {
    s.systemRoot = nonEmptyEnvironmentValue("CORVANE_SYSTEM_ROOT").value_or("/");
    s.rootSet = true;
  }
  return s.systemRoot;
}

void ProcessInfo::setSystemRoot(const std::string& root) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.systemRoot = root.empty() ? "/" : root;
  s.rootSet = true;
}

std::string ProcessInfo::systemPath(const std::string& absolutePath) {
  std::string root = systemRoot();
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root == "/") return absolutePath;
  if (absolutePath.empty() || absolutePath.front() != '/') return root + "/" + absolutePath;
  return root + absolutePath;
}

}  // namespace corvane::platform
