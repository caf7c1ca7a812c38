#include "platform/video/pixel_buffer.h"

#include "platform/video/detail/pixel_memory.h"

namespace corvane::platform::video {
namespace {

// Bytes one sample of a plane takes.
std::size_t bytesPerSample(OSType format, std::size_t plane) {
  if (format == kPixelFormat32BGRA) return 4;
  if (format == kPixelFormat420YpCbCr8BiPlanarVideoRange && plane == 1) return 2;
  return 1;
}

}  // namespace

PixelBuffer::PixelBuffer(int width, int height, OSType format)
    : width_(width), height_(height), format_(format) {}

PixelBuffer::~PixelBuffer() {
  if (release_) release_();
}

bool PixelBuffer::layOutPlanes() {
  const int chromaWidth = (width_ + 1) / 2;
  const int chromaHeight = (height_ + 1) / 2;
  if (format_ == kPixelFormat420YpCbCr8BiPlanarVideoRange) {
    planes_ = {Plane{nullptr, 0, width_, height_}, Plane{nullptr, 0, chromaWidth, chromaHeight}};
  } else if (format_ == kPixelFormat420YpCbCr8Planar) {
    planes_ = {Plane{nullptr, 0, width_, height_}, Plane{nullptr, 0, chromaWidth, chromaHeight},
               Plane{nullptr, 0, chromaWidth, chromaHeight}};
  } else if (format_ == kPixelFormat32BGRA) {
    planes_ = {Plane{nullptr, 0, width_, height_}};
  } else {
    return false;
  }
  return true;
}

int PixelBuffer::create(int width, int height, OSType format, std::shared_ptr<PixelBuffer>* out) {
  if (out == nullptr) return kReturnInvalidArgument;
  *out = nullptr;
  detail::PixelLayout layout;
  const int status = detail::layOutPixels(width, height, format, &layout);
  if (status != kReturnSuccess) return status;
  std::unique_ptr<detail::PixelMemory> memory = detail::takeRecycledMemory(layout);
  if (!memory) memory = detail::PixelMemory::allocate(layout.totalBytes);
  if (!memory) return kReturnAllocationFailed;
  return detail::wrapPixelMemory(
      layout, std::move(memory),
      [layout](std::unique_ptr<detail::PixelMemory> block) {
        detail::recycleMemory(layout, std::move(block));
      },
      out);
}

int PixelBuffer::createWithPlanes(int width, int height, OSType format,
                                  const std::vector<PlaneMemory>& planes, ReleaseCallback release,
                                  std::shared_ptr<PixelBuffer>* out) {
  if (out == nullptr) return kReturnInvalidArgument;
  *out = nullptr;
  if (width < 1 || height < 1 || width > kMaxDimension || height > kMaxDimension) {
    return kReturnInvalidSize;
  }
  std::shared_ptr<PixelBuffer> buffer(new PixelBuffer(width, height, format));
  if (!buffer->layOutPlanes()) return kReturnInvalidPixelFormat;
  if (planes.size() != buffer->planes_.size()) return kReturnInvalidArgument;
  for (std::size_t i = 0; i < planes.size(); ++i) {
    Plane& plane = buffer->planes_[i];
    const std::size_t rowBytes = static_cast<std::size_t>(plane.width) * bytesPerSample(format, i);
    if (planes[i].base == nullptr || planes[i].bytesPerRow < rowBytes) {
      return kReturnInvalidArgument;
    }
    plane.base = planes[i].base;
    plane.bytesPerRow = planes[i].bytesPerRow;
  }
  // Only a buffer that was made takes over the release duty.
  buffer->release_ = std::move(release);
  *out = std::move(buffer);
  return kReturnSuccess;
}

int PixelBuffer::widthOfPlane(std::size_t plane) const {
  return plane < planes_.size() ? planes_[plane].width : 0;
}

int PixelBuffer::heightOfPlane(std::size_t plane) const {
  return plane < planes_.size() ? planes_[plane].height : 0;
}

std::size_t PixelBuffer::bytesPerRowOfPlane(std::size_t plane) const {
  return plane < planes_.size() ? planes_[plane].bytesPerRow : 0;
}

std::uint8_t* PixelBuffer::baseAddressOfPlane(std::size_t plane) const {
  if (plane >= planes_.size() || !isLocked()) return nullptr;
  return planes_[plane].base;
}

int PixelBuffer::lockBaseAddress(std::uint32_t flags) {
  if ((flags & ~kLockReadOnly) != 0) return kReturnInvalidArgument;
  (flags & kLockReadOnly ? readOnlyLocks_ : writableLocks_).fetch_add(1);
  return kReturnSuccess;
}

int PixelBuffer::unlockBaseAddress(std::uint32_t flags) {
  if ((flags & ~kLockReadOnly) != 0) return kReturnInvalidArgument;
  std::atomic<int>& counter = (flags & kLockReadOnly) ? readOnlyLocks_ : writableLocks_;
  int current = counter.load();
  while (current > 0) {
    if (counter.compare_exchange_weak(current, current - 1)) return kReturnSuccess;
  }
  return kReturnNotLocked;
}

bool PixelBuffer::isLocked() const {
  return readOnlyLocks_.load() > 0 || writableLocks_.load() > 0;
}

}  // namespace corvane::platform::video
