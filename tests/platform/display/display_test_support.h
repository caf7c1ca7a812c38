// Helpers of the display tests: a frame sink that a stream's handler feeds and a test waits on,
// and reading colours back out of '420v' surfaces.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/display/display.h"
#include "platform/video/surface.h"

namespace corvane::platform::display::test {

// Records every call of a stream's frame handler.
class FrameSink {
 public:
  struct Call {
    DisplayStreamFrameStatus status;
    video::SurfaceRef surface;
    bool onQueue = false;  // ran on the queue the stream was given
    std::uint64_t displayTime = 0;  // the stream's time of the frame, nanoseconds
  };

  // `keepSurfaces` false: the surfaces go back to the stream at once (only the calls are kept).
  explicit FrameSink(dispatch::QueuePtr queue, bool keepSurfaces = true)
      : queue_(std::move(queue)), keepSurfaces_(keepSurfaces) {}

  DisplayStreamFrameAvailableHandler handler() {
    return [this](DisplayStreamFrameStatus status, std::uint64_t time,
                  const video::SurfaceRef& surface) {
      std::lock_guard<std::mutex> lock(mutex_);
      calls_.push_back(Call{status, keepSurfaces_ ? surface : nullptr,
                            dispatch::Queue::current() == queue_,
                            time});
      changed_.notify_all();
    };
  }

  // Waits until `count` frames (FrameComplete calls) have arrived.
  bool waitForFrames(std::size_t count, double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                             [&] { return framesLocked() >= count; });
  }
  bool waitForStopped(double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
      return !calls_.empty() && calls_.back().status == DisplayStreamFrameStatus::Stopped;
    });
  }
  std::size_t frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return framesLocked();
  }
  std::vector<Call> calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  video::SurfaceRef lastSurface() const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = calls_.rbegin(); it != calls_.rend(); ++it) {
      if (it->surface) return it->surface;
    }
    return nullptr;
  }
  // Lets go of the surfaces kept so far (so a stream's queue depth frees up).
  void dropSurfaces() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Call& call : calls_) call.surface.reset();
  }

 private:
  std::size_t framesLocked() const {
    std::size_t n = 0;
    for (const Call& call : calls_) n += call.status == DisplayStreamFrameStatus::FrameComplete;
    return n;
  }

  const dispatch::QueuePtr queue_;
  const bool keepSurfaces_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Call> calls_;
};

struct Yuv {
  int y = 0;
  int cb = 0;
  int cr = 0;
};

// The Y'CbCr sample at (x, y) of a '420v' surface.
inline Yuv sampleAt(const video::Surface& surface, int x, int y) {
  const std::uint8_t* luma = surface.baseAddressOfPlane(0) +
                             static_cast<std::size_t>(y) * surface.bytesPerRowOfPlane(0);
  const std::uint8_t* chroma = surface.baseAddressOfPlane(1) +
                               static_cast<std::size_t>(y / 2) * surface.bytesPerRowOfPlane(1);
  return Yuv{luma[x], chroma[(x / 2) * 2], chroma[(x / 2) * 2 + 1]};
}

// BT.601 video-range Y'CbCr of an RGB colour (what the capture's conversion gives).
inline Yuv expectedYuv(int r, int g, int b) {
  return Yuv{static_cast<int>(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255.0 + 0.5),
             static_cast<int>(128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255.0 + 0.5),
             static_cast<int>(128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255.0 + 0.5)};
}

inline bool near(const Yuv& a, const Yuv& b, int tolerance = 3) {
  auto close = [tolerance](int p, int q) { return p - q <= tolerance && q - p <= tolerance; };
  return close(a.y, b.y) && close(a.cb, b.cb) && close(a.cr, b.cr);
}

}  // namespace corvane::platform::display::test
