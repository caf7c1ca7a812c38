// The connection screen against the test receiver: the address choice, name(version) and the
// version reply, the mirror button's mode table, the permission gates with each simulated
// authorisation status and the first-click prompt, the mirror-on refusal alerts, and a failed
// connection (not-reachable alert, delegate told) followed by the same screen connecting again.
#include <QDir>
#include <QImage>
#include <QPixmap>
#include <thread>

#include "app/connect_status_view_controller.h"
#include "app_fixture.h"
#include "platform/ui/window.h"
#include "support/test_receiver.h"

namespace corvane {
namespace {

using apptest::AppFixture;
using platform::audio::AuthorizationStatus;
using platform::ui::AlertRecord;
using platform::ui::AlertStyle;
using platform::ui::Window;
namespace uitest = platform::ui::testing;

TEST(ReceiverAddressChoiceTest, PicksTheLastAddressThatIsNoHotSpot) {
  struct Case {
    std::vector<std::string> list;
    std::string chosen;
  };
  const Case cases[] = {
      {{}, ""},
      {{"192.168.43.1"}, "192.168.43.1"},  // a single entry is taken as it is
      {{"10.0.0.5", "192.168.43.1"}, "10.0.0.5"},
      {{"10.0.0.5", "10.0.0.7"}, "10.0.0.7"},
      {{"192.168.43.1", "192.168.50.1"}, ""},
      {{"192.168.48.1", "10.1.1.1", "192.168.78.1"}, "10.1.1.1"},
      {{"10.0.0.5", "192.168.43.10"}, "192.168.43.10"},  // exact text only
  };
  for (const auto& c : cases) {
    EXPECT_EQ(detail::chooseReceiverAddress(c.list), c.chosen) << ::testing::PrintToString(c.list);
  }
}

class ClosedRecorder : public ConnectStatusViewDelegate {
 public:
  void onConnectStatusViewClosed() override { ++closed; }
  std::atomic<int> closed{0};
};

class ConnectScreenTest : public AppFixture {
 protected:
  void SetUp() override {
    AppFixture::SetUp();
    installDriver();
    test::TestReceiverOptions options;
    options.name = "Living room";
    std::string error;
    receiver_ = test::TestReceiver::startOnFreeLoopbackAddress(options, &error);
    ASSERT_NE(receiver_, nullptr) << error;
    receiver_->setVersion("2.2");
    window_ = Window::fromInterface("MainWindow");
    ASSERT_NE(window_, nullptr);
    closed_ = std::make_shared<ClosedRecorder>();
  }
  void TearDown() override {
    if (screen_) {
      screen_->mirrorChannel()->disconnect();
      if (screen_->view()) screen_->view()->removeFromSuperview();
    }
    window_.reset();
    receiver_.reset();
    AppFixture::TearDown();
  }

  // Makes the screen (once) and shows it with `receiver` (none: shown without one).
  void show(std::optional<ReceiverObject> receiver) {
    if (!screen_) {
      screen_ = ConnectStatusViewController::create(mirrorEnvironment_, localAddressSource());
      screen_->setDelegate(closed_);
      ASSERT_NE(screen_->view(), nullptr);
    }
    screen_->setReceiver(std::move(receiver));
    window_->viewNamed("topView")->addSubview(screen_->view());
    window_->makeKeyAndOrderFront();
  }
  ReceiverObject livingRoom() const { return {"Living room", "2.1", {receiver_->address()}, "123456"}; }
  void showConnected() {
    show(livingRoom());
    ASSERT_TRUE(uitest::waitFor([this] { return screen_->workingMode() == WorkingMode::CONNECTED; }));
    ASSERT_TRUE(uitest::waitFor([this] { return !screen_->contentStackView()->isHidden(); }));
  }
  std::string mirrorTitle() { return screen_->mirrorButton()->title(); }
  std::size_t mirrorStarts() { return receiver_->snapshot().requests(1).size(); }
  void click() { screen_->mirrorButton()->performClick(); }
  static AlertRecord audioAlert() {
    return {detail::localized("title.error"), detail::localized("msg.grant.audio"), AlertStyle::Critical,
            {detail::localized("button.close")}};
  }

