#include "platform/ui/application.h"

#include <QApplication>
#include <QKeyEvent>
#include <QSocketNotifier>
#include <QTimer>
#include <QWindow>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <mutex>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/run_loop.h"
#include "platform/foundation/thread.h"
#include "platform/log/log.h"
#include "platform/ui/alert.h"
#include "platform/ui/registry.h"
#include "platform/ui/window.h"

namespace corvane::platform::ui {
namespace detail {
namespace {

std::mutex gAppMutex;
// The application; never destroyed, so that objects still alive at exit find Qt in place.
std::shared_ptr<Application>& gApp() {
  static auto* app = new std::shared_ptr<Application>();
  return *app;
}

// Sees every key press before the window that gets it.
class LoopAgent final : public QObject {
 public:
  explicit LoopAgent(Application* app) : app_(app) {}

  bool eventFilter(QObject* watched, QEvent* e) override {
    // A key press reaches the window first and is then passed on to its focus widget, so
    // looking only at windows sees each press once.
    if (e->type() != QEvent::KeyPress || !watched->isWindowType()) return false;
    auto* key = static_cast<QKeyEvent*>(e);
    auto* qwindow = static_cast<QWindow*>(watched);
    std::shared_ptr<Window> window;
    for (const auto& w : allWindows()) {
      if (w->widget()->windowHandle() == qwindow) window = w;
    }
    const QString text = key->text();
    std::optional<std::string> characters;
    if (!text.isEmpty()) characters = text.toStdString();
    const bool keypad = (key->modifiers() & Qt::KeypadModifier) != 0;
    auto ev = std::make_shared<Event>(EventType::KeyDown, keyCodeForQtKey(key->key(), keypad),
                                      std::move(characters), std::move(window));
    return app_->deliverKeyDown(ev);
  }

