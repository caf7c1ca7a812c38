// MirrorChannel: one mirroring session with a receiver, driven by the connection screen. It
// connects through its receiver link (made once and reused for every connection), sends the
// sender's settings once the link is up, starts and stops mirroring when the user or the
// receiver asks, owns the media handler of the running session and the media thread that
// hands finished packets to the link (all queued audio, then at most one video packet, per
// round), routes the system sound to the loop-back driver while mirroring, and keeps the
// display awake while mirroring.
//
// Threads:
// - `connect`, `disconnect`, `requestMirrorOn`, `requestMirrorOff`, the plug-in and permission
//   operations: the main thread (any thread works);
// - the NetStreamDelegate operations arrive on the link's socket delegate queue or heartbeat
//   thread; mirror start and stop therefore run there, serialised by one lock, and the
//   delegate is called on those threads;
// - the media thread is the controller's own; a stop ends it after its current round. A stop
//   does not wait for it (it may still wait up to 10 s for a slot of the link, and a stop
//   on a link thread must not hold up the control connection's reads): `disconnect` waits
//   for it once the link is closed, and so does the destructor;
// - connect success and failure come from different link threads; they are reported one at
//   a time, and a success that arrives after its attempt failed (or after `disconnect`) is
//   not reported, so the last report of an attempt is its real outcome;
// - the mouse thread (started by `startSendMouseEventThread`, which nothing in the
//   application calls) runs while mirroring; the destructor waits for it.
// Ownership: made with `create`; owns the link (which holds the controller weakly), the media
// handler while mirroring, and its delegate (strongly).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "SoundFlower/audio_device_manager.h"
#include "SoundFlower/soundflower_manager.h"
#include "media/sw_app_config.h"
#include "platform/display/display.h"
#include "platform/foundation/thread.h"
#include "session/mirror_channel_delegate.h"
#include "session/net_stream.h"
#include "session/net_stream_delegate.h"
#include "session/sw_media_handler.h"

namespace corvane {

namespace detail {
// One round of the media thread: every queued audio packet, then at most one video packet, each
// handed to `send` (true for audio) and then freed. Answers the number of packets sent.
using MediaPacketSender = std::function<void(std::span<const uint8_t> wire, bool audio)>;
int sendMediaRound(EncodedAudioQueue& audio, EncodedVideoQueue& video,
                   const MediaPacketSender& send);
}  // namespace detail

class MirrorChannel : public NetStreamDelegate, public std::enable_shared_from_this<MirrorChannel> {
 public:
  static constexpr const char* kAssertionName = "Screen Mirroring";

  // What the session works with; an empty member takes the process's shared one.
  using Environment = SWMediaHandler::Environment;

  // `init`: makes the link and becomes its delegate; loads the settings.
  static std::shared_ptr<MirrorChannel> create(Environment environment = {});
  ~MirrorChannel() override;
  MirrorChannel(const MirrorChannel&) = delete;
  MirrorChannel& operator=(const MirrorChannel&) = delete;

  // Sets the link's address byte from `localIP`, keeps the PIN and connects the link.
  void connect(const std::string& host, const std::string& pin);
  // Stops mirroring (no report), closes the link, turns the guard off, restores the saved
  // audio devices and deletes the saved-devices file.
  void disconnect();
  void requestMirrorOn();
  void requestMirrorOff();

  bool installSoundPlugin();
  bool hasSoundPluginIntalled();
  void uninstallSoundPlugin();
  bool hasScreenRecordPermission();
  void showScreenRecordingPrompt();

  std::string localIP() const;
  void setLocalIP(const std::string& localIP);
  std::shared_ptr<MirrorChannelDelegate> delegate() const;
  void setDelegate(std::shared_ptr<MirrorChannelDelegate> delegate);

  // NetStreamDelegate.
  void onConnectSuccess() override;
  void onConnectFailed() override;
  void onServerTimeout() override;
  void onRequestMirrorStartSuccess() override;
  void onRequestMirrorStartFailed(int code) override;
  void onRequestMirrorStopSuccess() override;
  void onServerRequestMirrorOn() override;
  void onServerRequestMirrorOff() override;
  void onServerRequsstUpdateFrameRate(int frameRate) override;
  void onServerRequestKeyFrame() override;
  void onServerRequestKeyStatus() override;
  void onServerRequestDeviceStatus(int status) override;
  void onServerResponseAuthenticateType() override;
  void onServerResponseVersion(const std::optional<std::string>& version) override;

