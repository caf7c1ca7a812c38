// Pixel memory: the blocks behind pixel buffers, their plane layout, and the per-thread
// recycling that `PixelBuffer::create` draws from.
//
// A block of a megabyte or more is a private mapping of its own (its pages go back to the
// system when the block is freed, whichever thread frees it); a smaller one comes from the
// heap. Reusing a block instead of mapping a new one spares the kernel a page fault for every
// page of every frame, which is most of what a new frame costs.
//
// Thread-safety: `PixelMemory` is owned by one holder at a time; the recycling functions may
// be called from any thread and touch only the calling thread's own block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/video/pixel_buffer.h"

namespace corvane::platform::video::detail {

class PixelMemory {
 public:
  // `bytes` of uninitialised memory aligned to 64 bytes; nullptr when none is left.
  static std::unique_ptr<PixelMemory> allocate(std::size_t bytes);
  ~PixelMemory();
  PixelMemory(const PixelMemory&) = delete;
  PixelMemory& operator=(const PixelMemory&) = delete;

  std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  PixelMemory(std::uint8_t* data, std::size_t size, bool mapped)
      : data_(data), size_(size), mapped_(mapped) {}
  std::uint8_t* data_;
  std::size_t size_;
  bool mapped_;
};

// Where each plane of an image of one size and format lies in its block: every plane starts
// on a 64-byte boundary and its stride is a multiple of 64 bytes.
struct PixelLayout {
  int width = 0;
  int height = 0;
  OSType format = 0;
  std::vector<std::size_t> offsets;      // of each plane from the block's start
  std::vector<std::size_t> bytesPerRow;  // of each plane
  std::size_t totalBytes = 0;
  bool sameShape(const PixelLayout& other) const {
    return width == other.width && height == other.height && format == other.format;
  }
};

// The layout of `width` x `height` in `format`: kReturnSuccess, kReturnInvalidSize or
// kReturnInvalidPixelFormat.
int layOutPixels(int width, int height, OSType format, PixelLayout* out);

// A pixel buffer over `memory` laid out as `layout`; `release` (which receives the block
// back) runs when the buffer goes. On failure the block is handed to `release` at once.
using MemoryRelease = std::function<void(std::unique_ptr<PixelMemory>)>;
int wrapPixelMemory(const PixelLayout& layout, std::unique_ptr<PixelMemory> memory,
                    MemoryRelease release, PixelBufferRef* out);

// Recycling for `PixelBuffer::create`, one block per thread: a thread that releases a buffer
// of the shape it made last keeps the block, and its next buffer of that shape gets it back.
// A worker that makes and drops a buffer for every frame (the encoder's scaled picture) so
// reuses one block; a thread that goes frees what it kept, and a buffer released by a thread
// that does not make that shape is freed at once.
// A kept block for `layout` (nullptr when there is none); the shape becomes the thread's.
std::unique_ptr<PixelMemory> takeRecycledMemory(const PixelLayout& layout);
// Keeps the block for the calling thread's next buffer of its shape, or frees it.
void recycleMemory(const PixelLayout& layout, std::unique_ptr<PixelMemory> memory);

}  // namespace corvane::platform::video::detail
