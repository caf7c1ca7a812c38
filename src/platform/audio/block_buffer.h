// Block buffers: one contiguous block of bytes, either copied into memory the buffer owns or
// wrapping memory owned elsewhere, whose deallocator runs when the buffer goes away.
//
// Ownership: shared (`std::shared_ptr`); retain = copy, release = reset. The bytes are fixed
// once the buffer exists. Thread-safety: every member may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace corvane::platform::audio {

class BlockBuffer {
 public:
  using Deallocator = std::function<void(void* memory, std::size_t length)>;

  // A block holding a copy of `length` bytes at `bytes` (may be null when `length` is 0).
  static std::shared_ptr<BlockBuffer> createWithBytes(const void* bytes, std::size_t length);
  // A block over memory owned elsewhere; `deallocator` (may be empty) runs with the memory
  // when the block goes away.
  static std::shared_ptr<BlockBuffer> createWithMemory(void* memory, std::size_t length,
                                                       Deallocator deallocator);

  ~BlockBuffer();
  BlockBuffer(const BlockBuffer&) = delete;
  BlockBuffer& operator=(const BlockBuffer&) = delete;

  std::size_t dataLength() const { return length_; }
  // The first byte; nullptr for an empty block.
  const std::uint8_t* dataPointer() const { return length_ == 0 ? nullptr : data_; }

 private:
  BlockBuffer(std::uint8_t* data, std::size_t length, Deallocator deallocator);

  std::vector<std::uint8_t> owned_;
  std::uint8_t* data_;
  std::size_t length_;
  Deallocator deallocator_;
};

}  // namespace corvane::platform::audio
