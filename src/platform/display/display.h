// The display layer: what the screen capture and the connection screen ask of the main display.
// Its id (0 when there is none), bounds, mode list, the active display list, display streams
// that deliver the screen as '420v' surfaces to a frame handler, the on-screen window list
// and a small screen image.
//
// Backends: `linux/` talks to an X server (XRandR, MIT-SHM, XDamage, XFixes); `sim/` is a
// virtual display driven by tests. `openDefault` picks the X11 one when a display can be
// opened, else the simulated one, and logs which; `shared` is the process's current service.
//
// Thread-safety: every member of every class here may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/video/pixel_buffer.h"
#include "platform/video/surface.h"

namespace corvane::platform::display {

using DirectDisplayID = std::uint32_t;
using WindowID = std::uint32_t;

// Status codes.
inline constexpr int kDisplayErrorSuccess = 0;
inline constexpr int kDisplayErrorFailure = 1000;
inline constexpr int kDisplayErrorIllegalArgument = 1001;
inline constexpr int kDisplayErrorInvalidConnection = 1002;
inline constexpr int kDisplayErrorCannotComplete = 1004;

struct Point {
  double x = 0;
  double y = 0;
};
struct Size {
  double width = 0;
  double height = 0;
};
struct Rect {
  Point origin;
  Size size;
};

struct DisplayMode {
  std::int32_t width = 0;   // pixels
  std::int32_t height = 0;  // pixels
  double refreshRate = 0;   // Hz; 0 when unknown
  bool operator==(const DisplayMode&) const = default;
};

// Status passed to a display stream's frame handler.
enum class DisplayStreamFrameStatus {
  FrameComplete = 0,  // a new frame; the surface is given
  FrameIdle = 1,      // nothing changed (never sent by these backends)
  FrameBlank = 2,     // the display went blank
  Stopped = 3,        // the stream has stopped; the last call of the handler
};

// Properties of a display stream.
struct DisplayStreamProperties {
  int queueDepth = 3;               // surfaces the stream hands out at most at one time (1..8)
  double minimumFrameTime = 0;      // seconds between frames at least (caps the rate)
  bool preserveAspectRatio = true;  // letterbox when the stream's and the screen's shapes differ
  bool showCursor = false;          // composite the cursor into the frames
};

// Handler of a display stream: status, display time (steady-clock nanoseconds) and the
// frame's surface (nullptr unless the status is FrameComplete). It runs on the stream's queue,
// one call at a time, never inside `start` or `stop`.
using DisplayStreamFrameAvailableHandler = std::function<void(
    DisplayStreamFrameStatus status, std::uint64_t displayTime, const video::SurfaceRef& surface)>;

class DisplayStream {
 public:
  virtual ~DisplayStream() = default;
  // Starts delivering frames: the first frame follows at once, later ones when the screen
  // changes (at most one per minimum frame time). Answers a status; starting a stopped
  // stream fails.
  virtual int start() = 0;
  // Stops the stream (also one that never started). No frame handler call follows the Stopped
  // status, which is delivered on the stream's queue after every frame already posted. A
  // second stop does nothing.
  virtual int stop() = 0;
  int width() const { return width_; }
  int height() const { return height_; }

 protected:
  DisplayStream(int width, int height) : width_(width), height_(height) {}

 private:
  const int width_;
  const int height_;
};

using DisplayStreamRef = std::shared_ptr<DisplayStream>;

// Options of `copyWindowInfo`.
inline constexpr std::uint32_t kWindowListOptionAll = 0;
inline constexpr std::uint32_t kWindowListOptionOnScreenOnly = 1u << 0;
inline constexpr WindowID kNullWindowID = 0;

// One entry of the window list.
struct WindowInfo {
  WindowID number = 0;
  std::string ownerName;  // the application that owns the window ("" if unknown)
  std::optional<std::string>
      name;  // the window's title when it can be read ("" for an untitled X11 window)
  std::int32_t ownerPID = 0;  // 0 when unknown
  Rect bounds;
  std::int32_t layer = 0;
  bool isOnscreen = false;
};

class DisplayService {
 public:
  virtual ~DisplayService() = default;

  // The name of the backend ("X11" or "simulated").
  virtual std::string backendName() const = 0;

  // The main display's id; 0 when there is none.
  virtual DirectDisplayID mainDisplayID() = 0;
  // The display's bounds in global coordinates (all zero for an unknown display).
  virtual Rect displayBounds(DirectDisplayID display) = 0;
  // The display's modes in the order the system lists them; empty for an unknown display.
  virtual std::vector<DisplayMode> copyAllDisplayModes(DirectDisplayID display) = 0;
  // Up to `maxDisplays` ids of the active displays into `displays`; answers a status.
  virtual int getActiveDisplayList(std::uint32_t maxDisplays,
                                   std::vector<DirectDisplayID>* displays) = 0;

  // A stream of `display` at `width` x `height` in `pixelFormat` (only '420v' is supported),
  // delivering on `queue`. nullptr when the display is unknown or an argument is bad.
  virtual DisplayStreamRef createDisplayStream(DirectDisplayID display, int width, int height,
                                               video::OSType pixelFormat,
                                               const DisplayStreamProperties& properties,
                                               dispatch::QueuePtr queue,
                                               DisplayStreamFrameAvailableHandler handler) = 0;

  // The window list, front to back; `options` as above, `relativeToWindow` is unused
  // (kNullWindowID).
  virtual std::vector<WindowInfo> copyWindowInfo(std::uint32_t options,
                                                 WindowID relativeToWindow) = 0;

  // A 'BGRA' image of the screen inside `bounds` (global coordinates, clipped to the main
  // display); nullptr when nothing of it is on a display or the capture fails.
  virtual video::PixelBufferRef createScreenImage(const Rect& bounds) = 0;

  // Where the pointer is, in points from the bottom-left corner of the main display (y grows
  // upwards); nothing when it cannot be read.
  virtual std::optional<Point> mouseLocation() { return std::nullopt; }

  // The process's service: the one set with `setShared`, else `openDefault()` made once.
  static std::shared_ptr<DisplayService> shared();
  static void setShared(std::shared_ptr<DisplayService> service);
  // The X11 backend when a display (DISPLAY) can be opened, else the simulated one; logs which.
  static std::shared_ptr<DisplayService> openDefault();
};

}  // namespace corvane::platform::display
