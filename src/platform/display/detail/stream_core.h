// StreamCore: the part of a display stream that both backends share. It owns the stream's
// private serial queue, remembers whether the screen changed since the last frame, paces
// frames by the minimum frame time, holds back while `queueDepth` surfaces are out, and posts
// each frame and finally the Stopped status to the client's queue in order.
//
// The backend supplies `grab` (makes the frame's surface; runs on the private queue) and may
// supply `onStart` / `onStop` hooks (also on the private queue). It reports changes with
// `markDirty` from any thread.
// Thread-safety: every member may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/display/display.h"

namespace corvane::platform::display::detail {

class StreamCore : public std::enable_shared_from_this<StreamCore> {
 public:
  // Makes the frame's surface; the surface must call `onRelease` when it dies.
  using Grab = std::function<video::SurfaceRef(const std::function<void()>& onRelease)>;
  using Hook = std::function<void()>;

  static std::shared_ptr<StreamCore> create(const std::string& label,
                                            const DisplayStreamProperties& properties,
                                            dispatch::QueuePtr clientQueue,
                                            DisplayStreamFrameAvailableHandler handler);

  // Before `start`.
  void setGrab(Grab grab);
  void setHooks(Hook onStart, Hook onStop);

  int start();
  int stop();
  // The screen changed: a frame follows as soon as pacing and the queue depth allow.
  void markDirty();

  const dispatch::QueuePtr& privateQueue() const { return private_; }
  const DisplayStreamProperties& properties() const { return properties_; }
  bool isRunning() const;
  int framesDelivered() const { return frames_.load(); }

 private:
  enum class State { Created, Running, Stopped };
  StreamCore(const std::string& label, const DisplayStreamProperties& properties,
             dispatch::QueuePtr clientQueue, DisplayStreamFrameAvailableHandler handler);
  void process();                          // private queue
  void scheduleProcess(double afterSeconds);  // private queue

  const DisplayStreamProperties properties_;
  const dispatch::QueuePtr client_;
  const dispatch::QueuePtr private_;
  mutable std::mutex mutex_;  // guards the state and the handler
  State state_ = State::Created;
  DisplayStreamFrameAvailableHandler handler_;
  Grab grab_;
  Hook onStart_;
  Hook onStop_;
  std::shared_ptr<std::atomic<int>> surfacesOut_ = std::make_shared<std::atomic<int>>(0);
  std::atomic<int> frames_{0};
  // Private queue only.
  bool dirty_ = false;
  bool scheduled_ = false;
  dispatch::TimePoint lastFrame_{};
};

// A DisplayStream over a StreamCore. Dropping it stops the stream.
class CoreDisplayStream : public DisplayStream {
 public:
  CoreDisplayStream(int width, int height, std::shared_ptr<StreamCore> core)
      : DisplayStream(width, height), core_(std::move(core)) {}
  ~CoreDisplayStream() override { core_->stop(); }
  CoreDisplayStream(const CoreDisplayStream&) = delete;
  CoreDisplayStream& operator=(const CoreDisplayStream&) = delete;
  int start() override { return core_->start(); }
  int stop() override { return core_->stop(); }
  const std::shared_ptr<StreamCore>& core() const { return core_; }

 private:
  std::shared_ptr<StreamCore> core_;
};

// Steady-clock nanoseconds, the display time of the frame handler.
std::uint64_t displayTimeNow();

}  // namespace corvane::platform::display::detail
