// Helpers shared by the application's screens: localised texts of the main bundle, the
// diagnostic log line, and the modal alerts the screens show.
//
// Threads: `localized` and `logLine` from any thread; `runAlert` on the main thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/alert.h"

namespace corvane::detail {

// The main bundle's text for `key` (default table, empty default value and comment).
std::string localized(const std::string& key);
// One diagnostic line of the application shell.
void logLine(const std::string& text);
// Runs a modal alert: message = `title`, informative text = `message`, the buttons in order.
platform::ui::ModalResponse runAlert(const std::string& title, const std::string& message,
                                     platform::ui::AlertStyle style,
                                     const std::vector<std::string>& buttons);

// Answers the machine's own IPv4 address, or none; the screens are given one when they are
// made (the application the system's, tests their own). Called from any thread.
using LocalAddressSource = std::function<std::optional<std::string>()>;
// The system's: NetworkUtilities' answer.
LocalAddressSource systemLocalAddress();

}  // namespace corvane::detail
