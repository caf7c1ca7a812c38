#include "media/sw_video_recorder.h"

#include <chrono>
#include <utility>
#include <vector>

#include "media/sw_app_config.h"
#include "media/sw_software_encoder.h"
#include "media/sw_time_utils.h"
#include "platform/foundation/notification_center.h"
#include "platform/log/log.h"
#include "platform/video/surface.h"

namespace corvane {

namespace display = platform::display;
namespace video = platform::video;
using platform::log::nslog;

std::shared_ptr<SWVideoRecorder> SWVideoRecorder::create(
    std::shared_ptr<display::DisplayService> displayService) {
  if (!displayService) displayService = display::DisplayService::shared();
  std::shared_ptr<SWVideoRecorder> recorder(new SWVideoRecorder(std::move(displayService)));
  recorder->encoder_->setVaCallback(std::weak_ptr<AVCallback>(recorder));
  return recorder;
}

SWVideoRecorder::SWVideoRecorder(std::shared_ptr<display::DisplayService> displayService)
    : display_(std::move(displayService)),
      encoder_(SWSoftwareEncoder::create()),
      video_recorder_queue(platform::dispatch::Queue::createSerial("corvane_screen_recorder")) {}

SWVideoRecorder::~SWVideoRecorder() {
  // A recorder dropped without endRecorder: nothing may keep running on its behalf.
  encoder_->stop();
  std::lock_guard<std::mutex> lock(mutex_);
  if (stillPictureDispatch) stillPictureDispatch->cancel();
  if (displayStreamRef) displayStreamRef->stop();
}

double SWVideoRecorder::now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double SWVideoRecorder::frameInterval() const {
  const std::uint64_t rate = targetFrameRate_.load(std::memory_order_relaxed);
  return 1.0 / static_cast<double>(rate == 0 ? 1 : rate);
}

void SWVideoRecorder::setVideoOutputBuffer(const std::shared_ptr<RawVideoQueue>& queue) {
  if (queue) {
    queue->setDestroyBlock([](const RawVideoQueue::Item& item) { item->buffer.reset(); });
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    videoOutputBuffer_ = queue;
  }
  encoder_->setRawVideoInput(queue);
}

std::shared_ptr<RawVideoQueue> SWVideoRecorder::videoOutputBuffer() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return videoOutputBuffer_.lock();
}

void SWVideoRecorder::setEncodedVideoBuffer(const std::shared_ptr<EncodedVideoQueue>& queue) {
  std::lock_guard<std::mutex> lock(mutex_);
  encodedVideoBuffer_ = queue;
}

std::shared_ptr<EncodedVideoQueue> SWVideoRecorder::encodedVideoBuffer() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return encodedVideoBuffer_.lock();
}

void SWVideoRecorder::setTargetFrameRate(std::uint64_t framesPerSecond) {
  targetFrameRate_.store(framesPerSecond, std::memory_order_relaxed);
}

std::uint64_t SWVideoRecorder::targetFrameRate() const {
  return targetFrameRate_.load(std::memory_order_relaxed);
}

void SWVideoRecorder::setNeedsKeyFrame(bool value) {
  needsKeyFrame_.store(value, std::memory_order_relaxed);
  // A request on a still screen needs the timer to re-send the frame as a key frame.
  if (value) setTimerIdle(false);
}

void SWVideoRecorder::setTimerIdle(bool idle) {
  std::lock_guard<std::mutex> lock(mutex_);
  timerIdle_ = idle;
  updateTimerLocked();
}

void SWVideoRecorder::updateTimerLocked() {
  if (!stillPictureDispatch) return;
  const bool active = timerRunning_ && !timerIdle_;
  if (active == timerActive_) return;
  if (active) {
    stillPictureDispatch->resume();
  } else {
    stillPictureDispatch->suspend();
  }
  timerActive_ = active;
}

bool SWVideoRecorder::needsKeyFrame() const {
  return needsKeyFrame_.load(std::memory_order_relaxed);
}

std::uint8_t SWVideoRecorder::staticFrameCount() const {
  return staticFrameCount_.load(std::memory_order_relaxed);
}

bool SWVideoRecorder::hasDisplayStream() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return displayStreamRef != nullptr;
}

