#include "platform/display/sim/sim_display.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/display/detail/frame_conversion.h"
#include "platform/display/detail/stream_core.h"

namespace corvane::platform::display {

namespace {

// The cursor: a white square with a black outline, premultiplied ARGB.
std::vector<std::uint32_t> cursorPixels() {
  constexpr std::size_t size = SimDisplay::kCursorSize;
  std::vector<std::uint32_t> pixels(size * size, 0xFFFFFFFFU);
  for (std::size_t y = 0; y < size; ++y) {
    for (std::size_t x = 0; x < size; ++x) {
      if (x == 0 || y == 0 || x == size - 1 || y == size - 1) pixels[y * size + x] = 0xFF000000U;
    }
  }
  return pixels;
}

}  // namespace

std::shared_ptr<SimDisplay> SimDisplay::create(std::vector<DisplayMode> modes) {
  if (modes.empty()) modes.push_back(DisplayMode{1920, 1080, 60.0});
  return std::shared_ptr<SimDisplay>(new SimDisplay(std::move(modes)));
}

SimDisplay::SimDisplay(std::vector<DisplayMode> modes) : modes_(std::move(modes)) {
  width_ = std::clamp(modes_.front().width, 1, video::PixelBuffer::kMaxDimension);
  height_ = std::clamp(modes_.front().height, 1, video::PixelBuffer::kMaxDimension);
  pixels_.assign(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_) * 4, 0);
  for (std::size_t i = 3; i < pixels_.size(); i += 4) pixels_[i] = 255;
}

SimDisplay::~SimDisplay() {
  if (animationTimer_) animationTimer_->cancel();
}

void SimDisplay::setMainDisplayPresent(bool present) {
  std::lock_guard<std::mutex> lock(mutex_);
  present_ = present;
}

void SimDisplay::failNextStreamCreations(int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  failCreations_ = std::max(0, count);
}

void SimDisplay::fill(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  fillRect(0, 0, width_, height_, r, g, b);
}

void SimDisplay::fillRect(int x, int y, int width, int height, std::uint8_t r, std::uint8_t g,
                          std::uint8_t b) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const int x0 = std::clamp(x, 0, width_);
    const int y0 = std::clamp(y, 0, height_);
    const int x1 = std::clamp(x + std::max(0, width), x0, width_);
    const int y1 = std::clamp(y + std::max(0, height), y0, height_);
    for (int row = y0; row < y1; ++row) {
      std::uint8_t* pixel =
          pixels_.data() + (static_cast<std::size_t>(row) * static_cast<std::size_t>(width_) +
                            static_cast<std::size_t>(x0)) *
                               4;
      for (int column = x0; column < x1; ++column, pixel += 4) {
        pixel[0] = b;
        pixel[1] = g;
        pixel[2] = r;
        pixel[3] = 255;
      }
    }
  }
  changed();
}

void SimDisplay::touch() { changed(); }

void SimDisplay::setAnimating(double interval) {
  dispatch::SourcePtr old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old = std::move(animationTimer_);
    if (interval > 0) {
      animationTimer_ = dispatch::Source::createTimer(dispatch::Queue::global());
      std::weak_ptr<SimDisplay> weak = weak_from_this();
      animationTimer_->setEventHandler([weak] {
        if (auto self = weak.lock()) self->animate();
      });
      animationTimer_->setTimer(interval, interval, 0.0);
      animationTimer_->resume();
    }
  }
  if (old) old->cancel();
}

void SimDisplay::animate() {
  std::uint8_t step = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    step = ++animationStep_;
  }
  // A moving bar: a band of rows whose grey level changes on every step.
  const int band = std::max(1, height_ / 16);
  fillRect(0, (step % 16) * band, width_, band, step, step, step);
}

void SimDisplay::setCursorPosition(int x, int y) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cursorX_ = x;
    cursorY_ = y;
  }
  changed();
}

std::optional<Point> SimDisplay::mouseLocation() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!present_) return std::nullopt;
  return Point{static_cast<double>(cursorX_), static_cast<double>(height_ - cursorY_)};
}

void SimDisplay::setWindows(std::vector<WindowInfo> windows) {
  std::lock_guard<std::mutex> lock(mutex_);
  windows_ = std::move(windows);
}

int SimDisplay::framesDelivered() const { return framesRendered_.load(); }

void SimDisplay::changed() {
  std::vector<std::shared_ptr<detail::StreamCore>> live;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(streams_, [&live](const std::weak_ptr<detail::StreamCore>& weak) {
      auto core = weak.lock();
      if (!core) return true;
      live.push_back(std::move(core));
      return false;
    });
  }
  for (const auto& core : live) core->markDirty();
}

DirectDisplayID SimDisplay::mainDisplayID() {
  std::lock_guard<std::mutex> lock(mutex_);
  return present_ ? kSimDisplayID : 0;
}

Rect SimDisplay::displayBounds(DirectDisplayID display) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!present_ || display != kSimDisplayID) return Rect{};
  return Rect{Point{0, 0}, Size{static_cast<double>(width_), static_cast<double>(height_)}};
}

