// corvane-sender: the application. Takes the X11 display when one opens (else the simulated
// display) and the process's audio hardware, logs which, and runs the main loop with the
// main interface. SIGTERM, SIGINT and SIGHUP end it as quitting does, also while an alert is
// open (the alert is closed), so the session is closed and the user's audio devices are
// given back.
#include <signal.h>

#include "app/app_delegate.h"
#include "app/app_support.h"
#include "platform/audio/audio_hardware.h"
#include "platform/display/display.h"
#include "platform/ui/application.h"
#include "platform/ui/ending_signals.h"

int main(int argc, char** argv) {
  // Before any thread exists, so that none of them takes the signals.
  const auto endingSignals = corvane::platform::ui::EndingSignals::block({SIGTERM, SIGINT, SIGHUP});
  // openDefault logs whether it took the X11 or the simulated display.
  corvane::platform::display::DisplayService::setShared(
      corvane::platform::display::DisplayService::openDefault());
  // The first use picks the audio hardware and logs which.
  (void)corvane::platform::audio::systemHardware();
  return corvane::platform::ui::applicationMain(
      argc, argv, [&endingSignals](corvane::platform::ui::Application& app) {
        if (endingSignals) endingSignals->watch(app);
        // Every member empty: the sessions take the process's shared display, audio devices,
        // driver manager and settings.
        corvane::loadMainInterface(app, corvane::MirrorChannel::Environment{},
                                   corvane::detail::systemLocalAddress());
      });
}
