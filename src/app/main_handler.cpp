#include "app/main_handler.h"

#include "app/app_delegate.h"
#include "app/app_support.h"
#include "platform/dispatch/dispatch.h"
#include "platform/ui/application.h"

namespace corvane {

MainHandler::MainHandler(std::shared_ptr<platform::ui::Window> mainWindow,
                         std::shared_ptr<platform::ui::View> topView,
                         MirrorChannel::Environment mirrorEnvironment,
                         detail::LocalAddressSource localAddress)
    : mainWindow_(std::move(mainWindow)),
      topView_(std::move(topView)),
      mirrorEnvironment_(std::move(mirrorEnvironment)),
      localAddress_(std::move(localAddress)) {}

std::shared_ptr<MainHandler> MainHandler::create(std::shared_ptr<platform::ui::Window> mainWindow,
                                                 std::shared_ptr<platform::ui::View> topView,
                                                 MirrorChannel::Environment mirrorEnvironment,
                                                 detail::LocalAddressSource localAddress) {
  return std::shared_ptr<MainHandler>(new MainHandler(std::move(mainWindow), std::move(topView),
                                                      std::move(mirrorEnvironment),
                                                      std::move(localAddress)));
}

void MainHandler::awakeFromNib() {
  detail::logLine("awakeFromNib");
  if (windowState_ == WindowState::None) showPinCodeView();
  if (auto app = platform::ui::Application::sharedApplication()) {
    if (auto delegate = std::dynamic_pointer_cast<AppDelegate>(app->delegate())) {
      delegate->setMainController(shared_from_this());
    }
  }
  setupTrayIcon();
  if (mainWindow_) mainWindow_->setDelegate(weak_from_this());
}

void MainHandler::makePinCodeView() {
  // The screen replaced keeps living through its key monitor, but not its sockets.
  if (pinCodeViewController_) pinCodeViewController_->closeChannels();
  pinCodeViewController_ = PincodeViewController::create(mirrorEnvironment_, localAddress_);
  pinCodeViewController_->setPincodeViewControllerDelegate(shared_from_this());
}

void MainHandler::makeConnectStatusView() {
  if (connectStatusViewController_) return;
  connectStatusViewController_ =
      ConnectStatusViewController::create(mirrorEnvironment_, localAddress_);
  connectStatusViewController_->setDelegate(shared_from_this());
}

void MainHandler::showPinCodeView() {
  makePinCodeView();
  auto view = pinCodeViewController_ ? pinCodeViewController_->view() : nullptr;
  if (view && topView_) {
    detail::logLine("pinCodeViewController not nil");
    topView_->addSubview(view);
    view->setFrame(topView_->frame());
  } else {
    detail::logLine("pinCodeViewController is nil");
  }
  windowState_ = WindowState::PinCodeView;
}

void MainHandler::showConnectStatusView(const ReceiverObject& receiver) {
  if (pinCodeViewController_) {
    if (auto view = pinCodeViewController_->view()) view->removeFromSuperview();
    pinCodeViewController_->closeChannels();
  }
  makeConnectStatusView();
  connectStatusViewController_->setReceiver(receiver);
  if (auto view = connectStatusViewController_->view(); view && topView_) {
    topView_->addSubview(view);
    view->setFrame(topView_->frame());
  }
  windowState_ = WindowState::ConnectStatusView;
}

void MainHandler::onFindReceiverSuccess(const ReceiverObject& receiver) {
  detail::logLine("onFindReceiverSuccess======");
  auto self = shared_from_this();
  platform::dispatch::Queue::main()->async([self, receiver] { self->showConnectStatusView(receiver); });
}

void MainHandler::onConnectStatusViewClosed() {
  detail::logLine("onConnectStatusViewClosed");
  auto self = shared_from_this();
  platform::dispatch::Queue::main()->async([self] {
    if (self->connectStatusViewController_) {
      if (auto view = self->connectStatusViewController_->view()) view->removeFromSuperview();
    }
    self->showPinCodeView();
  });
}

void MainHandler::setupTrayIcon() {
  if (trayIcon_) return;
  trayIcon_ = platform::ui::StatusBar::systemStatusBar()->statusItemWithLength(
      platform::ui::kVariableStatusItemLength);
  trayIcon_->setHighlightMode(true);
  trayIcon_->setEnabled(true);
  trayIcon_->setImage(platform::ui::Image::imageNamed("tray"));
}

bool MainHandler::windowShouldClose(platform::ui::Window& window) {
  if (windowState_ != WindowState::ConnectStatusView) return true;
  if (trayIcon_ && trayIcon_->isVisible()) return true;
  detail::logLine("no system tray to re-open the window from: it is minimised instead of closed");
  window.miniaturize();
  return false;
}

void MainHandler::windowWillClose(platform::ui::Window& /*window*/) {
  if (windowState_ != WindowState::PinCodeView) return;
  if (auto app = platform::ui::Application::sharedApplication()) app->terminate();
}

}  // namespace corvane
