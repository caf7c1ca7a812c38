// The PIN screen's look-up: the serverless decode, the server road against the test look-up
// server and the test receiver's UDP answers, the failure alerts with the 5 s time-out, the
// first answer winning, keys ignored while a look-up runs and working again after a failure,
// results of ended look-ups dropped, and the driver check at load.
//
// Waits are for events (an alert, a log line, a marker run on the main queue) with generous
// limits; only checks that something does not happen wait a fixed time.
#include <QTest>
#include <QWindow>
#include <atomic>
#include <chrono>
#include <thread>

#include "app/pincode_view_controller.h"
#include "app_fixture.h"
#include "lookup/lookup_test_support.h"
#include "platform/dispatch/dispatch.h"
#include "platform/ui/window.h"
#include "support/test_lookup_server.h"
#include "support/test_receiver.h"

namespace corvane {
namespace {

using apptest::AppFixture;
using apptest::RecordingWindowController;
using detail::ServerlessTarget;
using platform::ui::Window;
namespace uitest = platform::ui::testing;

TEST(ServerlessDecodeTest, XorsTheSlicesIntoTheLastTwoOctets) {
  struct Case {
    const char* local;
    const char* pin;
    ServerlessTarget::Result result;
    const char* target;
  };
  using R = ServerlessTarget::Result;
  const Case cases[] = {
      {"192.168.7.20", "17016006", R::Ok, "192.168.1.23"},
      {"192.168.7.20", "17916006", R::Ok, "192.168.1.23"},  // the third digit is not read
      {"10.0.3.4", "00099255", R::Ok, "10.0.99.255"},       // the first two octets stay
      {"192.168.7.20", "12045678", R::OctetTooLarge, ""},   // 45^12 = 33, 678^12 = 682
      {"192.168.7.20", "1a016006", R::SliceNotNumber, ""},
      {"192.168.7", "17016006", R::InvalidLocalAddress, ""},
      {"1.2.3.4.5", "17016006", R::InvalidLocalAddress, ""},
  };
  for (const auto& c : cases) {
    const auto out = detail::decodeServerlessPin(c.local, c.pin);
    EXPECT_EQ(out.result, c.result) << c.local << " " << c.pin;
    EXPECT_EQ(out.target, c.target) << c.local << " " << c.pin;
  }
  // 9 ^ 99 = 106 but 999 ^ 99 = 900: the fourth slice may reach far above 255.
  EXPECT_EQ(detail::decodeServerlessPin("10.0.3.4", "99099999").result, R::OctetTooLarge);
  // Every two-digit third slice with a two-digit key stays below 128.
  for (int sf = 0; sf < 100; ++sf) {
    for (int sa = 0; sa < 100; ++sa) EXPECT_LT(sa ^ sf, 128);
  }
  const auto sliced = detail::decodeServerlessPin("192.168.7.20", "17916006");
  EXPECT_EQ(sliced.sf, "17");
  EXPECT_EQ(sliced.sa, "16");
  EXPECT_EQ(sliced.sb, "006");
}

// The screen with its probes recorded instead of sent (for addresses off this machine).
class ProbeRecordingScreen : public PincodeViewController {
 public:
  static std::shared_ptr<ProbeRecordingScreen> create(bool send,
                                                      MirrorChannel::Environment environment,
                                                      detail::LocalAddressSource localAddress) {
    std::shared_ptr<ProbeRecordingScreen> screen(
        new ProbeRecordingScreen(send, std::move(environment), std::move(localAddress)));
    screen->setUpPincodeChannel();
    return screen;
  }
  std::vector<std::string> probes() const {
    std::lock_guard lock(mutex_);
    return probes_;
  }

 protected:
  void probe(const std::string& ip) override {
    {
      std::lock_guard lock(mutex_);
      probes_.push_back(ip);
    }
    if (send_) PincodeViewController::probe(ip);
  }