void SWVideoRecorder::onOutputMediaData(std::uint8_t* packet) {
  if (packet == nullptr) return;
  std::shared_ptr<EncodedVideoQueue> queue = encodedVideoBuffer();
  if (!queue || !queue->put(std::make_shared<MediaPacketBox>(MediaPacketBox{packet}))) {
    freeMediaPacket(packet);
  }
}

bool SWVideoRecorder::enqueueDesktopImage(const video::PixelBufferRef& buffer) {
  std::shared_ptr<RawVideoQueue> queue = videoOutputBuffer();
  if (!queue || !buffer) return false;
  auto item = std::make_shared<RawVideoFrame>();
  item->buffer = buffer;
  item->timestamp =
      static_cast<std::uint32_t>(SWTimeUtils::singleton()->getCurrentTimeStamp() & 0xFFFFFFFF);
  item->keyframe = needsKeyFrame_.load(std::memory_order_relaxed);
  if (!queue->put(item, kEnqueueTimeout)) return false;
  // Only the request this frame carried is answered: one that arrived while the frame was
  // being queued stays pending when this frame was no key frame.
  if (item->keyframe) needsKeyFrame_.store(false, std::memory_order_relaxed);
  return true;
}

display::Size SWVideoRecorder::getLargestResolution() {
  std::int32_t width = 0;
  std::int32_t height = 0;
  const std::vector<display::DisplayMode> modes =
      display_->copyAllDisplayModes(display_->mainDisplayID());
  for (const display::DisplayMode& mode : modes) {
    nslog(" support resolution:%d  x %d", mode.width, mode.height);
    if (mode.width > width) {
      width = mode.width;
      height = mode.height;
    } else if (mode.width == width && mode.height > height) {
      height = mode.height;
    }
  }
  nslog("found the largeest resolution: %d    x   %d", width, height);
  return display::Size{static_cast<double>(width), static_cast<double>(height)};
}

bool SWVideoRecorder::createRecorderQueue() {
  // A stream left from an earlier begin goes first (only the stream: the encoder and the
  // timer of this session keep running).
  if (hasDisplayStream()) stopStream();

  const display::DirectDisplayID mainDisplay = display_->mainDisplayID();
  if (mainDisplay == 0) return false;

  std::vector<display::DirectDisplayID> displays;
  if (display_->getActiveDisplayList(kMaxActiveDisplays, &displays) !=
      display::kDisplayErrorSuccess) {
    nslog("failed to retieve a list of active displays");
  } else if (displays.empty()) {
    nslog("did not find any active display");
  }
  for (display::DirectDisplayID id : displays) nslog("DISPLAY:%d", static_cast<int>(id));

  const display::Rect bounds = display_->displayBounds(mainDisplay);
  const display::Size largest = getLargestResolution();

  display::DisplayStreamProperties properties;
  properties.queueDepth = kStreamQueueDepth;
  properties.minimumFrameTime = frameInterval();
  properties.preserveAspectRatio = false;
  properties.showCursor = !SWAppConfig::singleton()->mouseAlone();

  auto stopped = std::make_shared<platform::dispatch::Semaphore>(0);
  std::weak_ptr<SWVideoRecorder> weak = weak_from_this();
  display::DisplayStreamRef stream = display_->createDisplayStream(
      mainDisplay, static_cast<int>(largest.width), static_cast<int>(largest.height),
      video::kPixelFormat420YpCbCr8BiPlanarVideoRange, properties, video_recorder_queue,
      [weak, stopped](display::DisplayStreamFrameStatus status, std::uint64_t /*displayTime*/,
                      const video::SurfaceRef& surface) {
        if (status == display::DisplayStreamFrameStatus::Stopped) stopped->signal();
        if (auto self = weak.lock()) self->handleFrame(status, surface);
      });
  {
    std::lock_guard<std::mutex> lock(mutex_);
    displayStreamRef = stream;
    stopVideoRecorderSemaphore = stopped;
  }

  platform::NotificationCenter::defaultCenter()->post(kSystemResolutionDidChange,
                                                      std::make_shared<display::Size>(bounds.size));
  return stream != nullptr;
}

void SWVideoRecorder::handleFrame(display::DisplayStreamFrameStatus /*status*/,
                                  const video::SurfaceRef& surface) {
  if (!surface) return;
  // The wrapping buffer holds the surface and counts as its use until the buffer goes.
  video::PixelBufferRef buffer;
  if (video::createPixelBufferWithSurface(surface, &buffer) != video::kReturnSuccess) return;
  previousScreenRef = buffer;
  lastFrameTime = now();
  staticFrameCount_.store(0, std::memory_order_relaxed);
  setTimerIdle(false);
  enqueueDesktopImage(buffer);  // a refused frame is simply dropped
}

