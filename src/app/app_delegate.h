// The application delegate: attaches the console logger, keeps the system from idling to
// sleep while the application runs, logs the application's life events, brings the main
// window back on a re-open and closes the mirroring session when the application ends.
//
// Threads: main thread only. Ownership: the application holds it; it holds the main window
// controller (`mainController`, set by that controller when it wakes).
#pragma once

#include <memory>
#include <optional>

#include "app/app_support.h"
#include "platform/foundation/process_info.h"
#include "platform/ui/application.h"
#include "session/mirror_channel.h"

namespace corvane {

class MainHandler;

class AppDelegate : public platform::ui::ApplicationDelegate {
 public:
  void applicationDidFinishLaunching() override;
  void applicationWillTerminate() override;
  void applicationWillHide() override;
  void applicationWillUnhide() override;
  bool applicationShouldHandleReopen(bool hasVisibleWindows) override;

  const std::shared_ptr<MainHandler>& mainController() const { return mainController_; }
  void setMainController(std::shared_ptr<MainHandler> controller) {
    mainController_ = std::move(controller);
  }
  const std::optional<platform::ProcessInfo::ActivityToken>& endActivity() const { return endActivity_; }

 private:
  std::optional<platform::ProcessInfo::ActivityToken> endActivity_;
  std::shared_ptr<MainHandler> mainController_;
};

// Loads the main interface into `app`: the application delegate, the main window and its
// controller (whose wake-up shows the PIN screen), and shows the window. The screens' session
// controllers work with `mirrorEnvironment` (the application passes the process's services,
// tests their fakes); the screens learn the machine's own address from `localAddress`.
void loadMainInterface(platform::ui::Application& app, MirrorChannel::Environment mirrorEnvironment,
                       detail::LocalAddressSource localAddress);

}  // namespace corvane
