// corvane-sender: the application. Takes the X11 display when one opens (else the simulated
// display) and the process's audio hardware, logs which, and runs the main loop with the
// main interface.
#include "app/app_delegate.h"
#include "platform/audio/audio_hardware.h"
#include "platform/display/display.h"
#include "platform/ui/application.h"

int main(int argc, char** argv) {
  // openDefault logs whether it took the X11 or the simulated display.
  corvane::platform::display::DisplayService::setShared(
      corvane::platform::display::DisplayService::openDefault());
  // The first use picks the audio hardware and logs which.
  (void)corvane::platform::audio::systemHardware();
  return corvane::platform::ui::applicationMain(argc, argv, corvane::loadMainInterface);
}
