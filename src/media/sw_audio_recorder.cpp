#include "media/sw_audio_recorder.h"

#include <cmath>
#include <cstring>

#include "platform/audio/block_buffer.h"

namespace corvane {

namespace audio = platform::audio;

// Conversion

namespace detail {

namespace {
constexpr std::uint32_t kSupportedFlags = audio::kAudioFormatFlagIsFloat |
                                          audio::kAudioFormatFlagIsSignedInteger |
                                          audio::kAudioFormatFlagIsPacked |
                                          audio::kAudioFormatFlagIsNonInterleaved |
                                          audio::kAudioFormatFlagIsBigEndian;

// One sample as a float in [-1, 1] (little-endian bytes).
float readSample(const std::uint8_t* p, std::uint32_t bytes, bool isFloat) {
  if (isFloat) {
    if (bytes == 4) {
      float f = 0.0f;
      std::memcpy(&f, p, 4);
      return f;
    }
    double d = 0.0;
    std::memcpy(&d, p, 8);
    return static_cast<float>(d);
  }
  switch (bytes) {
    case 1:
      return static_cast<float>(static_cast<std::int8_t>(p[0])) / 128.0f;
    case 2: {
      std::int16_t v = 0;
      std::memcpy(&v, p, 2);
      return static_cast<float>(v) / 32768.0f;
    }
    case 3: {
      const std::uint32_t u = static_cast<std::uint32_t>(p[0]) |
                              (static_cast<std::uint32_t>(p[1]) << 8) |
                              (static_cast<std::uint32_t>(p[2]) << 16);
      const std::int32_t v = static_cast<std::int32_t>(u << 8) >> 8;
      return static_cast<float>(v) / 8388608.0f;
    }
    default: {
      std::int32_t v = 0;
      std::memcpy(&v, p, 4);
      return static_cast<float>(static_cast<double>(v) / 2147483648.0);
    }
  }
}
}  // namespace

bool AudioFormatConverter::isEncoderFormat(const audio::StreamBasicDescription& f) {
  return f.mFormatID == audio::kAudioFormatLinearPCM && f.mSampleRate == 44100.0 &&
         f.mChannelsPerFrame == 2 && f.mBitsPerChannel == 32 && f.mBytesPerFrame == 8 &&
         (f.mFormatFlags & audio::kAudioFormatFlagIsFloat) != 0 &&
         (f.mFormatFlags & (audio::kAudioFormatFlagIsNonInterleaved |
                            audio::kAudioFormatFlagIsBigEndian)) == 0;
}

std::vector<float> AudioFormatConverter::convert(const audio::StreamBasicDescription& f,
                                                 const void* bytes, std::size_t length) {
  const bool isFloat = (f.mFormatFlags & audio::kAudioFormatFlagIsFloat) != 0;
  const std::uint32_t sampleBytes = f.mBitsPerChannel / 8;
  const bool readable =
      f.mFormatID == audio::kAudioFormatLinearPCM && (f.mFormatFlags & ~kSupportedFlags) == 0 &&
      (f.mFormatFlags & (audio::kAudioFormatFlagIsNonInterleaved |
                         audio::kAudioFormatFlagIsBigEndian)) == 0 &&
      f.mBitsPerChannel % 8 == 0 &&
      (isFloat ? (sampleBytes == 4 || sampleBytes == 8) : (sampleBytes >= 1 && sampleBytes <= 4)) &&
      f.mChannelsPerFrame >= 1 && f.mChannelsPerFrame <= 64 &&
      f.mBytesPerFrame == sampleBytes * f.mChannelsPerFrame && f.mSampleRate >= 1.0 &&
      f.mSampleRate <= 1000000.0 && bytes != nullptr;
  if (!readable) return {};

  const std::size_t frames = length / f.mBytesPerFrame;
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  auto frameAt = [&](std::size_t i, float* out) {
    const std::uint8_t* frame = p + i * f.mBytesPerFrame;
    out[0] = readSample(frame, sampleBytes, isFloat);
    out[1] = f.mChannelsPerFrame > 1 ? readSample(frame + sampleBytes, sampleBytes, isFloat) : out[0];
  };

  if (f.mSampleRate != lastRate_) {
    lastRate_ = f.mSampleRate;
    phase_ = 0.0;
    haveLast_ = false;
  }
  std::vector<float> out;
  if (f.mSampleRate == 44100.0) {
    out.resize(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) frameAt(i, &out[i * 2]);
    return out;
  }
  // Linear interpolation between input frames; index -1 is the previous buffer's last frame.
  const double step = f.mSampleRate / 44100.0;
  out.reserve(static_cast<std::size_t>(static_cast<double>(frames) / step) * 2 + 4);
  const double first = haveLast_ ? -1.0 : 0.0;
  if (phase_ < first) phase_ = first;
  float a[2];
  float b[2];
  while (frames > 0 && phase_ <= static_cast<double>(frames - 1)) {
    const double floorPos = std::floor(phase_);
    const auto index = static_cast<long long>(floorPos);
    const auto t = static_cast<float>(phase_ - floorPos);
    if (index < 0) {
      a[0] = last_[0];
      a[1] = last_[1];
    } else {
      frameAt(static_cast<std::size_t>(index), a);
    }
    const auto next = static_cast<std::size_t>(index + 1);
    if (next < frames) {
      frameAt(next, b);
    } else {
      b[0] = a[0];
      b[1] = a[1];
    }
    out.push_back(a[0] + (b[0] - a[0]) * t);
    out.push_back(a[1] + (b[1] - a[1]) * t);
    phase_ += step;
  }
  if (frames > 0) {
    frameAt(frames - 1, last_);
    haveLast_ = true;
    phase_ -= static_cast<double>(frames);  // relative to the next buffer's first frame
  }
  return out;
}

}  // namespace detail

// SWAudioRecorder

std::shared_ptr<SWAudioRecorder> SWAudioRecorder::create() {
  std::shared_ptr<SWAudioRecorder> recorder(new SWAudioRecorder());
  recorder->encoder_->setAvCallback(std::static_pointer_cast<AVCallback>(recorder));
  return recorder;
}

SWAudioRecorder::SWAudioRecorder() : encoder_(SWAudioEncoder::create()) {}

SWAudioRecorder::~SWAudioRecorder() { endRecorder(); }

void SWAudioRecorder::setRawAudioQueue(const std::shared_ptr<RawAudioQueue>& queue) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    rawAudioQueue_ = queue;
  }
  if (queue) {
    queue->setDestroyBlock([](const RawAudioQueue::Item& buffer) {
      if (buffer) buffer->invalidate();
    });
  }
  encoder_->setInputQueue(queue);
}

