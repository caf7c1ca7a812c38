#include "platform/video/pixel_buffer_pool.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/video/detail/pixel_memory.h"

namespace corvane::platform::video {

namespace {
constexpr int kMaximumBufferCountLimit = 64;
}  // namespace

struct PixelBufferPool::Store {
  detail::PixelLayout layout;
  int maximum = 1;
  mutable std::mutex mutex;
  std::vector<std::unique_ptr<detail::PixelMemory>> free;
  int inUse = 0;
  int allocated = 0;
  bool open = true;  // false once the pool went: returned memory is freed
};

int PixelBufferPool::create(const Attributes& attributes, std::shared_ptr<PixelBufferPool>* out) {
  if (out == nullptr) return kReturnInvalidArgument;
  *out = nullptr;
  if (attributes.maximumBufferCount < 1 ||
      attributes.maximumBufferCount > kMaximumBufferCountLimit) {
    return kReturnInvalidArgument;
  }
  auto store = std::make_shared<Store>();
  const int status = detail::layOutPixels(attributes.width, attributes.height,
                                          attributes.pixelFormat, &store->layout);
  if (status != kReturnSuccess) return status;
  store->maximum = attributes.maximumBufferCount;
  const int minimum = std::clamp(attributes.minimumBufferCount, 0, store->maximum);
  for (int i = 0; i < minimum; ++i) {
    std::unique_ptr<detail::PixelMemory> memory =
        detail::PixelMemory::allocate(store->layout.totalBytes);
    if (!memory) return kReturnAllocationFailed;
    std::memset(memory->data(), 0, memory->size());
    store->free.push_back(std::move(memory));
    ++store->allocated;
  }
  out->reset(new PixelBufferPool(attributes, std::move(store)));
  return kReturnSuccess;
}

PixelBufferPool::PixelBufferPool(const Attributes& attributes, std::shared_ptr<Store> store)
    : attributes_(attributes), store_(std::move(store)) {}

PixelBufferPool::~PixelBufferPool() {
  std::vector<std::unique_ptr<detail::PixelMemory>> dropped;
  std::lock_guard<std::mutex> lock(store_->mutex);
  store_->open = false;
  dropped.swap(store_->free);
}

int PixelBufferPool::createPixelBuffer(PixelBufferRef* out) {
  if (out == nullptr) return kReturnInvalidArgument;
  *out = nullptr;
  std::unique_ptr<detail::PixelMemory> memory;
  {
    std::lock_guard<std::mutex> lock(store_->mutex);
    if (!store_->free.empty()) {
      memory = std::move(store_->free.back());
      store_->free.pop_back();
    } else if (store_->inUse >= store_->maximum) {
      return kReturnWouldExceedAllocationThreshold;
    }
    // Counted before the memory exists, so that racing creations keep to the maximum.
    ++store_->inUse;
  }
  if (!memory) {
    memory = detail::PixelMemory::allocate(store_->layout.totalBytes);
    std::lock_guard<std::mutex> lock(store_->mutex);
    if (!memory) {
      --store_->inUse;
      return kReturnAllocationFailed;
    }
    ++store_->allocated;
  }
  std::shared_ptr<Store> store = store_;
  return detail::wrapPixelMemory(
      store->layout, std::move(memory),
      [store](std::unique_ptr<detail::PixelMemory> block) {
        std::lock_guard<std::mutex> lock(store->mutex);
        --store->inUse;
        if (store->open) store->free.push_back(std::move(block));
        // Else the block is freed here, when `block` goes.
      },
      out);
}

void PixelBufferPool::flush() {
  std::vector<std::unique_ptr<detail::PixelMemory>> dropped;
  std::lock_guard<std::mutex> lock(store_->mutex);
  dropped.swap(store_->free);
}

int PixelBufferPool::buffersInUse() const {
  std::lock_guard<std::mutex> lock(store_->mutex);
  return store_->inUse;
}

int PixelBufferPool::buffersFree() const {
  std::lock_guard<std::mutex> lock(store_->mutex);
  return static_cast<int>(store_->free.size());
}

int PixelBufferPool::buffersAllocated() const {
  std::lock_guard<std::mutex> lock(store_->mutex);
  return store_->allocated;
}

}  // namespace corvane::platform::video