 private:
  ProbeRecordingScreen(bool send, MirrorChannel::Environment environment,
                       detail::LocalAddressSource localAddress)
      : PincodeViewController(std::move(environment), std::move(localAddress)), send_(send) {}
  bool send_;
  mutable std::mutex mutex_;
  std::vector<std::string> probes_;
};

// A test receiver on 127.R.S.T with S below 100, so that a serverless PIN can name it.
std::unique_ptr<test::TestReceiver> receiverForServerless(test::TestReceiverOptions options) {
  for (int attempt = 0; attempt < 64; ++attempt) {
    auto receiver = test::TestReceiver::startOnFreeLoopbackAddress(options);
    if (!receiver) return nullptr;
    const std::string& a = receiver->address();
    const auto first = a.find('.', 4);
    const auto second = a.find('.', first + 1);
    if (std::stoi(a.substr(first + 1, second - first - 1)) < 100) return receiver;
  }
  return nullptr;
}

class PinLookupTest : public AppFixture {
 protected:
  void SetUp() override {
    AppFixture::SetUp();
    installDriver();  // no first-load alert
    controller_ = std::make_shared<RecordingWindowController>();
  }
  void TearDown() override {
    if (screen_ && screen_->view()) screen_->view()->removeFromSuperview();
    window_.reset();
    AppFixture::TearDown();
  }

  // A new screen (probes sent when `send`) shown in a key window, with `pin` typed.
  void show(const std::string& pin, bool send = true) {
    if (pin.size() <= 6) platform::UserDefaults::standard()->setInteger(6, "pincode.type");
    window_ = Window::fromInterface("MainWindow");
    ASSERT_NE(window_, nullptr);
    screen_ = ProbeRecordingScreen::create(send, mirrorEnvironment_, localAddressSource());
    screen_->setPincodeViewControllerDelegate(controller_);
    ASSERT_NE(screen_->view(), nullptr);
    window_->viewNamed("topView")->addSubview(screen_->view());
    window_->makeKeyAndOrderFront();
    ASSERT_TRUE(uitest::waitFor([this] { return window_->isKeyWindow(); }));
    screen_->appendDigit(pin);
    ASSERT_EQ(screen_->inputPinCode(), pin);
    ASSERT_EQ(screen_->connectButton()->isEnabled(),
              static_cast<std::int64_t>(pin.size()) == screen_->maxPinCodeLength());
  }
  void useLookupServer(test::LookupServerOptions options) {
    std::string error;
    lookup_ = test::TestLookupServer::startOnFreeLoopbackAddress(std::move(options), &error);
    ASSERT_NE(lookup_, nullptr) << error;
    platform::UserDefaults::standard()->setString(lookup_->address(), "pinserver.host");
  }
  void press(Qt::Key key) { QTest::keyClick(window_->widget()->windowHandle(), key); }

  bool entryShown() { return !screen_->contentStackView()->isHidden(); }
  bool progressShown() { return !screen_->progressIndicator()->isHidden(); }

  // Waits until `count` alerts were shown since the test's start.
  bool waitForAlerts(std::size_t count, std::chrono::milliseconds timeout = kEventLimit) {
    return uitest::waitFor([&] { return alertCount() >= count; }, timeout);
  }
  // Waits until everything queued to the main queue before the call has run.
  static bool drainMainQueue() {
    auto done = std::make_shared<std::atomic<bool>>(false);
    platform::dispatch::Queue::main()->async([done] { done->store(true); });
    return uitest::waitFor([done] { return done->load(); }, kEventLimit);
  }
  // Waits until the time-out of a look-up has fired (it logs first, whatever it then does) and
  // what it queued has run.
  bool waitForTimeout(std::size_t count = 1) {
    const bool fired = uitest::waitFor(
        [&] { return log_.count("connectRecieverTimeoutWorkItem") >= count; }, kEventLimit);
    return fired && drainMainQueue();
  }

  // Generous: a 5 s time-out on a loaded machine under a sanitizer.
  static constexpr std::chrono::milliseconds kEventLimit{30000};
  test::LogLines log_;

