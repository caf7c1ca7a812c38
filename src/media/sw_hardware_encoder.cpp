#include "media/sw_hardware_encoder.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <thread>

#include "media/media_packet.h"
#include "platform/dispatch/dispatch.h"
#include "platform/log/log.h"

namespace corvane {

namespace video = platform::video;
using platform::log::nslog;

namespace {

constexpr double kTakeTimeout = 0.1;
constexpr double kStopPollInterval = 0.01;
constexpr std::size_t kStartCodeSize = 4;
constexpr std::size_t kHeaderSize = 36;  // host kind, host length, BE length, 5 x BE 1, BE time
constexpr std::uint8_t kStartCode[kStartCodeSize] = {0, 0, 0, 1};
// The block: host header (8) + wire part (T + 36).
constexpr std::size_t kHardwarePacketOverhead = kHeaderSize + 2 * kStartCodeSize;
constexpr std::size_t kMaxWire = std::numeric_limits<std::uint32_t>::max();

void putHost32(std::uint8_t* at, std::uint32_t value) { std::memcpy(at, &value, 4); }

void putBig32(std::uint8_t* at, std::uint32_t value) {
  at[0] = static_cast<std::uint8_t>(value >> 24);
  at[1] = static_cast<std::uint8_t>(value >> 16);
  at[2] = static_cast<std::uint8_t>(value >> 8);
  at[3] = static_cast<std::uint8_t>(value);
}

std::uint32_t getBig32(const std::uint8_t* at) {
  return (static_cast<std::uint32_t>(at[0]) << 24) | (static_cast<std::uint32_t>(at[1]) << 16) |
         (static_cast<std::uint32_t>(at[2]) << 8) | static_cast<std::uint32_t>(at[3]);
}

// True when `frame` is one or more whole, non-empty length-prefixed NAL units.
bool isLengthPrefixed(std::span<const std::uint8_t> frame) {
  if (frame.empty()) return false;
  std::size_t offset = 0;
  while (offset < frame.size()) {
    if (frame.size() - offset < kStartCodeSize) return false;
    const std::uint32_t length = getBig32(frame.data() + offset);
    offset += kStartCodeSize;
    if (length == 0 || length > frame.size() - offset) return false;
    offset += length;
  }
  return true;
}

std::mutex& currentMutex() {
  static std::mutex mutex;
  return mutex;
}

std::weak_ptr<SWHardwareEncoder>& currentEncoder() {
  static std::weak_ptr<SWHardwareEncoder> encoder;
  return encoder;
}

}  // namespace

std::uint8_t* createHardwareVideoPacket(std::span<const std::uint8_t> sequenceParameterSet,
                                        std::span<const std::uint8_t> pictureParameterSet,
                                        std::span<const std::uint8_t> lengthPrefixedFrame,
                                        std::uint32_t timestamp) {
  if (sequenceParameterSet.empty() || pictureParameterSet.empty() ||
      !isLengthPrefixed(lengthPrefixedFrame)) {
    return nullptr;
  }
  const std::size_t s = sequenceParameterSet.size();
  const std::size_t p = pictureParameterSet.size();
  const std::size_t d = lengthPrefixedFrame.size();
  const std::size_t room = kMaxWire - kHardwarePacketOverhead;
  if (s > room || p > room - s || d > room - s - p) return nullptr;
  const std::size_t t = s + p + d;
  auto* block = static_cast<std::uint8_t*>(std::malloc(t + kHardwarePacketOverhead));
  if (block == nullptr) return nullptr;
  putHost32(block, kMediaPacketKindVideo);
  putHost32(block + 4, static_cast<std::uint32_t>(t + 36));
  putBig32(block + 8, static_cast<std::uint32_t>(t + 32));
  for (std::size_t offset = 12; offset <= 28; offset += 4) putBig32(block + offset, 1);
  putBig32(block + 32, timestamp);
  std::uint8_t* at = block + kHeaderSize;
  std::memcpy(at, kStartCode, kStartCodeSize);
  std::memcpy(at + kStartCodeSize, sequenceParameterSet.data(), s);
  at += kStartCodeSize + s;
  std::memcpy(at, kStartCode, kStartCodeSize);
  std::memcpy(at + kStartCodeSize, pictureParameterSet.data(), p);
  at += kStartCodeSize + p;
  std::memcpy(at, lengthPrefixedFrame.data(), d);
  // Each length prefix becomes a start code (the prefixes were checked above).
  for (std::size_t offset = 0; offset < d;) {
    const std::uint32_t length = getBig32(at + offset);
    std::memcpy(at + offset, kStartCode, kStartCodeSize);
    offset += kStartCodeSize + length;
  }
  return block;
}

std::shared_ptr<SWHardwareEncoder> SWHardwareEncoder::create() {
  std::shared_ptr<SWHardwareEncoder> encoder(new SWHardwareEncoder());
  std::lock_guard<std::mutex> lock(currentMutex());
  currentEncoder() = encoder;
  return encoder;
}

std::shared_ptr<SWHardwareEncoder> SWHardwareEncoder::current() {
  std::lock_guard<std::mutex> lock(currentMutex());
  return currentEncoder().lock();
}

SWHardwareEncoder::~SWHardwareEncoder() {
  if (compression_session) compression_session->invalidate();
}

platform::display::Size SWHardwareEncoder::encodeSize() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return encodeSize_;
}

