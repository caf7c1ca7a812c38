// Process information: name, id, processor count; process activities (begun with options
// and a reason, ended by token, recorded in-process so that the power layer and tests can
// see them); and the system root under which the original platform's system paths
// ("/Library/...") are mapped ("/" by default, movable for tests).
//
// Thread-safety: every member may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvane::platform {

class ProcessInfo {
 public:
  // Activity option bits that the application uses.
  static constexpr std::uint64_t kIdleSystemSleepDisabled = 1ull << 20;
  static constexpr std::uint64_t kUserInitiated = 0x00FFFFFFull;
  static constexpr std::uint64_t kUserInitiatedAllowingIdleSystemSleep =
      kUserInitiated & ~kIdleSystemSleepDisabled;

  using ActivityToken = std::uint64_t;  // never 0
  struct Activity {
    ActivityToken token = 0;
    std::uint64_t options = 0;
    std::string reason;
  };

  // The executable's file name (the short program name).
  static std::string processName();
  static int processIdentifier();
  // Processors configured on the host; at least 1.
  static unsigned processorCount();

  // Records an activity; it stays in force until `endActivity` with its token.
  static ActivityToken beginActivity(std::uint64_t options, const std::string& reason);
  // Ends an activity; unknown tokens are ignored.
  static void endActivity(ActivityToken token);
  // The activities in force, in the order they began.
  static std::vector<Activity> activities();

  // The folder that stands for the system's "/"; "/" unless moved (tests), or
  // $CORVANE_SYSTEM_ROOT when set at first use.
  static std::string systemRoot();
  static void setSystemRoot(const std::string& root);
  // An absolute system path ("/Library/Audio/...") under the system root.
  static std::string systemPath(const std::string& absolutePath);
};

}  // namespace corvane::platform