  std::shared_ptr<RecordingWindowController> controller_;
  std::shared_ptr<Window> window_;
  std::shared_ptr<ProbeRecordingScreen> screen_;
  std::unique_ptr<test::TestLookupServer> lookup_;
  test::PrintedLines printed_;
};

TEST_F(PinLookupTest, ServerlessPinProbesTheDecodedAddressAndTimesOutWithoutAnAnswer) {
  show("17016006", false);
  const auto started = std::chrono::steady_clock::now();
  screen_->connectButton()->performClick();
  EXPECT_FALSE(entryShown());
  EXPECT_TRUE(progressShown());
  EXPECT_TRUE(screen_->progressIndicator()->isAnimating());
  ASSERT_TRUE(uitest::waitFor([this] { return !screen_->probes().empty(); }));
  EXPECT_EQ(screen_->probes(), std::vector<std::string>{"192.168.1.23"});

  ASSERT_TRUE(waitForAlerts(1));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(4900));
  EXPECT_EQ(alertsSince(0), std::vector<platform::ui::AlertRecord>{lookupFailure(
                                "title.connect.timeout", "msg.connect.server.timeout")});
  EXPECT_TRUE(entryShown());
  EXPECT_FALSE(progressShown());
  EXPECT_FALSE(screen_->isLookingUp());
  EXPECT_EQ(screen_->inputPinCode(), "17016006");  // kept
  EXPECT_TRUE(controller_->found().empty());
}

TEST_F(PinLookupTest, ServerlessOctetAboveTwoFiftyFiveShowsTheInvalidInputAlertAndNoTimeOut) {
  show("12045678", false);
  screen_->connectButton()->performClick();
  ASSERT_TRUE(waitForAlerts(1));
  EXPECT_EQ(alertsSince(0), std::vector<platform::ui::AlertRecord>{
                                lookupFailure("title.invalid.input", "msg.invalid.input.pincode")});
  EXPECT_TRUE(entryShown());
  EXPECT_FALSE(screen_->isLookingUp());
  EXPECT_TRUE(screen_->probes().empty());
  // The time-out was cancelled: nothing more comes when its time has passed.
  EXPECT_FALSE(waitForAlerts(2, std::chrono::milliseconds(6000)));
}

TEST_F(PinLookupTest, NoLocalAddressShowsItsAlertThenEveryKeyWorksAndTheTimeOutFollows) {
  setLocalAddress(std::nullopt);
  show("17016006", false);
  const auto started = std::chrono::steady_clock::now();
  screen_->connectButton()->performClick();
  ASSERT_TRUE(waitForAlerts(1));
  EXPECT_EQ(alertsSince(0), std::vector<platform::ui::AlertRecord>{
                                lookupFailure("title.local.ip.failed", "msg.local.ip.failed")});
  EXPECT_TRUE(entryShown());
  EXPECT_FALSE(progressShown());
  // The entry is back, and so is every key: the keyboard's Delete and digits as the on-screen
  // ones.
  EXPECT_FALSE(screen_->isLookingUp());
  press(Qt::Key_Backspace);
  EXPECT_EQ(screen_->inputPinCode(), "1701600");
  EXPECT_FALSE(screen_->connectButton()->isEnabled());
  press(Qt::Key_6);
  EXPECT_EQ(screen_->inputPinCode(), "17016006");
  EXPECT_TRUE(screen_->connectButton()->isEnabled());
  // Its time-out still comes, 5 s after the click.
  ASSERT_TRUE(waitForAlerts(2));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(4900));
  EXPECT_EQ(alertsSince(1), std::vector<platform::ui::AlertRecord>{lookupFailure(
                                "title.connect.timeout", "msg.connect.server.timeout")});
  EXPECT_FALSE(screen_->isLookingUp());

  // Connect works as well: each click is a look-up of its own, and a later one ends the
  // earlier, whose time-out then shows nothing.
  screen_->connectButton()->performClick();
  ASSERT_TRUE(waitForAlerts(3));
  press(Qt::Key_Return);
  ASSERT_TRUE(waitForAlerts(4));
  EXPECT_EQ(alertsSince(2), (std::vector<platform::ui::AlertRecord>{
                                lookupFailure("title.local.ip.failed", "msg.local.ip.failed"),
                                lookupFailure("title.local.ip.failed", "msg.local.ip.failed")}));
  ASSERT_TRUE(waitForTimeout(2));
  EXPECT_EQ(alertCount(), 5u);  // the latest look-up's time-out alert, and only it
  EXPECT_EQ(alertsSince(4), std::vector<platform::ui::AlertRecord>{lookupFailure(
                                "title.connect.timeout", "msg.connect.server.timeout")});
  EXPECT_EQ(log_.count("connectRecieverTimeoutWorkItem"), 2u);  // the second's was cancelled
  EXPECT_FALSE(screen_->isLookingUp());
}

