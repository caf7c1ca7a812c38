#include "platform/audio/sample_buffer.h"

namespace corvane::platform::audio {

std::shared_ptr<SampleBuffer> SampleBuffer::create(std::shared_ptr<BlockBuffer> dataBuffer,
                                                   std::int64_t numSamples) {
  return std::shared_ptr<SampleBuffer>(new SampleBuffer(std::move(dataBuffer), numSamples, std::nullopt));
}

std::shared_ptr<SampleBuffer> SampleBuffer::create(std::shared_ptr<BlockBuffer> dataBuffer,
                                                   std::int64_t numSamples,
                                                   const StreamBasicDescription& format) {
  return std::shared_ptr<SampleBuffer>(new SampleBuffer(std::move(dataBuffer), numSamples, format));
}

}  // namespace corvane::platform::audio
