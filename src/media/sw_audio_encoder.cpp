#include "media/sw_audio_encoder.h"

#include <lame/lame.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <span>
#include <thread>

#include "media/media_packet.h"
#include "media/sw_time_utils.h"
#include "platform/log/log.h"

namespace corvane {
namespace {

constexpr double kTakeTimeout = 0.1;
constexpr std::size_t kBytesPerSampleFrame = 8;  // stereo float32
// One encoder call takes at most this many sample frames (about 6 s of sound), which keeps
// LAME's int-sized counts far from overflow and the output buffer at most about 330 KB; real
// capture buffers are far smaller.
constexpr std::size_t kMaxFramesPerCall = std::size_t{1} << 18;

// Copies `samples` float samples from `bytes` (any alignment) into `out`, clamped to full
// scale [-1, 1], NaN made silence. LAME aborts the whole process on NaN, infinite or very
// large samples (its internal consistency checks fail), and well-formed sound never lies
// outside full scale.
void copyFullScale(const std::uint8_t* bytes, std::size_t samples, float* out) {
  for (std::size_t i = 0; i < samples; ++i) {
    float value;
    std::memcpy(&value, bytes + i * sizeof(float), sizeof(float));
    out[i] = std::isnan(value) ? 0.0f : std::clamp(value, -1.0f, 1.0f);
  }
}

}  // namespace

std::shared_ptr<SWAudioEncoder> SWAudioEncoder::create() {
  return std::shared_ptr<SWAudioEncoder>(new SWAudioEncoder());
}

SWAudioEncoder::~SWAudioEncoder() {
  if (audioEncoder != nullptr) lame_close(audioEncoder);
}

std::shared_ptr<RawAudioQueue> SWAudioEncoder::inputQueue() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return inputQueue_.lock();
}

void SWAudioEncoder::setInputQueue(std::weak_ptr<RawAudioQueue> queue) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    inputQueue_ = std::move(queue);
  }
  inputChanged_.notify_all();
}

std::shared_ptr<RawAudioQueue> SWAudioEncoder::waitForInputQueue(double seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  inputChanged_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
    return !inputQueue_.expired() || !isEncoderRunning_.load(std::memory_order_relaxed);
  });
  return inputQueue_.lock();
}

std::shared_ptr<AVCallback> SWAudioEncoder::avCallback() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return avCallback_.lock();
}

void SWAudioEncoder::setAvCallback(std::weak_ptr<AVCallback> callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  avCallback_ = std::move(callback);
}

void SWAudioEncoder::beginEncodeAudio() {
  // From the callback, on the worker itself: a worker exists already.
  if (encodeThread.isCurrent()) return;
  std::lock_guard<std::mutex> lock(threadMutex_);
  if (encodeThread.exists()) return;
  auto self = shared_from_this();
  isEncoderRunning_.store(true, std::memory_order_relaxed);
  // When the system makes no thread, nothing runs and a later begin may try again.
  if (!encodeThread.start([self] { self->executeAudioEncode(); }, "audio_encoder"))
    isEncoderRunning_.store(false, std::memory_order_relaxed);
}

void SWAudioEncoder::endEncodeAudio() {
  {
    // Under the lock, so that a worker waiting for its input queue cannot miss the end.
    std::lock_guard<std::mutex> lock(mutex_);
    isEncoderRunning_.store(false, std::memory_order_relaxed);
  }
  inputChanged_.notify_all();
  // On the worker itself (a callback ending its encoder) waiting would never end; the loop
  // ends after the current pass instead, and the owner's next end joins the thread.
  if (encodeThread.isCurrent()) return;
  std::lock_guard<std::mutex> lock(threadMutex_);
  encodeThread.join();
}

bool SWAudioEncoder::setup() {
  if (audioEncoder != nullptr) lame_close(audioEncoder);
  audioEncoder = lame_init();
  if (audioEncoder == nullptr) return false;
  lame_set_num_channels(audioEncoder, 2);
  lame_set_quality(audioEncoder, 6);
  lame_set_mode(audioEncoder, static_cast<MPEG_mode>(1));  // joint stereo
  if (lame_init_params(audioEncoder) < 0) {
    platform::log::nslog("lame_init_params failed");
    lame_close(audioEncoder);
    audioEncoder = nullptr;
    return false;
  }
  return true;
}