  std::unique_ptr<test::TestReceiver> receiver_;
  std::shared_ptr<Window> window_;
  std::shared_ptr<ConnectStatusViewController> screen_;
  std::shared_ptr<ClosedRecorder> closed_;
};

TEST_F(ConnectScreenTest, ConnectsToTheChosenAddressAndShowsNameAndVersion) {
  show(ReceiverObject{"Living room", "2.1", {receiver_->address(), "192.168.43.1"}, "123456"});
  EXPECT_EQ(screen_->receiverNameTextField()->stringValue(), "Living room(2.1)");
  EXPECT_EQ(screen_->ipListTextField()->stringValue(), receiver_->address());
  EXPECT_TRUE(screen_->contentStackView()->isHidden());
  EXPECT_FALSE(screen_->connectStatusProgressIndicator()->isHidden());
  EXPECT_TRUE(screen_->mirrorBackButton()->isHidden());
  EXPECT_EQ(mirrorTitle(), "Mirror");
  ASSERT_NE(screen_->targetDevice(), nullptr);
  EXPECT_EQ(screen_->targetDevice()->deviceIp(), receiver_->address());
  EXPECT_EQ(screen_->targetDevice()->deviceName(), "Living room");

  ASSERT_TRUE(uitest::waitFor([this] { return screen_->workingMode() == WorkingMode::CONNECTED; }));
  ASSERT_TRUE(uitest::waitFor([this] { return !screen_->contentStackView()->isHidden(); }));
  EXPECT_TRUE(screen_->connectStatusProgressIndicator()->isHidden());
  EXPECT_TRUE(receiver_->waitFor(
      [](const test::ReceiverState& s) { return s.pinCode == std::optional<std::string>("123456"); },
      10.0));
  // The receiver's version reply replaces the version shown.
  ASSERT_TRUE(uitest::waitFor(
      [this] { return screen_->receiverNameTextField()->stringValue() == "Living room(2.2)"; }));
  EXPECT_EQ(screen_->receiver()->version, "2.2");
  EXPECT_TRUE(alertsSince(0).empty());

  // Shown again while the session is live: nothing but the mirror-back button changes.
  screen_->mirrorBackButton()->setHidden(false);
  screen_->view()->removeFromSuperview();
  show(livingRoom());
  EXPECT_TRUE(screen_->mirrorBackButton()->isHidden());
  EXPECT_EQ(screen_->receiverNameTextField()->stringValue(), "Living room(2.2)");
  EXPECT_EQ(receiver_->snapshot()[test::Channel::Control].accepted, 1);
}

TEST_F(ConnectScreenTest, MirrorButtonFollowsTheModeTable) {
  show(std::nullopt);  // never connects: NONE
  click();
  EXPECT_EQ(screen_->workingMode(), WorkingMode::NONE);
  screen_->view()->removeFromSuperview();

  showConnected();
  click();  // CONNECTED -> MIRROR at once; the title waits for the receiver
  EXPECT_EQ(screen_->workingMode(), WorkingMode::MIRROR);
  EXPECT_EQ(mirrorTitle(), "Mirror");
  ASSERT_TRUE(uitest::waitFor([this] { return mirrorTitle() == "Stop Mirroring"; }));
  EXPECT_TRUE(receiver_->snapshot().mirroring);

  click();  // MIRROR -> CONNECTED
  EXPECT_EQ(screen_->workingMode(), WorkingMode::CONNECTED);
  ASSERT_TRUE(uitest::waitFor([this] { return mirrorTitle() == "Mirror"; }));
  ASSERT_TRUE(receiver_->waitFor([](const test::ReceiverState& s) { return !s.mirroring; }, 10.0));

  // The receiver starts by itself: the title follows, the mode stays as the last click set it.
  ASSERT_TRUE(receiver_->sendDeviceStatus(7));
  ASSERT_TRUE(uitest::waitFor([this] { return mirrorTitle() == "Stop Mirroring"; }));
  EXPECT_EQ(screen_->workingMode(), WorkingMode::CONNECTED);
  const std::size_t starts = mirrorStarts();
  click();  // still a mirror-on request
  EXPECT_EQ(screen_->workingMode(), WorkingMode::MIRROR);
  ASSERT_TRUE(uitest::waitFor([&] { return mirrorStarts() == starts + 1; }));
  // Off again; the answers come in order, so the mirror-on answer is handled before the test ends.
  click();
  EXPECT_EQ(screen_->workingMode(), WorkingMode::CONNECTED);
  ASSERT_TRUE(uitest::waitFor([this] { return mirrorTitle() == "Mirror"; }));
  EXPECT_TRUE(alertsSince(0).empty());
}

TEST_F(ConnectScreenTest, RefusedMirrorStartShowsItsAlertAndKeepsTheMode) {
  struct Case {
    std::int8_t state;
    const char* key;
  };
  const Case cases[] = {{2, "alert.receiver.exclusive"}, {3, "alert.receiver.password.protected"}};
  showConnected();
  receiver_->setMirrorStartResult(0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    receiver_->setStatusAnswer(std::make_pair(c.state, std::uint8_t{9}));
    const std::size_t before = alertCount();
    if (screen_->workingMode() == WorkingMode::MIRROR) click();  // back to CONNECTED first
    click();
    EXPECT_EQ(screen_->workingMode(), WorkingMode::MIRROR);
    ASSERT_TRUE(uitest::waitFor([&] { return alertCount() > before; }));
    const AlertRecord want{detail::localized(c.key), detail::localized("title.failed"),
                           AlertStyle::Warning, {"OK"}};
    EXPECT_EQ(alertsSince(before), std::vector<AlertRecord>{want});
    EXPECT_EQ(mirrorTitle(), "Mirror");
    EXPECT_EQ(screen_->workingMode(), WorkingMode::MIRROR);
  }
  // Any other code only logs.
  const std::size_t before = alertCount();
  std::thread([this] { screen_->onRequestMirrorOnFailed(-7); }).join();
  uitest::waitFor([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(alertCount(), before);
}

TEST_F(ConnectScreenTest, AudioPermissionAtLoadFollowsTheAuthorisationStatus) {
  struct Case {
    AuthorizationStatus status;
    bool grantOnRequest;
    bool alert;
  };
  const Case cases[] = {
      {AuthorizationStatus::Authorized, true, false},
      {AuthorizationStatus::NotDetermined, true, false},
      {AuthorizationStatus::NotDetermined, false, true},
      {AuthorizationStatus::Restricted, true, true},
      {AuthorizationStatus::Denied, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.status));
    hardware_->setAuthorizationStatus(c.status, c.grantOnRequest);
    const std::size_t before = alertCount();
    auto screen = ConnectStatusViewController::create(mirrorEnvironment_, localAddressSource());
    ASSERT_NE(screen->view(), nullptr);  // loads: the check is queued
    if (c.alert) {
      ASSERT_TRUE(uitest::waitFor([&] { return alertCount() > before; }));
      EXPECT_EQ(alertsSince(before), std::vector<AlertRecord>{audioAlert()});
    } else {
      EXPECT_FALSE(uitest::waitFor([&] { return alertCount() > before; }, std::chrono::milliseconds(500)));
    }
    if (c.status == AuthorizationStatus::NotDetermined) {
      EXPECT_EQ(hardware_->captureAuthorizationStatus(),
                c.grantOnRequest ? AuthorizationStatus::Authorized : AuthorizationStatus::Denied);
    }
  }
}

TEST_F(ConnectScreenTest, MirrorClickNeedsAudioAuthorisationAndScreenRecording) {
  showConnected();
  // Audio not authorised: every click shows the audio alert; nothing is requested.
  for (auto status : {AuthorizationStatus::Denied, AuthorizationStatus::NotDetermined}) {
    hardware_->setAuthorizationStatus(status, true);
    const std::size_t before = alertCount();
    click();
    ASSERT_TRUE(uitest::waitFor([&] { return alertCount() > before; }));
    EXPECT_EQ(alertsSince(before), std::vector<AlertRecord>{audioAlert()});
    EXPECT_EQ(screen_->workingMode(), WorkingMode::CONNECTED);
  }
  EXPECT_EQ(hardware_->captureAuthorizationStatus(), AuthorizationStatus::NotDetermined);  // not asked
  hardware_->setAuthorizationStatus(AuthorizationStatus::Authorized, true);

  // A window without a readable name: no screen-recording permission.
  platform::display::WindowInfo hidden;
  hidden.number = 5;
  hidden.ownerName = "Other";
  hidden.isOnscreen = true;
  display_->setWindows({hidden});
  const std::size_t before = alertCount();
  click();  // the first click only brings up the system's prompt
  EXPECT_FALSE(screen_->firstTimeClickShareButton());
  EXPECT_FALSE(uitest::waitFor([&] { return alertCount() > before; }, std::chrono::milliseconds(300)));
  click();  // later clicks show the alert
  const AlertRecord video{detail::localized("title.error"), detail::localized("msg.grant.video"),
                          AlertStyle::Critical, {detail::localized("button.close")}};
  EXPECT_EQ(alertsSince(before), std::vector<AlertRecord>{video});
  EXPECT_EQ(screen_->workingMode(), WorkingMode::CONNECTED);
  EXPECT_EQ(mirrorStarts(), 0u);

  hidden.name = "Terminal";
  display_->setWindows({hidden});
  click();
  EXPECT_EQ(screen_->workingMode(), WorkingMode::MIRROR);
  ASSERT_TRUE(uitest::waitFor([this] { return mirrorStarts() == 1; }));
}

TEST_F(ConnectScreenTest, UnreachableReceiverShowsTheAlertTellsTheDelegateAndTheScreenConnectsAgain) {
  auto gone = test::TestReceiver::startOnFreeLoopbackAddress({});
  ASSERT_NE(gone, nullptr);
  const std::string nobody = gone->address();
  gone.reset();  // nothing listens there now
  show(ReceiverObject{"Nobody", "1.0", {nobody}, "000000"});
  ASSERT_TRUE(uitest::waitFor([this] { return closed_->closed.load() == 1; }, std::chrono::seconds(20)));
  const AlertRecord notReachable{detail::localized("question.again"),
                                 detail::localized("alert.receiver.not.reachable"), AlertStyle::Warning,
                                 {"OK", "Cancel"}};
  EXPECT_EQ(alertsSince(0), std::vector<AlertRecord>{notReachable});
  EXPECT_EQ(screen_->workingMode(), WorkingMode::NONE);
  EXPECT_TRUE(screen_->connectStatusProgressIndicator()->isHidden());

  screen_->view()->removeFromSuperview();
  const auto channel = screen_->mirrorChannel();
  showConnected();  // the next receiver, the same screen and session controller
  EXPECT_EQ(screen_->mirrorChannel(), channel);
  EXPECT_EQ(screen_->receiverNameTextField()->stringValue().rfind("Living room(", 0), 0u);
  EXPECT_EQ(closed_->closed.load(), 1);
}

TEST_F(ConnectScreenTest, DisconnectEndsTheSessionAndTellsTheDelegate) {
  showConnected();
  screen_->disconnectButton()->performClick();
  EXPECT_EQ(screen_->workingMode(), WorkingMode::NONE);
  EXPECT_EQ(closed_->closed.load(), 1);
  EXPECT_TRUE(receiver_->waitFor(
      [](const test::ReceiverState& s) { return s[test::Channel::Control].open == 0; }, 10.0));
}

// The screen as a person sees it while connected, saved for the documentation
// (build/screenshots/).
TEST_F(ConnectScreenTest, ScreenshotOfAConnectedReceiver) {
  showConnected();
  ASSERT_TRUE(uitest::waitFor(
      [this] { return screen_->receiverNameTextField()->stringValue() == "Living room(2.2)"; }));
  const QPixmap shot = window_->widget()->grab();
  ASSERT_FALSE(shot.isNull());
  const QString folder = QStringLiteral(CORVANE_SCREENSHOT_DIR);
  ASSERT_TRUE(QDir().mkpath(folder));
  const QString file = folder + QStringLiteral("/connection_screen.png");
  ASSERT_TRUE(shot.save(file, "PNG"));
  EXPECT_EQ(QImage(file).size(), shot.size());
}

}  // namespace
}  // namespace corvane
