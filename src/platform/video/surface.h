// Surfaces: the frame memory a display stream hands to its frame handler. A surface owns one
// '420v' image whose planes stay at fixed addresses for its whole life, and a use count that
// tells its producer whether someone still reads it (a stream reuses no surface while it is in
// use and holds at most its queue depth of them).
//
// Ownership: shared (`std::shared_ptr`); retain = copy, release = reset. A pixel buffer made
// with `createPixelBufferWithSurface` keeps its surface alive and in use until it dies.
// Thread-safety: every member may be called from any thread; writing the pixels is the
// business of the producer before it hands the surface out.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/video/pixel_buffer.h"
#include "platform/video/pixel_buffer_pool.h"

namespace corvane::platform::video {

class Surface {
 public:
  // A new surface of `width` x `height` in `format` ('420v', 'y420' or 'BGRA'); status as
  // for PixelBuffer::create. `onRelease` (may be empty) runs when the surface dies.
  static int create(int width, int height, OSType format, std::function<void()> onRelease,
                    std::shared_ptr<Surface>* out);
  // A new surface over a buffer of `pool` (its size and format), which gets the memory back
  // when the surface dies; kReturnWouldExceedAllocationThreshold while all of the pool's
  // buffers are out.
  static int create(const std::shared_ptr<PixelBufferPool>& pool, std::function<void()> onRelease,
                    std::shared_ptr<Surface>* out);

  ~Surface();
  Surface(const Surface&) = delete;
  Surface& operator=(const Surface&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  OSType pixelFormat() const { return format_; }
  std::size_t planeCount() const;
  std::uint8_t* baseAddressOfPlane(std::size_t plane) const;
  std::size_t bytesPerRowOfPlane(std::size_t plane) const;
  int heightOfPlane(std::size_t plane) const;

  void incrementUseCount() { useCount_.fetch_add(1, std::memory_order_acq_rel); }
  void decrementUseCount() { useCount_.fetch_sub(1, std::memory_order_acq_rel); }
  bool isInUse() const { return useCount_.load(std::memory_order_acquire) > 0; }
  int useCount() const { return useCount_.load(std::memory_order_acquire); }

 private:
  Surface(int width, int height, OSType format, PixelBufferRef memory,
          std::function<void()> onRelease);

  const int width_;
  const int height_;
  const OSType format_;
  PixelBufferRef memory_;  // locked for writing for the surface's whole life
  std::function<void()> onRelease_;
  std::atomic<int> useCount_{0};
};

using SurfaceRef = std::shared_ptr<Surface>;

// A pixel buffer over the surface's planes. The buffer keeps the surface alive and counts as
// one use of it until the buffer dies. Answers the status; `out` is nullptr on failure.
int createPixelBufferWithSurface(const SurfaceRef& surface, PixelBufferRef* out);

}  // namespace corvane::platform::video