void SWAudioRecorder::setEncodedAudioQueue(const std::shared_ptr<EncodedAudioQueue>& queue) {
  std::lock_guard<std::mutex> lock(mutex_);
  encodedAudioQueue_ = queue;
}

std::shared_ptr<RawAudioQueue> SWAudioRecorder::rawAudioQueue() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rawAudioQueue_.lock();
}

std::shared_ptr<EncodedAudioQueue> SWAudioRecorder::encodedAudioQueue() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return encodedAudioQueue_.lock();
}

std::shared_ptr<audio::CaptureSession> SWAudioRecorder::captureSession() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return captureSession_;
}

void SWAudioRecorder::createSeesion() {
  auto session = audio::CaptureSession::create();
  session->beginConfiguration();
  // A missing device or a failed input leaves the session without input.
  auto device = audio::CaptureDevice::defaultDeviceWithMediaType(audio::MediaType::Audio);
  auto input = audio::CaptureDeviceInput::deviceInputWithDevice(device, nullptr);
  auto output = audio::CaptureAudioDataOutput::create();
  audio::AudioSettings settings;
  settings.formatID = audio::kAudioFormatLinearPCM;
  settings.linearPCMIsNonInterleaved = false;
  output->setAudioSettings(settings);
  auto queue = platform::dispatch::Queue::createSerial(kCaptureQueueLabel);
  output->setSampleBufferDelegate(
      std::static_pointer_cast<audio::AudioSampleBufferDelegate>(shared_from_this()), queue);
  if (input) session->addInput(input);
  session->addOutput(output);
  session->commitConfiguration();
  std::lock_guard<std::mutex> lock(mutex_);
  captureQueue_ = queue;
  captureSession_ = session;
  sessionsCreated_.fetch_add(1);
}

void SWAudioRecorder::beginRecroder() {
  if (!captureSession()) createSeesion();
  auto session = captureSession();
  if (session && !session->isRunning()) session->startRunning();
  encoder_->beginEncodeAudio();
}

void SWAudioRecorder::endRecorder() {
  // The capture stops first: the encoder drains its input until nothing more comes, which
  // would never happen while sound keeps arriving in a queue nobody has stopped.
  std::shared_ptr<audio::CaptureSession> session;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    session = std::move(captureSession_);
    captureSession_.reset();
  }
  if (session && session->isRunning()) session->stopRunning();
  encoder_->endEncodeAudio();
}

void SWAudioRecorder::captureOutputDidOutputSampleBuffer(
    audio::CaptureAudioDataOutput& /*output*/, const audio::SampleBufferRef& sampleBuffer,
    const audio::CaptureConnection& /*connection*/) {
  if (!sampleBuffer || !sampleBuffer->isValid()) return;
  auto queue = rawAudioQueue();
  if (!queue) return;
  audio::SampleBufferRef buffer = sampleBuffer;
  const auto& format = sampleBuffer->formatDescription();
  if (format && !detail::AudioFormatConverter::isEncoderFormat(*format)) {
    const auto& block = sampleBuffer->dataBuffer();
    if (!block) return;
    auto pcm = converter_.convert(*format, block->dataPointer(), block->dataLength());
    if (pcm.empty()) return;  // unreadable format, or too short to yield a frame yet
    const std::size_t frames = pcm.size() / 2;
    buffer = audio::SampleBuffer::create(
        audio::BlockBuffer::createWithBytes(pcm.data(), pcm.size() * sizeof(float)),
        static_cast<std::int64_t>(frames), audio::kEncoderInputFormat);
  }
  // Never wait for the encoder: a full or stopped queue drops the newest buffer.
  if (!queue->put(buffer, 0.0)) buffer->invalidate();
}

void SWAudioRecorder::onOutputMediaData(std::uint8_t* packet) {
  if (packet == nullptr) return;
  auto queue = encodedAudioQueue();
  auto box = std::make_shared<MediaPacketBox>();
  box->pointer = packet;
  if (!queue || !queue->put(box)) freeMediaPacket(packet);
}

}  // namespace corvane
