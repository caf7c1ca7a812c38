// Power assertions: the display-sleep assertion that a mirroring session holds.
//
// Every assertion is kept in an in-process record (tests read it with `activeAssertions`).
// Where a desktop session bus exists, a display-sleep assertion also asks the desktop's
// screen saver not to blank the screen (org.freedesktop.ScreenSaver Inhibit) and withdraws
// that request when the assertion is released; without a bus, or when the screen saver
// does not answer, the assertion is only recorded.
//
// Threads: every function may be called from any thread; calls are serialised. A screen
// saver request blocks the caller for at most `kScreenSaverTimeoutMs`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvane::platform::power {

using AssertionID = uint32_t;

inline constexpr const char* kAssertionTypePreventUserIdleDisplaySleep =
    "PreventUserIdleDisplaySleep";
inline constexpr uint32_t kAssertionLevelOff = 0;
inline constexpr uint32_t kAssertionLevelOn = 255;
inline constexpr int kScreenSaverTimeoutMs = 1000;

// Return codes, as the power service answers them.
inline constexpr int kReturnSuccess = 0;
inline constexpr int kReturnBadArgument = -536870206;
inline constexpr int kReturnNotFound = -536870160;

struct Assertion {
  AssertionID id = 0;
  std::string type;
  uint32_t level = 0;
  std::string name;
  // True while the desktop screen saver honours the request not to blank the screen.
  bool screenSaverInhibited = false;
};

// Creates an assertion of `type` at `level` named `name` and stores its identifier (never 0)
// in `*assertionID`. An empty type or name, or a null `assertionID`, answers kReturnBadArgument.
int createAssertionWithName(const std::string& type, uint32_t level, const std::string& name,
                            AssertionID* assertionID);

// Releases an assertion; an unknown identifier answers kReturnNotFound.
int releaseAssertion(AssertionID assertionID);

// The assertions held now, oldest first.
std::vector<Assertion> activeAssertions();

}  // namespace corvane::platform::power
