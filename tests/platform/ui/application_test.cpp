// The application's main loop: it drains the main dispatch queue (blocks from other threads
// run on the main thread, in order, also while a modal alert's loop runs), and it sends the
// delegate its life events: did finish launching, will terminate once, hide and unhide,
// and reopen with the right visible-windows answer.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QEventLoop>
#include <QTimer>
#include <functional>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/ui/alert.h"
#include "platform/ui/application.h"
#include "platform/ui/window.h"
#include "ui_test_support.h"

namespace corvane::platform::ui {
namespace {

using dispatch::Queue;

bool onMainThread() { return static_cast<pid_t>(syscall(SYS_gettid)) == getpid(); }

class LifeRecorder : public ApplicationDelegate {
 public:
  void applicationDidFinishLaunching() override { events.emplace_back("launched"); }
  void applicationWillTerminate() override { events.emplace_back("terminate"); }
  void applicationWillHide() override { events.emplace_back("hide"); }
  void applicationWillUnhide() override { events.emplace_back("unhide"); }
  bool applicationShouldHandleReopen(bool hasVisibleWindows) override {
    events.push_back(hasVisibleWindows ? "reopen visible" : "reopen hidden");
    return handleReopen;
  }
  std::vector<std::string> events;
  bool handleReopen = true;
};

// The loop runs blocks queued from other threads on the main thread in their order, and
// `terminate` from a block ends it. Only this test runs the loop, so it runs once per process.
TEST(ApplicationTest, RunDrainsTheMainQueueUntilTerminate) {
  auto& app = testing::app();
  auto delegate = std::make_shared<LifeRecorder>();
  app.setDelegate(delegate);

  constexpr int kBlocks = 200;
  std::vector<int> order;
  std::atomic<bool> allOnMain{true};
  // A worker queues the blocks while the loop runs; the last one ends the loop.
  Queue::global()->after(0.01, [&] {
    for (int i = 0; i < kBlocks; ++i) {
      Queue::main()->async([&, i] {
        if (!onMainThread()) allOnMain = false;
        order.push_back(i);
        if (i == kBlocks - 1) {
          testing::app().terminate();
          testing::app().terminate();  // a second terminate does nothing
        }
      });
    }
  });
  // Safety net: a loop that never drains still ends, and the test then fails below.
  QTimer::singleShot(20000, qApp, [] { QCoreApplication::exit(1); });
  EXPECT_EQ(app.run(), 0);
  app.setDelegate(nullptr);

  ASSERT_EQ(order.size(), static_cast<std::size_t>(kBlocks));
  for (int i = 0; i < kBlocks; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
  EXPECT_TRUE(allOnMain);
  EXPECT_EQ(delegate->events, (std::vector<std::string>{"launched", "terminate"}));
  EXPECT_TRUE(app.isTerminated());
  EXPECT_EQ(app.run(), 0);  // after terminate the loop does not start again
}

// Runs a plain Qt event loop (no main-queue drain of its own) until `pred` holds or 10 s pass,
// so main-queue blocks run only if the application's wake-ups bring them.
bool waitWithWakeUpsOnly(const std::function<bool()>& pred) {
  QEventLoop loop;
  QTimer check;
  QObject::connect(&check, &QTimer::timeout, &loop, [&] {
    if (pred()) loop.quit();
  });
  check.start(5);
  QTimer::singleShot(10000, &loop, [&loop] { loop.quit(); });
  loop.exec();
  return pred();
}

// A main-queue block that runs a modal alert holds the queue; blocks queued meanwhile run
// right after it, without waiting for some later wake-up.
TEST(ApplicationTest, BlocksQueuedDuringAModalAlertRunAfterIt) {
  testing::app();
  std::vector<std::string> steps;
  std::atomic<bool> queuedFromWorker{false};
  Queue::main()->async([&] {
    // A timer clicks the box's button once a worker has queued its block.
    auto* timer = new QTimer(qApp);
    QObject::connect(timer, &QTimer::timeout, timer, [&, timer] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (box == nullptr || !queuedFromWorker) return;
      box->buttons().front()->click();
      timer->deleteLater();
    });
    timer->start(5);
    Queue::global()->async([&] {
      Queue::main()->async([&] { steps.emplace_back("worker block"); });
      queuedFromWorker = true;
    });
    Alert alert;
    alert.setMessageText("modal");
    alert.runModal();
    steps.emplace_back("alert closed");
  });
  // Drained here, outside any Qt event, as start-up code or a wait on the main thread does;
  // the worker's wake-up then arrives inside the alert's loop.
  testing::app().drainMainQueue();
  ASSERT_TRUE(waitWithWakeUpsOnly([&] { return steps.size() == 2; })) << steps.size();
  EXPECT_EQ(steps, (std::vector<std::string>{"alert closed", "worker block"}));
}

TEST(ApplicationTest, MainQueueSyncFromAWorkerRunsOnTheMainThread) {
  testing::app();
  std::atomic<bool> done{false};
  std::atomic<bool> ranOnMain{false};
  Queue::global()->async([&] {
    Queue::main()->sync([&] { ranOnMain = onMainThread(); });
    done = true;
  });
  ASSERT_TRUE(testing::waitFor([&] { return done.load(); }));
  EXPECT_TRUE(ranOnMain);
}

TEST(ApplicationTest, HideUnhideAndReopen) {
  auto& app = testing::app();
  auto delegate = std::make_shared<LifeRecorder>();
  app.setDelegate(delegate);
  auto window = Window::fromInterface("MainWindow");
  ASSERT_NE(window, nullptr);
  window->makeKeyAndOrderFront();

  app.hide();
  EXPECT_FALSE(window->isVisible());
  app.unhide();
  EXPECT_TRUE(window->isVisible());

  app.reopen();  // visible already: nothing to show
  EXPECT_TRUE(window->isVisible());

  window->orderOut();
  delegate->handleReopen = false;  // the delegate deals with it (and here does nothing)
  app.reopen();
  EXPECT_FALSE(window->isVisible());

  delegate->handleReopen = true;  // the platform shows the window
  app.reopen();
  EXPECT_TRUE(window->isVisible());
  app.setDelegate(nullptr);

  EXPECT_EQ(delegate->events,
            (std::vector<std::string>{"hide", "unhide", "reopen visible", "reopen hidden",
                                      "reopen hidden"}));
}

// A quit from inside an alert's loop (as an ending signal's comes) ends the alert without a
// person: its run answers the abort response, and the box is gone. Once the application has
// ended, an alert is not shown at all. The application ends for good, so ctest runs this in a
// process of its own; in the one-process run it is already terminated and only the second
// part applies.
TEST(ApplicationTest, TerminateEndsAnOpenAlertWithTheAbortAnswer) {
  auto& app = testing::app();
  auto delegate = std::make_shared<LifeRecorder>();
  app.setDelegate(delegate);
  const bool wasTerminated = app.isTerminated();
  QTimer quitter;
  quitter.setInterval(5);
  QObject::connect(&quitter, &QTimer::timeout, &quitter, [&quitter] {
    if (QApplication::activeModalWidget() == nullptr) return;
    quitter.stop();
    testing::app().terminate();
  });
  quitter.start();
  // Safety net: a box the quit left open gets its button clicked, and the test fails below.
  const testing::AlertClickNet net;

  ModalResponse answer = 0;
  Queue::main()->async([&answer] {
    Alert alert;
    alert.setMessageText("open at the quit");
    alert.addButtonWithTitle("OK");
    answer = alert.runModal();
  });
  ASSERT_TRUE(testing::waitFor([&] { return answer != 0; }, std::chrono::seconds(30)));
  EXPECT_EQ(answer, kModalResponseAbort);
  EXPECT_TRUE(app.isTerminated());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  if (!wasTerminated) {
    EXPECT_EQ(delegate->events, std::vector<std::string>{"terminate"});
  }

  Alert later;
  later.setMessageText("after the quit");
  EXPECT_EQ(later.runModal(), kModalResponseAbort);
  EXPECT_TRUE(net.isActive()) << "an alert waited for a click";
  app.setDelegate(nullptr);
}

}  // namespace
}  // namespace corvane::platform::ui
