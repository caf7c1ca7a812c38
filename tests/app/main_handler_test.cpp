// The main window and the application delegate: start-up shows a new PIN screen with the
// status item, a found receiver switches to the connection screen, closing the window there
// keeps the application running (without a system tray the window is minimised, never left
// hidden) and a re-open raises it again, a session's end or a failed
// connection brings a new PIN screen, the next receiver reuses the connection screen, and
// quitting (window closed on the PIN screen, or while mirroring) ends the session and gives
// the system sound back, also when the quit comes while an alert is open (the alert is
// closed: nobody has to answer it).
//
// The application object is one per process and ends for good at `terminate`; ctest runs each
// test in a process of its own, and a test that needs a live application skips otherwise.
#include <QApplication>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QTimer>
#include <atomic>
#include <thread>

#include "app/app_delegate.h"
#include "app/main_handler.h"
#include "app_fixture.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/user_defaults.h"
#include "platform/ui/window.h"
#include "support/test_lookup_server.h"
#include "support/test_receiver.h"

namespace corvane {
namespace {

using apptest::AppFixture;
using platform::ui::AlertRecord;
using platform::ui::AlertStyle;
namespace uitest = platform::ui::testing;

class MainWindowTest : public AppFixture {
 protected:
  void SetUp() override {
    AppFixture::SetUp();
    if (uitest::app().isTerminated()) {
      GTEST_SKIP() << "an earlier test of this process terminated the application; run each test "
                      "in its own process (ctest does)";
    }
    installDriver();
    test::TestReceiverOptions options;
    options.name = "Living room";
    std::string error;
    receiver_ = test::TestReceiver::startOnFreeLoopbackAddress(options, &error);
    ASSERT_NE(receiver_, nullptr) << error;
    loadMainInterface(uitest::app(), mirrorEnvironment_, localAddressSource());
    delegate_ = std::dynamic_pointer_cast<AppDelegate>(uitest::app().delegate());
    ASSERT_NE(delegate_, nullptr);
    handler_ = delegate_->mainController();
    ASSERT_NE(handler_, nullptr);
  }
  void TearDown() override {
    if (handler_) {
      if (auto connect = handler_->connectStatusViewController()) connect->mirrorChannel()->disconnect();
      if (handler_->mainWindow()) handler_->mainWindow()->orderOut();
    }
    uitest::app().setDelegate(nullptr);
    handler_.reset();
    delegate_.reset();
    receiver_.reset();
    AppFixture::TearDown();
  }

  ReceiverObject livingRoom() const { return {"Living room", "2.1", {receiver_->address()}, "123456"}; }
  // The PIN screen's hand-over, from a thread of its own as the query channel's queue does.
  void findReceiver(const ReceiverObject& receiver) {
    std::thread([this, receiver] { handler_->onFindReceiverSuccess(receiver); }).join();
    ASSERT_TRUE(uitest::waitFor([this] { return handler_->windowState() == WindowState::ConnectStatusView; }));
  }
  bool inWindow(const std::shared_ptr<platform::ui::View>& view) {
    return view && view->window() && view->window().get() == handler_->mainWindow().get();
  }
  std::shared_ptr<platform::ui::View> pinView() { return handler_->pinCodeViewController()->view(); }
  std::shared_ptr<platform::ui::View> connectView() {
    return handler_->connectStatusViewController()->view();
  }

