#include "platform/display/linux/x11_capture.h"
#include "platform/log/log.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/display/detail/frame_conversion.h"

namespace corvane::platform::display::detail {

namespace {

// Extensions the capture needs; false when one is missing.
struct Extensions {
  int damageEvent = 0;
  int fixesEvent = 0;
  int rrEvent = 0;
};

// The most surfaces a pool holds.
constexpr int kMaxSurfaces = 64;

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

}  // namespace

bool hasCaptureExtensions(Display* display) { return queryExtensions(display).has_value(); }

namespace {

// Xlib's default handlers end the process on a protocol error (a window that went away while
// it was listed) and on a lost server: these log instead, and a lost connection is marked dead.
int onXError(Display* display, XErrorEvent* event) {
  char text[128] = {};
  XGetErrorText(display, event->error_code, text, sizeof text);
  log::nslog("display: X error %d (%s), request %d", static_cast<int>(event->error_code), text,
             static_cast<int>(event->request_code));
  return 0;
}

int onXIOError(Display* /*display*/) {
  log::nslog("display: the connection to the X server was lost");
  return 0;
}

void onXIOErrorExit(Display* /*display*/, void* deadFlag) {
  static_cast<std::atomic<bool>*>(deadFlag)->store(true);
}

}  // namespace

void prepareXlib() {
  static std::once_flag once;
  std::call_once(once, [] {
    XInitThreads();
    XSetErrorHandler(onXError);
    XSetIOErrorHandler(onXIOError);
  });
}

bool x11ConnectionLost(Display* display, std::atomic<bool>* deadFlag) {
  if (display == nullptr) return true;
  if (deadFlag->load()) return true;
  // A closed socket reads as end-of-file: seen here, Xlib never has to meet it (its way out
  // of a lost connection leaves its own state unusable).
  pollfd probe{ConnectionNumber(display), POLLIN, 0};
  if (poll(&probe, 1, 0) <= 0) return false;
  bool lost = (probe.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  if (!lost && (probe.revents & POLLIN) != 0) {
    char byte = 0;
    lost = recv(probe.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
  }
  if (lost) {
    log::nslog("display: the connection to the X server was lost");
    deadFlag->store(true);
  }
  return lost;
}

void closeX11Connection(Display* display, const std::atomic<bool>& dead) {
  if (display == nullptr) return;
  if (!dead) {
    XCloseDisplay(display);
    return;
  }
  // After a lost connection Xlib's state is unusable (any further call can block for ever):
  // only the descriptor is closed, the small client-side record is left behind.
  ::close(ConnectionNumber(display));
}

Display* openX11Connection(const std::string& name, std::atomic<bool>* deadFlag) {
  prepareXlib();
  Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
  if (display != nullptr) XSetIOErrorExitHandler(display, onXIOErrorExit, deadFlag);
  return display;
}

std::vector<X11Output> activeX11Outputs(Display* display, bool withModes) {
  std::vector<X11Output> outputs;
  const Window root = DefaultRootWindow(display);
  XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root);
  if (resources == nullptr) return outputs;
  const RROutput primary = XRRGetOutputPrimary(display, root);
  for (int i = 0; i < resources->noutput; ++i) {
    XRROutputInfo* info = XRRGetOutputInfo(display, resources, resources->outputs[i]);
    if (info == nullptr) continue;
    if (info->connection == RR_Connected && info->crtc != 0) {
      X11Output entry;
      entry.output = static_cast<DirectDisplayID>(resources->outputs[i]);
      if (XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, info->crtc)) {
        entry.bounds =
            Rect{Point{static_cast<double>(crtc->x), static_cast<double>(crtc->y)},
                 Size{static_cast<double>(crtc->width), static_cast<double>(crtc->height)}};
        XRRFreeCrtcInfo(crtc);
      }
      if (withModes) {
        for (int m = 0; m < info->nmode; ++m) {
          for (int k = 0; k < resources->nmode; ++k) {
            const XRRModeInfo& mode = resources->modes[k];
            if (mode.id != info->modes[m]) continue;
            const double frame = static_cast<double>(mode.hTotal) * mode.vTotal;
            entry.modes.push_back(DisplayMode{
                static_cast<std::int32_t>(mode.width), static_cast<std::int32_t>(mode.height),
                frame > 0 ? static_cast<double>(mode.dotClock) / frame : 0.0});
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

std::optional<X11Output> findX11Output(Display* display, DirectDisplayID id, bool withModes) {
  for (X11Output& output : activeX11Outputs(display, withModes)) {
    if (id == 0 || output.output == id) return std::move(output);
  }
  return std::nullopt;
}

struct X11Capture::State {
  std::string displayName;
  DirectDisplayID output = 0;
  int width = 0;  // stream size
  int height = 0;
  bool showCursor = false;
  bool preserveAspectRatio = true;
  int surfaceCount = 3;

  Display* display = nullptr;
  std::atomic<bool> dead{false};  // the server went away
  Extensions extensions;
  Window root = 0;
  Damage damage = 0;
  XShmSegmentInfo shm{};
  XImage* image = nullptr;
  Rect area;                           // the captured part of the root window
  video::PixelBufferPoolRef surfaces;  // memory of the frames, reused from frame to frame
  ConversionScratch scratch;
  std::vector<std::uint32_t> cursor;

  ~State() { close(); }

  void destroyImage() {
    if (image == nullptr) return;
    if (!dead) XShmDetach(display, &shm);
    XDestroyImage(image);  // frees only the XImage: its data is the segment
    shmdt(shm.shmaddr);
    image = nullptr;
    shm = XShmSegmentInfo{};
  }

  bool createImage() {
    destroyImage();
    if (auto found = findX11Output(display, output, false)) area = found->bounds;
    const auto w = static_cast<unsigned>(area.size.width);
    const auto h = static_cast<unsigned>(area.size.height);
    if (w == 0 || h == 0) return false;
    const int screen = DefaultScreen(display);
    image = XShmCreateImage(display, DefaultVisual(display, screen),
                            static_cast<unsigned>(DefaultDepth(display, screen)), ZPixmap, nullptr,
                            &shm, w, h);
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
    dead = false;
    display = openX11Connection(displayName, &dead);
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
    // A new damage object reports the whole screen once; the first frame, taken after this,
    // shows it anyway, so that report is consumed here and an idle screen stays quiet.
    XSync(display, False);
    XDamageSubtract(display, damage, None, None);
    XSync(display, False);
    while (!dead && XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
    }
    createImage();
    XFlush(display);
    return true;
  }

  void close() {
    if (display == nullptr) return;
    x11ConnectionLost(display, &dead);
    destroyImage();
    if (damage != 0 && !dead) XDamageDestroy(display, damage);
    damage = 0;
    closeX11Connection(display, dead);
    display = nullptr;
  }

  // Reads every queued event; true when the screen (or the shown cursor) changed.
  bool drainEvents() {
    if (display == nullptr || x11ConnectionLost(display, &dead)) return false;
    bool dirty = false;
    bool resized = false;
    while (!dead && XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == extensions.damageEvent + XDamageNotify) {
        dirty = true;
      } else if (event.type == ConfigureNotify ||
                 event.type == extensions.rrEvent + RRScreenChangeNotify) {
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
    return dirty;
  }

  void compositeCursorImage() {
    XFixesCursorImage* cursorImage = XFixesGetCursorImage(display);
    if (cursorImage == nullptr) return;
    const auto count = static_cast<std::size_t>(cursorImage->width) * cursorImage->height;
    cursor.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
      cursor[i] = static_cast<std::uint32_t>(cursorImage->pixels[i] & 0xFFFFFFFFUL);
    }
    const BgraImage target{reinterpret_cast<std::uint8_t*>(image->data),  // NOLINT
                           image->width, image->height,
                           static_cast<std::size_t>(image->bytes_per_line)};
    compositeCursor(
        target, CursorImage{cursor, cursorImage->width, cursorImage->height,
                            cursorImage->x - cursorImage->xhot - static_cast<int>(area.origin.x),
                            cursorImage->y - cursorImage->yhot - static_cast<int>(area.origin.y)});
    XFree(cursorImage);
  }

  video::SurfaceRef grab(const std::function<void()>& onRelease) {
    if (display == nullptr || x11ConnectionLost(display, &dead)) return nullptr;
    // All the surfaces the stream can hold at once are made with the first grab.
    if (!surfaces &&
        video::PixelBufferPool::create(
            {width, height, video::kPixelFormat420YpCbCr8BiPlanarVideoRange,
             std::clamp(surfaceCount, 1, kMaxSurfaces), std::clamp(surfaceCount, 1, kMaxSurfaces)},
            &surfaces) != video::kReturnSuccess) {
      return nullptr;
    }
    if (image == nullptr && !createImage()) return nullptr;
    if (XShmGetImage(display, root, image, static_cast<int>(area.origin.x),
                     static_cast<int>(area.origin.y), AllPlanes) == False) {
      return nullptr;
    }
    if (showCursor) compositeCursorImage();
    const BgraImage source{reinterpret_cast<std::uint8_t*>(image->data),  // NOLINT
                           image->width, image->height,
                           static_cast<std::size_t>(image->bytes_per_line)};
    return convertToSurface(source, surfaces, preserveAspectRatio, scratch, onRelease);
  }
};

X11Capture::X11Capture(Options options) : state_(std::make_unique<State>()) {
  state_->displayName = std::move(options.displayName);
  state_->output = options.output;
  state_->width = options.width;
  state_->height = options.height;
  state_->showCursor = options.showCursor;
  state_->preserveAspectRatio = options.preserveAspectRatio;
  state_->surfaceCount = options.surfaceCount;
}

X11Capture::~X11Capture() = default;

bool X11Capture::open() {
  if (state_->open()) return true;
  state_->close();
  return false;
}

void X11Capture::close() { state_->close(); }

int X11Capture::connectionNumber() const {
  return state_->display != nullptr ? ConnectionNumber(state_->display) : -1;
}

bool X11Capture::drainEvents() { return state_->drainEvents(); }

bool X11Capture::hasQueuedEvents() const {
  return state_->display != nullptr && !state_->dead &&
         XEventsQueued(state_->display, QueuedAlready) > 0;
}

bool X11Capture::isDead() const { return state_->dead; }

video::SurfaceRef X11Capture::grab(const std::function<void()>& onRelease) {
  return state_->grab(onRelease);
}

}  // namespace corvane::platform::display::detail