 private:
  Application* app_;
};

}  // namespace
}  // namespace detail

// The main queue's waker: an event counter that any thread bumps and the main loop watches,
// so that waking the loop touches no Qt state off the main thread.
struct Application::Waker {
  std::mutex mutex;
  int fd = -1;  // guarded by mutex; -1 once the application is gone
  void wake() {
    std::lock_guard<std::mutex> lock(mutex);
    if (fd < 0) return;
    const std::uint64_t one = 1;
    // A full counter (never in practice) already means "wake up".
    [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
  }
};

Application::Application(int argc, char** argv) : argc_(argc) {
  for (int i = 0; i < argc; ++i) argv_.push_back(argv[i]);
  argv_.push_back(nullptr);
  qtApp_ = std::make_unique<QApplication>(argc_, argv_.data());
  // Closing the window leaves the application in the status bar; only `terminate` ends it.
  QApplication::setQuitOnLastWindowClosed(false);
  auto* agent = new detail::LoopAgent(this);
  agent_ = agent;
  qtApp_->installEventFilter(agent);
  waker_ = std::make_shared<Waker>();
  waker_->fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (waker_->fd >= 0) {
    auto* notifier = new QSocketNotifier(static_cast<qintptr>(waker_->fd), QSocketNotifier::Read, agent_);
    const int fd = waker_->fd;
    QObject::connect(notifier, &QSocketNotifier::activated, agent_, [this, fd] {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t n = ::read(fd, &count, sizeof count);
      drainMainQueue();
    });
  } else {
    log::error("no event counter for the main loop: main-queue blocks run only when drained");
  }
  watchMainRunLoop();
  std::weak_ptr<Waker> weakWaker = waker_;
  dispatch::MainQueue::setWaker([weakWaker] {
    if (auto waker = weakWaker.lock()) waker->wake();
  });
  waker_->wake();  // blocks queued before the application existed
}

void Application::watchMainRunLoop() {
  // The main thread's run loop (its timers and performed blocks) runs inside this loop: its
  // descriptor is readable whenever something is due. While one round runs, the watch is
  // off, so a modal loop opened by a timer does not start the run loop again inside it.
  if (!Thread::isMainThread()) {
    log::error("application made off the main thread: the main run loop does not run in it");
    return;
  }
  auto loop = RunLoop::main();
  auto* notifier = new QSocketNotifier(static_cast<qintptr>(loop->fileDescriptor()),
                                       QSocketNotifier::Read, agent_);
  QObject::connect(notifier, &QSocketNotifier::activated, agent_, [notifier, loop] {
    notifier->setEnabled(false);
    loop->runOnce();
    notifier->setEnabled(true);
  });
}

Application::~Application() {
  dispatch::MainQueue::setWaker(nullptr);
  int fd = -1;
  {
    std::lock_guard<std::mutex> lock(waker_->mutex);
    fd = waker_->fd;
    waker_->fd = -1;
  }
  qtApp_->removeEventFilter(agent_);
  delete agent_;  // and its notifier, before the counter it watches goes
  if (fd >= 0) ::close(fd);
  qtApp_.reset();
}

std::shared_ptr<Application> Application::create(int argc, char** argv) {
  std::lock_guard<std::mutex> lock(detail::gAppMutex);
  if (!detail::gApp()) detail::gApp().reset(new Application(argc, argv));
  return detail::gApp();
}

std::shared_ptr<Application> Application::sharedApplication() {
  std::lock_guard<std::mutex> lock(detail::gAppMutex);
  return detail::gApp();
}

void Application::finishLaunching() {
  if (launched_) return;
  launched_ = true;
  if (delegate_) delegate_->applicationDidFinishLaunching();
}

int Application::run() {
  finishLaunching();
  if (terminated_) return 0;
  drainMainQueue();
  return terminated_ ? 0 : QApplication::exec();
}

void Application::terminate() {
  if (terminated_) return;
  terminated_ = true;
  Alert::abortModal();  // a quit waits on no person
  if (delegate_) delegate_->applicationWillTerminate();
  QCoreApplication::exit(0);
}

void Application::hide() {
  if (delegate_) delegate_->applicationWillHide();
  for (const auto& window : detail::allWindows()) {
    if (window->isVisible()) {
      hiddenWindows_.push_back(window);
      window->orderOut();
    }
  }
}

void Application::unhide() {
  if (delegate_) delegate_->applicationWillUnhide();
  for (const auto& weak : hiddenWindows_) {
    if (auto window = weak.lock()) window->widget()->show();
  }
  hiddenWindows_.clear();
}

void Application::reopen() {
  const auto list = detail::allWindows();
  const bool visible =
      std::any_of(list.begin(), list.end(), [](const auto& w) { return w->isVisible(); });
  const bool handle = delegate_ ? delegate_->applicationShouldHandleReopen(visible) : true;
  if (handle && !visible && !list.empty()) list.front()->makeKeyAndOrderFront();
}

std::shared_ptr<Window> Application::keyWindow() const {
  return detail::windowForWidget(QApplication::activeWindow());
}

std::vector<std::shared_ptr<Window>> Application::windows() const { return detail::allWindows(); }

EventMonitor Application::addLocalMonitorForEventsMatchingMask(EventMask mask,
                                                               EventMonitorHandler handler) {
  auto token = std::make_shared<int>(0);
  monitors_.emplace_back(token, Monitor{mask, std::move(handler)});
  return token;
}

void Application::removeMonitor(const EventMonitor& monitor) {
  monitors_.erase(std::remove_if(monitors_.begin(), monitors_.end(),
                                 [&monitor](const auto& m) { return m.first == monitor; }),
                  monitors_.end());
}

bool Application::deliverKeyDown(const std::shared_ptr<Event>& event) {
  // A copy: a handler may add or remove monitors.
  const auto monitors = monitors_;
  for (const auto& [token, monitor] : monitors) {
    if ((monitor.mask & kEventMaskKeyDown) == 0 || !monitor.handler) continue;
    if (!monitor.handler(event)) return true;  // consumed
  }
  return false;
}

int Application::drainMainQueue() {
  // A block that runs a modal loop gets here again through a nested wake-up; the dispatch
  // layer runs nothing then, so the outer drain goes round once more when the block returns.
  if (drainDepth_ > 0) {
    drainAgain_ = true;
    return 0;
  }
  ++drainDepth_;
  int ran = 0;
  do {
    drainAgain_ = false;
    ran += dispatch::MainQueue::drain();
  } while (drainAgain_);
  --drainDepth_;
  return ran;
}

bool Application::runUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    drainMainQueue();
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // Sleep in the event loop until an event (a main-queue block wakes it too) or 5 ms.
    QTimer tick;
    tick.setSingleShot(true);
    tick.start(5);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
  }
}

int applicationMain(int argc, char** argv, const std::function<void(Application&)>& loadMainInterface) {
  auto app = Application::create(argc, argv);
  if (loadMainInterface) loadMainInterface(*app);
  app->run();
  return 0;
}

}  // namespace corvane::platform::ui
