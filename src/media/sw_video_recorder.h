// SWVideoRecorder: the screen capture of one mirroring session. It streams the main display
// as '420v' frames, stamps each with the media clock and queues it as a RawVideoFrame for the
// software H.264 encoder it owns; the encoder's packets come back through AVCallback and go
// into the encoded-video queue. While the screen is still, a 20 ms timer re-sends the last
// frame (at most 50 times per still period) so that the receiver keeps getting pictures.
//
// Lifecycle: create -> set the queues and the frame rate -> beginRecorder -> endRecorder
// (a later beginRecorder starts again). `beginRecorder` retries every 100 ms until a display
// stream can be made; an `endRecorder` from another thread ends that wait.
//
// Threads:
// - `beginRecorder`, `endRecorder` on the owner's thread (the session), never on the
//   recorder's queue "corvane_screen_recorder" (`endRecorder` waits for the stream's stopped
//   status, which is delivered there);
// - the frame handler, the still-picture step and the clearing of the previous frame on that
//   serial queue; the 20 ms timer fires on the global default queue and only posts the step;
// - `onOutputMediaData` on the encoder's thread;
// - the setters, `needsKeyFrame` and the getters from any thread.
// Ownership: the recorder owns its encoder and the display stream; it holds both queues weakly
// (the media handler owns them).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "media/av_callback.h"
#include "media/data_queue.h"
#include "media/media_packet.h"
#include "media/raw_video_frame.h"
#include "media/sw_base_encoder.h"
#include "platform/dispatch/dispatch.h"
#include "platform/display/display.h"
#include "platform/video/pixel_buffer.h"

namespace corvane {

using EncodedVideoQueue = DataQueue<MediaPacketBox>;

// Posted (default notification centre) when a display stream was made; the object is a
// `platform::display::Size` with the main display's bounds size.
inline constexpr const char* kSystemResolutionDidChange = "SystemResolutionDidChange";

class SWVideoRecorder : public AVCallback, public std::enable_shared_from_this<SWVideoRecorder> {
 public:
  static constexpr std::uint64_t kDefaultTargetFrameRate = 23;
  static constexpr int kStreamQueueDepth = 5;
  static constexpr std::uint8_t kMaxStaticFrames = 49;  // re-sends while the count is <= this
  static constexpr double kEnqueueTimeout = 0.02;
  static constexpr double kRetryInterval = 0.1;
  static constexpr double kStillPictureInterval = 0.02;
  static constexpr std::uint32_t kMaxActiveDisplays = 10;

  // A recorder on `display` (nullptr: DisplayService::shared()) with a new software encoder.
  static std::shared_ptr<SWVideoRecorder> create(
      std::shared_ptr<platform::display::DisplayService> display = nullptr);
  ~SWVideoRecorder() override;
  SWVideoRecorder(const SWVideoRecorder&) = delete;
  SWVideoRecorder& operator=(const SWVideoRecorder&) = delete;

  // The raw-video queue (held weakly): gets the clean-up block that drops an item's buffer and
  // becomes the encoder's input.
  void setVideoOutputBuffer(const std::shared_ptr<RawVideoQueue>& queue);
  std::shared_ptr<RawVideoQueue> videoOutputBuffer() const;
  // The encoded-video queue (held weakly).
  void setEncodedVideoBuffer(const std::shared_ptr<EncodedVideoQueue>& queue);
  std::shared_ptr<EncodedVideoQueue> encodedVideoBuffer() const;

  void setTargetFrameRate(std::uint64_t framesPerSecond);
  std::uint64_t targetFrameRate() const;
  // YES is a key-frame request: the next queued frame carries "keyframe".
  void setNeedsKeyFrame(bool value);
  bool needsKeyFrame() const;

  // Starts the encoder, the display stream (retrying every 100 ms) and the still-picture timer.
  void beginRecorder();
  // Stops the encoder, the timer and the stream; returns after the stream's stopped status.
  void endRecorder();

  // AVCallback: queues the packet on the encoded-video queue (waiting without a limit), or
  // frees it when the queue refuses it or is gone.
  void onOutputMediaData(std::uint8_t* packet) override;

  // Queues `buffer` as a frame item (0.02 s at most); on success clears `needsKeyFrame`.
  bool enqueueDesktopImage(const platform::video::PixelBufferRef& buffer);
  // The largest mode of the main display (widest, then tallest); logs every mode.
  platform::display::Size getLargestResolution();
  // Makes the display stream at the largest mode; false when there is no main display or the
  // stream cannot be made.
  bool createRecorderQueue();
  // Timer handler: posts the still-picture step to the recorder's queue.
  void fixStillPictureIssue();
  // The platform's sample-buffer delegate entry (nothing connects a capture output to it):
  // queues the image buffer as a real frame.
  void captureOutput(const platform::video::PixelBufferRef& imageBuffer);

  // Observations (tests).
  std::shared_ptr<SWBaseEncoder> encoder() const { return encoder_; }
  const platform::dispatch::QueuePtr& recorderQueue() const { return video_recorder_queue; }
  std::uint8_t staticFrameCount() const;  // read on the recorder's queue
  bool hasDisplayStream() const;

 private:
  explicit SWVideoRecorder(std::shared_ptr<platform::display::DisplayService> display);
  void handleFrame(platform::display::DisplayStreamFrameStatus status,
                   const platform::video::SurfaceRef& surface);
  void stillPictureStep();
  void stopStream();
  // Suspends or resumes the timer to match running and idle (mutex_ held).
  void updateTimerLocked();
  void setTimerIdle(bool idle);
  // Seconds per frame at the target rate (a rate of 0 counts as 1).
  double frameInterval() const;
  static double now();  // steady-clock seconds

  const std::shared_ptr<platform::display::DisplayService> display_;
  std::shared_ptr<SWBaseEncoder> encoder_;
  platform::dispatch::QueuePtr video_recorder_queue;

  mutable std::mutex mutex_;  // guards the stream handle, the semaphore, the timer and the queues
  platform::display::DisplayStreamRef displayStreamRef;
  std::shared_ptr<platform::dispatch::Semaphore> stopVideoRecorderSemaphore;
  platform::dispatch::SourcePtr stillPictureDispatch;
  // The timer runs between begin and end (`timerRunning_`), except while the still period's
  // re-sends are used up and no key frame is asked for (`timerIdle_`): then no step could do
  // anything, and a still screen costs no wake-ups. `timerActive_` is the source's state.
  bool timerRunning_ = false;
  bool timerIdle_ = false;
  bool timerActive_ = false;
  std::weak_ptr<EncodedVideoQueue> encodedVideoBuffer_;
  std::weak_ptr<RawVideoQueue> videoOutputBuffer_;

  std::atomic<bool> needsKeyFrame_{false};
  std::atomic<std::uint64_t> targetFrameRate_{kDefaultTargetFrameRate};
  std::atomic<bool> ending_{false};  // an endRecorder ends a beginRecorder that still retries
  std::mutex lifecycleMutex_;        // serialises beginRecorder and endRecorder
  std::condition_variable retryWake_;  // wakes a retrying beginRecorder (with lifecycleMutex_)

  // Recorder queue only.
  std::atomic<std::uint8_t> staticFrameCount_{0};  // atomic only so tests may read it
  platform::video::PixelBufferRef previousScreenRef;
  double lastFrameTime = 0;
  double lastInsertTime = 0;
};

}  // namespace corvane