TEST_F(PinLookupTest, ServerlessPinFindsTheReceiverOnItsDecodedAddress) {
  test::TestReceiverOptions options;
  options.name = "Den";
  auto receiver = receiverForServerless(options);
  ASSERT_NE(receiver, nullptr);
  receiver->setVersion("3.0");
  // Own address 127.R.0.1; the key 0 leaves S and T as they are.
  const std::string& a = receiver->address();
  const auto first = a.find('.', 4);
  const auto second = a.find('.', first + 1);
  const int s = std::stoi(a.substr(first + 1, second - first - 1));
  const int t = std::stoi(a.substr(second + 1));
  setLocalAddress(a.substr(0, first) + ".0.1");
  char pin[16];
  std::snprintf(pin, sizeof pin, "000%02d%03d", s, t);
  show(pin);
  press(Qt::Key_Return);
  ASSERT_TRUE(uitest::waitFor([this] { return !controller_->found().empty(); }));
  const ReceiverObject want{"Den", "3.0", {a}, pin};
  EXPECT_EQ(controller_->found(), std::vector<ReceiverObject>{want});
  EXPECT_FALSE(progressShown());
  EXPECT_FALSE(entryShown());  // the screen is about to be replaced
  press(Qt::Key_Return);       // starts no second look-up on the way out
  EXPECT_FALSE(screen_->isLookingUp());
  EXPECT_FALSE(waitForAlerts(1, std::chrono::milliseconds(5500)));  // no time-out
  EXPECT_EQ(screen_->probes().size(), 1u);
}

TEST_F(PinLookupTest, ServerRoadFindsTheReceiverAndOnlyTheFirstAnswerCounts) {
  test::TestReceiverOptions options;
  options.name = "Living room";
  auto first = test::TestReceiver::startOnFreeLoopbackAddress(options);
  options.name = "Kitchen";
  auto second = test::TestReceiver::startOnFreeLoopbackAddress(options);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  first->setVersion("2.1");
  test::LookupServerOptions lookupOptions;
  lookupOptions.pins["123456"] =
      test::LookupAnswer::found({first->address(), second->address()}, "Server name", "9.9");
  useLookupServer(lookupOptions);
  show("123456");
  screen_->connectButton()->performClick();
  ASSERT_TRUE(uitest::waitFor([this] { return !controller_->found().empty(); }));
  // Both addresses are probed six times; every further answer is dropped.
  for (auto* r : {first.get(), second.get()}) {
    EXPECT_TRUE(
        r->waitFor([](const test::ReceiverState& st) { return st.queries.size() >= 6; }, 10.0));
  }
  EXPECT_EQ(screen_->probes(), (std::vector<std::string>{first->address(), second->address()}));
  uitest::waitFor([] { return false; }, std::chrono::milliseconds(300));
  const auto found = controller_->found();
  ASSERT_EQ(found.size(), 1u);
  // The record comes from the UDP answer, with only the address that answered.
  EXPECT_EQ(found[0].pincode, "123456");
  ASSERT_EQ(found[0].ipList.size(), 1u);
  const bool fromFirst = found[0].ipList[0] == first->address();
  EXPECT_TRUE(fromFirst || found[0].ipList[0] == second->address());
  EXPECT_EQ(found[0].name, fromFirst ? "Living room" : "Kitchen");
  ASSERT_TRUE(screen_->receiver().has_value());
  EXPECT_EQ(screen_->receiver()->serverIp, found[0].ipList[0]);
  EXPECT_EQ(lookup_->snapshot().pins, std::vector<std::optional<std::string>>{"123456"});
}

