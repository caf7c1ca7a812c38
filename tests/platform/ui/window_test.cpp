// Windows: the delegate hears of every close (the close button's platform event and
// `close`), can refuse one, is held weakly, and a closed window can be shown again; a
// minimised window is raised again; URLs open through the desktop's handler for their scheme.
#include <gtest/gtest.h>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QUrl>
#include <QWindow>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/window.h"
#include "platform/ui/workspace.h"
#include "ui_test_support.h"
#include "window_test.h"

namespace corvane::platform::ui {
namespace {

class CloseRecorder : public WindowDelegate {
 public:
  bool windowShouldClose(Window& window) override {
    asked.push_back(&window);
    return allowClose;
  }
  void windowWillClose(Window& window) override {
    closed.push_back(&window);
    visibleAtClose = window.isVisible();
  }
  std::vector<Window*> asked;
  std::vector<Window*> closed;
  bool visibleAtClose = false;
  bool allowClose = true;
};

TEST(WindowTest, DelegateHearsEachCloseBeforeTheWindowHides) {
  testing::app();
  auto window = Window::fromInterface("MainWindow");
  ASSERT_NE(window, nullptr);
  auto delegate = std::make_shared<CloseRecorder>();
  window->setDelegate(delegate);

  window->makeKeyAndOrderFront();
  ASSERT_TRUE(testing::waitFor([&] { return window->isVisible(); }));
  window->close();
  EXPECT_EQ(delegate->closed, std::vector<Window*>{window.get()});
  EXPECT_TRUE(delegate->visibleAtClose);
  EXPECT_FALSE(window->isVisible());

  // The close button: the platform sends its window a close event.
  window->makeKeyAndOrderFront();
  ASSERT_TRUE(testing::waitFor([&] { return window->isVisible(); }));
  QCloseEvent event;
  QCoreApplication::sendEvent(window->widget()->windowHandle(), &event);
  EXPECT_EQ(delegate->closed.size(), 2U);
  EXPECT_FALSE(window->isVisible());

  // Hiding is no close.
  window->makeKeyAndOrderFront();
  window->orderOut();
  EXPECT_EQ(delegate->closed.size(), 2U);
}

// A delegate that refuses keeps the window open, for the close button as for `close`.
TEST(WindowTest, ARefusedCloseLeavesTheWindowOpenAndUntold) {
  testing::app();
  auto window = Window::fromInterface("MainWindow");
  ASSERT_NE(window, nullptr);
  auto delegate = std::make_shared<CloseRecorder>();
  delegate->allowClose = false;
  window->setDelegate(delegate);
  window->makeKeyAndOrderFront();
  ASSERT_TRUE(testing::waitFor([&] { return window->isVisible(); }));

  window->close();
  QCloseEvent event;
  QCoreApplication::sendEvent(window->widget()->windowHandle(), &event);
  EXPECT_EQ(delegate->asked, (std::vector<Window*>{window.get(), window.get()}));
  EXPECT_TRUE(delegate->closed.empty());
  EXPECT_TRUE(window->isVisible());

  delegate->allowClose = true;
  window->close();
  EXPECT_EQ(delegate->closed, std::vector<Window*>{window.get()});
  EXPECT_FALSE(window->isVisible());
}

TEST(WindowTest, AMinimisedWindowStaysOpenAndIsRaisedAgain) {
  testing::app();
  auto window = Window::fromInterface("MainWindow");
  ASSERT_NE(window, nullptr);
  window->makeKeyAndOrderFront();
  ASSERT_TRUE(testing::waitFor([&] { return window->isVisible(); }));
  EXPECT_FALSE(window->isMiniaturized());

  window->miniaturize();
  EXPECT_TRUE(window->isMiniaturized());
  EXPECT_TRUE(window->isVisible());  // in the task bar, not closed
  window->makeKeyAndOrderFront();
  EXPECT_FALSE(window->isMiniaturized());
  EXPECT_TRUE(window->isVisible());
  window->orderOut();
}

TEST(WindowTest, DelegateIsHeldWeakly) {
  testing::app();
  auto window = Window::fromInterface("MainWindow");
  auto delegate = std::make_shared<CloseRecorder>();
  window->setDelegate(delegate);
  delegate.reset();
  EXPECT_EQ(window->delegate(), nullptr);
  window->makeKeyAndOrderFront();
  window->close();  // nobody to tell; nothing breaks
  EXPECT_FALSE(window->isVisible());
}

TEST(WindowTest, WindowsAreListedWhileTheyExist) {
  auto& app = testing::app();
  const auto before = app.windows().size();
  auto window = Window::fromInterface("MainWindow");
  EXPECT_EQ(app.windows().size(), before + 1);
  // A widget makes one window only (a second would delete it twice).
  EXPECT_EQ(Window::create(window->widget()), window);
  EXPECT_EQ(app.windows().size(), before + 1);
  window.reset();
  EXPECT_EQ(app.windows().size(), before);
}

TEST(WorkspaceTest, OpenUrlGoesToTheSchemeHandler) {
  testing::app();
  testing::UrlCatcher catcher;
  QDesktopServices::setUrlHandler(QStringLiteral("corvane-test"), &catcher, "handle");
  EXPECT_TRUE(Workspace::sharedWorkspace()->openURL("corvane-test:settings?page=screen"));
  QDesktopServices::unsetUrlHandler(QStringLiteral("corvane-test"));
  EXPECT_EQ(catcher.urls, std::vector<std::string>{"corvane-test:settings?page=screen"});
  EXPECT_FALSE(Workspace::sharedWorkspace()->openURL("not a url"));
  EXPECT_FALSE(Workspace::sharedWorkspace()->openURL(""));
}

}  // namespace
}  // namespace corvane::platform::ui
