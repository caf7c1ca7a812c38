#include "platform/display/linux/x11_display.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/display/detail/stream_core.h"
#include "platform/display/linux/x11_capture.h"
#include "platform/log/log.h"

namespace corvane::platform::display {

struct X11Display::Connection {
  Display* display = nullptr;
  std::atomic<bool> dead{false};
  ~Connection() { detail::closeX11Connection(display, dead); }
  // False once the server went away: then no Xlib call may be made on it any more.
  bool usable() { return !detail::x11ConnectionLost(display, &dead); }
};

std::shared_ptr<X11Display> X11Display::open(const std::string& displayName) {
  auto connection = std::make_unique<Connection>();
  connection->display = detail::openX11Connection(displayName, &connection->dead);
  if (connection->display == nullptr) return nullptr;
  if (!detail::hasCaptureExtensions(connection->display)) return nullptr;
  std::string name = DisplayString(connection->display);
  return std::shared_ptr<X11Display>(new X11Display(std::move(name), std::move(connection)));
}

X11Display::X11Display(std::string name, std::unique_ptr<Connection> connection)
    : name_(std::move(name)), connection_(std::move(connection)) {}

X11Display::~X11Display() = default;

DirectDisplayID X11Display::mainDisplayID() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!connection_->usable()) return 0;
  auto output = detail::findX11Output(connection_->display, 0, false);
  return output ? output->output : 0;
}

Rect X11Display::displayBounds(DirectDisplayID display) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!connection_->usable()) return Rect{};
  if (display == 0) return Rect{};
  auto output = detail::findX11Output(connection_->display, display, false);
  return output ? output->bounds : Rect{};
}

std::vector<DisplayMode> X11Display::copyAllDisplayModes(DirectDisplayID display) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!connection_->usable()) return {};
  if (display == 0) return {};
  auto output = detail::findX11Output(connection_->display, display, true);
  return output ? output->modes : std::vector<DisplayMode>{};
}

int X11Display::getActiveDisplayList(std::uint32_t maxDisplays,
                                     std::vector<DirectDisplayID>* displays) {
  if (displays == nullptr) return kDisplayErrorIllegalArgument;
  displays->clear();
  std::lock_guard<std::mutex> lock(mutex_);
  if (!connection_->usable()) return kDisplayErrorInvalidConnection;
  for (const detail::X11Output& output : detail::activeX11Outputs(connection_->display, false)) {
    if (displays->size() >= maxDisplays) break;
    displays->push_back(output.output);
  }
  return kDisplayErrorSuccess;
}

DisplayStreamRef X11Display::createDisplayStream(DirectDisplayID display, int width, int height,
                                                 video::OSType pixelFormat,
                                                 const DisplayStreamProperties& properties,
                                                 dispatch::QueuePtr queue,
                                                 DisplayStreamFrameAvailableHandler handler) {
  if (pixelFormat != video::kPixelFormat420YpCbCr8BiPlanarVideoRange || !queue || !handler ||
      width < 2 || height < 2 || width > video::PixelBuffer::kMaxDimension ||
      height > video::PixelBuffer::kMaxDimension || display == 0) {
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connection_->usable() || !detail::findX11Output(connection_->display, display, false)) {
      return nullptr;
    }
  }
  auto core = detail::StreamCore::create("x11_display_stream", properties, std::move(queue),
                                         std::move(handler));
  auto capture = std::make_shared<detail::X11Capture>(detail::X11Capture::Options{
      name_, display, width, height, properties.showCursor, properties.preserveAspectRatio,
      std::max(1, properties.queueDepth)});
  // The reader of the stream's connection and what is to happen once the connection is
  // closed; private queue only.
  struct Reading {
    dispatch::SourcePtr reader;
    bool closed = false;
    std::function<void()> onClosed;
  };
  auto reading = std::make_shared<Reading>();
  std::weak_ptr<detail::StreamCore> weakCore = core;
  const dispatch::QueuePtr privateQueue = core->privateQueue();
  core->setGrab([capture, weakCore](const std::function<void()>& onRelease) {
    auto surface = capture->grab(onRelease);
    // Replies read during the grab may have queued events that the reader will not see.
    if (capture->hasQueuedEvents() && capture->drainEvents()) {
      if (auto stream = weakCore.lock()) stream->markDirty();
    }
    return surface;
  });
  core->setHooks(
      [capture, reading, weakCore, privateQueue, name = name_] {
        if (!capture->open()) {
          log::nslog("display: cannot open the X display \"%s\" for a stream", name.c_str());
          reading->closed = true;
          return;
        }
        reading->reader = dispatch::Source::createRead(capture->connectionNumber(), privateQueue);
        std::weak_ptr<Reading> weakReading = reading;
        reading->reader->setEventHandler([capture, weakCore, weakReading] {
          if (capture->isDead()) {
            // The server went away: its descriptor stays readable, so stop watching it.
            if (auto state = weakReading.lock(); state && state->reader) state->reader->cancel();
            return;
          }
          if (!capture->drainEvents()) return;
          if (auto stream = weakCore.lock()) stream->markDirty();
        });
        // The connection closes only after the reader's last handler, so its descriptor is
        // never watched after it was closed; the stream reports Stopped only after that.
        // It holds the reading state until it has run; the source goes afterwards, off its own
        // handler.
        reading->reader->setCancelHandler([capture, reading, privateQueue] {
          capture->close();
          reading->closed = true;
          if (reading->onClosed) std::exchange(reading->onClosed, nullptr)();
          privateQueue->async([reading] { reading->reader.reset(); });
        });
        reading->reader->resume();
      },
      [capture, reading](std::function<void()> done) {
        if (reading->closed || !reading->reader) {
          capture->close();
          done();
          return;
        }
        reading->onClosed = std::move(done);
        reading->reader->cancel();
      });
  return std::make_shared<detail::CoreDisplayStream>(width, height, std::move(core));
}

