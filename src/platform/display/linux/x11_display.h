// X11Display: the display service of an X server. The main display is the primary XRandR
// output (else the first connected one with a mode set); its modes are that output's modes.
// Streams grab the root window through MIT-SHM, convert to '420v' with libyuv at the stream's
// size (scaled when it differs from the screen's), deliver nothing while XDamage reports no
// change, and composite the XFixes cursor image when show-cursor is set.
//
// Each stream has an X connection of its own, used only on that stream's private serial queue;
// the service's own connection is guarded by a lock.
// Thread-safety: every member may be called from any thread.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/display/display.h"

namespace corvane::platform::display {

class X11Display : public DisplayService, public std::enable_shared_from_this<X11Display> {
 public:
  // Opens `displayName` ("" = the DISPLAY environment variable); nullptr when no X server
  // answers or an extension the capture needs (MIT-SHM, XDamage, XFixes, XRandR) is missing.
  static std::shared_ptr<X11Display> open(const std::string& displayName = "");
  ~X11Display() override;
  X11Display(const X11Display&) = delete;
  X11Display& operator=(const X11Display&) = delete;

  const std::string& displayName() const { return name_; }

  std::string backendName() const override { return "X11"; }
  DirectDisplayID mainDisplayID() override;
  Rect displayBounds(DirectDisplayID display) override;
  std::vector<DisplayMode> copyAllDisplayModes(DirectDisplayID display) override;
  int getActiveDisplayList(std::uint32_t maxDisplays,
                           std::vector<DirectDisplayID>* displays) override;
  DisplayStreamRef createDisplayStream(DirectDisplayID display, int width, int height,
                                       video::OSType pixelFormat,
                                       const DisplayStreamProperties& properties,
                                       dispatch::QueuePtr queue,
                                       DisplayStreamFrameAvailableHandler handler) override;
  std::vector<WindowInfo> copyWindowInfo(std::uint32_t options, WindowID relativeToWindow) override;
  video::PixelBufferRef createScreenImage(const Rect& bounds) override;
  // The pointer on the root window, relative to the main display's bottom-left corner.
  std::optional<Point> mouseLocation() override;

 private:
  struct Connection;
  X11Display(std::string name, std::unique_ptr<Connection> connection);

  const std::string name_;
  std::mutex mutex_;  // guards the connection
  std::unique_ptr<Connection> connection_;
};

}  // namespace corvane::platform::display
