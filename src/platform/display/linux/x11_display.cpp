#include "platform/display/linux/x11_display.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/display/detail/frame_conversion.h"
#include "platform/display/detail/stream_core.h"
#include "platform/log/log.h"

namespace corvane::platform::display {

namespace {

void initThreadsOnce() {
  static std::once_flag once;
  std::call_once(once, [] { XInitThreads(); });
}

// Extensions the capture needs; false when one is missing.
struct Extensions {
  int damageEvent = 0;
  int fixesEvent = 0;
  int rrEvent = 0;
};

std::optional<Extensions> queryExtensions(Display* display) {
  Extensions extensions;
  int error = 0;
  int major = 0;
  int minor = 0;
  Bool pixmaps = False;
  if (XShmQueryVersion(display, &major, &minor, &pixmaps) == False) return std::nullopt;
  if (XDamageQueryExtension(display, &extensions.damageEvent, &error) == False) {
    return std::nullopt;
  }
  if (XFixesQueryExtension(display, &extensions.fixesEvent, &error) == False) return std::nullopt;
  if (XRRQueryExtension(display, &extensions.rrEvent, &error) == False) return std::nullopt;
  return extensions;
}

// The main output: the primary one when it is connected and shows something, else the first
// connected output that does.
struct OutputInfo {
  RROutput output = 0;
  Rect bounds;
  std::vector<DisplayMode> modes;
};

std::vector<OutputInfo> activeOutputs(Display* display, bool withModes) {
  std::vector<OutputInfo> outputs;
  const Window root = DefaultRootWindow(display);
  XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root);
  if (resources == nullptr) return outputs;
  const RROutput primary = XRRGetOutputPrimary(display, root);
  for (int i = 0; i < resources->noutput; ++i) {
    XRROutputInfo* info = XRRGetOutputInfo(display, resources, resources->outputs[i]);
    if (info == nullptr) continue;
    if (info->connection == RR_Connected && info->crtc != 0) {
      OutputInfo entry;
      entry.output = resources->outputs[i];
      if (XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, info->crtc)) {
        entry.bounds = Rect{Point{static_cast<double>(crtc->x), static_cast<double>(crtc->y)},
                            Size{static_cast<double>(crtc->width),
                                 static_cast<double>(crtc->height)}};
        XRRFreeCrtcInfo(crtc);
      }
      if (withModes) {
        for (int m = 0; m < info->nmode; ++m) {
          for (int k = 0; k < resources->nmode; ++k) {
            const XRRModeInfo& mode = resources->modes[k];
            if (mode.id != info->modes[m]) continue;
            const double frame = static_cast<double>(mode.hTotal) * mode.vTotal;
            entry.modes.push_back(DisplayMode{static_cast<std::int32_t>(mode.width),
                                              static_cast<std::int32_t>(mode.height),
                                              frame > 0 ? static_cast<double>(mode.dotClock) / frame
                                                        : 0.0});
          }
        }
      }
      if (entry.output == primary) {
        outputs.insert(outputs.begin(), std::move(entry));
      } else {
        outputs.push_back(std::move(entry));
      }
    }
    XRRFreeOutputInfo(info);
  }
  XRRFreeScreenResources(resources);
  return outputs;
}

std::optional<OutputInfo> findOutput(Display* display, DirectDisplayID id, bool withModes) {
  for (OutputInfo& output : activeOutputs(display, withModes)) {
    if (id == 0 || output.output == id) return std::move(output);
  }
  return std::nullopt;
}

// The per-stream capture state, used only on the stream's private queue.
struct Capture {
  std::string displayName;
  DirectDisplayID output = 0;
  int width = 0;   // stream size
  int height = 0;
  bool showCursor = false;
  bool preserveAspectRatio = true;
  std::weak_ptr<detail::StreamCore> core;

  Display* display = nullptr;
  Extensions extensions;
  Window root = 0;
  Damage damage = 0;
  XShmSegmentInfo shm{};
  XImage* image = nullptr;
  Rect area;  // the captured part of the root window
  std::vector<std::uint8_t> scratch;
  std::vector<std::uint32_t> cursor;
  dispatch::SourcePtr reader;

  ~Capture() { close(); }

  void destroyImage() {
    if (image == nullptr) return;
    XShmDetach(display, &shm);
    XDestroyImage(image);  // frees only the XImage: its data is the segment
    shmdt(shm.shmaddr);
    image = nullptr;
    shm = XShmSegmentInfo{};
  }