std::vector<WindowInfo> X11Display::copyWindowInfo(std::uint32_t options,
                                                   WindowID /*relativeToWindow*/) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!connection_->usable()) return {};
  Display* display = connection_->display;
  std::vector<WindowInfo> list;
  Window rootReturn = 0;
  Window parent = 0;
  Window* children = nullptr;
  unsigned count = 0;
  if (XQueryTree(display, DefaultRootWindow(display), &rootReturn, &parent, &children, &count) ==
      0) {
    return list;
  }
  const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", True);
  // XQueryTree lists bottom to top; the window list goes front to back.
  for (unsigned i = count; i-- > 0;) {
    const Window window = children[i];
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display, window, &attributes) == 0) continue;
    WindowInfo info;
    info.number = static_cast<WindowID>(window);
    info.isOnscreen = attributes.map_state == IsViewable;
    if ((options & kWindowListOptionOnScreenOnly) != 0 && !info.isOnscreen) continue;
    info.bounds =
        Rect{Point{static_cast<double>(attributes.x), static_cast<double>(attributes.y)},
             Size{static_cast<double>(attributes.width), static_cast<double>(attributes.height)}};
    // X11 hides no window's title from a client: every title is readable, and a window
    // without one (a window manager's frame, a panel) reads as an empty title.
    info.name = std::string();
    char* name = nullptr;
    if (XFetchName(display, window, &name) != 0 && name != nullptr) {
      info.name = std::string(name);
      XFree(name);
    }
    XClassHint hint{};
    if (XGetClassHint(display, window, &hint) != 0) {
      if (hint.res_class != nullptr) info.ownerName = hint.res_class;
      if (hint.res_name != nullptr) XFree(hint.res_name);
      if (hint.res_class != nullptr) XFree(hint.res_class);
    }
    if (pidAtom != None) {
      Atom type = None;
      int format = 0;
      unsigned long items = 0;
      unsigned long after = 0;
      unsigned char* data = nullptr;
      if (XGetWindowProperty(display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format,
                             &items, &after, &data) == Success &&
          data != nullptr) {
        if (format == 32 && items == 1) {
          info.ownerPID =
              static_cast<std::int32_t>(*reinterpret_cast<unsigned long*>(data));  // NOLINT
        }
        XFree(data);
      }
    }
    list.push_back(std::move(info));
  }
  if (children != nullptr) XFree(children);
  return list;
}

video::PixelBufferRef X11Display::createScreenImage(const Rect& bounds) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!connection_->usable()) return nullptr;
  Display* display = connection_->display;
  auto output = detail::findX11Output(display, 0, false);
  if (!output) return nullptr;
  const Rect& screen = output->bounds;
  const double left = std::max(bounds.origin.x, screen.origin.x);
  const double top = std::max(bounds.origin.y, screen.origin.y);
  const double right =
      std::min(bounds.origin.x + bounds.size.width, screen.origin.x + screen.size.width);
  const double bottom =
      std::min(bounds.origin.y + bounds.size.height, screen.origin.y + screen.size.height);
  const auto width = static_cast<int>(right - left);
  const auto height = static_cast<int>(bottom - top);
  if (width < 1 || height < 1) return nullptr;
  XImage* image =
      XGetImage(display, DefaultRootWindow(display), static_cast<int>(left), static_cast<int>(top),
                static_cast<unsigned>(width), static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (image == nullptr) return nullptr;
  video::PixelBufferRef buffer;
  if (image->bits_per_pixel == 32 &&
      video::PixelBuffer::create(width, height, video::kPixelFormat32BGRA, &buffer) ==
          video::kReturnSuccess) {
    buffer->lockBaseAddress(0);
    for (int y = 0; y < height; ++y) {
      std::memcpy(buffer->baseAddress() + static_cast<std::size_t>(y) * buffer->bytesPerRow(),
                  image->data + static_cast<std::ptrdiff_t>(y) * image->bytes_per_line,
                  static_cast<std::size_t>(width) * 4);
    }
    buffer->unlockBaseAddress(0);
  }
  XDestroyImage(image);
  return buffer;
}

std::optional<Point> X11Display::mouseLocation() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!connection_->usable()) return std::nullopt;
  Display* display = connection_->display;
  Window root = 0;
  Window child = 0;
  int rootX = 0;
  int rootY = 0;
  int windowX = 0;
  int windowY = 0;
  unsigned int mask = 0;
  // False when the pointer is on another screen of the server.
  if (XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &windowX,
                    &windowY, &mask) == 0) {
    return std::nullopt;
  }
  auto output = detail::findX11Output(display, 0, false);
  if (!output) return std::nullopt;
  const Rect& main = output->bounds;
  return Point{rootX - main.origin.x, main.origin.y + main.size.height - rootY};
}

}  // namespace corvane::platform::display
