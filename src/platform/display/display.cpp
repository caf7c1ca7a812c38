#include "platform/display/display.h"

#include <mutex>

#include "platform/display/linux/x11_display.h"
#include "platform/display/sim/sim_display.h"
#include "platform/log/log.h"

namespace corvane::platform::display {

namespace {

std::mutex& sharedMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<DisplayService>& sharedService() {
  static std::shared_ptr<DisplayService> service;
  return service;
}

}  // namespace

std::shared_ptr<DisplayService> DisplayService::shared() {
  std::lock_guard<std::mutex> lock(sharedMutex());
  if (!sharedService()) sharedService() = openDefault();
  return sharedService();
}

void DisplayService::setShared(std::shared_ptr<DisplayService> service) {
  std::lock_guard<std::mutex> lock(sharedMutex());
  sharedService() = std::move(service);
}

std::shared_ptr<DisplayService> DisplayService::openDefault() {
  if (auto x11 = X11Display::open()) {
    log::nslog("display: X11 backend on display \"%s\"", x11->displayName().c_str());
    return x11;
  }
  log::nslog("display: no X display could be opened, using the simulated display");
  return SimDisplay::create({DisplayMode{1920, 1080, 60.0}});
}

}  // namespace corvane::platform::display