void SWVideoRecorder::fixStillPictureIssue() {
  std::weak_ptr<SWVideoRecorder> weak = weak_from_this();
  video_recorder_queue->async([weak] {
    if (auto self = weak.lock()) self->stillPictureStep();
  });
}

void SWVideoRecorder::stillPictureStep() {
  if (needsKeyFrame_.load(std::memory_order_relaxed)) {
    staticFrameCount_.store(0, std::memory_order_relaxed);
  }
  const double interval = frameInterval();
  const double current = now();
  const std::uint8_t count = staticFrameCount_.load(std::memory_order_relaxed);
  if (count > kMaxStaticFrames && !needsKeyFrame_.load(std::memory_order_relaxed)) {
    // Nothing to re-send until a new frame or a key-frame request wakes the timer again.
    setTimerIdle(true);
    // A request that came in between finds the timer idle only after this point.
    if (needsKeyFrame_.load(std::memory_order_relaxed)) setTimerIdle(false);
    return;
  }
  if (!(current - lastFrameTime > 1.5 * interval) || !(current - lastInsertTime > interval) ||
      count > kMaxStaticFrames || !previousScreenRef) {
    return;
  }
  staticFrameCount_.store(static_cast<std::uint8_t>(count + 1), std::memory_order_relaxed);
  if (!enqueueDesktopImage(previousScreenRef)) lastInsertTime = now();
}

void SWVideoRecorder::captureOutput(const video::PixelBufferRef& imageBuffer) {
  if (!imageBuffer) return;
  std::weak_ptr<SWVideoRecorder> weak = weak_from_this();
  video_recorder_queue->async([weak, imageBuffer] {
    auto self = weak.lock();
    if (!self) return;
    self->lastFrameTime = now();
    self->enqueueDesktopImage(imageBuffer);
  });
}

void SWVideoRecorder::beginRecorder() {
  std::unique_lock<std::mutex> lifecycle(lifecycleMutex_);
  ending_.store(false);
  encoder_->start();
  for (;;) {
    const bool created = createRecorderQueue();
    retryWake_.wait_for(lifecycle, std::chrono::duration<double>(kRetryInterval),
                        [this] { return ending_.load(); });
    if (ending_.load()) return;  // an endRecorder came while this begin still ran
    if (created) break;
  }

  std::lock_guard<std::mutex> lock(mutex_);
  if (displayStreamRef) displayStreamRef->start();
  if (!stillPictureDispatch) {
    stillPictureDispatch = platform::dispatch::Source::createTimer(
        platform::dispatch::Queue::global(platform::dispatch::Priority::Default));
    std::weak_ptr<SWVideoRecorder> weak = weak_from_this();
    stillPictureDispatch->setEventHandler([weak] {
      if (auto self = weak.lock()) self->fixStillPictureIssue();
    });
    stillPictureDispatch->setTimer(0.0, kStillPictureInterval, kStillPictureInterval);
  }
  timerRunning_ = true;
  timerIdle_ = false;
  updateTimerLocked();
}

void SWVideoRecorder::endRecorder() {
  ending_.store(true);
  retryWake_.notify_all();
  std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
  encoder_->stop();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    timerRunning_ = false;
    updateTimerLocked();
  }
  stopStream();
}

void SWVideoRecorder::stopStream() {
  display::DisplayStreamRef stream;
  std::shared_ptr<platform::dispatch::Semaphore> stopped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stream = displayStreamRef;
    stopped = stopVideoRecorderSemaphore;
  }
  if (stream) {
    stream->stop();
    if (platform::dispatch::Queue::current() == video_recorder_queue) {
      // The stopped status is delivered on this very queue: waiting here would never end.
      nslog("endRecorder called on the recorder queue; not waiting for the stream to stop");
    } else if (stopped) {
      stopped->wait(platform::dispatch::kForever);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (displayStreamRef == stream) {
      displayStreamRef.reset();
      stopVideoRecorderSemaphore.reset();
    }
  }
  std::weak_ptr<SWVideoRecorder> weak = weak_from_this();
  video_recorder_queue->async([weak] {
    if (auto self = weak.lock()) self->previousScreenRef.reset();
  });
}

}  // namespace corvane
