#include "platform/video/detail/pixel_memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace corvane::platform::video::detail {

namespace {

constexpr std::size_t kAlignment = 64;
// Blocks of this size and above (a frame of a few megabytes) get pages of their own, which
// go back to the system when the block goes. From the heap, frames freed on other threads
// than the ones that made them raise the allocator's mapping threshold and then stay cached
// in per-thread arenas: a mirroring session's resident memory then grew by tens of megabytes
// over minutes, and stood at several times the frames it actually held.
constexpr std::size_t kMappedMinimum = std::size_t{1} << 20;

std::size_t alignUp(std::size_t value) {
  return (value + kAlignment - 1) / kAlignment * kAlignment;
}

// Bytes one sample of a plane takes.
std::size_t bytesPerSample(OSType format, std::size_t plane) {
  if (format == kPixelFormat32BGRA) return 4;
  if (format == kPixelFormat420YpCbCr8BiPlanarVideoRange && plane == 1) return 2;
  return 1;
}

}  // namespace

std::unique_ptr<PixelMemory> PixelMemory::allocate(std::size_t bytes) {
  bytes = std::max(alignUp(bytes), kAlignment);
  if (bytes >= kMappedMinimum) {
    // Page-aligned, so also aligned to kAlignment.
    void* pages =
        ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) return nullptr;
    return std::unique_ptr<PixelMemory>(
        new PixelMemory(static_cast<std::uint8_t*>(pages), bytes, true));
  }
  auto* heap = static_cast<std::uint8_t*>(std::aligned_alloc(kAlignment, bytes));
  if (heap == nullptr) return nullptr;
  return std::unique_ptr<PixelMemory>(new PixelMemory(heap, bytes, false));
}

PixelMemory::~PixelMemory() {
  if (mapped_) {
    ::munmap(data_, size_);
  } else {
    std::free(data_);
  }
}

int layOutPixels(int width, int height, OSType format, PixelLayout* out) {
  if (out == nullptr) return kReturnInvalidArgument;
  if (width < 1 || height < 1 || width > PixelBuffer::kMaxDimension ||
      height > PixelBuffer::kMaxDimension) {
    return kReturnInvalidSize;
  }
  const int chromaWidth = (width + 1) / 2;
  const int chromaHeight = (height + 1) / 2;
  std::vector<std::pair<int, int>> planes;  // width and height of each plane, in samples
  if (format == kPixelFormat420YpCbCr8BiPlanarVideoRange) {
    planes = {{width, height}, {chromaWidth, chromaHeight}};
  } else if (format == kPixelFormat420YpCbCr8Planar) {
    planes = {{width, height}, {chromaWidth, chromaHeight}, {chromaWidth, chromaHeight}};
  } else if (format == kPixelFormat32BGRA) {
    planes = {{width, height}};
  } else {
    return kReturnInvalidPixelFormat;
  }
  PixelLayout layout;
  layout.width = width;
  layout.height = height;
  layout.format = format;
  for (std::size_t i = 0; i < planes.size(); ++i) {
    const std::size_t stride =
        alignUp(static_cast<std::size_t>(planes[i].first) * bytesPerSample(format, i));
    layout.offsets.push_back(layout.totalBytes);
    layout.bytesPerRow.push_back(stride);
    // Each plane size is a multiple of the alignment, so every plane start stays aligned.
    layout.totalBytes += stride * static_cast<std::size_t>(planes[i].second);
  }
  *out = std::move(layout);
  return kReturnSuccess;
}

int wrapPixelMemory(const PixelLayout& layout, std::unique_ptr<PixelMemory> memory,
                    MemoryRelease release, PixelBufferRef* out) {
  if (out == nullptr || !memory || memory->size() < layout.totalBytes) {
    if (release && memory) release(std::move(memory));
    return kReturnInvalidArgument;
  }
  // Hands the block to `release` when the last copy of the buffer's release callback goes,
  // whether the buffer was made or not.
  struct Holder {
    std::unique_ptr<PixelMemory> memory;
    MemoryRelease release;
    ~Holder() {
      if (release) release(std::move(memory));
    }
  };
  std::vector<PixelBuffer::PlaneMemory> planes;
  planes.reserve(layout.offsets.size());
  for (std::size_t i = 0; i < layout.offsets.size(); ++i) {
    planes.push_back({memory->data() + layout.offsets[i], layout.bytesPerRow[i]});
  }
  auto holder = std::make_shared<Holder>();
  holder->memory = std::move(memory);
  holder->release = std::move(release);
  return PixelBuffer::createWithPlanes(
      layout.width, layout.height, layout.format, planes, [holder]() mutable { holder.reset(); },
      out);
}

namespace {

// What the calling thread keeps: the shape it made last and at most one block of it.
struct ThreadRecycling {
  int width = 0;
  int height = 0;
  OSType format = 0;
  std::unique_ptr<PixelMemory> kept;
  bool isShapeOf(const PixelLayout& layout) const {
    return width == layout.width && height == layout.height && format == layout.format;
  }
  ~ThreadRecycling();
};

// Cleared when the thread's record is destroyed at thread exit: buffers that other
// thread-local objects release later (a run loop's blocks) are freed, not kept.
thread_local bool t_recyclingAlive = true;  // trivially destructible: valid to the end

ThreadRecycling::~ThreadRecycling() { t_recyclingAlive = false; }

// The calling thread's record, or null once it is gone.
ThreadRecycling* threadRecycling() {
  if (!t_recyclingAlive) return nullptr;
  thread_local ThreadRecycling recycling;
  return &recycling;
}

}  // namespace

std::unique_ptr<PixelMemory> takeRecycledMemory(const PixelLayout& layout) {
  ThreadRecycling* kept = threadRecycling();
  if (kept == nullptr) return nullptr;
  ThreadRecycling& recycling = *kept;
  if (!recycling.isShapeOf(layout)) {
    recycling.kept.reset();  // a block of the shape made before is not wanted any more
    recycling.width = layout.width;
    recycling.height = layout.height;
    recycling.format = layout.format;
  }
  if (recycling.kept && recycling.kept->size() >= layout.totalBytes) {
    return std::move(recycling.kept);
  }
  return nullptr;
}

void recycleMemory(const PixelLayout& layout, std::unique_ptr<PixelMemory> memory) {
  ThreadRecycling* recycling = threadRecycling();
  if (recycling != nullptr && memory && !recycling->kept && recycling->isShapeOf(layout)) {
    recycling->kept = std::move(memory);
  }
  // Else `memory` is freed here.
}

}  // namespace corvane::platform::video::detail
