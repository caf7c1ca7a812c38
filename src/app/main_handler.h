// The controller of the application's single window: puts the PIN screen or the connection
// screen into the window's top view, switches between them when a receiver is found or the
// connection screen closes, owns the status-bar item, and decides what closing the window
// means: on the PIN screen the application quits; on the connection screen it keeps running
// (and the session goes on). There the window is hidden when the status item shows on a
// system tray, whose click re-opens it; without a tray nothing could bring a hidden window
// back, so the window is minimised instead and the desktop's task bar brings it back.
//
// Threads: `awakeFromNib`, the window delegate operations and the screen switches on the main
// thread; the two screen delegate operations may come on any thread and hop to the main queue.
//
// Ownership: the application delegate holds the handler strongly (`mainController`); the
// handler owns the window, the status item, the current PIN screen (a new one each time it is
// shown; a PIN screen leaving the window has its look-up channels closed) and the connection
// screen (made once, kept). The screens hold the handler strongly as
// their delegate, as the window's objects do for the life of the application.
#pragma once

#include <memory>

#include "app/app_support.h"
#include "app/connect_status_view_controller.h"
#include "app/connect_status_view_delegate.h"
#include "app/pincode_view_controller.h"
#include "app/pincode_view_controller_delegate.h"
#include "app/window_state.h"
#include "platform/ui/status_item.h"
#include "platform/ui/view.h"
#include "platform/ui/window.h"

namespace corvane {

class MainHandler : public PincodeViewControllerDelegate,
                    public ConnectStatusViewDelegate,
                    public platform::ui::WindowDelegate,
                    public std::enable_shared_from_this<MainHandler> {
 public:
  // `init` with the window of the main interface and its top view; the screens it makes work
  // with `mirrorEnvironment` (the application passes the process's services, tests their
  // fakes), and `localAddress` is given to every screen the handler makes.
  static std::shared_ptr<MainHandler> create(std::shared_ptr<platform::ui::Window> mainWindow,
                                             std::shared_ptr<platform::ui::View> topView,
                                             MirrorChannel::Environment mirrorEnvironment,
                                             detail::LocalAddressSource localAddress);
  ~MainHandler() override = default;

  void awakeFromNib();
  bool windowShouldClose(platform::ui::Window& window) override;
  void windowWillClose(platform::ui::Window& window) override;
  void onFindReceiverSuccess(const ReceiverObject& receiver) override;
  void onConnectStatusViewClosed() override;

  const std::shared_ptr<platform::ui::Window>& mainWindow() const { return mainWindow_; }
  const std::shared_ptr<platform::ui::View>& topView() const { return topView_; }
  const std::shared_ptr<platform::ui::StatusItem>& trayIcon() const { return trayIcon_; }
  const std::shared_ptr<PincodeViewController>& pinCodeViewController() const {
    return pinCodeViewController_;
  }
  const std::shared_ptr<ConnectStatusViewController>& connectStatusViewController() const {
    return connectStatusViewController_;
  }
  WindowState windowState() const { return windowState_; }

 private:
  MainHandler(std::shared_ptr<platform::ui::Window> mainWindow,
              std::shared_ptr<platform::ui::View> topView,
              MirrorChannel::Environment mirrorEnvironment,
              detail::LocalAddressSource localAddress);
  void showPinCodeView();
  void showConnectStatusView(const ReceiverObject& receiver);
  void makePinCodeView();
  void makeConnectStatusView();
  void setupTrayIcon();

  std::shared_ptr<platform::ui::Window> mainWindow_;
  std::shared_ptr<platform::ui::View> topView_;
  const MirrorChannel::Environment mirrorEnvironment_;
  const detail::LocalAddressSource localAddress_;
  std::shared_ptr<platform::ui::StatusItem> trayIcon_;
  std::shared_ptr<PincodeViewController> pinCodeViewController_;
  std::shared_ptr<ConnectStatusViewController> connectStatusViewController_;
  WindowState windowState_ = WindowState::None;
};

}  // namespace corvane
