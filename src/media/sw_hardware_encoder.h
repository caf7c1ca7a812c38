// SWHardwareEncoder: the alternative H.264 encoder behind SWBaseEncoder, on the compression
// session of the video layer. Nothing in the application makes one; the screen capture always
// uses the software encoder. Each encoded frame becomes one video media packet that carries
// both parameter sets and the frame's NAL units, each with a start code:
//
//   host u32 1 | host u32 T+36 | BE T+32 | BE 1 x5 | BE timestamp |
//   00 00 00 01 SPS | 00 00 00 01 PPS | frame NAL units (each length prefix -> 00 00 00 01)
//   (T = SPS + PPS + frame bytes)
//
// Threads: `start` and `stop` on the owner's thread; the worker alone creates, uses and
// releases the compression session; packets reach the callback on the session's queue.
// `stop` waits until the worker has ended, but never for the callback: a callback may block
// (a recorder's `put` into a full output queue that nobody drains), so from the moment `stop`
// begins, frames still inside the session are dropped and packets that come out are freed
// instead of handed on; a hand-over already running when `stop` began ends on its own, on the
// session's queue. A change of frame size waits for the old session's frames (so packets keep
// their order) only until a `stop` begins.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

#include "media/sw_base_encoder.h"
#include "platform/display/display.h"
#include "platform/foundation/thread.h"
#include "platform/video/compression_session.h"

namespace corvane {

// Builds the packet above from the parameter sets and the length-prefixed frame data. Answers
// nullptr when the frame data is not a well-formed sequence of length-prefixed NAL units
// (a cut prefix, a length past the end, an empty unit), when a parameter set is empty, when
// the packet would be too large for its 32-bit lengths, or when memory runs out.
std::uint8_t* createHardwareVideoPacket(std::span<const std::uint8_t> sequenceParameterSet,
                                        std::span<const std::uint8_t> pictureParameterSet,
                                        std::span<const std::uint8_t> lengthPrefixedFrame,
                                        std::uint32_t timestamp);

class SWHardwareEncoder : public SWBaseEncoder,
                          public std::enable_shared_from_this<SWHardwareEncoder> {
 public:
  static constexpr int kInitialWidth = 1280;
  static constexpr int kInitialHeight = 800;

  // A new encoder, which becomes the process's current one.
  static std::shared_ptr<SWHardwareEncoder> create();
  // The most recently created encoder still alive.
  static std::shared_ptr<SWHardwareEncoder> current();
  ~SWHardwareEncoder() override;

  void start() override;
  void stop() override;

  // Worker thread (tests drive them directly on an idle encoder).
  bool createCompressionSessionWithSize(int width, int height);
  void releaseCompressionSession();
  void compress(const platform::video::PixelBufferRef& buffer, std::uint32_t timestamp,
                bool forceKeyFrame);
  // Waits until every frame given to `compress` has reached the callback.
  void completeFrames();

  platform::display::Size encodeSize() const;
  void setEncodeSize(platform::display::Size size);
  bool forceKeyframe() const { return forceKeyframe_.load(); }

 private:
  SWHardwareEncoder() = default;
  void workingThreadFun();
  // Ends the current session: lets it deliver its frames first unless `stop` has begun, or
  // begins during the wait; the session's own waits then run on off the worker.
  void retireCompressionSession();
  void handleOutput(const std::atomic<bool>& stopping, int status,
                    const std::shared_ptr<const platform::video::EncodedSample>& sample);

  std::atomic<bool> forceKeyframe_{false};
  // Set from the start of `stop`; each `start` makes a new one, so that work a stopped run
  // left behind (a session being retired, its late output) still sees its own run stopped.
  // Replaced and read under `mutex_`.
  std::shared_ptr<std::atomic<bool>> stopping_ = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<std::atomic<bool>> runStopping() const;
  mutable std::mutex mutex_;  // guards the thread, the session and the size
  std::shared_ptr<platform::Thread> encodingThread;
  std::shared_ptr<platform::video::CompressionSession> compression_session;
  platform::display::Size encodeSize_;
};

}  // namespace corvane
