// View controllers and views: actions from the description reach the controller with their
// sender, a view added to a window tells its controller first, views leave windows, and
// the widget's owner may go first without leaving dangling outlets.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/ui/view_controller.h"
#include "platform/ui/window.h"
#include "ui_test_support.h"

namespace corvane::platform::ui {
namespace {

class RecordingController : public ViewController {
 public:
  explicit RecordingController(const char* nib) { initWithNibName(nib); }
  void awakeFromNib() override { ++awakes; }
  void viewWillAppear() override {
    ++appearances;
    // The view is not in the window yet when it is about to appear.
    inWindowAtAppear = view()->window() != nullptr;
  }
  int awakes = 0;
  int appearances = 0;
  bool inWindowAtAppear = true;
};

TEST(ViewControllerTest, ActionsReachTheirHandlersWithTheSenderOnlyWhileEnabled) {
  testing::app();
  RecordingController vc("PincodeViewController");
  std::vector<std::string> typed;
  int deletes = 0;
  vc.setAction("onSoftKeyClicked:",
               [&typed](const std::shared_ptr<Button>& sender) { typed.push_back(sender->title()); });
  vc.setAction("onDeleteButtonClicked:", [&deletes](const std::shared_ptr<Button>&) { ++deletes; });
  ASSERT_NE(vc.view(), nullptr);
  EXPECT_EQ(vc.awakes, 1);
  vc.view();  // loading happens once
  EXPECT_EQ(vc.awakes, 1);

  for (const char* key : {"digitKey4", "digitKey2", "digitKey0"}) vc.buttonOutlet(key)->performClick();
  EXPECT_EQ(typed, (std::vector<std::string>{"4", "2", "0"}));

  auto del = vc.buttonOutlet("deleteButton");
  del->performClick();
  del->setEnabled(false);
  del->performClick();
  EXPECT_EQ(deletes, 1);
  del->setEnabled(true);
  del->setHidden(true);
  del->performClick();
  EXPECT_EQ(deletes, 1);

  // A button whose action has no handler does nothing.
  vc.buttonOutlet("switchDigitNumberButton")->performClick();
}

TEST(ViewControllerTest, TextAndIndicatorPropertiesRoundTrip) {
  testing::app();
  RecordingController vc("ConnectStatusViewController");
  ASSERT_NE(vc.view(), nullptr);
  auto name = vc.textFieldOutlet("receiverNameTextField");
  name->setStringValue("Living room(2.1)");
  EXPECT_EQ(name->stringValue(), "Living room(2.1)");
  EXPECT_EQ(vc.textFieldOutlet("receiverNameTextField")->stringValue(), "Living room(2.1)");

  auto mirror = vc.buttonOutlet("mirrorButton");
  mirror->setTitle("Stop");
  EXPECT_EQ(mirror->title(), "Stop");

  auto spinner = vc.progressIndicatorOutlet("connectStatusProgressIndicator");
  spinner->setHidden(false);
  spinner->startAnimation();
  EXPECT_TRUE(spinner->isAnimating());
  spinner->stopAnimation();
  EXPECT_FALSE(spinner->isAnimating());

  auto content = vc.stackViewOutlet("contentStackView");
  content->setHidden(true);
  EXPECT_TRUE(content->isHidden());
  content->setHidden(false);
  EXPECT_FALSE(content->isHidden());
  // An outlet of another kind is no outlet.
  EXPECT_EQ(vc.buttonOutlet("receiverNameTextField"), nullptr);
  EXPECT_EQ(vc.textFieldOutlet("mirrorButton"), nullptr);
}

TEST(ViewControllerTest, ViewAddedToAWindowAppearsThenLeavesTheWindowWhenRemoved) {
  testing::app();
  auto window = Window::fromInterface("MainWindow");
  ASSERT_NE(window, nullptr);
  auto top = window->viewNamed("topView");
  RecordingController vc("PincodeViewController");
  auto view = vc.view();
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view->window(), nullptr);

  top->addSubview(view);
  view->setFrame(top->frame());
  EXPECT_EQ(vc.appearances, 1);
  EXPECT_FALSE(vc.inWindowAtAppear);
  EXPECT_EQ(view->window(), window);
  EXPECT_TRUE(view->superview()->isSameView(*top));
  EXPECT_FALSE(view->isHidden());
  EXPECT_EQ(vc.textFieldOutlet("firstNumberLabel")->window(), window);

  view->removeFromSuperview();
  EXPECT_EQ(view->window(), nullptr);
  EXPECT_EQ(view->superview(), nullptr);
  EXPECT_EQ(vc.textFieldOutlet("firstNumberLabel")->window(), nullptr);

  // A view added to a view that is in no window does not appear.
  RecordingController other("ConnectStatusViewController");
  view->addSubview(other.view());
  EXPECT_EQ(other.appearances, 0);
}

TEST(ViewControllerTest, ControllerAndWindowMayGoInEitherOrder) {
  testing::app();
  {
    // The controller goes first: its view leaves the window with it.
    auto window = Window::fromInterface("MainWindow");
    auto top = window->viewNamed("topView");
    auto vc = std::make_unique<RecordingController>("PincodeViewController");
    auto label = vc->textFieldOutlet("firstNumberLabel");
    ASSERT_EQ(label, nullptr);  // not loaded yet
    top->addSubview(vc->view());
    label = vc->textFieldOutlet("firstNumberLabel");
    ASSERT_NE(label, nullptr);
    vc.reset();
    EXPECT_EQ(label->widget(), nullptr);
    EXPECT_TRUE(top->widget()->findChildren<QWidget*>(QStringLiteral("firstNumberLabel")).isEmpty());
  }
  {
    // The window goes first: the controller's view and outlets go empty.
    auto window = Window::fromInterface("MainWindow");
    RecordingController vc("PincodeViewController");
    window->viewNamed("topView")->addSubview(vc.view());
    auto label = vc.textFieldOutlet("firstNumberLabel");
    window.reset();
    EXPECT_EQ(label->widget(), nullptr);
    label->setStringValue("5");  // a handle on a deleted widget does nothing
    EXPECT_EQ(label->stringValue(), "");
    EXPECT_EQ(vc.textFieldOutlet("firstNumberLabel"), nullptr);
  }
}

}  // namespace
}  // namespace corvane::platform::ui
