#include "media/sw_audio_recorder.h"

#include <algorithm>

#include "platform/audio/block_buffer.h"

namespace corvane {

namespace audio = platform::audio;

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

std::shared_ptr<detail::AudioFormatConverter> SWAudioRecorder::converterFor(
    const audio::CaptureAudioDataOutput& output) {
  std::lock_guard<std::mutex> lock(mutex_);
  converters_.erase(std::remove_if(converters_.begin(), converters_.end(),
                                   [](const OutputConverter& c) { return c.output.expired(); }),
                    converters_.end());
  for (const auto& c : converters_) {
    if (c.output.lock().get() == &output) return c.converter;
  }
  auto converter = std::make_shared<detail::AudioFormatConverter>();
  // An output not held by a shared pointer cannot be told apart later: its converter lives
  // for this buffer only.
  std::weak_ptr<const audio::CaptureAudioDataOutput> weak = output.weak_from_this();
  if (!weak.expired()) converters_.push_back({std::move(weak), converter});
  return converter;
}

void SWAudioRecorder::captureOutputDidOutputSampleBuffer(
    audio::CaptureAudioDataOutput& output, const audio::SampleBufferRef& sampleBuffer,
    const audio::CaptureConnection& /*connection*/) {
  if (!sampleBuffer || !sampleBuffer->isValid()) return;
  auto queue = rawAudioQueue();
  if (!queue) return;
  audio::SampleBufferRef buffer = sampleBuffer;
  const auto& format = sampleBuffer->formatDescription();
  if (format && !detail::AudioFormatConverter::isEncoderFormat(*format)) {
    const auto& block = sampleBuffer->dataBuffer();
    if (!block) return;
    auto pcm = converterFor(output)->convert(*format, block->dataPointer(), block->dataLength());
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
