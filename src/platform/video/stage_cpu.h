// CPU time of the stages of the video road, summed over the process: the thread CPU time
// (not wall time) that the threads doing a stage's work spent inside it. Benchmarks and
// diagnostics read it to see where a mirroring session's CPU goes; nothing depends on it.
// Measuring a stage costs two reads of the thread's CPU clock.
//
// Thread-safety: every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane::platform::video {

enum class VideoStage : std::size_t {
  Capture = 0,        // grabbing the screen and converting it into the stream's frame
  PixelTransfer = 1,  // scaling and converting a frame for the encoder
  Encode = 2,         // the H.264 encoder itself
};
inline constexpr std::size_t kVideoStageCount = 3;

// CPU time the calling thread has used, in nanoseconds.
std::uint64_t threadCpuNanoseconds();
void addStageCpu(VideoStage stage, std::uint64_t nanoseconds);
// The total so far of `stage`, in seconds.
double stageCpuSeconds(VideoStage stage);

// Adds the calling thread's CPU time between construction and destruction to `stage`.
class ScopedStageCpu {
 public:
  explicit ScopedStageCpu(VideoStage stage) : stage_(stage), start_(threadCpuNanoseconds()) {}
  ~ScopedStageCpu() { addStageCpu(stage_, threadCpuNanoseconds() - start_); }
  ScopedStageCpu(const ScopedStageCpu&) = delete;
  ScopedStageCpu& operator=(const ScopedStageCpu&) = delete;

 private:
  VideoStage stage_;
  std::uint64_t start_;
};

}  // namespace corvane::platform::video