  bool createImage() {
    destroyImage();
    if (auto found = findOutput(display, output, false)) area = found->bounds;
    const auto w = static_cast<unsigned>(area.size.width);
    const auto h = static_cast<unsigned>(area.size.height);
    if (w == 0 || h == 0) return false;
    const int screen = DefaultScreen(display);
    image = XShmCreateImage(display, DefaultVisual(display, screen),
                            static_cast<unsigned>(DefaultDepth(display, screen)), ZPixmap,
                            nullptr, &shm, w, h);
    if (image == nullptr) return false;
    if (image->bits_per_pixel != 32) {
      XDestroyImage(image);
      image = nullptr;
      return false;
    }
    const auto bytes = static_cast<std::size_t>(image->bytes_per_line) * h;
    shm.shmid = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (shm.shmid < 0) {
      XDestroyImage(image);
      image = nullptr;
      return false;
    }
    shm.shmaddr = static_cast<char*>(shmat(shm.shmid, nullptr, 0));
    image->data = shm.shmaddr;
    shm.readOnly = False;
    const bool attached = shm.shmaddr != reinterpret_cast<char*>(-1) &&  // NOLINT
                          XShmAttach(display, &shm) != False;
    XSync(display, False);
    // Marked for removal at once: the segment goes when the last process detaches.
    shmctl(shm.shmid, IPC_RMID, nullptr);
    if (!attached) {
      if (shm.shmaddr != reinterpret_cast<char*>(-1)) shmdt(shm.shmaddr);  // NOLINT
      XDestroyImage(image);
      image = nullptr;
      shm = XShmSegmentInfo{};
      return false;
    }
    return true;
  }

  bool open() {
    display = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
    if (display == nullptr) return false;
    auto found = queryExtensions(display);
    if (!found) return false;
    extensions = *found;
    root = DefaultRootWindow(display);
    long mask = StructureNotifyMask;
    if (showCursor) mask |= PointerMotionMask;
    XSelectInput(display, root, mask);
    if (showCursor) XFixesSelectCursorInput(display, root, XFixesDisplayCursorNotifyMask);
    XRRSelectInput(display, root, RRScreenChangeNotifyMask);
    damage = XDamageCreate(display, root, XDamageReportNonEmpty);
    createImage();
    XFlush(display);
    return true;
  }

  void close() {
    if (display == nullptr) return;
    destroyImage();
    if (damage != 0) XDamageDestroy(display, damage);
    damage = 0;
    XCloseDisplay(display);
    display = nullptr;
  }

  // Reads every queued event; marks the stream dirty when the screen (or the cursor) changed.
  void drainEvents() {
    if (display == nullptr) return;
    bool dirty = false;
    bool resized = false;
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == extensions.damageEvent + XDamageNotify) {
        dirty = true;
      } else if (event.type == ConfigureNotify || event.type == extensions.rrEvent +
                                                                   RRScreenChangeNotify) {
        resized = true;
      } else if (event.type == MotionNotify ||
                 event.type == extensions.fixesEvent + XFixesCursorNotify) {
        dirty = dirty || showCursor;
      }
      XRRUpdateConfiguration(&event);
    }
    if (dirty) XDamageSubtract(display, damage, None, None);
    if (resized) {
      createImage();
      dirty = true;
    }
    XFlush(display);
    if (dirty) {
      if (auto stream = core.lock()) stream->markDirty();
    }
  }

  void compositeCursorImage() {
    XFixesCursorImage* cursorImage = XFixesGetCursorImage(display);
    if (cursorImage == nullptr) return;
    const auto count = static_cast<std::size_t>(cursorImage->width) * cursorImage->height;
    cursor.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
      cursor[i] = static_cast<std::uint32_t>(cursorImage->pixels[i] & 0xFFFFFFFFUL);
    }
    const detail::BgraImage target{reinterpret_cast<std::uint8_t*>(image->data),  // NOLINT
                                   image->width, image->height,
                                   static_cast<std::size_t>(image->bytes_per_line)};
    detail::compositeCursor(
        target, detail::CursorImage{cursor, cursorImage->width, cursorImage->height,
                                    cursorImage->x - cursorImage->xhot -
                                        static_cast<int>(area.origin.x),
                                    cursorImage->y - cursorImage->yhot -
                                        static_cast<int>(area.origin.y)});
    XFree(cursorImage);
  }

  video::SurfaceRef grab(const std::function<void()>& onRelease) {
    if (display == nullptr) return nullptr;
    if (image == nullptr && !createImage()) return nullptr;
    if (XShmGetImage(display, root, image, static_cast<int>(area.origin.x),
                     static_cast<int>(area.origin.y), AllPlanes) == False) {
      return nullptr;
    }
    if (showCursor) compositeCursorImage();
    const detail::BgraImage source{reinterpret_cast<std::uint8_t*>(image->data),  // NOLINT
                                   image->width, image->height,
                                   static_cast<std::size_t>(image->bytes_per_line)};
    auto surface =
        detail::convertToSurface(source, width, height, preserveAspectRatio, scratch, onRelease);
    // Replies read during the grab may have queued events that the reader will not see.
    if (XEventsQueued(display, QueuedAlready) > 0) drainEvents();
    return surface;
  }
};

}  // namespace

