// The desktop screen saver's inhibit interface (org.freedesktop.ScreenSaver) on the session bus.
//
// Threads: not thread-safe; the power layer calls it under its own lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace corvane::platform::power::detail {

// Asks the screen saver not to blank the screen; the cookie names the request. Nothing when
// there is no session bus or the screen saver does not answer in time. The request lasts
// while this process's bus connection stays open, so the connection is kept.
std::optional<uint32_t> screenSaverInhibit(const std::string& application,
                                           const std::string& reason, int timeoutMs);

// Withdraws a request; false when the screen saver could not be told.
bool screenSaverUnInhibit(uint32_t cookie, int timeoutMs);

}  // namespace corvane::platform::power::detail
