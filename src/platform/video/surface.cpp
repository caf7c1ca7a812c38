#include "platform/video/surface.h"

#include <utility>

namespace corvane::platform::video {

int Surface::create(int width, int height, OSType format, std::function<void()> onRelease,
                    std::shared_ptr<Surface>* out) {
  if (out == nullptr) return kReturnInvalidArgument;
  *out = nullptr;
  PixelBufferRef memory;
  const int status = PixelBuffer::create(width, height, format, &memory);
  if (status != kReturnSuccess) return status;
  memory->lockBaseAddress(0);
  out->reset(new Surface(width, height, format, std::move(memory), std::move(onRelease)));
  return kReturnSuccess;
}

int Surface::create(const std::shared_ptr<PixelBufferPool>& pool, std::function<void()> onRelease,
                    std::shared_ptr<Surface>* out) {
  if (out == nullptr) return kReturnInvalidArgument;
  *out = nullptr;
  if (!pool) return kReturnInvalidArgument;
  PixelBufferRef memory;
  const int status = pool->createPixelBuffer(&memory);
  if (status != kReturnSuccess) return status;
  memory->lockBaseAddress(0);
  const PixelBufferPool::Attributes& attributes = pool->attributes();
  out->reset(new Surface(attributes.width, attributes.height, attributes.pixelFormat,
                         std::move(memory), std::move(onRelease)));
  return kReturnSuccess;
}

Surface::Surface(int width, int height, OSType format, PixelBufferRef memory,
                 std::function<void()> onRelease)
    : width_(width),
      height_(height),
      format_(format),
      memory_(std::move(memory)),
      onRelease_(std::move(onRelease)) {}

Surface::~Surface() {
  memory_->unlockBaseAddress(0);
  memory_.reset();
  if (onRelease_) onRelease_();
}

std::size_t Surface::planeCount() const {
  // A non-planar image still has its one plane of memory.
  return memory_->isPlanar() ? memory_->planeCount() : 1;
}

std::uint8_t* Surface::baseAddressOfPlane(std::size_t plane) const {
  return memory_->baseAddressOfPlane(plane);
}

std::size_t Surface::bytesPerRowOfPlane(std::size_t plane) const {
  return memory_->bytesPerRowOfPlane(plane);
}

int Surface::heightOfPlane(std::size_t plane) const { return memory_->heightOfPlane(plane); }

int createPixelBufferWithSurface(const SurfaceRef& surface, PixelBufferRef* out) {
  if (out == nullptr) return kReturnInvalidArgument;
  *out = nullptr;
  if (!surface) return kReturnInvalidArgument;
  std::vector<PixelBuffer::PlaneMemory> planes;
  for (std::size_t i = 0; i < surface->planeCount(); ++i) {
    planes.push_back({surface->baseAddressOfPlane(i), surface->bytesPerRowOfPlane(i)});
  }
  surface->incrementUseCount();
  SurfaceRef keep = surface;
  const int status = PixelBuffer::createWithPlanes(
      surface->width(), surface->height(), surface->pixelFormat(), planes,
      [keep]() mutable {
        keep->decrementUseCount();
        keep.reset();
      },
      out);
  if (status != kReturnSuccess) surface->decrementUseCount();
  return status;
}

}  // namespace corvane::platform::video
