// SWSoftwareEncoder: the H.264 encoder of the screen capture, built on libx264 for a live,
// low-delay link. Its worker thread takes frame items from the raw-video queue, scales each
// frame into a planar 4:2:0 buffer of at most 1920x1080 (both sides rounded down to a multiple
// of 16), encodes it and hands every NAL unit to the callback as one video media packet.
// The encoder is reopened whenever the input size changes, with the frame rate measured at
// that moment (at least 15).
//
// Threads: `start` and `stop` run on the owner's thread (`stop` joins the worker: it returns
// once the worker's thread has exited; called on the worker itself, from the callback, it only
// asks the worker to end, and the owner's next `stop` joins it). Everything else belongs to the
// worker thread; the getters may be read from elsewhere once `stop` has returned. The worker keeps
// the encoder alive until it has ended, so an owner must call `stop` before letting the encoder go.
#pragma once

#include <stdint.h>  // x264.h needs the fixed-width types first

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

extern "C" {
#include <x264.h>
}

#include "media/sw_base_encoder.h"
#include "media/worker_thread.h"
#include "platform/video/pixel_transfer_session.h"

namespace corvane {

class SWSoftwareEncoder : public SWBaseEncoder,
                          public std::enable_shared_from_this<SWSoftwareEncoder> {
 public:
  // One entry of the one-second statistics window.
  struct RateInfo {
    double timestamp = 0;                      // seconds on the steady clock
    double covertTime = 0;                     // seconds spent scaling and converting
    double encodeTime = 0;                     // seconds spent in the encoder
    std::optional<std::uint64_t> enqueuecost;  // never set by this encoder
  };

  static constexpr int kMaxWidth = 1920;
  static constexpr int kMaxHeight = 1080;
  static constexpr std::uint64_t kMinFrameRate = 15;

  static std::shared_ptr<SWSoftwareEncoder> create();
  ~SWSoftwareEncoder() override;

  // Starts the worker unless it runs already.
  void start() override;
  // Cancels the worker and waits until it has closed the encoder.
  void stop() override;

  // Fills `x264_param` for the current destination size and measured frame rate.
  void setupX264();
  bool openEncoder();
  bool reconfigEncoder();
  bool closeEncoder();
  void calcFramerate(std::uint32_t timestamp);
  void refreshRateInfo(const RateInfo& info);

  // The worker's three phases, public so that the benchmark can drive the per-frame work
  // without the worker's pauses. Worker thread only.
  void beginWorking();
  // Scales, converts and encodes one frame item and hands the packets to the callback.
  void encodeFrameItem(std::shared_ptr<RawVideoFrame> item);
  void endWorking();

  int srcWidth() const { return srcWidth_; }
  int srcHeight() const { return srcHeight_; }
  int dstWidth() const { return dstWidth_; }
  int dstHeight() const { return dstHeight_; }
  int targetWidth() const { return targetWidth_; }
  int targetHeight() const { return targetHeight_; }
  std::uint64_t currFps() const { return currFps_; }
  std::uint64_t encodingFps() const { return encodingFps_; }
  const x264_param_t& x264Param() const { return x264_param; }
  bool isEncoderOpen() const { return x264_encoder != nullptr; }

 private:
  SWSoftwareEncoder();
  void workingThreadFun();
  x264_t* openX264();

  int srcWidth_ = 0;
  int srcHeight_ = 0;
  int dstWidth_ = 1360;
  int dstHeight_ = 768;
  int targetWidth_ = -1;
  int targetHeight_ = -1;
  std::uint64_t currFps_ = 0;
  std::uint64_t encodingFps_ = 0;
  x264_t* x264_encoder = nullptr;
  x264_param_t x264_param{};
  x264_picture_t picture_{};
  std::shared_ptr<platform::video::PixelTransferSession> transferSession_;
  std::deque<std::uint32_t> tsArray;
  std::deque<RateInfo> statArray;
  // Statistics totals: nothing adds to the conversion total, and nothing reads either.
  [[maybe_unused]] std::uint64_t totalConvertCost = 0;
  std::uint64_t totalEnqueueCost = 0;

  std::mutex threadMutex_;  // serialises start and stop of the owners
  detail::WorkerThread encodingThread;
  std::atomic<bool> cancelled_{false};  // set by stop, read by the worker's loop
};

}  // namespace corvane
