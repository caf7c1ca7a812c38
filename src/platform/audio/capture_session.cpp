#include "platform/audio/capture_session.h"

#include "platform/audio/block_buffer.h"

namespace corvane::platform::audio {

// CaptureDevice

std::shared_ptr<CaptureDevice> CaptureDevice::defaultDeviceWithMediaType(MediaType type) {
  if (type != MediaType::Audio) return nullptr;
  auto hardware = systemHardware();
  AudioObjectID device = kAudioObjectUnknown;
  if (hardware->getDefaultDevice(true, &device) != noErr || device == kAudioObjectUnknown) {
    return nullptr;
  }
  return create(std::move(hardware), device);
}

std::shared_ptr<CaptureDevice> CaptureDevice::create(std::shared_ptr<AudioHardware> hardware,
                                                     AudioObjectID deviceID) {
  if (!hardware) return nullptr;
  return std::shared_ptr<CaptureDevice>(new CaptureDevice(std::move(hardware), deviceID));
}

AuthorizationStatus CaptureDevice::authorizationStatusForMediaType(MediaType type) {
  if (type != MediaType::Audio) return AuthorizationStatus::Authorized;
  return systemHardware()->captureAuthorizationStatus();
}

void CaptureDevice::requestAccessForMediaType(MediaType type,
                                              std::function<void(bool granted)> handler) {
  if (type != MediaType::Audio) {
    dispatch::Queue::global()->async([handler = std::move(handler)] {
      if (handler) handler(true);
    });
    return;
  }
  systemHardware()->requestCaptureAccess(std::move(handler));
}

std::string CaptureDevice::localizedName() const {
  std::string name;
  if (hardware_->getName(deviceID_, &name) != noErr) return "";
  return name;
}

// CaptureDeviceInput

std::shared_ptr<CaptureDeviceInput> CaptureDeviceInput::deviceInputWithDevice(
    std::shared_ptr<CaptureDevice> device, Error* error) {
  auto fail = [error](const std::string& text) -> std::shared_ptr<CaptureDeviceInput> {
    if (error != nullptr) *error = Error("AVFoundationErrorDomain", -11814, text);
    return nullptr;
  };
  if (!device) return fail("no capture device");
  std::vector<std::uint32_t> buffers;
  if (device->hardware()->getStreamConfiguration(device->deviceID(), true, &buffers) != noErr) {
    return fail("the capture device is not available");
  }
  std::uint32_t channels = 0;
  for (std::uint32_t c : buffers) channels += c;
  if (channels == 0) return fail("the capture device has no input channels");
  return std::shared_ptr<CaptureDeviceInput>(new CaptureDeviceInput(std::move(device)));
}

// CaptureAudioDataOutput

std::shared_ptr<CaptureAudioDataOutput> CaptureAudioDataOutput::create() {
  return std::shared_ptr<CaptureAudioDataOutput>(new CaptureAudioDataOutput());
}

AudioSettings CaptureAudioDataOutput::audioSettings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return settings_;
}

void CaptureAudioDataOutput::setAudioSettings(AudioSettings settings) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_ = settings;
}

void CaptureAudioDataOutput::setSampleBufferDelegate(
    std::weak_ptr<AudioSampleBufferDelegate> delegate, dispatch::QueuePtr queue) {
  std::lock_guard<std::mutex> lock(mutex_);
  delegate_ = std::move(delegate);
  queue_ = std::move(queue);
}

std::shared_ptr<AudioSampleBufferDelegate> CaptureAudioDataOutput::sampleBufferDelegate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delegate_.lock();
}

dispatch::QueuePtr CaptureAudioDataOutput::sampleBufferCallbackQueue() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_;
}

void CaptureAudioDataOutput::deliver(const SampleBufferRef& buffer,
                                     const CaptureConnection& connection) {
  std::weak_ptr<AudioSampleBufferDelegate> delegate;
  dispatch::QueuePtr queue;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    delegate = delegate_;
    queue = queue_ ? queue_ : dispatch::Queue::global();
  }
  queue->async([self = shared_from_this(), delegate, buffer, connection] {
    if (auto d = delegate.lock()) d->captureOutputDidOutputSampleBuffer(*self, buffer, connection);
  });
}

// CaptureSession

std::shared_ptr<CaptureSession> CaptureSession::create() {
  return std::shared_ptr<CaptureSession>(new CaptureSession());
}

CaptureSession::~CaptureSession() { stopRunning(); }

void CaptureSession::beginConfiguration() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++configurationDepth_;
}

void CaptureSession::commitConfiguration() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (configurationDepth_ > 0) --configurationDepth_;
}

bool CaptureSession::canAddInput(const std::shared_ptr<CaptureDeviceInput>& input) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return input && !input_;
}

void CaptureSession::addInput(std::shared_ptr<CaptureDeviceInput> input) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (input && !input_) input_ = std::move(input);
}

void CaptureSession::addOutput(std::shared_ptr<CaptureAudioDataOutput> output) {
  if (!output) return;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& o : outputs_) {
    if (o == output) return;
  }
  outputs_.push_back(std::move(output));
}

std::vector<std::shared_ptr<CaptureDeviceInput>> CaptureSession::inputs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!input_) return {};
  return {input_};
}

std::vector<std::shared_ptr<CaptureAudioDataOutput>> CaptureSession::outputs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return outputs_;
}

void CaptureSession::startRunning() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_) return;
  running_ = true;
  if (!input_) return;  // runs, captures nothing
  const auto& device = input_->device();
  CaptureConnection connection{device->deviceID()};
  auto outputs = outputs_;
  stream_ = device->hardware()->openInputStream(
      device->deviceID(),
      [outputs, connection](const StreamBasicDescription& format, const void* bytes,
                            std::size_t length) {
        if (format.mBytesPerFrame == 0 || length == 0) return;
        auto block = BlockBuffer::createWithBytes(bytes, length);
        auto buffer = SampleBuffer::create(
            std::move(block), static_cast<std::int64_t>(length / format.mBytesPerFrame), format);
        for (const auto& output : outputs) output->deliver(buffer, connection);
      },
      nullptr);
}

void CaptureSession::stopRunning() {
  std::unique_ptr<AudioInputStream> stream;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    stream = std::move(stream_);
  }
  if (stream) stream->stop();
}

bool CaptureSession::isRunning() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_;
}

}  // namespace corvane::platform::audio
