// The X11 side of a display stream and of the display service: which outputs are active, and
// one capture connection that grabs the main output through MIT-SHM, watches XDamage (and the
// pointer when the cursor is shown) and turns each grab into a '420v' surface. The grab is
// read in place from the shared-memory image, and the surfaces' memory is recycled.
//
// Threads: an X11Capture is used by one thread (or serial queue) at a time; the free functions
// use the given connection, which the caller guards.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/display/display.h"

typedef struct _XDisplay Display;  // NOLINT: Xlib's own spelling

namespace corvane::platform::display::detail {

struct X11Output {
  DirectDisplayID output = 0;  // the XRandR output
  Rect bounds;                 // its CRTC's area of the root window
  std::vector<DisplayMode> modes;
};

// Installs Xlib's thread support and error handlers that log instead of ending the process
// (once per process; before any other Xlib call).
void prepareXlib();
// A new connection (name "" = DISPLAY) whose loss sets `*deadFlag` instead of ending the
// process; nullptr when no server answers.
Display* openX11Connection(const std::string& name, std::atomic<bool>* deadFlag);
// True (and `*deadFlag` set) when the server closed the connection; looks at the socket only,
// without any Xlib call.
bool x11ConnectionLost(Display* display, std::atomic<bool>* deadFlag);
// Closes a connection made by openX11Connection (`dead`: its flag).
void closeX11Connection(Display* display, const std::atomic<bool>& dead);

// True when the server has MIT-SHM, XDamage, XFixes and XRandR.
bool hasCaptureExtensions(Display* display);
// The connected outputs that show something, the primary one first.
std::vector<X11Output> activeX11Outputs(Display* display, bool withModes);
// The output `id` (0: the main one) among them.
std::optional<X11Output> findX11Output(Display* display, DirectDisplayID id, bool withModes);

class X11Capture {
 public:
  struct Options {
    std::string displayName;     // "" = DISPLAY
    DirectDisplayID output = 0;  // 0 = the main output
    int width = 0;               // frame size
    int height = 0;
    bool showCursor = false;
    bool preserveAspectRatio = true;
    int surfaceCount = 3;  // surfaces out at one time at most (the stream's queue depth)
  };

  explicit X11Capture(Options options);
  ~X11Capture();
  X11Capture(const X11Capture&) = delete;
  X11Capture& operator=(const X11Capture&) = delete;

  // Opens the capture's own connection, its damage watch and its shared-memory image.
  bool open();
  void close();
  // The connection's descriptor (readable when events arrive), -1 when closed.
  int connectionNumber() const;
  // Reads every event; true when the screen (or the shown cursor) changed since the last call.
  bool drainEvents();
  // True when events were read from the connection but not handled yet.
  bool hasQueuedEvents() const;
  // True once the connection to the server was lost (nothing is read or grabbed any more).
  bool isDead() const;
  // Grabs the output into a surface of the frame size, whose memory comes from the capture's
  // pool; nullptr when the grab fails or all of the pool's surfaces are out.
  video::SurfaceRef grab(const std::function<void()>& onRelease);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace corvane::platform::display::detail
