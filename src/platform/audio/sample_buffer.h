// Sample buffers: captured sound as a data block (a BlockBuffer) plus the number of sample
// frames it holds and a validity flag. A buffer is valid from creation until `invalidate`;
// consumers ignore invalid buffers.
//
// Ownership: shared (`std::shared_ptr`); retain = copy, release = reset. The data block is
// shared with whoever else holds it. Thread-safety: every member may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/audio/block_buffer.h"

namespace corvane::platform::audio {

class SampleBuffer {
 public:
  // `dataBuffer` may be null (a buffer without data).
  static std::shared_ptr<SampleBuffer> create(std::shared_ptr<BlockBuffer> dataBuffer,
                                              std::int64_t numSamples);

  const std::shared_ptr<BlockBuffer>& dataBuffer() const { return dataBuffer_; }
  std::int64_t numSamples() const { return numSamples_; }

  bool isValid() const { return valid_.load(std::memory_order_acquire); }
  void invalidate() { valid_.store(false, std::memory_order_release); }

 private:
  SampleBuffer(std::shared_ptr<BlockBuffer> dataBuffer, std::int64_t numSamples)
      : dataBuffer_(std::move(dataBuffer)), numSamples_(numSamples) {}

  const std::shared_ptr<BlockBuffer> dataBuffer_;
  const std::int64_t numSamples_;
  std::atomic<bool> valid_{true};
};

using SampleBufferRef = std::shared_ptr<SampleBuffer>;

}  // namespace corvane::platform::audio
