// SWAudioEncoder: turns captured PCM (interleaved stereo float32 at 44,100 Hz, 8 bytes per
// sample frame) into MPEG-1 Layer III frames with LAME on its own thread, cuts the encoder's
// byte stream into whole frames (417 or 418 bytes at 128 kbit/s) and hands each one to the
// callback as an audio media packet stamped with the estimated start time of its sound.
//
// Samples outside full scale [-1, 1] are clamped and NaN samples made silent before encoding:
// LAME aborts the process on such input.
//
// Threads: `beginEncodeAudio` and `endEncodeAudio` run on the owner's thread
// (`endEncodeAudio` joins the worker: it returns once the worker's thread has exited; called
// on the worker itself, from the callback, it only clears the flag, and the owner's next end
// joins it). The worker keeps the encoder
// alive until it has ended, so an owner must end it before letting it go. The worker
// alone uses the LAME handle, the buffers and the carry. `composeAudioPacket` is the
// framer; it runs on the worker (tests call it directly on an idle encoder).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "media/av_callback.h"
#include "media/data_queue.h"
#include "media/worker_thread.h"
#include "platform/audio/sample_buffer.h"

struct lame_global_struct;

namespace corvane {

using RawAudioQueue = DataQueue<platform::audio::SampleBuffer>;

class SWAudioEncoder : public std::enable_shared_from_this<SWAudioEncoder> {
 public:
  static constexpr int kFrameSize = 417;        // bytes of an unpadded frame
  static constexpr int kPaddedFrameSize = 418;  // with the padding bit (0x02 of byte 2) set
  static constexpr int kCarryCapacity = 1024;

  static std::shared_ptr<SWAudioEncoder> create();
  ~SWAudioEncoder();
  SWAudioEncoder(const SWAudioEncoder&) = delete;
  SWAudioEncoder& operator=(const SWAudioEncoder&) = delete;

  // Starts the worker unless it runs already. A worker started before its input queue is set
  // waits for the queue (at most 0.1 s per pass) instead of looking for it again at once.
  void beginEncodeAudio();
  // Clears the running flag and waits until the worker has drained its input and closed LAME.
  void endEncodeAudio();

  // LAME set-up: two channels, quality 6, joint stereo, library defaults otherwise.
  bool setup();

  // The framer: appends `lenth` bytes of encoder output (stamped with clock `timestamp`, in
  // milliseconds) to the carry and emits every complete frame.
  void composeAudioPacket(const std::uint8_t* bytes, std::int32_t lenth, std::uint32_t timestamp);

  std::shared_ptr<RawAudioQueue> inputQueue() const;
  void setInputQueue(std::weak_ptr<RawAudioQueue> queue);
  std::shared_ptr<AVCallback> avCallback() const;
  void setAvCallback(std::weak_ptr<AVCallback> callback);

  bool isEncoderRunning() const { return isEncoderRunning_.load(std::memory_order_relaxed); }
  std::int32_t preLen() const { return preLen_; }

 private:
  SWAudioEncoder() = default;
  void executeAudioEncode();
  // Encodes one sample buffer's PCM into `frameBuffer` and answers the byte count of the
  // (last) encoder call; 0 or negative produce no packet. Only a buffer too large for one
  // call is encoded in pieces, the earlier pieces framed at once.
  int encodeSampleBuffer(const platform::audio::SampleBuffer& buffer);
  static std::uint32_t currentClock();
  // The input queue; without one, waits until one is set or the encoder is ended (at most
  // `seconds`).
  std::shared_ptr<RawAudioQueue> waitForInputQueue(double seconds);
  // Size of the frame whose third header byte is `headerByte`.
  static int frameSizeFor(std::uint8_t headerByte);

  lame_global_struct* audioEncoder = nullptr;
  std::vector<unsigned char> frameBuffer;        // output of one encoder call, sized per call
  std::uint8_t bufferPool[kCarryCapacity] = {};  // carry: start of a frame not yet complete
  std::int32_t preLen_ = 0;
  std::vector<float> pcm_;  // the PCM of one encoder call, aligned and clamped to full scale
  std::atomic<bool> isEncoderRunning_{false};

  mutable std::mutex mutex_;              // guards the weak references
  std::condition_variable inputChanged_;  // an input queue set, or the encoder ended
  std::weak_ptr<RawAudioQueue> inputQueue_;
  std::weak_ptr<AVCallback> avCallback_;
  std::mutex threadMutex_;  // serialises begin and end of the owners
  detail::WorkerThread encodeThread;
};

}  // namespace corvane
