// Pixel-buffer pools: buffers of one size and format whose memory is reused. A buffer made by
// the pool goes back to it when its last reference goes (wherever that is: a queue, an
// encoder, a wrapping buffer), and a later `createPixelBuffer` hands the same memory out
// again, holding the old picture. Memory that is still referenced is never handed out.
//
// Bound: at most `maximumBufferCount` buffers of the pool exist at one time; while all of them
// are out, creation fails with kReturnWouldExceedAllocationThreshold (the producer waits for
// one to come back instead of growing). Free buffers are kept until the pool goes or is
// flushed; buffers still out when the pool goes are freed when they are released.
//
// Ownership: shared (`std::shared_ptr`). Thread-safety: every member may be called from any
// thread, and buffers may be released on any thread.
#pragma once

#include <memory>

#include "platform/video/pixel_buffer.h"

namespace corvane::platform::video {

class PixelBufferPool {
 public:
  struct Attributes {
    int width = 0;
    int height = 0;
    OSType pixelFormat = kPixelFormat420YpCbCr8BiPlanarVideoRange;
    int maximumBufferCount = 1;  // 1..64
    // Buffers made (and their pages touched) when the pool is created, up to the maximum: a
    // stream that will hold that many at its busiest then takes its memory at the start, and
    // its footprint does not step up later when a consumer falls behind.
    int minimumBufferCount = 0;
  };

  // A pool, or an error status (bad size, format or count, or no memory for the minimum)
  // with `out` nullptr.
  static int create(const Attributes& attributes, std::shared_ptr<PixelBufferPool>* out);
  ~PixelBufferPool();
  PixelBufferPool(const PixelBufferPool&) = delete;
  PixelBufferPool& operator=(const PixelBufferPool&) = delete;

  // A buffer of the pool's size and format: a free one when there is one, else a new one
  // while fewer than the maximum exist. kReturnWouldExceedAllocationThreshold when all are out.
  int createPixelBuffer(PixelBufferRef* out);
  // Frees the buffers that are free now (those out come back as usual).
  void flush();

  const Attributes& attributes() const { return attributes_; }
  // Buffers out now, free now, and made since the pool was created.
  int buffersInUse() const;
  int buffersFree() const;
  int buffersAllocated() const;

 private:
  struct Store;
  PixelBufferPool(const Attributes& attributes, std::shared_ptr<Store> store);

  const Attributes attributes_;
  std::shared_ptr<Store> store_;  // shared with the buffers that are out
};

using PixelBufferPoolRef = std::shared_ptr<PixelBufferPool>;

}  // namespace corvane::platform::video