  // The mouse thread: request 33 with 1, then while mirroring, every 50 ms, request 34 with
  // the pointer (type 0, action 0, x and the main display's height - y), and request 33
  // with 0 at the end. `stopSendMouseEventThread` does nothing: the thread ends with the
  // mirroring.
  void startSendMouseEventThread();
  void stopSendMouseEventThread();

  // Observations (tests).
  bool isMirroring() const { return mirroring.load(); }
  const std::shared_ptr<NetStream>& netStream() const { return netStream_; }
  std::shared_ptr<SWMediaHandler> mediaHandler() const;
  std::uint32_t assertionID() const { return assertionID_.load(); }

  // The low 8 bits of the integer value of the last dotted part of `localIP`; nothing for
  // fewer than four parts (each part is then logged).
  static std::optional<int8_t> addressByteOf(const std::string& localIP);

 private:
  explicit MirrorChannel(Environment environment);

  // What a stop took out of the running session, to be wound down outside the lock.
  struct Stopped {
    bool wasMirroring = false;
    std::shared_ptr<SWMediaHandler> handler;
    std::shared_ptr<platform::Thread> thread;
    std::uint32_t assertion = 0;
  };

  void syncSettings();
  // Reserves the one mirror start: false while the link is closed, mirroring runs or another
  // start is under way.
  bool claimStart();
  // Builds and starts the media pipeline, the assertion and the media thread (after
  // `claimStart`); gives up when a stop or a disconnect came first.
  void startMirrorOn();
  // Stops mirroring; true when it was running.
  bool stopMirroOn();
  // Ends a start under way (waiting for it, unless it is this thread's own) and takes the
  // running session out; nothing when not mirroring.
  Stopped stopMirroring();
  // Stops the media, releases the assertion, turns the guard off and keeps the media thread
  // to be waited for later (see `joinRetiredThreads`).
  void finishStop(Stopped& stopped);
  // Waits for every media thread that a stop let go and every mouse thread. The media
  // threads end at once once the link is closed.
  void joinRetiredThreads();
  void retireLocked(std::shared_ptr<platform::Thread> thread);
  void sendMouseEventLoop();
  static void releaseAssertion(std::uint32_t id);
  void enableAudio();
  void disableAudio();
  static void sendMediaData(const std::shared_ptr<NetStream>& link,
                            const std::shared_ptr<EncodedAudioQueue>& audio,
                            const std::shared_ptr<EncodedVideoQueue>& video,
                            const std::shared_ptr<const std::atomic<bool>>& running);

  const Environment env_;
  const std::shared_ptr<NetStream> netStream_;
  const std::shared_ptr<SWAppConfig> config;

  // Guards the session state below. Never held while the delegate is called, the media
  // pipeline starts or stops, or a thread is joined.
  mutable std::mutex lifecycleMutex_;
  std::condition_variable startEnded_;
  bool sessionOpen_ = false;  // from `connect` to `disconnect`
  bool startInProgress_ = false;
  bool startCancelled_ = false;
  std::thread::id startThread_;
  std::shared_ptr<SWMediaHandler> mediaHandler_;
  std::shared_ptr<platform::Thread> mediaThread_;
  std::shared_ptr<std::atomic<bool>>
      mediaThreadRunning_;  // the media thread's own copy of `mirroring`
  std::atomic<bool> mirroring{false};
  std::atomic<bool> autoShare{false};
  std::atomic<std::uint32_t> assertionID_{0};
  // Media threads of stopped sessions and mouse threads, not yet waited for.
  std::vector<std::shared_ptr<platform::Thread>> retiredThreads_;

  // Held while a connect outcome is reported, so that reports of one attempt never overlap.
  std::mutex connectReportMutex_;
  std::atomic<std::uint64_t> connectAttempt_{0};  // counts `connect` calls
  std::uint64_t failedAttempt_ = 0;               // the last attempt reported failed

  mutable std::mutex propertyMutex_;  // guards the fields below
  std::string pinCode;
  std::string localIP_;
  std::shared_ptr<MirrorChannelDelegate> delegate_;
};

}  // namespace corvane
