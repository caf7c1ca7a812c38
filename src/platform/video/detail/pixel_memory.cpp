#include "platform/video/detail/pixel_memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <mutex>
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

struct MemoryRecycler::State {
  struct Entry {
    PixelLayout layout;
    std::unique_ptr<PixelMemory> memory;
  };
  mutable std::mutex mutex;
  std::deque<Entry> kept;  // oldest first
  std::size_t bytes = 0;
};

MemoryRecycler::MemoryRecycler() : state_(std::make_unique<State>()) {}
MemoryRecycler::~MemoryRecycler() = default;

MemoryRecycler& MemoryRecycler::shared() {
  // Never destroyed: buffers may be released by threads that outlive static destruction.
  static auto* recycler = new MemoryRecycler();
  return *recycler;
}

std::unique_ptr<PixelMemory> MemoryRecycler::take(const PixelLayout& layout) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto& kept = state_->kept;
  for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
    if (!it->layout.sameShape(layout)) continue;
    std::unique_ptr<PixelMemory> memory = std::move(it->memory);
    state_->bytes -= memory->size();
    kept.erase(std::next(it).base());
    return memory;
  }
  return nullptr;
}

void MemoryRecycler::give(const PixelLayout& layout, std::unique_ptr<PixelMemory> memory) {
  if (!memory) return;
  // What goes is freed after the lock is left: unmapping takes a while.
  std::vector<std::unique_ptr<PixelMemory>> dropped;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto& kept = state_->kept;
    const bool haveOne = std::any_of(kept.begin(), kept.end(), [&layout](const State::Entry& e) {
      return e.layout.sameShape(layout);
    });
    if (haveOne || memory->size() > kRecycledBytesLimit) {
      dropped.push_back(std::move(memory));
    } else {
      state_->bytes += memory->size();
      kept.push_back(State::Entry{layout, std::move(memory)});
      while (state_->bytes > kRecycledBytesLimit) {
        state_->bytes -= kept.front().memory->size();
        dropped.push_back(std::move(kept.front().memory));
        kept.pop_front();
      }
    }
  }
}

std::size_t MemoryRecycler::keptBytes() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->bytes;
}

}  // namespace corvane::platform::video::detail