TEST_F(PinLookupTest, ServerRoadFailuresShowTheirAlerts) {
  struct Case {
    const char* name;
    std::optional<test::LookupAnswer> answer;  // none: no server listens
    const char* title;
    const char* message;
    bool afterTimeout;
  };
  const Case cases[] = {
      {"not found", test::LookupAnswer::notFound(StatusCode::FAILED_NOT_EXIT),
       "title.pincode.not.found", "msg.pincode.not.found", false},
      {"unreachable", std::nullopt, "title.connect.timeout", "msg.connect.server.timeout", false},
      {"empty list", test::LookupAnswer::found({}, "Nobody", "1.0"), "title.connect.timeout",
       "msg.connect.server.timeout", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    lookup_.reset();
    if (c.answer) {
      test::LookupServerOptions options;
      options.pins["654321"] = *c.answer;
      useLookupServer(options);
    } else {
      // A loopback address where nothing listens on the server's port.
      test::LookupServerOptions options;
      useLookupServer(options);
      lookup_->stop();
    }
    const std::size_t before = alertCount();
    show("654321");
    const auto started = std::chrono::steady_clock::now();
    screen_->connectButton()->performClick();
    ASSERT_TRUE(waitForAlerts(before + 1));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(took >= std::chrono::milliseconds(4900), c.afterTimeout);
    EXPECT_EQ(alertsSince(before),
              std::vector<platform::ui::AlertRecord>{lookupFailure(c.title, c.message)});
    EXPECT_TRUE(entryShown());
    EXPECT_FALSE(progressShown());
    EXPECT_FALSE(screen_->isLookingUp());
    EXPECT_TRUE(screen_->probes().empty());
    if (!c.afterTimeout) {
      // Its time-out was cancelled.
      EXPECT_FALSE(waitForAlerts(before + 2, std::chrono::milliseconds(5500)));
    }
    screen_->view()->removeFromSuperview();
  }
}

TEST_F(PinLookupTest, KeysTypedWhileALookUpRunsAreIgnoredAndTheTimeOutEndsTheServerExchange) {
  test::LookupServerOptions options;
  options.pins["111111"] = test::LookupAnswer::neverAnswers();
  useLookupServer(options);
  show("11111");
  press(Qt::Key_1);
  press(Qt::Key_Return);
  ASSERT_TRUE(screen_->isLookingUp());
  press(Qt::Key_Backspace);
  press(Qt::Key_Backspace);
  press(Qt::Key_Return);
  screen_->connect();  // the connect button's road
  EXPECT_EQ(screen_->inputPinCode(), "111111");
  ASSERT_TRUE(waitForAlerts(1));
  EXPECT_EQ(alertsSince(0), std::vector<platform::ui::AlertRecord>{lookupFailure(
                                "title.connect.timeout", "msg.connect.server.timeout")});
  EXPECT_EQ(lookup_->snapshot().accepted, 1);
  // The time-out ended the exchange: the server sees the client close, and no failure follows.
  ASSERT_TRUE(lookup_->waitFor(
      [](const test::LookupServerState& s) { return s.closedByClient == 1; }, 30.0));
  // The look-up has ended: keys are the screen's again.
  press(Qt::Key_Backspace);
  EXPECT_EQ(screen_->inputPinCode(), "11111");
  press(Qt::Key_1);
  // The next look-up is a new exchange that reaches the server (the hung one no longer blocks
  // it) and ends by its own time-out.
  press(Qt::Key_Return);
  ASSERT_TRUE(lookup_->waitFor(
      [](const test::LookupServerState& s) { return s.requests.size() == 2; }, 30.0));
  EXPECT_EQ(lookup_->snapshot().accepted, 2);
  EXPECT_FALSE(printed_.contains("Attempting to connect while connected"));
  ASSERT_TRUE(waitForAlerts(2));
  ASSERT_TRUE(lookup_->waitFor(
      [](const test::LookupServerState& s) { return s.closedByClient == 2; }, 30.0));
  lookup_->stop();
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(alertCount(), 2u);
}

TEST_F(PinLookupTest, LateResultsOfAnEndedLookUpChangeNothing) {
  test::LookupServerOptions options;
  options.pins["222222"] = test::LookupAnswer::neverAnswers();
  useLookupServer(options);
  show("222222", false);
  screen_->connectButton()->performClick();
  ASSERT_TRUE(waitForAlerts(1));  // the time-out
  // A serverless look-up runs on the same screen now.
  screen_->onSwitchPinCodeTypeClicked();
  screen_->appendDigit("17");
  ASSERT_EQ(screen_->inputPinCode(), "22222217");
  screen_->connectButton()->performClick();
  ASSERT_TRUE(uitest::waitFor([this] { return !screen_->probes().empty(); }, kEventLimit));
  ASSERT_TRUE(screen_->isLookingUp());
  // What the ended server look-up might still report, from the PIN channel's queue.
  screen_->pincodeChannel()->socketQueue()->sync([this] {
    screen_->onConnectServerFailed();
    screen_->onReceiverNotFound();
    screen_->onPincodeResolved({"Late", "1.0", {"10.9.9.9"}, "222222"});
  });
  ASSERT_TRUE(drainMainQueue());
  EXPECT_EQ(alertCount(), 1u);
  EXPECT_TRUE(screen_->isLookingUp());
  EXPECT_TRUE(progressShown());
  EXPECT_FALSE(entryShown());
  EXPECT_EQ(screen_->probes(), std::vector<std::string>{"192.168.0.207"});  // 22^22, 217^22
  // The serverless look-up still ends by its own time-out.
  ASSERT_TRUE(waitForAlerts(2));
  EXPECT_EQ(alertsSince(1), std::vector<platform::ui::AlertRecord>{lookupFailure(
                                "title.connect.timeout", "msg.connect.server.timeout")});
}

TEST_F(PinLookupTest, ATimeOutOfAScreenGoneFromTheWindowShowsNothing) {
  show("17016006", false);
  screen_->connectButton()->performClick();
  ASSERT_TRUE(uitest::waitFor([this] { return !screen_->probes().empty(); }, kEventLimit));
  screen_->view()->removeFromSuperview();
  // A UDP answer now is dropped as well (it comes on a queue of its own, as the query
  // channel's).
  std::atomic<bool> answered{false};
  std::thread answer([&] {
    screen_->onFoundReceiver({"Late", "1.0", "192.168.1.23", "192.168.1.23"});
    answered = true;
  });
  const bool handled = uitest::waitFor([&] { return answered.load(); }, kEventLimit);
  answer.join();
  ASSERT_TRUE(handled);
  ASSERT_TRUE(waitForTimeout());
  EXPECT_EQ(alertCount(), 0u);
  EXPECT_FALSE(screen_->receiver());
  EXPECT_TRUE(controller_->found().empty());
}

class DriverCheckTest : public AppFixture {};

TEST_F(DriverCheckTest, FirstLoadInstallsTheDriverAndShowsTheSuccessAlertOnce) {
  const auto check = [this] {
    auto window = Window::fromInterface("MainWindow");
    auto screen = PincodeViewController::create(mirrorEnvironment_, localAddressSource());
    window->viewNamed("topView")->addSubview(screen->view());
    // The check was queued to the main queue when the view loaded: it has run once what is
    // queued after it has.
    auto done = std::make_shared<std::atomic<bool>>(false);
    platform::dispatch::Queue::main()->async([done] { done->store(true); });
    ASSERT_TRUE(uitest::waitFor([done] { return done->load(); }, std::chrono::seconds(30)));
    screen->view()->removeFromSuperview();
  };
  ASSERT_FALSE(driver_->isAudioPluginInstalled());
  check();
  // The installation's files land after its task has ended.
  EXPECT_TRUE(uitest::waitFor([this] { return driver_->isAudioPluginInstalled(); },
                              std::chrono::seconds(30)));
  const platform::ui::AlertRecord success{detail::localized("title.success"),
                                          detail::localized("msg.audio.plugin.installed"),
                                          platform::ui::AlertStyle::Informational,
                                          {detail::localized("button.close")}};
  EXPECT_EQ(alertsSince(0), std::vector<platform::ui::AlertRecord>{success});
  check();  // installed now: no alert
  EXPECT_EQ(alertCount(), 1u);
}

}  // namespace
}  // namespace corvane
