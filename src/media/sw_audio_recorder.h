// SWAudioRecorder: records the system sound. A capture session on the default audio input
// (the loop-back driver while mirroring) delivers interleaved PCM sample buffers on the
// serial queue "corvane_audio_recorder_queue"; each goes into the raw-audio queue without
// waiting (a full or stopped queue makes the recorder release the new buffer at once). The
// recorder's MP3 encoder takes them from there, and its packets come back through
// `AVCallback` into the encoded-audio queue.
//
// Buffers not in the encoder's format (44,100 Hz, two channels, 32-bit float, interleaved)
// are converted to it before they are queued (media/audio_format_converter.h); buffers in a
// format it cannot read are dropped. Each capture output has a converter of its own: a reused
// recorder's earlier session may still deliver buffers on its queue while the new session's
// queue delivers too, and resampling state never passes from one to the other.
//
// Threads: `beginRecroder` and `endRecorder` on the session's thread; the capture callback on
// the capture queue; `onOutputMediaData` on the encoder's thread. Ownership: the recorder owns
// its encoder and capture session; it holds both queues weakly.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "media/audio_format_converter.h"
#include "media/av_callback.h"
#include "media/data_queue.h"
#include "media/media_packet.h"
#include "media/sw_audio_encoder.h"
#include "platform/audio/capture_session.h"
#include "platform/audio/sample_buffer.h"
#include "platform/dispatch/dispatch.h"

namespace corvane {

// The encoded-audio queue: each item boxes the address of a heap media packet.
using EncodedAudioQueue = DataQueue<MediaPacketBox>;

class SWAudioRecorder : public AVCallback,
                        public platform::audio::AudioSampleBufferDelegate,
                        public std::enable_shared_from_this<SWAudioRecorder> {
 public:
  static constexpr const char* kCaptureQueueLabel = "corvane_audio_recorder_queue";

  // `init`: makes the encoder and becomes its callback.
  static std::shared_ptr<SWAudioRecorder> create();
  ~SWAudioRecorder() override;
  SWAudioRecorder(const SWAudioRecorder&) = delete;
  SWAudioRecorder& operator=(const SWAudioRecorder&) = delete;

  // Stores the queue (weakly), gives it the clean-up block that releases sample buffers and
  // makes it the encoder's input.
  void setRawAudioQueue(const std::shared_ptr<RawAudioQueue>& queue);
  void setEncodedAudioQueue(const std::shared_ptr<EncodedAudioQueue>& queue);
  std::shared_ptr<RawAudioQueue> rawAudioQueue() const;
  std::shared_ptr<EncodedAudioQueue> encodedAudioQueue() const;

  // Creates the capture session when there is none, starts it when it is not running, then
  // starts the encoder.
  void beginRecroder();
  // Builds the capture session on the default audio input (no input when there is none).
  void createSeesion();
  // Stops the session if it runs and drops it, then stops the encoder (waiting for its
  // thread, which drains the raw-audio queue).
  void endRecorder();

  // The capture session (nullptr when none) and the encoder.
  std::shared_ptr<platform::audio::CaptureSession> captureSession() const;
  const std::shared_ptr<SWAudioEncoder>& encoder() const { return encoder_; }
  // Number of capture sessions built so far.
  int sessionsCreated() const { return sessionsCreated_.load(); }

  // AudioSampleBufferDelegate (capture queue).
  void captureOutputDidOutputSampleBuffer(
      platform::audio::CaptureAudioDataOutput& output,
      const platform::audio::SampleBufferRef& sampleBuffer,
      const platform::audio::CaptureConnection& connection) override;
  // AVCallback (encoder thread): queues the packet without a time limit; frees it if refused.
  void onOutputMediaData(std::uint8_t* packet) override;

 private:
  SWAudioRecorder();
  // The converter of buffers from `output` (made at its first buffer).
  std::shared_ptr<detail::AudioFormatConverter> converterFor(
      const platform::audio::CaptureAudioDataOutput& output);

  struct OutputConverter {
    std::weak_ptr<const platform::audio::CaptureAudioDataOutput> output;
    std::shared_ptr<detail::AudioFormatConverter> converter;
  };

  const std::shared_ptr<SWAudioEncoder> encoder_;
  mutable std::mutex mutex_;  // guards the queue references and the session
  std::weak_ptr<RawAudioQueue> rawAudioQueue_;
  std::weak_ptr<EncodedAudioQueue> encodedAudioQueue_;
  std::shared_ptr<platform::audio::CaptureSession> captureSession_;
  platform::dispatch::QueuePtr captureQueue_;
  std::atomic<int> sessionsCreated_{0};
  // One per live capture output (under mutex_); each converter is used only on the queue
  // of its output.
  std::vector<OutputConverter> converters_;
};

}  // namespace corvane
