// SWMediaHandler: the media pipeline of one mirroring session. It owns the screen recorder
// (with its H.264 encoder), the audio recorder (with its MP3 encoder) and the four bounded
// queues between them and the session's media thread:
//   audioInputQueue -> MP3 encoder -> audioOutputQueue -> media thread
//   videouInputQueue -> H.264 encoder -> videoOutputQueue -> media thread
// A handler serves one session: made idle, `startMedia`, `stopMedia`, released. It is never
// restarted.
//
// Threads: `startMedia` and `stopMedia` run on the thread that starts or stops mirroring (the
// socket delegate queue or the main thread); `cancelStart`, `setNeedsKeyFrame` and the getters
// on any thread.
// The queues are the only meeting points with the capture, encoder and media threads.
// Ownership: the handler owns the queues and the recorders; a packet in an output queue
// belongs to the queue until taken (the taker frees it); packets left in an output queue are
// freed by the queue's destroy block when its last owner lets it go.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>

#include "SoundFlower/audio_device_manager.h"
#include "SoundFlower/soundflower_manager.h"
#include "media/data_queue.h"
#include "media/sw_app_config.h"
#include "media/sw_audio_recorder.h"
#include "media/sw_video_recorder.h"
#include "platform/display/display.h"

namespace corvane {

class SWMediaHandler {
 public:
  static constexpr std::int64_t kQueueCapacity = 3;
  static constexpr std::uint64_t kTargetFrameRate = 25;

  // What the pipeline works with; an empty member takes the process's shared one.
  struct Environment {
    std::shared_ptr<platform::display::DisplayService> display;
    std::shared_ptr<SoundflowerManager> soundflowerManager;
    std::shared_ptr<AudioDeviceManager> audioDeviceManager;
    std::shared_ptr<SWAppConfig> config;
  };

  // `init`: the audio recorder, the video recorder, then the four queues.
  static std::shared_ptr<SWMediaHandler> create(Environment environment = {});
  ~SWMediaHandler();
  SWMediaHandler(const SWMediaHandler&) = delete;
  SWMediaHandler& operator=(const SWMediaHandler&) = delete;

  // Wires the queues and starts the recorders (audio only while the loop-back driver is the
  // default input and output). Does nothing after `cancelStart`.
  void startMedia();
  // Makes a `startMedia` under way on another thread return soon (a screen recorder waiting
  // for a display gives up) and waits until it has; a later `startMedia` does nothing.
  // `stopMedia` still follows.
  void cancelStart();
  // Stops the queues (releasing every blocked producer and the media thread), ends both
  // recorders, turns the driver guard off and restores the saved audio devices.
  void stopMedia();
  // A key-frame request for the video recorder.
  void setNeedsKeyFrame(bool value);

  const std::shared_ptr<EncodedAudioQueue>& audioOutputQueue() const { return audioOutputQueue_; }
  const std::shared_ptr<EncodedVideoQueue>& videoOutputQueue() const { return videoOutputQueue_; }
  const std::shared_ptr<SWAudioRecorder>& audioRecorder() const { return audioRecorder_; }
  const std::shared_ptr<SWVideoRecorder>& videoRecorder() const { return videoRecorder_; }
  const std::shared_ptr<RawAudioQueue>& audioInputQueue() const { return audioInputQueue_; }
  const std::shared_ptr<RawVideoQueue>& videouInputQueue() const { return videouInputQueue_; }

 private:
  explicit SWMediaHandler(Environment environment);

  const Environment env_;
  std::mutex startMutex_;  // guards the two flags below
  std::condition_variable startEnded_;
  bool starting_ = false;
  bool startCancelled_ = false;
  // The destructor lets go of these in the order they are declared.
  std::shared_ptr<RawAudioQueue> audioInputQueue_;
  std::shared_ptr<RawVideoQueue> videouInputQueue_;
  std::shared_ptr<EncodedAudioQueue> audioOutputQueue_;
  std::shared_ptr<EncodedVideoQueue> videoOutputQueue_;
  std::shared_ptr<SWAudioRecorder> audioRecorder_;
  std::shared_ptr<SWVideoRecorder> videoRecorder_;
};

}  // namespace corvane