  std::unique_ptr<test::TestReceiver> receiver_;
  std::shared_ptr<AppDelegate> delegate_;
  std::shared_ptr<MainHandler> handler_;
};

TEST_F(MainWindowTest, StartUpShowsThePinScreenTheStatusItemAndKeepsTheSystemAwake) {
  EXPECT_EQ(handler_->windowState(), WindowState::PinCodeView);
  ASSERT_NE(handler_->pinCodeViewController(), nullptr);
  EXPECT_TRUE(inWindow(pinView()));
  EXPECT_EQ(handler_->connectStatusViewController(), nullptr);
  EXPECT_EQ(handler_->mainWindow()->delegate(), handler_);
  ASSERT_NE(handler_->trayIcon(), nullptr);
  ASSERT_NE(handler_->trayIcon()->image(), nullptr);
  EXPECT_EQ(handler_->trayIcon()->image()->name(), "tray");
  EXPECT_TRUE(handler_->trayIcon()->highlightMode());
  EXPECT_TRUE(handler_->trayIcon()->isEnabled());
  EXPECT_EQ(handler_->trayIcon()->length(), platform::ui::kVariableStatusItemLength);

  delegate_->applicationDidFinishLaunching();
  const auto activities = platform::ProcessInfo::activities();
  ASSERT_GE(activities.size(), 2u);
  const auto& first = activities[activities.size() - 2];
  const auto& second = activities.back();
  EXPECT_EQ(first.reason, "Batch processing files");
  EXPECT_EQ(first.options, 0x00FFFFFFu);
  EXPECT_EQ(second.reason, "just not sleep");
  EXPECT_EQ(second.options, 0x00EFFFFFu);
  EXPECT_EQ(delegate_->endActivity(), second.token);
  // Ending the application ends only the second; the first stays until the process ends.
  delegate_->applicationWillTerminate();
  const auto after = platform::ProcessInfo::activities();
  EXPECT_EQ(after.size(), activities.size() - 1);
  EXPECT_EQ(after.back().token, first.token);
}

TEST_F(MainWindowTest, ClosingOnTheConnectionScreenWithoutATrayMinimisesAndReopenRaises) {
  const auto firstPin = handler_->pinCodeViewController();
  findReceiver(livingRoom());
  EXPECT_FALSE(inWindow(firstPin->view()));
  EXPECT_TRUE(inWindow(connectView()));
  ASSERT_TRUE(uitest::waitFor([this] {
    return handler_->connectStatusViewController()->workingMode() == WorkingMode::CONNECTED;
  }));

  // The offscreen platform has no system tray: nothing but the task bar could bring the
  // window back, so a close minimises it and leaves it open.
  ASSERT_FALSE(handler_->trayIcon()->isVisible());
  handler_->mainWindow()->makeKeyAndOrderFront();
  handler_->mainWindow()->close();
  EXPECT_FALSE(uitest::app().isTerminated());
  EXPECT_TRUE(handler_->mainWindow()->isVisible());
  EXPECT_TRUE(handler_->mainWindow()->isMiniaturized());
  EXPECT_EQ(handler_->windowState(), WindowState::ConnectStatusView);
  EXPECT_TRUE(inWindow(connectView()));
  EXPECT_EQ(handler_->connectStatusViewController()->workingMode(), WorkingMode::CONNECTED);
  uitest::app().reopen();
  EXPECT_TRUE(handler_->mainWindow()->isVisible());
  EXPECT_FALSE(handler_->mainWindow()->isMiniaturized());
  EXPECT_EQ(uitest::app().windows().size(), 1u);  // no other window was opened

  // The session ends: a new PIN screen, empty and with its entry area shown.
  const auto connectScreen = handler_->connectStatusViewController();
  connectScreen->disconnectButton()->performClick();
  ASSERT_TRUE(uitest::waitFor([this] { return handler_->windowState() == WindowState::PinCodeView; }));
  const auto secondPin = handler_->pinCodeViewController();
  EXPECT_NE(secondPin, firstPin);
  EXPECT_TRUE(inWindow(secondPin->view()));
  EXPECT_FALSE(inWindow(connectView()));
  EXPECT_EQ(secondPin->inputPinCode(), "");
  EXPECT_FALSE(secondPin->contentStackView()->isHidden());

  // The next receiver reuses the connection screen.
  ReceiverObject next = livingRoom();
  next.name = "Kitchen";
  findReceiver(next);
  EXPECT_EQ(handler_->connectStatusViewController(), connectScreen);
  EXPECT_EQ(connectScreen->receiver()->name, "Kitchen");
  EXPECT_TRUE(inWindow(connectView()));
  ASSERT_TRUE(uitest::waitFor([&] { return connectScreen->workingMode() == WorkingMode::CONNECTED; }));
  EXPECT_EQ(connectScreen->receiverNameTextField()->stringValue().rfind("Kitchen(", 0), 0u);
}

// Where the desktop has a system tray the status item shows on it, and a close hides the
// window; a click on the icon (a re-open) shows it again. Runs in the app_tests_tray run, which
// starts a tray on a display of its own.
TEST_F(MainWindowTest, ClosingOnTheConnectionScreenWithATrayHidesAndTheIconBringsItBack) {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    GTEST_SKIP() << "no system tray on this platform (the app_tests_tray run starts one)";
  }
  ASSERT_TRUE(handler_->trayIcon()->isVisible());
  findReceiver(livingRoom());
  ASSERT_TRUE(uitest::waitFor([this] {
    return handler_->connectStatusViewController()->workingMode() == WorkingMode::CONNECTED;
  }));
  handler_->mainWindow()->makeKeyAndOrderFront();
  handler_->mainWindow()->close();
  EXPECT_FALSE(uitest::app().isTerminated());
  EXPECT_FALSE(handler_->mainWindow()->isVisible());
  EXPECT_FALSE(handler_->mainWindow()->isMiniaturized());
  EXPECT_EQ(handler_->connectStatusViewController()->workingMode(), WorkingMode::CONNECTED);
  uitest::app().reopen();
  EXPECT_TRUE(handler_->mainWindow()->isVisible());
  EXPECT_EQ(uitest::app().windows().size(), 1u);
}

TEST_F(MainWindowTest, APinScreenLeavingTheWindowClosesItsLookUpSockets) {
  test::LookupServerOptions options;
  options.pins["123456"] = test::LookupAnswer::found({receiver_->address()}, "Living room", "2.1");
  options.pins["654321"] = test::LookupAnswer::neverAnswers();
  std::string error;
  auto lookup = test::TestLookupServer::startOnFreeLoopbackAddress(std::move(options), &error);
  ASSERT_NE(lookup, nullptr) << error;
  platform::UserDefaults::standard()->setString(lookup->address(), "pinserver.host");
  const auto typeAndConnect = [](const std::shared_ptr<PincodeViewController>& screen,
                                 const std::string& pin) {
    if (screen->maxPinCodeLength() != 6) screen->onSwitchPinCodeTypeClicked();
    screen->appendDigit(pin);
    ASSERT_TRUE(screen->connectButton()->isEnabled());
    screen->connectButton()->performClick();
  };

  // A look-up that finds its receiver: the connection screen takes over.
  const auto first = handler_->pinCodeViewController();
  typeAndConnect(first, "123456");
  ASSERT_TRUE(
      uitest::waitFor([this] { return handler_->windowState() == WindowState::ConnectStatusView; },
                      std::chrono::seconds(30)));
  ASSERT_NE(first->queryDeviceChannel(), nullptr);
  EXPECT_TRUE(first->queryDeviceChannel()->queryDeviceSocket()->isClosed());
  EXPECT_TRUE(first->pincodeChannel()->pincodeSocket()->isDisconnected());

  // The session ends: the next PIN screen, whose look-up hangs on the server, is replaced by
  // the connection screen while it runs.
  ASSERT_TRUE(uitest::waitFor(
      [this] {
        return handler_->connectStatusViewController()->workingMode() == WorkingMode::CONNECTED;
      },
      std::chrono::seconds(30)));
  handler_->connectStatusViewController()->disconnectButton()->performClick();
  ASSERT_TRUE(
      uitest::waitFor([this] { return handler_->windowState() == WindowState::PinCodeView; },
                      std::chrono::seconds(30)));
  const auto second = handler_->pinCodeViewController();
  ASSERT_NE(second, first);
  typeAndConnect(second, "654321");
  ASSERT_TRUE(lookup->waitFor(
      [](const test::LookupServerState& s) { return s.requests.size() == 2; }, 30.0));
  ASSERT_TRUE(second->isLookingUp());
  findReceiver(livingRoom());
  // Its PIN-server connection is closed, and its look-up is over without an alert.
  EXPECT_TRUE(lookup->waitFor(
      [](const test::LookupServerState& s) { return s.closedByClient == 2; }, 30.0));
  EXPECT_TRUE(second->pincodeChannel()->pincodeSocket()->isDisconnected());
  EXPECT_FALSE(second->isLookingUp());
  // The screens live on through their key monitors, which let every key go by.
  const platform::ui::Event digit(platform::ui::EventType::KeyDown, platform::ui::kKeyCodeUnknown,
                                  "5", handler_->mainWindow());
  EXPECT_FALSE(first->handleKeyDown(digit));
  EXPECT_FALSE(second->handleKeyDown(digit));
  EXPECT_EQ(second->inputPinCode(), "654321");
  EXPECT_TRUE(alertsSince(0).empty());
}

TEST_F(MainWindowTest, FailedConnectionShowsTheAlertAndANewPinScreen) {
  const std::string nobody = receiver_->address();
  receiver_->stop();  // nothing listens there now
  const auto firstPin = handler_->pinCodeViewController();
  findReceiver({"Nobody", "1.0", {nobody}, "000000"});
  ASSERT_TRUE(uitest::waitFor([&] {
    return handler_->windowState() == WindowState::PinCodeView && handler_->pinCodeViewController() != firstPin;
  }, std::chrono::seconds(20)));
  const AlertRecord notReachable{detail::localized("question.again"),
                                 detail::localized("alert.receiver.not.reachable"), AlertStyle::Warning,
                                 {"OK", "Cancel"}};
  EXPECT_EQ(alertsSince(0), std::vector<AlertRecord>{notReachable});
  EXPECT_TRUE(inWindow(pinView()));
  EXPECT_FALSE(inWindow(connectView()));
  EXPECT_EQ(handler_->connectStatusViewController()->workingMode(), WorkingMode::NONE);
}

TEST_F(MainWindowTest, ClosingTheWindowOnThePinScreenQuits) {
  handler_->mainWindow()->makeKeyAndOrderFront();
  handler_->mainWindow()->close();
  EXPECT_TRUE(uitest::app().isTerminated());
}

TEST_F(MainWindowTest, QuittingWhileMirroringRestoresTheAudioDevicesAndRemovesTheSavedFile) {
  using platform::audio::SimAudioHardware;
  findReceiver(livingRoom());
  const auto screen = handler_->connectStatusViewController();
  ASSERT_TRUE(uitest::waitFor([&] { return screen->workingMode() == WorkingMode::CONNECTED; }));
  screen->mirrorButton()->performClick();
  ASSERT_TRUE(uitest::waitFor([&] { return screen->mirrorChannel()->isMirroring(); }));
  ASSERT_TRUE(receiver_->waitFor([](const test::ReceiverState& s) { return !s.video.empty(); }, 30.0));
  const std::string saved = config_->soundflowerSettingFile();
  EXPECT_TRUE(platform::files::exists(saved));
  EXPECT_NE(devices_->getDefaultOutputAudioDeviceID(), SimAudioHardware::kBuiltInOutputID);

  uitest::app().terminate();
  EXPECT_FALSE(screen->mirrorChannel()->isMirroring());
  EXPECT_EQ(devices_->getDefaultOutputAudioDeviceID(), SimAudioHardware::kBuiltInOutputID);
  EXPECT_EQ(devices_->getDefaultInputAudioDeviceID(), SimAudioHardware::kBuiltInInputID);
  EXPECT_FALSE(platform::files::exists(saved));
}

TEST_F(MainWindowTest, QuittingWhileARefusalAlertIsOpenClosesItAndGivesTheSoundBack) {
  using platform::audio::SimAudioHardware;
  findReceiver(livingRoom());
  const auto screen = handler_->connectStatusViewController();
  ASSERT_TRUE(uitest::waitFor([&] { return screen->workingMode() == WorkingMode::CONNECTED; }));
  // The receiver starts the mirroring itself, once it has taken the control connection (the
  // sender can count itself connected a moment before).
  ASSERT_TRUE(receiver_->waitFor(
      [](const test::ReceiverState& s) { return s[test::Channel::Control].open > 0; }, 30.0));
  ASSERT_TRUE(receiver_->sendDeviceStatus(7));
  ASSERT_TRUE(uitest::waitFor([&] { return screen->mirrorChannel()->isMirroring(); }));
  // The session's start routes the sound to the loop-back device on the link's thread.
  ASSERT_TRUE(uitest::waitFor([&] {
    return devices_->getDefaultOutputAudioDeviceID() != SimAudioHardware::kBuiltInOutputID &&
           platform::files::exists(config_->soundflowerSettingFile());
  }));

  // Real message boxes from here on; nobody clicks them.
  alerts_.reset();
  // Once the refusal alert shows, the quit comes from the alert's own loop, as an ending
  // signal does.
  QTimer quitter;
  quitter.setInterval(5);
  QObject::connect(&quitter, &QTimer::timeout, &quitter, [&quitter] {
    if (qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) == nullptr) return;
    quitter.stop();
    uitest::app().terminate();
  });
  quitter.start();
  // Safety net: an alert the quit left open gets its button clicked, and the test fails below.
  const uitest::AlertClickNet net;

  std::atomic<bool> alertReturned{false};
  std::thread([&] { screen->onRequestMirrorOnFailed(-1); }).join();  // the link's thread
  platform::dispatch::Queue::main()->async([&] { alertReturned = true; });
  ASSERT_TRUE(uitest::waitFor([&] { return alertReturned.load(); }, std::chrono::seconds(30)));
  EXPECT_TRUE(net.isActive()) << "the alert waited for a click";
  EXPECT_TRUE(uitest::app().isTerminated());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_FALSE(screen->mirrorChannel()->isMirroring());
  EXPECT_EQ(devices_->getDefaultOutputAudioDeviceID(), SimAudioHardware::kBuiltInOutputID);
  EXPECT_EQ(devices_->getDefaultInputAudioDeviceID(), SimAudioHardware::kBuiltInInputID);
  EXPECT_FALSE(platform::files::exists(config_->soundflowerSettingFile()));
}

}  // namespace
}  // namespace corvane
