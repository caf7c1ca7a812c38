// The PIN screen's entry and layout: the stored PIN type, digit entry from the keyboard and
// the on-screen keys, Delete, the type switch, Return / keypad Enter, and keys that are not
// the screen's (another key window, the view out of its window).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QDir>
#include <QImage>
#include <QPixmap>
#include <QTest>
#include <QWindow>
#include <memory>
#include <string>
#include <vector>

#include "app/pincode_entry_view_controller.h"
#include "platform/foundation/file_utils.h"
#include "platform/foundation/user_defaults.h"
#include "platform/ui/window.h"
#include "platform/ui/ui_test_support.h"

namespace corvane {
namespace {

using platform::UserDefaults;
using platform::ui::Window;
namespace uitest = platform::ui::testing;

// The entry screen with the look-up and the driver check recorded.
class RecordingPinScreen : public PincodeEntryViewController {
 public:
  static std::shared_ptr<RecordingPinScreen> create() {
    return std::shared_ptr<RecordingPinScreen>(new RecordingPinScreen());
  }
  void connect() override { connects.push_back(inputPinCode()); }
  void checkSoundPlugin() override { ++soundChecks; }
  std::vector<std::string> connects;
  int soundChecks = 0;

 private:
  RecordingPinScreen() = default;
};

class PinEntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    uitest::app();
    std::string pattern = "/tmp/corvane-app-home-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    home_ = pattern;
    const char* old = getenv("HOME");  // NOLINT(concurrency-mt-unsafe): no other threads use it
    oldHome_ = old != nullptr ? old : "";
    setenv("HOME", home_.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    UserDefaults::resetStandardUserDefaults();
  }
  void TearDown() override {
    if (screen_) screen_->view()->removeFromSuperview();
    window_.reset();
    setenv("HOME", oldHome_.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    UserDefaults::resetStandardUserDefaults();
    platform::files::remove(home_);
  }

  // Shows a new screen in a new main window and makes that window key.
  void show() {
    window_ = Window::fromInterface("MainWindow");
    ASSERT_NE(window_, nullptr);
    screen_ = RecordingPinScreen::create();
    ASSERT_NE(screen_->view(), nullptr);
    window_->viewNamed("topView")->addSubview(screen_->view());
    window_->makeKeyAndOrderFront();
    ASSERT_TRUE(uitest::waitFor([this] { return window_->isKeyWindow(); }));
    ASSERT_TRUE(uitest::waitFor([this] { return screen_->soundChecks == 1; }));
  }

  void press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTest::keyClick(window_->widget()->windowHandle(), key, modifiers);
  }
  void type(const std::string& digits) {
    for (char c : digits) press(static_cast<Qt::Key>(Qt::Key_0 + (c - '0')));
  }

  std::vector<std::string> digits() {
    std::vector<std::string> texts;
    for (const auto& label : screen_->numberFileds()) texts.push_back(label->stringValue());
    return texts;
  }
  bool connectEnabled() { return screen_->connectButton()->isEnabled(); }
  std::int64_t storedType() {
    return UserDefaults::create(UserDefaults::standardFilePath())->integerForKey("pincode.type");
  }

