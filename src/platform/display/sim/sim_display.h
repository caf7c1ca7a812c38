// SimDisplay: a virtual main display for tests and machines without an X server. The test
// gives it a mode list (the first mode is the current one, whose size is the bounds) and
// changes its content; every stream of it delivers a frame exactly when the content changed
// (and once when it starts), no more often than its minimum frame time allows. It can also
// animate by itself, lose and regain its main display, fail stream creation on demand and
// hold a window list.
//
// Content: one 'BGRA' image of the current mode's size; frames are it scaled to the stream's
// size and converted to '420v', with the cursor (a small white square outlined in black) drawn
// in when the stream's show-cursor property is set.
// Thread-safety: every member may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/display/detail/frame_conversion.h"
#include "platform/display/display.h"
#include "platform/video/pixel_buffer_pool.h"

namespace corvane::platform::display {

namespace detail {
class StreamCore;
}

class SimDisplay : public DisplayService, public std::enable_shared_from_this<SimDisplay> {
 public:
  static constexpr DirectDisplayID kSimDisplayID = 1;
  static constexpr int kCursorSize = 12;

  // A display with `modes` (at least one); its content starts black.
  static std::shared_ptr<SimDisplay> create(std::vector<DisplayMode> modes);
  ~SimDisplay() override;

  // Test controls.
  // Removes the main display (its id becomes 0) or brings it back.
  void setMainDisplayPresent(bool present);
  // The next `count` stream creations fail.
  void failNextStreamCreations(int count);
  // Fills the whole content (or a rectangle of it) with one colour; a change of content.
  void fill(std::uint8_t r, std::uint8_t g, std::uint8_t b);
  void fillRect(int x, int y, int width, int height, std::uint8_t r, std::uint8_t g,
                std::uint8_t b);
  // Marks the content changed without drawing.
  void touch();
  // Changes the content by itself every `interval` seconds (<= 0 stops it).
  void setAnimating(double interval);
  // Moves the pointer (and the cursor drawn at it) to pixel (x, y) from the top-left corner.
  void setCursorPosition(int x, int y);
  void setWindows(std::vector<WindowInfo> windows);

  // Observations.
  int streamsCreated() const { return streamsCreated_.load(); }
  int framesDelivered() const;  // frames of all streams so far

  // DisplayService
  std::string backendName() const override { return "simulated"; }
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
  // The cursor position, measured from the bottom-left corner.
  std::optional<Point> mouseLocation() override;

 private:
  explicit SimDisplay(std::vector<DisplayMode> modes);
  void changed();
  void animate();
  // Renders the content (cursor included when asked) into a '420v' surface from `pool`.
  video::SurfaceRef render(const video::PixelBufferPoolRef& pool, bool showCursor,
                           const std::function<void()>& onRelease);

  const std::vector<DisplayMode> modes_;
  mutable std::mutex mutex_;
  // Frames are rendered through buffers kept from frame to frame (a copy of the content and
  // the scaling scratch, several megabytes each) instead of new ones per frame.
  std::mutex renderMutex_;
  std::vector<std::uint8_t> renderCopy_;
  detail::ConversionScratch renderScratch_;
  std::vector<std::uint8_t> pixels_;  // BGRA, width * 4 bytes per row
  int width_ = 0;
  int height_ = 0;
  int cursorX_ = 0;
  int cursorY_ = 0;
  bool present_ = true;
  int failCreations_ = 0;
  std::uint8_t animationStep_ = 0;
  std::vector<WindowInfo> windows_;
  std::vector<std::weak_ptr<detail::StreamCore>> streams_;
  dispatch::SourcePtr animationTimer_;
  std::atomic<int> streamsCreated_{0};
  std::atomic<int> framesRendered_{0};
};

}  // namespace corvane::platform::display
