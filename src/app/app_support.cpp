#include "app/app_support.h"

#include "lookup/network_utilities.h"
#include "platform/foundation/bundle.h"
#include "platform/log/log.h"

namespace corvane::detail {

LocalAddressSource systemLocalAddress() {
  return [] { return NetworkUtilities::sharedInstance()->getLocalIP(); };
}

std::string localized(const std::string& key) {
  return platform::Bundle::main()->localizedString(key, "", "");
}

void logLine(const std::string& text) { platform::log::debug(text); }

platform::ui::ModalResponse runAlert(const std::string& title, const std::string& message,
                                     platform::ui::AlertStyle style,
                                     const std::vector<std::string>& buttons) {
  platform::ui::Alert alert;
  alert.setMessageText(title);
  alert.setInformativeText(message);
  alert.setAlertStyle(style);
  for (const auto& button : buttons) alert.addButtonWithTitle(button);
  return alert.runModal();
}

}  // namespace corvane::detail