  std::string home_;
  std::string oldHome_;
  std::shared_ptr<Window> window_;
  std::shared_ptr<RecordingPinScreen> screen_;
};

using Digits = std::vector<std::string>;

TEST_F(PinEntryTest, FirstRunShowsTheEightDigitLayoutWithLocalizedTitles) {
  show();
  EXPECT_EQ(screen_->maxPinCodeLength(), 8);
  EXPECT_FALSE(screen_->seventhNumberLabel()->isHidden());
  EXPECT_FALSE(screen_->eighthNumberLabel()->isHidden());
  EXPECT_EQ(screen_->switchDigitNumberButton()->title(), "6 digit PIN");
  EXPECT_EQ(digits(), Digits(8, "-"));
  EXPECT_FALSE(connectEnabled());
  EXPECT_EQ(screen_->connectButton()->title(), "Connect");
  EXPECT_EQ(screen_->deleteButton()->title(), "Delete");
  EXPECT_EQ(screen_->pincodeLabel()->stringValue(), "Enter the PIN shown on the receiver");
  EXPECT_EQ(screen_->soundChecks, 1);
}

TEST_F(PinEntryTest, StoredSixHidesTheLastTwoAndFillsSixDigits) {
  UserDefaults::standard()->setInteger(6, "pincode.type");
  show();
  EXPECT_EQ(screen_->maxPinCodeLength(), 6);
  EXPECT_TRUE(screen_->seventhNumberLabel()->isHidden());
  EXPECT_TRUE(screen_->eighthNumberLabel()->isHidden());
  EXPECT_EQ(screen_->switchDigitNumberButton()->title(), "8 digit PIN");
  screen_->seventhNumberLabel()->setStringValue("x");  // positions past the type are untouched
  type("1234567");  // the seventh digit is handled but ignored
  EXPECT_EQ(screen_->inputPinCode(), "123456");
  EXPECT_EQ(digits(), (Digits{"1", "2", "3", "4", "5", "6", "x", "-"}));
  EXPECT_TRUE(connectEnabled());
}

TEST_F(PinEntryTest, SwitchingTypesKeepsTheDigitsThatFitAndStoresTheType) {
  show();
  type("1234567");
  EXPECT_FALSE(connectEnabled());
  screen_->switchDigitNumberButton()->performClick();
  EXPECT_EQ(screen_->maxPinCodeLength(), 6);
  EXPECT_EQ(screen_->inputPinCode(), "123456");
  EXPECT_EQ(digits(), (Digits{"1", "2", "3", "4", "5", "6", "-", "-"}));
  EXPECT_TRUE(screen_->seventhNumberLabel()->isHidden());
  EXPECT_EQ(screen_->switchDigitNumberButton()->title(), "8 digit PIN");
  EXPECT_TRUE(connectEnabled());
  EXPECT_EQ(storedType(), 6);

  screen_->switchDigitNumberButton()->performClick();
  EXPECT_EQ(screen_->maxPinCodeLength(), 8);
  EXPECT_EQ(screen_->inputPinCode(), "123456");
  EXPECT_EQ(digits(), (Digits{"1", "2", "3", "4", "5", "6", "-", "-"}));
  EXPECT_FALSE(screen_->seventhNumberLabel()->isHidden());
  EXPECT_FALSE(connectEnabled());
  EXPECT_EQ(storedType(), 8);
}

TEST_F(PinEntryTest, DeleteRemovesTheLastDigitAndOnAnEmptyPinOnlyDisablesConnect) {
  show();
  type("87654321");
  EXPECT_TRUE(connectEnabled());
  press(Qt::Key_Backspace);
  EXPECT_EQ(screen_->inputPinCode(), "8765432");
  EXPECT_EQ(digits().back(), "-");
  EXPECT_FALSE(connectEnabled());
  screen_->deleteButton()->performClick();
  EXPECT_EQ(screen_->inputPinCode(), "876543");

  for (int i = 0; i < 6; ++i) press(Qt::Key_Backspace);
  EXPECT_EQ(digits(), Digits(8, "-"));
  screen_->connectButton()->setEnabled(true);
  press(Qt::Key_Backspace);
  EXPECT_EQ(screen_->inputPinCode(), "");
  EXPECT_EQ(digits(), Digits(8, "-"));
  EXPECT_FALSE(connectEnabled());
}

TEST_F(PinEntryTest, ReturnAndKeypadEnterStartTheLookUpOnlyForACompletePin) {
  show();
  // Keys the screen does not handle go on to the window: a later monitor sees them.
  std::vector<std::uint16_t> passedOn;
  auto after = uitest::app().addLocalMonitorForEventsMatchingMask(
      platform::ui::kEventMaskKeyDown, [&passedOn](const std::shared_ptr<platform::ui::Event>& e) {
        passedOn.push_back(e->keyCode());
        return e;
      });
  type("1234");
  press(Qt::Key_5, Qt::KeypadModifier);  // keypad digits are digits
  press(Qt::Key_6, Qt::KeypadModifier);
  press(Qt::Key_7);
  press(Qt::Key_Return);
  EXPECT_TRUE(screen_->connects.empty());
  EXPECT_EQ(passedOn, std::vector<std::uint16_t>{platform::ui::kKeyCodeReturn});
  EXPECT_EQ(screen_->inputPinCode(), "1234567");

  press(Qt::Key_8);
  press(Qt::Key_Return);
  press(Qt::Key_Enter, Qt::KeypadModifier);
  EXPECT_EQ(screen_->connects, (std::vector<std::string>{"12345678", "12345678"}));
  press(Qt::Key_A);  // neither a digit nor a key of the screen
  EXPECT_EQ(passedOn.size(), 2U);
  uitest::app().removeMonitor(after);
}

TEST_F(PinEntryTest, OnScreenDigitKeysTypeTheirTitles) {
  show();
  for (const char* name : {"digitKey9", "digitKey0", "digitKey3"}) {
    screen_->buttonOutlet(name)->performClick();
  }
  EXPECT_EQ(screen_->inputPinCode(), "903");
  EXPECT_EQ(digits(), (Digits{"9", "0", "3", "-", "-", "-", "-", "-"}));
  // Text of several digits fills the PIN only up to its type's length.
  screen_->appendDigit("123456789");
  EXPECT_EQ(screen_->inputPinCode(), "90312345");
  EXPECT_TRUE(connectEnabled());
}

TEST_F(PinEntryTest, KeysAreNotTheScreensWhileAnotherWindowIsKeyOrTheViewLeftItsWindow) {
  show();
  type("12");
  auto other = Window::fromInterface("MainWindow");
  other->makeKeyAndOrderFront();
  ASSERT_TRUE(uitest::waitFor([&] { return other->isKeyWindow(); }));
  QTest::keyClick(other->widget()->windowHandle(), Qt::Key_3);
  QTest::keyClick(window_->widget()->windowHandle(), Qt::Key_4);  // sent there, but not key
  EXPECT_EQ(screen_->inputPinCode(), "12");

  window_->makeKeyAndOrderFront();
  ASSERT_TRUE(uitest::waitFor([this] { return window_->isKeyWindow(); }));
  type("5");
  EXPECT_EQ(screen_->inputPinCode(), "125");

  // Replaced by the connection screen: the view is in no window, its monitor answers false.
  screen_->view()->removeFromSuperview();
  type("6");
  press(Qt::Key_Backspace);
  EXPECT_EQ(screen_->inputPinCode(), "125");
}

// The screen as a person sees it, saved for the documentation (build/screenshots/).
TEST_F(PinEntryTest, ScreenshotOfAPartlyTypedPin) {
  show();
  type("4711");
  const QPixmap shot = window_->widget()->grab();
  ASSERT_FALSE(shot.isNull());
  EXPECT_EQ(shot.size(), window_->widget()->size());
  const QString folder = QStringLiteral(CORVANE_SCREENSHOT_DIR);
  ASSERT_TRUE(QDir().mkpath(folder));
  const QString file = folder + QStringLiteral("/pin_screen.png");
  ASSERT_TRUE(shot.save(file, "PNG"));
  EXPECT_EQ(QImage(file).size(), shot.size());
}

TEST(DecimalIntegerTest, ReadsLikeARadixTenParse) {
  struct Case {
    const char* text;
    bool number;
  };
  const Case cases[] = {
      {"0", true},     {"7", true},   {"42", true},    {"+5", true},  {"-5", true},
      {"", false},     {"+", false},  {"-", false},    {"\r", false}, {"\b", false},
      {"5a", false},   {" 5", false}, {"\xd9\xa3", false},  // an Arabic-Indic digit
      {"9223372036854775807", true}, {"9223372036854775808", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(detail::parsesAsDecimalInteger(c.text), c.number) << "\"" << c.text << "\"";
  }
}

}  // namespace
}  // namespace corvane