std::vector<DisplayMode> SimDisplay::copyAllDisplayModes(DirectDisplayID display) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!present_ || display != kSimDisplayID) return {};
  return modes_;
}

int SimDisplay::getActiveDisplayList(std::uint32_t maxDisplays,
                                     std::vector<DirectDisplayID>* displays) {
  if (displays == nullptr) return kDisplayErrorIllegalArgument;
  displays->clear();
  std::lock_guard<std::mutex> lock(mutex_);
  if (present_ && maxDisplays > 0) displays->push_back(kSimDisplayID);
  return kDisplayErrorSuccess;
}

DisplayStreamRef SimDisplay::createDisplayStream(DirectDisplayID display, int width, int height,
                                                 video::OSType pixelFormat,
                                                 const DisplayStreamProperties& properties,
                                                 dispatch::QueuePtr queue,
                                                 DisplayStreamFrameAvailableHandler handler) {
  if (pixelFormat != video::kPixelFormat420YpCbCr8BiPlanarVideoRange || !queue || !handler ||
      width < 2 || height < 2 || width > video::PixelBuffer::kMaxDimension ||
      height > video::PixelBuffer::kMaxDimension) {
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!present_ || display != kSimDisplayID) return nullptr;
    if (failCreations_ > 0) {
      --failCreations_;
      return nullptr;
    }
  }
  auto core = detail::StreamCore::create("sim_display_stream", properties, std::move(queue),
                                         std::move(handler));
  std::weak_ptr<SimDisplay> weak = weak_from_this();
  const bool showCursor = properties.showCursor;
  // The stream's frames reuse the memory of those that went; all it can hold at once is made
  // now.
  video::PixelBufferPoolRef pool;
  if (video::PixelBufferPool::create(
          {width, height, video::kPixelFormat420YpCbCr8BiPlanarVideoRange,
           std::clamp(properties.queueDepth, 1, 64), std::clamp(properties.queueDepth, 1, 64)},
          &pool) != video::kReturnSuccess) {
    return nullptr;
  }
  core->setGrab([weak, pool, showCursor](const std::function<void()>& onRelease) {
    auto self = weak.lock();
    return self ? self->render(pool, showCursor, onRelease) : nullptr;
  });
  {
    std::lock_guard<std::mutex> lock(mutex_);
    streams_.push_back(core);
  }
  streamsCreated_.fetch_add(1);
  return std::make_shared<detail::CoreDisplayStream>(width, height, std::move(core));
}

video::SurfaceRef SimDisplay::render(const video::PixelBufferPoolRef& pool, bool showCursor,
                                     const std::function<void()>& onRelease) {
  std::lock_guard<std::mutex> renderLock(renderMutex_);
  std::vector<std::uint8_t>& copy = renderCopy_;
  int cursorX = 0;
  int cursorY = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    copy.assign(pixels_.begin(), pixels_.end());
    cursorX = cursorX_;
    cursorY = cursorY_;
  }
  const detail::BgraImage image{copy.data(), width_, height_, static_cast<std::size_t>(width_) * 4};
  if (showCursor) {
    static const std::vector<std::uint32_t> cursor = cursorPixels();
    detail::compositeCursor(
        image, detail::CursorImage{cursor, kCursorSize, kCursorSize, cursorX, cursorY});
  }
  auto surface = detail::convertToSurface(image, pool, false, renderScratch_, onRelease);
  if (surface) framesRendered_.fetch_add(1);
  return surface;
}

std::vector<WindowInfo> SimDisplay::copyWindowInfo(std::uint32_t options,
                                                   WindowID /*relativeToWindow*/) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<WindowInfo> list;
  for (const WindowInfo& window : windows_) {
    if ((options & kWindowListOptionOnScreenOnly) != 0 && !window.isOnscreen) continue;
    list.push_back(window);
  }
  return list;
}

video::PixelBufferRef SimDisplay::createScreenImage(const Rect& bounds) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!present_) return nullptr;
  const auto x0 = static_cast<int>(std::max(0.0, bounds.origin.x));
  const auto y0 = static_cast<int>(std::max(0.0, bounds.origin.y));
  const auto x1 = static_cast<int>(std::min<double>(width_, bounds.origin.x + bounds.size.width));
  const auto y1 = static_cast<int>(std::min<double>(height_, bounds.origin.y + bounds.size.height));
  if (x1 <= x0 || y1 <= y0) return nullptr;
  video::PixelBufferRef image;
  if (video::PixelBuffer::create(x1 - x0, y1 - y0, video::kPixelFormat32BGRA, &image) !=
      video::kReturnSuccess) {
    return nullptr;
  }
  image->lockBaseAddress(0);
  for (int y = y0; y < y1; ++y) {
    std::memcpy(image->baseAddress() + static_cast<std::size_t>(y - y0) * image->bytesPerRow(),
                pixels_.data() + (static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
                                  static_cast<std::size_t>(x0)) *
                                     4,
                static_cast<std::size_t>(x1 - x0) * 4);
  }
  image->unlockBaseAddress(0);
  return image;
}

}  // namespace corvane::platform::display
