#include "session/sw_media_handler.h"

#include <chrono>

#include "media/media_packet.h"
#include "platform/foundation/file_utils.h"
#include "platform/log/log.h"

namespace corvane {
namespace {

void freeBoxedPacket(const std::shared_ptr<MediaPacketBox>& box) {
  if (box && box->pointer != nullptr) {
    freeMediaPacket(box->pointer);
    box->pointer = nullptr;
  }
}

SWMediaHandler::Environment withDefaults(SWMediaHandler::Environment env) {
  if (!env.display) env.display = platform::display::DisplayService::shared();
  if (!env.soundflowerManager) env.soundflowerManager = SoundflowerManager::sharedInstance();
  if (!env.audioDeviceManager) env.audioDeviceManager = AudioDeviceManager::sharedInstance();
  if (!env.config) env.config = SWAppConfig::singleton();
  return env;
}

}  // namespace

std::shared_ptr<SWMediaHandler> SWMediaHandler::create(Environment environment) {
  return std::shared_ptr<SWMediaHandler>(new SWMediaHandler(withDefaults(std::move(environment))));
}

SWMediaHandler::SWMediaHandler(Environment environment)
    : env_(std::move(environment)),
      audioInputQueue_(RawAudioQueue::initWithCapacity(kQueueCapacity)),
      videouInputQueue_(RawVideoQueue::initWithCapacity(kQueueCapacity)),
      audioOutputQueue_(EncodedAudioQueue::initWithCapacity(kQueueCapacity)),
      videoOutputQueue_(EncodedVideoQueue::initWithCapacity(kQueueCapacity)),
      audioRecorder_(SWAudioRecorder::create()),
      videoRecorder_(SWVideoRecorder::create(env_.display)) {}

SWMediaHandler::~SWMediaHandler() {
  // A handler dropped without `stopMedia` must not leave a producer waiting on a queue that
  // nobody takes from any more.
  audioInputQueue_->stopBlocking();
  videouInputQueue_->stopBlocking();
  audioOutputQueue_->stopBlocking();
  videoOutputQueue_->stopBlocking();
  audioInputQueue_.reset();
  videouInputQueue_.reset();
  audioOutputQueue_.reset();
  videoOutputQueue_.reset();
  audioRecorder_.reset();
  videoRecorder_.reset();
}

void SWMediaHandler::startMedia() {
  {
    std::lock_guard lock(startMutex_);
    if (startCancelled_) return;
    starting_ = true;
  }
  struct StartEnd {
    SWMediaHandler* self;
    ~StartEnd() {
      std::lock_guard lock(self->startMutex_);
      self->starting_ = false;
      self->startEnded_.notify_all();
    }
  } startEnd{this};
  platform::log::nslog("start media");
  videoRecorder_->setTargetFrameRate(kTargetFrameRate);
  audioOutputQueue_->setDestroyBlock(freeBoxedPacket);
  videoOutputQueue_->setDestroyBlock(freeBoxedPacket);
  audioRecorder_->setRawAudioQueue(audioInputQueue_);
  audioRecorder_->setEncodedAudioQueue(audioOutputQueue_);
  videoRecorder_->setVideoOutputBuffer(videouInputQueue_);
  videoRecorder_->setEncodedVideoBuffer(videoOutputQueue_);

  platform::log::nslog("going to begin audio recorder");
  if (env_.soundflowerManager->isAudioPluginDefaultAudio()) {
    audioRecorder_->beginRecroder();
  }
  platform::log::nslog("going to video recorder");
  videoRecorder_->beginRecorder();
}

void SWMediaHandler::cancelStart() {
  std::unique_lock lock(startMutex_);
  startCancelled_ = true;
  // The screen recorder gives up waiting for a display when it is ended after its begin has
  // started (the wait is checked every 100 ms); an end that comes just before the begin does
  // not reach it, so the end is repeated until the start has returned.
  while (starting_) {
    lock.unlock();
    videoRecorder_->endRecorder();
    lock.lock();
    startEnded_.wait_for(lock, std::chrono::milliseconds(50), [this] { return !starting_; });
  }
}

void SWMediaHandler::stopMedia() {
  audioInputQueue_->stopBlocking();
  videouInputQueue_->stopBlocking();
  audioOutputQueue_->stopBlocking();
  videoOutputQueue_->stopBlocking();
  audioRecorder_->endRecorder();
  videoRecorder_->endRecorder();
  // The guard goes off first, so it does not put the driver back while the devices change.
  env_.soundflowerManager->setProtectSetting(false);
  const std::string file = env_.config->soundflowerSettingFile();
  env_.audioDeviceManager->restoreSystemAudioSettingFromFile(file);
  platform::files::remove(file);
}

void SWMediaHandler::setNeedsKeyFrame(bool value) { videoRecorder_->setNeedsKeyFrame(value); }

}  // namespace corvane