struct X11Display::Connection {
  Display* display = nullptr;
  ~Connection() {
    if (display != nullptr) XCloseDisplay(display);
  }
};

std::shared_ptr<X11Display> X11Display::open(const std::string& displayName) {
  initThreadsOnce();
  auto connection = std::make_unique<Connection>();
  connection->display = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
  if (connection->display == nullptr) return nullptr;
  if (!queryExtensions(connection->display)) return nullptr;
  std::string name = DisplayString(connection->display);
  return std::shared_ptr<X11Display>(new X11Display(std::move(name), std::move(connection)));
}

X11Display::X11Display(std::string name, std::unique_ptr<Connection> connection)
    : name_(std::move(name)), connection_(std::move(connection)) {}

X11Display::~X11Display() = default;

DirectDisplayID X11Display::mainDisplayID() {
  std::lock_guard<std::mutex> lock(mutex_);
  auto output = findOutput(connection_->display, 0, false);
  return output ? static_cast<DirectDisplayID>(output->output) : 0;
}

Rect X11Display::displayBounds(DirectDisplayID display) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (display == 0) return Rect{};
  auto output = findOutput(connection_->display, display, false);
  return output ? output->bounds : Rect{};
}

std::vector<DisplayMode> X11Display::copyAllDisplayModes(DirectDisplayID display) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (display == 0) return {};
  auto output = findOutput(connection_->display, display, true);
  return output ? output->modes : std::vector<DisplayMode>{};
}

int X11Display::getActiveDisplayList(std::uint32_t maxDisplays,
                                     std::vector<DirectDisplayID>* displays) {
  if (displays == nullptr) return kDisplayErrorIllegalArgument;
  displays->clear();
  std::lock_guard<std::mutex> lock(mutex_);
  for (const OutputInfo& output : activeOutputs(connection_->display, false)) {
    if (displays->size() >= maxDisplays) break;
    displays->push_back(static_cast<DirectDisplayID>(output.output));
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
    if (!findOutput(connection_->display, display, false)) return nullptr;
  }
  auto core = detail::StreamCore::create("x11_display_stream", properties, std::move(queue),
                                         std::move(handler));
  auto capture = std::make_shared<Capture>();
  capture->displayName = name_;
  capture->output = display;
  capture->width = width;
  capture->height = height;
  capture->showCursor = properties.showCursor;
  capture->preserveAspectRatio = properties.preserveAspectRatio;
  capture->core = core;
  const dispatch::QueuePtr privateQueue = core->privateQueue();
  core->setGrab([capture](const std::function<void()>& onRelease) {
    return capture->grab(onRelease);
  });
  core->setHooks(
      [capture, privateQueue] {
        if (!capture->open()) {
          log::nslog("display: cannot open the X display \"%s\" for a stream",
                     capture->displayName.c_str());
          capture->close();
          return;
        }
        capture->reader = dispatch::Source::createRead(ConnectionNumber(capture->display),
                                                       privateQueue);
        capture->reader->setEventHandler([capture] { capture->drainEvents(); });
        // The connection closes only after the reader's last handler, so its descriptor is
        // never watched after it was closed.
        capture->reader->setCancelHandler([capture] { capture->close(); });
        capture->reader->resume();
      },
      [capture] {
        if (capture->reader) {
          capture->reader->cancel();
          capture->reader.reset();
        } else {
          capture->close();
        }
      });
  return std::make_shared<detail::CoreDisplayStream>(width, height, std::move(core));
}

std::vector<WindowInfo> X11Display::copyWindowInfo(std::uint32_t options,
                                                   WindowID /*relativeToWindow*/) {
  std::lock_guard<std::mutex> lock(mutex_);
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
    info.bounds = Rect{Point{static_cast<double>(attributes.x), static_cast<double>(attributes.y)},
                       Size{static_cast<double>(attributes.width),
                            static_cast<double>(attributes.height)}};
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
          info.ownerPID = static_cast<std::int32_t>(*reinterpret_cast<unsigned long*>(data));  // NOLINT
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
  Display* display = connection_->display;
  auto output = findOutput(display, 0, false);
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
  XImage* image = XGetImage(display, DefaultRootWindow(display), static_cast<int>(left),
                            static_cast<int>(top), static_cast<unsigned>(width),
                            static_cast<unsigned>(height), AllPlanes, ZPixmap);
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

}  // namespace corvane::platform::display