void SWHardwareEncoder::setEncodeSize(platform::display::Size size) {
  std::lock_guard<std::mutex> lock(mutex_);
  encodeSize_ = size;
}

void SWHardwareEncoder::start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (encodingThread) return;
  stopping_ = std::make_shared<std::atomic<bool>>(false);
  auto self = shared_from_this();
  encodingThread =
      platform::Thread::create([self] { self->workingThreadFun(); }, "hardware_encoder");
  encodingThread->start();
  if (encodingThread->isFinished()) encodingThread.reset();
}

void SWHardwareEncoder::stop() {
  std::shared_ptr<platform::Thread> thread;
  std::shared_ptr<std::atomic<bool>> stopping;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    thread = encodingThread;
    stopping = stopping_;
  }
  if (!thread) return;
  stopping->store(true);
  thread->cancel();
  if (platform::Thread::current() == thread) return;
  thread->join();
  std::lock_guard<std::mutex> lock(mutex_);
  if (encodingThread == thread) encodingThread.reset();
}

bool SWHardwareEncoder::createCompressionSessionWithSize(int width, int height) {
  const std::map<std::string, bool> encoderSettings = {
      {video::kEncoderSpecificationEnableHardwareAcceleratedVideoEncoder, true}};
  // Each session reports to the encoder that made it.
  std::weak_ptr<SWHardwareEncoder> weak = weak_from_this();
  const auto stopping = runStopping();  // the run this session belongs to
  std::shared_ptr<video::CompressionSession> session;
  const int status = video::CompressionSession::create(
      width, height, video::kVideoCodecTypeH264, encoderSettings,
      video::CompressionSession::SourceImageAttributes{video::kPixelFormat32BGRA, width, height},
      [weak, stopping](int result, const std::shared_ptr<const video::EncodedSample>& sample) {
        if (auto self = weak.lock()) self->handleOutput(*stopping, result, sample);
      },
      &session);
  if (status != video::kReturnSuccess) {
    nslog("VTCompressionSessionCreate got error");
    return false;
  }
  session->setProperty(video::kCompressionPropertyAllowFrameReordering, false);
  session->setProperty(video::kCompressionPropertyRealTime, true);
  session->setProperty(video::kCompressionPropertyExpectedFrameRate, std::int64_t{23});
  session->setProperty(video::kCompressionPropertyMaxKeyFrameInterval, std::int64_t{2000});
  session->setProperty(video::kCompressionPropertyAverageBitRate, std::int64_t{207360000});
  session->setProperty(video::kCompressionPropertyDataRateLimits,
                       std::vector<double>{38880000.0, 1.0});
  session->setProperty(video::kCompressionPropertyProfileLevel,
                       std::string(video::kProfileLevelH264HighAutoLevel));
  session->setProperty(video::kCompressionPropertyMaxFrameDelayCount, std::int64_t{1});
  session->setProperty(video::kCompressionPropertyNumberOfPendingFrames, std::int64_t{1});
  session->setProperty(video::kCompressionPropertyH264EntropyMode,
                       std::string(video::kH264EntropyModeCABAC));
  std::lock_guard<std::mutex> lock(mutex_);
  compression_session = std::move(session);
  encodeSize_ = platform::display::Size{static_cast<double>(width), static_cast<double>(height)};
  return true;
}

