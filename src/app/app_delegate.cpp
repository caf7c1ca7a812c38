#include "app/app_delegate.h"

#include "app/app_support.h"
#include "app/main_handler.h"
#include "logging/dd_log.h"
#include "logging/dd_tty_logger.h"
#include "platform/log/log.h"

namespace corvane {

void AppDelegate::applicationDidFinishLaunching() {
  detail::logLine("applicationDidFinishLaunching");
  DDLog::addLogger(DDTTYLogger::sharedInstance());
  endActivity_ = platform::ProcessInfo::beginActivity(platform::ProcessInfo::kUserInitiated, "Batch processing files");
  // Replaces the token: the first activity stays in force until the process ends.
  endActivity_ = platform::ProcessInfo::beginActivity(
      platform::ProcessInfo::kUserInitiatedAllowingIdleSystemSleep, "just not sleep");
}

void AppDelegate::applicationWillTerminate() {
  detail::logLine("applicationWillTerminate");
  if (mainController_ && mainController_->connectStatusViewController()) {
    mainController_->connectStatusViewController()->mirrorChannel()->disconnect();
  }
  if (endActivity_) platform::ProcessInfo::endActivity(*endActivity_);
}

void AppDelegate::applicationWillHide() { detail::logLine("applicationWillHide"); }

void AppDelegate::applicationWillUnhide() { detail::logLine("applicationWillUnhide"); }

bool AppDelegate::applicationShouldHandleReopen(bool /*hasVisibleWindows*/) {
  detail::logLine("applicationShouldHandleReopen");
  if (mainController_ && mainController_->mainWindow()) {
    mainController_->mainWindow()->makeKeyAndOrderFront();
  }
  return false;
}

void loadMainInterface(platform::ui::Application& app, MirrorChannel::Environment mirrorEnvironment,
                       detail::LocalAddressSource localAddress) {
  auto delegate = std::make_shared<AppDelegate>();
  app.setDelegate(delegate);
  platform::Error error;
  auto window = platform::ui::Window::fromInterface("MainWindow", nullptr, &error);
  if (!window) {
    // Without its window the application could only sit invisible: it ends instead.
    platform::log::error("the main window cannot be loaded: " + error.description);
    app.terminate();
    return;
  }
  auto handler = MainHandler::create(window, window->viewNamed("topView"),
                                     std::move(mirrorEnvironment), std::move(localAddress));
  handler->awakeFromNib();
  window->makeKeyAndOrderFront();
}

}  // namespace corvane