int SWAudioEncoder::encodeSampleBuffer(const platform::audio::SampleBuffer& buffer) {
  const auto& block = buffer.dataBuffer();
  if (!block || block->dataPointer() == nullptr || audioEncoder == nullptr) return 0;
  const std::uint8_t* data = block->dataPointer();
  const std::size_t totalFrames = block->dataLength() / kBytesPerSampleFrame;

  int n = 0;
  for (std::size_t done = 0; done < totalFrames;) {
    if (n > 0) composeAudioPacket(frameBuffer.data(), n, currentClock());
    const std::size_t frames = std::min(totalFrames - done, kMaxFramesPerCall);
    if (pcm_.size() < frames * 2) pcm_.resize(frames * 2);
    copyFullScale(data + done * kBytesPerSampleFrame, frames * 2, pcm_.data());
    // LAME's rule for the worst-case output of one call: 1.25 x samples + 7200 bytes.
    const std::size_t needed = frames + (frames + 3) / 4 + 7200;
    if (frameBuffer.size() < needed) frameBuffer.resize(needed);
    n = lame_encode_buffer_interleaved_ieee_float(audioEncoder, pcm_.data(),
                                                  static_cast<int>(frames), frameBuffer.data(),
                                                  static_cast<int>(frameBuffer.size()));
    done += frames;
  }
  return n;
}

std::uint32_t SWAudioEncoder::currentClock() {
  return static_cast<std::uint32_t>(SWTimeUtils::singleton()->getCurrentTimeStamp());
}

void SWAudioEncoder::executeAudioEncode() {
  setup();
  do {
    std::shared_ptr<RawAudioQueue> input = waitForInputQueue(kTakeTimeout);
    std::shared_ptr<platform::audio::SampleBuffer> buffer =
        input ? input->take(kTakeTimeout) : nullptr;
    input.reset();
    if (!buffer) continue;
    const int n = encodeSampleBuffer(*buffer);
    buffer->invalidate();
    buffer.reset();
    if (n > 0) composeAudioPacket(frameBuffer.data(), n, currentClock());
  } while (isEncoderRunning_.load(std::memory_order_relaxed));

  // Release what is still queued; a stopped queue answers at once. The encoder is not
  // flushed: its last partial frame and the carry are dropped.
  if (std::shared_ptr<RawAudioQueue> input = inputQueue()) {
    while (auto leftover = input->take(kTakeTimeout)) leftover->invalidate();
  }
  if (audioEncoder != nullptr) {
    lame_close(audioEncoder);
    audioEncoder = nullptr;
  }
  isEncoderRunning_.store(false, std::memory_order_relaxed);
}

int SWAudioEncoder::frameSizeFor(std::uint8_t headerByte) {
  return (headerByte & 0x02) != 0 ? kPaddedFrameSize : kFrameSize;
}

void SWAudioEncoder::composeAudioPacket(const std::uint8_t* input, std::int32_t len,
                                        std::uint32_t ts) {
  if (input == nullptr || len <= 0) return;
  // 64-bit counts: `preLen` + `lenth` cannot overflow whatever the caller passes.
  std::int64_t pending = std::int64_t{preLen_} + len;
  std::int64_t pos = 0;
  std::shared_ptr<AVCallback> callback = avCallback();

  // The third header byte tells the size. Fewer than three bytes cannot show it yet.
  if (pending >= 3) {
    int size = frameSizeFor(preLen_ > 2 ? bufferPool[2] : input[2 - preLen_]);
    while (pending >= size) {
      // Frame timestamp: the clock minus 26 ms for every 418 bytes still pending, computed in
      // 32-bit arithmetic (wrapping like the wire field).
      const std::int64_t stamp = static_cast<std::int64_t>(ts) - (26 * pending) / 418;
      std::uint8_t* packet = nullptr;
      if (preLen_ > 0) {
        const std::int64_t fromInput = size - preLen_;
        packet = createAudioPacket(
            std::span<const std::uint8_t>(bufferPool, static_cast<std::size_t>(preLen_)),
            std::span<const std::uint8_t>(input, static_cast<std::size_t>(fromInput)),
            static_cast<std::uint32_t>(stamp));
        pos = fromInput;
        preLen_ = 0;
      } else {
        packet = createAudioPacket(
            std::span<const std::uint8_t>(input + pos, static_cast<std::size_t>(size)), {},
            static_cast<std::uint32_t>(stamp));
        pos += size;
      }
      pending -= size;
      if (packet != nullptr) {
        if (callback) {
          callback->onOutputMediaData(packet);
        } else {
          freeMediaPacket(packet);
        }
      }
      // Continue only while at least a padded frame's worth is pending.
      if (pending <= kFrameSize) break;
      size = frameSizeFor(input[pos + 2]);
    }
  }

  // Keep the rest in the carry.
  if (pending > 0) {
    // At most 417 bytes stay: the loop runs on while 418 or more are pending.
    const std::int64_t rest = len - pos;
    std::memcpy(bufferPool + preLen_, input + pos, static_cast<std::size_t>(rest));
    preLen_ = static_cast<std::int32_t>(pending);
  }
}

}  // namespace corvane
