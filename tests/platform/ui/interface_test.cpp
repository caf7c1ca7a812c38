// The application's resources as the screens load them: each interface description by name
// with every outlet of the right kind, the main window, the strings and the tray image.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/bundle.h"
#include "platform/foundation/file_utils.h"
#include "platform/ui/status_item.h"
#include "platform/ui/view_controller.h"
#include "platform/ui/window.h"
#include "ui_test_support.h"

namespace corvane::platform::ui {
namespace {

enum class Kind { TextField, Button, StackView, ProgressIndicator };

struct Outlet {
  const char* name;
  Kind kind;
};

struct Description {
  const char* nib;
  std::vector<Outlet> outlets;
  // Buttons by action name, with how many each description has.
  std::vector<std::pair<const char*, std::size_t>> actions;
};

const std::vector<Description>& descriptions() {
  static const std::vector<Description> list = {
      {"PincodeViewController",
       {{"firstNumberLabel", Kind::TextField},
        {"secondNumberLabel", Kind::TextField},
        {"thirdNumberLabel", Kind::TextField},
        {"fourthNumberLabel", Kind::TextField},
        {"fifthNumberLabel", Kind::TextField},
        {"sixthNumberLabel", Kind::TextField},
        {"seventhNumberLabel", Kind::TextField},
        {"eighthNumberLabel", Kind::TextField},
        {"pincodeLabel", Kind::TextField},
        {"switchDigitNumberButton", Kind::Button},
        {"connectButton", Kind::Button},
        {"deleteButton", Kind::Button},
        {"pincodeStackView", Kind::StackView},
        {"contentStackView", Kind::StackView},
        {"progressIndicator", Kind::ProgressIndicator}},
       {{"onSoftKeyClicked:", 10},
        {"onDeleteButtonClicked:", 1},
        {"onSwitchPinCodeTypeClicked:", 1},
        {"onConnectButtonClicked:", 1}}},
      {"ConnectStatusViewController",
       {{"receiverNameTextField", Kind::TextField},
        {"ipListTextField", Kind::TextField},
        {"contentStackView", Kind::StackView},
        {"connectStatusProgressIndicator", Kind::ProgressIndicator},
        {"mirrorBackButton", Kind::Button},
        {"mirrorButton", Kind::Button},
        {"disconnectButton", Kind::Button}},
       {{"onMirrorButtonClicked:", 1},
        {"onDisconnectButtonClicked:", 1},
        {"onMirrorBackButtonClicked:", 1}}},
  };
  return list;
}

bool hasOutlet(const ViewController& vc, const Outlet& outlet) {
  switch (outlet.kind) {
    case Kind::TextField:
      return vc.textFieldOutlet(outlet.name) != nullptr;
    case Kind::Button:
      return vc.buttonOutlet(outlet.name) != nullptr;
    case Kind::StackView:
      return vc.stackViewOutlet(outlet.name) != nullptr;
    case Kind::ProgressIndicator:
      return vc.progressIndicatorOutlet(outlet.name) != nullptr;
  }
  return false;
}

TEST(InterfaceTest, EachScreenLoadsByNameWithEveryOutletAndAction) {
  testing::app();
  for (const auto& d : descriptions()) {
    SCOPED_TRACE(d.nib);
    ViewController vc;
    vc.initWithNibName(d.nib);
    ASSERT_NE(vc.view(), nullptr) << vc.loadError().description;
    for (const auto& outlet : d.outlets) {
      EXPECT_TRUE(hasOutlet(vc, outlet)) << "outlet " << outlet.name;
    }
    for (const auto& [selector, count] : d.actions) {
      EXPECT_EQ(vc.buttonsWithAction(selector).size(), count) << "action " << selector;
    }
    // Indicators start idle, so nothing spins before a look-up or connection.
    for (const auto& outlet : d.outlets) {
      if (outlet.kind != Kind::ProgressIndicator) continue;
      auto indicator = vc.progressIndicatorOutlet(outlet.name);
      ASSERT_NE(indicator, nullptr);
      EXPECT_FALSE(indicator->isAnimating());
      EXPECT_TRUE(indicator->isHidden());
    }
  }
}

TEST(InterfaceTest, PinScreenDigitKeysAreTitledZeroToNineAndConnectStartsDisabled) {
  testing::app();
  ViewController vc;
  vc.initWithNibName("PincodeViewController");
  ASSERT_NE(vc.view(), nullptr);
  std::set<std::string> titles;
  for (const auto& key : vc.buttonsWithAction("onSoftKeyClicked:")) titles.insert(key->title());
  EXPECT_EQ(titles, (std::set<std::string>{"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}));
  EXPECT_FALSE(vc.buttonOutlet("connectButton")->isEnabled());
  // The digit labels are the number stack's children, in order.
  auto first = vc.textFieldOutlet("firstNumberLabel");
  auto eighth = vc.textFieldOutlet("eighthNumberLabel");
  auto stack = vc.stackViewOutlet("pincodeStackView");
  ASSERT_TRUE(first && eighth && stack);
  EXPECT_TRUE(first->superview()->isSameView(*stack));
  EXPECT_TRUE(eighth->superview()->isSameView(*stack));
}

TEST(InterfaceTest, MainWindowHasTheTopView) {
  testing::app();
  Error error;
  auto window = Window::fromInterface("MainWindow", nullptr, &error);
  ASSERT_NE(window, nullptr) << error.description;
  auto top = window->viewNamed("topView");
  ASSERT_NE(top, nullptr);
  EXPECT_TRUE(window->contentView()->isSameView(*top));
  EXPECT_EQ(window->title(), "Corvane Sender");
  EXPECT_EQ(window->viewNamed("noSuchView"), nullptr);
}

TEST(InterfaceTest, MissingOrBrokenDescriptionIsAnErrorNotAView) {
  testing::app();
  ViewController missing;
  missing.initWithNibName("NoSuchViewController");
  EXPECT_EQ(missing.view(), nullptr);
  EXPECT_FALSE(missing.isViewLoaded());
  EXPECT_EQ(missing.loadError().domain, "CorvaneInterfaceErrorDomain");
  EXPECT_EQ(missing.loadError().code, 1);
  EXPECT_EQ(missing.textFieldOutlet("firstNumberLabel"), nullptr);

  Error error;
  EXPECT_EQ(Window::fromInterface("NoSuchWindow", nullptr, &error), nullptr);
  EXPECT_EQ(error.code, 1);
}

// Every localisation key the two screens and their alerts use has an English text.
TEST(InterfaceTest, StringsHoldEnglishTextsForEveryScreenKey) {
  const std::vector<std::string> keys = {
      "title.connect", "title.delete", "title.pincode", "switch.pincode.type", "title.success",
      "msg.audio.plugin.installed", "title.failed", "msg.audio.plugin.failed", "button.close",
      "title.connect.timeout", "msg.connect.server.timeout", "title.pincode.not.found",
      "msg.pincode.not.found", "title.local.ip.failed", "msg.local.ip.failed",
      "title.invalid.input", "msg.invalid.input.pincode", "Button.Mirror", "Button.StopMirror",
      "title.error", "msg.grant.audio", "msg.grant.video", "question.again",
      "alert.receiver.not.reachable", "alert.receiver.exclusive",
      "alert.receiver.password.protected"};
  auto bundle = Bundle::main();
  for (const auto& key : keys) {
    const std::string text = bundle->localizedString(key, "", "");
    EXPECT_NE(text, key) << "no text for " << key << " in " << bundle->resourcePath();
    EXPECT_FALSE(text.empty()) << key;
  }
}

TEST(InterfaceTest, TrayImageIsAResourceAndMissingImagesAreNull) {
  testing::app();
  auto tray = Image::imageNamed("tray");
  ASSERT_NE(tray, nullptr);
  EXPECT_EQ(tray->name(), "tray");
  EXPECT_EQ(tray->width(), 22);
  EXPECT_EQ(tray->height(), 22);
  EXPECT_EQ(Image::imageNamed("no-such-image"), nullptr);
  // A resource named like an image that holds no image is no image either.
  std::string folder = "/tmp/corvane-ui-image-XXXXXX";
  ASSERT_NE(mkdtemp(folder.data()), nullptr);
  {
    std::ofstream(folder + "/broken.png") << "not a picture";
  }
  EXPECT_EQ(Image::imageNamed("broken", Bundle::create(folder)), nullptr);
  files::remove(folder);
}

TEST(InterfaceTest, StatusItemKeepsItsImageAndIsHiddenWithoutATray) {
  testing::app();
  auto item = StatusBar::systemStatusBar()->statusItemWithLength(kVariableStatusItemLength);
  ASSERT_NE(item, nullptr);
  item->setHighlightMode(true);
  item->setEnabled(true);
  item->setImage(Image::imageNamed("tray"));
  ASSERT_NE(item->image(), nullptr);
  EXPECT_EQ(item->image()->name(), "tray");
  EXPECT_TRUE(item->highlightMode());
  EXPECT_TRUE(item->isEnabled());
  EXPECT_EQ(item->length(), kVariableStatusItemLength);
  // The offscreen platform has no system tray, so the icon cannot be shown.
  EXPECT_FALSE(item->isVisible());
}

}  // namespace
}  // namespace corvane::platform::ui
