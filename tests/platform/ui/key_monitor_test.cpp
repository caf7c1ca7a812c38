// Key-down monitors: Qt keys become the desktop key codes with their characters and window,
// each press is seen once before the window's widgets, a monitor can consume it, and the key
// window follows activation.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTest>
#include <QVBoxLayout>
#include <QWindow>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/application.h"
#include "platform/ui/event.h"
#include "platform/ui/window.h"
#include "ui_test_support.h"

namespace corvane::platform::ui {
namespace {

TEST(KeyCodeTest, QtKeysMapToDesktopKeyCodes) {
  struct Case {
    int key;
    bool keypad;
    std::uint16_t code;
  };
  const Case cases[] = {
      {Qt::Key_Backspace, false, kKeyCodeDelete},  // the key labelled Delete
      {Qt::Key_Return, false, kKeyCodeReturn},
      {Qt::Key_Enter, true, kKeyCodeKeypadEnter},
      {Qt::Key_Enter, false, kKeyCodeKeypadEnter},
      {Qt::Key_Return, true, kKeyCodeKeypadEnter},
      {Qt::Key_0, false, 29},
      {Qt::Key_1, false, 18},
      {Qt::Key_5, false, 23},
      {Qt::Key_9, false, 25},
      {Qt::Key_0, true, 82},
      {Qt::Key_7, true, 89},
      {Qt::Key_8, true, 91},
      {Qt::Key_9, true, 92},
      {Qt::Key_Delete, false, 117},
      {Qt::Key_A, false, kKeyCodeUnknown},
      {Qt::Key_F1, false, kKeyCodeUnknown},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(detail::keyCodeForQtKey(c.key, c.keypad), c.code)
        << "Qt key 0x" << std::hex << c.key << (c.keypad ? " (keypad)" : "");
  }
}

struct SeenKey {
  std::uint16_t code;
  std::optional<std::string> characters;
  Window* window;
};

// A window with a focused line edit, and a monitor that records every key and consumes those
// whose characters are in `consume`.
class KeyMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = makeWindow("first", &edit_);
    monitor_ = testing::app().addLocalMonitorForEventsMatchingMask(
        kEventMaskKeyDown, [this](const std::shared_ptr<Event>& event) -> std::shared_ptr<Event> {
          EXPECT_EQ(event->type(), EventType::KeyDown);
          seen_.push_back({event->keyCode(), event->characters(), event->window().get()});
          if (event->characters() && consume_.find(*event->characters()) != std::string::npos) {
            return nullptr;
          }
          return event;
        });
  }
  void TearDown() override { testing::app().removeMonitor(monitor_); }

  static std::shared_ptr<Window> makeWindow(const char* name, QLineEdit** edit) {
    auto* top = new QWidget;
    top->setObjectName(QString::fromUtf8(name));
    auto* layout = new QVBoxLayout(top);
    *edit = new QLineEdit(top);
    layout->addWidget(*edit);
    auto window = Window::create(top);
    window->makeKeyAndOrderFront();
    (*edit)->setFocus();
    EXPECT_TRUE(testing::waitFor([&] { return window->isKeyWindow(); }));
    return window;
  }

  void press(const std::shared_ptr<Window>& window, Qt::Key key,
             Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTest::keyClick(window->widget()->windowHandle(), key, modifiers);
  }

  std::shared_ptr<Window> window_;
  QLineEdit* edit_ = nullptr;
  EventMonitor monitor_;
  std::vector<SeenKey> seen_;
  std::string consume_;
};

TEST_F(KeyMonitorTest, EachPressIsSeenOnceWithCodeCharactersAndWindow) {
  press(window_, Qt::Key_4);
  press(window_, Qt::Key_7, Qt::KeypadModifier);
  press(window_, Qt::Key_Backspace);
  press(window_, Qt::Key_Return);
  press(window_, Qt::Key_Enter, Qt::KeypadModifier);
  ASSERT_EQ(seen_.size(), 5U);
  EXPECT_EQ(seen_[0].code, 21);
  EXPECT_EQ(seen_[0].characters, "4");
  EXPECT_EQ(seen_[1].code, 89);
  EXPECT_EQ(seen_[1].characters, "7");  // keypad digits type digits too
  EXPECT_EQ(seen_[2].code, kKeyCodeDelete);
  EXPECT_EQ(seen_[3].code, kKeyCodeReturn);
  EXPECT_EQ(seen_[4].code, kKeyCodeKeypadEnter);
  for (const auto& key : seen_) EXPECT_EQ(key.window, window_.get());
  // Nothing was consumed: the line edit got "4", "7", lost the "7" to Backspace.
  EXPECT_EQ(edit_->text().toStdString(), "4");
}

TEST_F(KeyMonitorTest, ConsumedKeysDoNotReachTheWindow) {
  consume_ = "12";
  press(window_, Qt::Key_1);
  press(window_, Qt::Key_3);
  press(window_, Qt::Key_2);
  EXPECT_EQ(seen_.size(), 3U);
  EXPECT_EQ(edit_->text().toStdString(), "3");

  // A second monitor behind one that consumed sees nothing of that key.
  int secondSaw = 0;
  auto second = testing::app().addLocalMonitorForEventsMatchingMask(
      kEventMaskKeyDown, [&secondSaw](const std::shared_ptr<Event>& e) {
        ++secondSaw;
        return e;
      });
  press(window_, Qt::Key_1);
  press(window_, Qt::Key_5);
  EXPECT_EQ(secondSaw, 1);
  testing::app().removeMonitor(second);
  press(window_, Qt::Key_5);
  EXPECT_EQ(secondSaw, 1);
  EXPECT_EQ(edit_->text().toStdString(), "355");
}

TEST_F(KeyMonitorTest, KeyWindowFollowsActivationAndKeysNameTheirWindow) {
  QLineEdit* otherEdit = nullptr;
  auto other = makeWindow("second", &otherEdit);
  EXPECT_EQ(testing::app().keyWindow(), other);
  EXPECT_FALSE(window_->isKeyWindow());
  press(other, Qt::Key_8);
  ASSERT_EQ(seen_.size(), 1U);
  EXPECT_EQ(seen_[0].window, other.get());
  EXPECT_EQ(otherEdit->text().toStdString(), "8");

  window_->makeKeyAndOrderFront();
  ASSERT_TRUE(testing::waitFor([&] { return testing::app().keyWindow() == window_; }));
  other.reset();
  EXPECT_EQ(testing::app().keyWindow(), window_);
}

TEST_F(KeyMonitorTest, MonitorForOtherEventsSeesNoKeys) {
  int saw = 0;
  auto none = testing::app().addLocalMonitorForEventsMatchingMask(
      EventMask{1} << 1, [&saw](const std::shared_ptr<Event>& e) {
        ++saw;
        return e;
      });
  press(window_, Qt::Key_6);
  testing::app().removeMonitor(none);
  EXPECT_EQ(saw, 0);
  EXPECT_EQ(seen_.size(), 1U);
}

}  // namespace
}  // namespace corvane::platform::ui