void SWHardwareEncoder::releaseCompressionSession() {
  std::shared_ptr<video::CompressionSession> session;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    session = std::move(compression_session);
  }
  if (session) {
    session->completeFrames();
    session->invalidate();
  }
}

void SWHardwareEncoder::compress(const video::PixelBufferRef& buffer, std::uint32_t timestamp,
                                 bool forceKeyFrame) {
  std::shared_ptr<video::CompressionSession> session;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    session = compression_session;
  }
  if (!session || !buffer) return;
  if (forceKeyFrame) forceKeyframe_.store(true);
  session->encodeFrame(buffer, video::MediaTime{timestamp, 1000}, video::MediaTime{},
                       video::FrameOptions{forceKeyFrame});
}

void SWHardwareEncoder::completeFrames() {
  std::shared_ptr<video::CompressionSession> session;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    session = compression_session;
  }
  if (session) session->completeFrames();
}

std::shared_ptr<std::atomic<bool>> SWHardwareEncoder::runStopping() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stopping_;
}

void SWHardwareEncoder::handleOutput(const std::atomic<bool>& stopping, int status,
                                     const std::shared_ptr<const video::EncodedSample>& sample) {
  if (status != video::kReturnSuccess || !sample) return;
  // A stopping encoder hands nothing on: its owner may no longer drain the callback's queue.
  if (stopping.load()) return;
  // The packet carries media-clock milliseconds, like the software encoder's packets.
  const video::MediaTime& pts = sample->presentationTime;
  const std::int64_t milliseconds = pts.isValid() ? pts.value * 1000 / pts.timescale : pts.value;
  std::uint8_t* packet = createHardwareVideoPacket(
      sample->sequenceParameterSet, sample->pictureParameterSet, sample->data,
      static_cast<std::uint32_t>(milliseconds & 0xFFFFFFFF));
  if (packet == nullptr) return;
  if (sample->isKeyFrame) forceKeyframe_.store(false);
  std::shared_ptr<AVCallback> callback = vaCallback();
  if (callback) {
    callback->onOutputMediaData(packet);
  } else {
    freeMediaPacket(packet);
  }
}

void SWHardwareEncoder::workingThreadFun() {
  createCompressionSessionWithSize(kInitialWidth, kInitialHeight);
  const auto thread = platform::Thread::current();
  while (thread && !thread->isCancelled()) {
    std::shared_ptr<RawVideoQueue> input = rawVideoInput();
    std::shared_ptr<RawVideoFrame> item = input ? input->take(kTakeTimeout) : nullptr;
    input.reset();
    if (!item) {
      if (!rawVideoInput()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    if (!item->buffer) continue;
    const platform::display::Size size = encodeSize();
    const int width = item->buffer->width() / 2 * 2;
    const int height = item->buffer->height() / 2 * 2;
    if (width != static_cast<int>(size.width) || height != static_cast<int>(size.height)) {
      retireCompressionSession();
      if (thread->isCancelled()) break;
      createCompressionSessionWithSize(width, height);
    }
    compress(item->buffer, item->timestamp, item->keyframe);
    item.reset();
  }
  retireCompressionSession();
}

void SWHardwareEncoder::retireCompressionSession() {
  std::shared_ptr<video::CompressionSession> session;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    session = std::move(compression_session);
  }
  if (!session) return;
  // Completing and invalidating both wait for a hand-over in progress, which a blocked
  // callback can make endless: they run off the worker, which waits for them only while
  // no stop has begun.
  auto done = std::make_shared<platform::dispatch::Semaphore>(0);
  const auto stopping = runStopping();
  platform::dispatch::Queue::global()->async([stopping, session, done] {
    if (!stopping->load()) session->completeFrames();
    session->invalidate();
    done->signal();
  });
  while (!done->wait(kStopPollInterval)) {
    if (stopping->load()) return;
  }
}

}  // namespace corvane
