// corvane-sender: the application. Takes the X11 display when one opens (else the simulated
// display) and the process's audio hardware, logs which, and runs the main loop with the
// main interface. SIGTERM, SIGINT and SIGHUP end it as quitting does, so the session is closed
// and the user's audio devices are given back.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "app/app_delegate.h"
#include "app/app_support.h"
#include "platform/audio/audio_hardware.h"
#include "platform/dispatch/dispatch.h"
#include "platform/display/display.h"
#include "platform/log/log.h"
#include "platform/ui/application.h"

namespace {

// Blocks the ending signals in every thread (before any is made) and delivers them on the
// main queue, where they terminate the application.
corvane::platform::dispatch::SourcePtr watchEndingSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) return nullptr;
  const int fd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (fd < 0) return nullptr;
  auto source = corvane::platform::dispatch::Source::createRead(
      fd, corvane::platform::dispatch::Queue::main());
  source->setEventHandler([fd] {
    signalfd_siginfo info{};
    if (read(fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return;
    corvane::platform::log::nslog("signal %u: quitting", info.ssi_signo);
    if (auto app = corvane::platform::ui::Application::sharedApplication()) app->terminate();
  });
  source->resume();
  return source;
}

}  // namespace

int main(int argc, char** argv) {
  const auto endingSignals = watchEndingSignals();
  // openDefault logs whether it took the X11 or the simulated display.
  corvane::platform::display::DisplayService::setShared(
      corvane::platform::display::DisplayService::openDefault());
  // The first use picks the audio hardware and logs which.
  (void)corvane::platform::audio::systemHardware();
  return corvane::platform::ui::applicationMain(
      argc, argv, [](corvane::platform::ui::Application& app) {
        corvane::loadMainInterface(app, corvane::detail::systemLocalAddress());
      });
}
