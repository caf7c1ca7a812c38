// Pixel buffers: one image in memory, in one of three formats:
//   '420v'  bi-planar 4:2:0 Y'CbCr, video range (NV12): plane 0 luma, plane 1 interleaved CbCr;
//   'y420'  three-plane 4:2:0 Y'CbCr (I420): planes Y, Cb, Cr;
//   'BGRA'  one plane of 32-bit pixels, bytes B, G, R, A in memory (not planar).
// Buffers made by `create` own their memory: every plane starts on a 64-byte boundary and its
// row stride is a multiple of 64 bytes. That memory is recycled: when a thread releases such
// a buffer of the size and format it made last, its next buffer of that shape gets the same
// memory back (holding the old picture), so a worker that makes and releases a buffer for
// every frame costs no new pages; a thread keeps one such block at most, until it ends. A
// buffer still referenced anywhere never gives its memory away. Pools (pixel_buffer_pool.h)
// keep several buffers of one size for streams that hold more than one at a time.
// `createWithPlanes` wraps memory that someone else owns (a captured surface) and calls the
// release callback when the buffer goes away.
//
// Locking: the plane addresses are only handed out while the buffer is locked. A read-only lock
// (`kLockReadOnly`) promises not to write; the matching unlock must pass the same flags.
// Ownership: buffers are shared (`std::shared_ptr`); retain = copy, release = reset.
// Thread-safety: locking and the getters may be called from any thread; writing the pixels is
// the business of whoever holds a writable lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace corvane::platform::video {

using OSType = std::uint32_t;

constexpr OSType fourCC(const char (&code)[5]) {
  return (static_cast<OSType>(static_cast<unsigned char>(code[0])) << 24) |
         (static_cast<OSType>(static_cast<unsigned char>(code[1])) << 16) |
         (static_cast<OSType>(static_cast<unsigned char>(code[2])) << 8) |
         static_cast<OSType>(static_cast<unsigned char>(code[3]));
}

inline constexpr OSType kPixelFormat420YpCbCr8BiPlanarVideoRange = fourCC("420v");
inline constexpr OSType kPixelFormat420YpCbCr8Planar = fourCC("y420");
inline constexpr OSType kPixelFormat32BGRA = fourCC("BGRA");

// Status codes of the pixel-buffer and transfer calls.
inline constexpr int kReturnSuccess = 0;
inline constexpr int kReturnInvalidArgument = -6661;
inline constexpr int kReturnAllocationFailed = -6662;
inline constexpr int kReturnInvalidPixelFormat = -6680;
inline constexpr int kReturnInvalidSize = -6681;
inline constexpr int kReturnNotLocked = -6682;  // unlock without a matching lock
inline constexpr int kReturnWouldExceedAllocationThreshold = -6689;  // a pool's buffers are all out
inline constexpr int kReturnInvalidSession = -12903;

// Lock flags.
inline constexpr std::uint32_t kLockReadOnly = 0x1;

class PixelBuffer {
 public:
  // Description of one plane of memory handed to `createWithPlanes`.
  struct PlaneMemory {
    std::uint8_t* base = nullptr;
    std::size_t bytesPerRow = 0;
  };
  using ReleaseCallback = std::function<void()>;

  // The largest width or height accepted (keeps every size computation far from overflow).
  static constexpr int kMaxDimension = 16384;

  // A new buffer with its own, uninitialised memory (recycled from a buffer of the same size
  // and format that this thread made and released before, when there is one). Answers the status
  // and sets `out` (nullptr on failure: unknown format, width or height outside 1..kMaxDimension).
  static int create(int width, int height, OSType format, std::shared_ptr<PixelBuffer>* out);
  // A buffer over memory owned elsewhere; `planes` has one entry per plane (one for BGRA).
  // Strides must cover the plane's row. `release` (may be empty) runs when the buffer dies;
  // on failure no buffer exists and `release` is not called (the caller keeps its memory).
  static int createWithPlanes(int width, int height, OSType format,
                              const std::vector<PlaneMemory>& planes, ReleaseCallback release,
                              std::shared_ptr<PixelBuffer>* out);

  ~PixelBuffer();
  PixelBuffer(const PixelBuffer&) = delete;
  PixelBuffer& operator=(const PixelBuffer&) = delete;

  int width() const { return width_; }
  int height() const { return height_; }
  OSType pixelFormatType() const { return format_; }
  bool isPlanar() const { return format_ != kPixelFormat32BGRA; }
  // Number of planes: 2 for '420v', 3 for 'y420', 0 for the non-planar 'BGRA'.
  std::size_t planeCount() const { return isPlanar() ? planes_.size() : 0; }

  int widthOfPlane(std::size_t plane) const;   // in samples (CbCr pairs for plane 1 of '420v')
  int heightOfPlane(std::size_t plane) const;  // in rows
  std::size_t bytesPerRowOfPlane(std::size_t plane) const;
  // The plane's first byte while locked, else nullptr (also for an index out of range).
  std::uint8_t* baseAddressOfPlane(std::size_t plane) const;
  // Non-planar access (BGRA); for planar buffers the first plane.
  std::size_t bytesPerRow() const { return bytesPerRowOfPlane(0); }
  std::uint8_t* baseAddress() const { return baseAddressOfPlane(0); }

  int lockBaseAddress(std::uint32_t flags);
  int unlockBaseAddress(std::uint32_t flags);
  bool isLocked() const;

 private:
  struct Plane {
    std::uint8_t* base = nullptr;
    std::size_t bytesPerRow = 0;
    int width = 0;
    int height = 0;
  };

  PixelBuffer(int width, int height, OSType format);
  // Fills `planes_` sizes for the format; false for an unknown format.
  bool layOutPlanes();

  const int width_;
  const int height_;
  const OSType format_;
  std::vector<Plane> planes_;
  ReleaseCallback release_;
  std::atomic<int> readOnlyLocks_{0};
  std::atomic<int> writableLocks_{0};
};

using PixelBufferRef = std::shared_ptr<PixelBuffer>;

}  // namespace corvane::platform::video
