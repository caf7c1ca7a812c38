#include "platform/audio/block_buffer.h"

#include <cstring>

namespace corvane::platform::audio {

BlockBuffer::BlockBuffer(std::uint8_t* data, std::size_t length, Deallocator deallocator)
    : data_(data), length_(length), deallocator_(std::move(deallocator)) {}

BlockBuffer::~BlockBuffer() {
  if (deallocator_) deallocator_(data_, length_);
}

std::shared_ptr<BlockBuffer> BlockBuffer::createWithBytes(const void* bytes, std::size_t length) {
  std::shared_ptr<BlockBuffer> block(new BlockBuffer(nullptr, 0, nullptr));
  if (length > 0 && bytes != nullptr) {
    block->owned_.resize(length);
    std::memcpy(block->owned_.data(), bytes, length);
    block->data_ = block->owned_.data();
    block->length_ = length;
  }
  return block;
}

std::shared_ptr<BlockBuffer> BlockBuffer::createWithMemory(void* memory, std::size_t length,
                                                           Deallocator deallocator) {
  return std::shared_ptr<BlockBuffer>(new BlockBuffer(
      static_cast<std::uint8_t*>(memory), memory == nullptr ? 0 : length, std::move(deallocator)));
}

}  // namespace corvane::platform::audio
