// The application object: the Qt application with its main loop, which also drains the main
// dispatch queue, the application delegate's life events (did finish launching, will
// terminate, will hide / unhide, should handle reopen), the key window, and local monitors of
// key-down events.
//
// One application per process, made by `create` (or `applicationMain`) on the main thread.
// While it exists, blocks queued on the main dispatch queue run on the main thread inside its
// loop (also inside a modal alert's loop, except while a main-queue block is itself running),
// and so does the main thread's run loop: its timers and performed blocks (not inside a modal
// loop opened by one of them).
// Closing the last window does not end the loop: `terminate` does.
//
// Threads: main thread only, except where a member says otherwise.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "platform/ui/event.h"

class QApplication;
class QObject;

namespace corvane::platform::ui {

class Window;

class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual void applicationDidFinishLaunching() {}
  virtual void applicationWillTerminate() {}
  virtual void applicationWillHide() {}
  virtual void applicationWillUnhide() {}
  // The user opened the application again. Answer true to let the platform show a window
  // when none is visible, false when the delegate took care of it.
  virtual bool applicationShouldHandleReopen(bool hasVisibleWindows) {
    (void)hasVisibleWindows;
    return true;
  }
};

// A local event monitor's handler: answers the event to let it go on, nullptr to consume it.
using EventMonitorHandler = std::function<std::shared_ptr<Event>(const std::shared_ptr<Event>&)>;
// The token of an installed monitor; keep it to remove the monitor.
using EventMonitor = std::shared_ptr<const void>;

class Application {
 public:
  // Makes the application (the Qt application over `argc`/`argv`). Once per process; a
  // second call answers the existing application.
  static std::shared_ptr<Application> create(int argc, char** argv);
  // The application, or nullptr before `create`.
  static std::shared_ptr<Application> sharedApplication();
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // The delegate is held strongly, as the main interface's objects hold each other.
  void setDelegate(std::shared_ptr<ApplicationDelegate> delegate) { delegate_ = std::move(delegate); }
  std::shared_ptr<ApplicationDelegate> delegate() const { return delegate_; }

  // Sends `applicationDidFinishLaunching` once (`run` does it when nobody did before).
  void finishLaunching();
  // Runs the main loop until `terminate`; answers the loop's exit code. Returns at once when
  // the application was terminated before.
  int run();
  // Ends the application: closes any open alert (Alert::abortModal), then
  // `applicationWillTerminate` (once), then the main loop returns.
  void terminate();
  bool isTerminated() const { return terminated_; }

  // Hides every visible window (`applicationWillHide` first) / shows them again
  // (`applicationWillUnhide` first).
  void hide();
  void unhide();
  // The user opens the application again (a click on its status-bar item): asks the delegate
  // and, when it answers true, shows a window if none is visible.
  void reopen();

  // The window that receives key events, or nullptr (none, or a dialog is active).
  std::shared_ptr<Window> keyWindow() const;
  // The application's windows that exist now.
  std::vector<std::shared_ptr<Window>> windows() const;

  // Installs a handler that sees every key-down event of the application before its window
  // does (only key-down events exist in `mask`'s use here). Monitors run in the order they
  // were added; the first one that consumes an event ends its delivery.
  EventMonitor addLocalMonitorForEventsMatchingMask(EventMask mask, EventMonitorHandler handler);
  void removeMonitor(const EventMonitor& monitor);

  // Runs the loop (Qt events and main-queue blocks) until `pred` is true or `timeout` has
  // passed; answers pred(). For tests and for start-up code that must wait on the main thread.
  bool runUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);
  // Runs the main-queue blocks queued so far; answers how many ran.
  int drainMainQueue();

  // Used by the key-event filter.
  bool deliverKeyDown(const std::shared_ptr<Event>& event);

 private:
  struct Monitor {
    EventMask mask;
    EventMonitorHandler handler;
  };
  struct Waker;

  Application(int argc, char** argv);
  void watchMainRunLoop();

  int argc_;
  std::vector<char*> argv_;
  std::unique_ptr<QApplication> qtApp_;
  QObject* agent_ = nullptr;  // key filter and wake-up notifier; deleted with the application
  std::shared_ptr<Waker> waker_;
  std::shared_ptr<ApplicationDelegate> delegate_;
  std::vector<std::pair<EventMonitor, Monitor>> monitors_;
  std::vector<std::weak_ptr<Window>> hiddenWindows_;
  bool launched_ = false;
  bool terminated_ = false;
  int drainDepth_ = 0;
  bool drainAgain_ = false;
};

// The program's main loop: makes the application, calls `loadMainInterface` (which makes the
// main window and the application's delegate and controllers), then runs the loop. Answers 0.
int applicationMain(int argc, char** argv, const std::function<void(Application&)>& loadMainInterface);

}  // namespace corvane::platform::ui
