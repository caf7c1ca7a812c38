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
#include <optional>

#include "platform/audio/block_buffer.h"
#include "platform/audio/stream_format.h"

namespace corvane::platform::audio {

class SampleBuffer {
 public:
  // `dataBuffer` may be null (a buffer without data).
  static std::shared_ptr<SampleBuffer> create(std::shared_ptr<BlockBuffer> dataBuffer,
                                              std::int64_t numSamples);
  // A buffer whose bytes are in `format` (what capture sessions deliver).
  static std::shared_ptr<SampleBuffer> create(std::shared_ptr<BlockBuffer> dataBuffer,
                                              std::int64_t numSamples,
                                              const StreamBasicDescription& format);

  const std::shared_ptr<BlockBuffer>& dataBuffer() const { return dataBuffer_; }
  std::int64_t numSamples() const { return numSamples_; }
  // The format of the bytes; std::nullopt when the creator did not say (the encoder's input
  // format is then assumed).
  const std::optional<StreamBasicDescription>& formatDescription() const { return format_; }

  bool isValid() const { return valid_.load(std::memory_order_acquire); }
  void invalidate() { valid_.store(false, std::memory_order_release); }

 private:
  SampleBuffer(std::shared_ptr<BlockBuffer> dataBuffer, std::int64_t numSamples,
               std::optional<StreamBasicDescription> format)
      : dataBuffer_(std::move(dataBuffer)), numSamples_(numSamples), format_(format) {}

  const std::shared_ptr<BlockBuffer> dataBuffer_;
  const std::int64_t numSamples_;
  const std::optional<StreamBasicDescription> format_;
  std::atomic<bool> valid_{true};
};

using SampleBufferRef = std::shared_ptr<SampleBuffer>;

}  // namespace corvane::platform::audio
