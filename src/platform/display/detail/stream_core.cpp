#include "platform/display/detail/stream_core.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/video/stage_cpu.h"

namespace corvane::platform::display::detail {

namespace {

// How long a stream waits before trying again when every surface is out or a grab failed.
constexpr double kBusyRetry = 0.005;
constexpr double kGrabRetry = 0.1;

}  // namespace

std::uint64_t displayTimeNow() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        dispatch::Clock::now().time_since_epoch())
                                        .count());
}

std::shared_ptr<StreamCore> StreamCore::create(const std::string& label,
                                               const DisplayStreamProperties& properties,
                                               dispatch::QueuePtr clientQueue,
                                               DisplayStreamFrameAvailableHandler handler) {
  return std::shared_ptr<StreamCore>(
      new StreamCore(label, properties, std::move(clientQueue), std::move(handler)));
}

StreamCore::StreamCore(const std::string& label, const DisplayStreamProperties& properties,
                       dispatch::QueuePtr clientQueue, DisplayStreamFrameAvailableHandler handler)
    : properties_(properties),
      client_(std::move(clientQueue)),
      private_(dispatch::Queue::createSerial(label)),
      handler_(std::move(handler)) {}

void StreamCore::setGrab(Grab grab) {
  std::lock_guard<std::mutex> lock(mutex_);
  grab_ = std::move(grab);
}

void StreamCore::setHooks(Hook onStart, StopHook onStop) {
  std::lock_guard<std::mutex> lock(mutex_);
  onStart_ = std::move(onStart);
  onStop_ = std::move(onStop);
}

bool StreamCore::isRunning() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_ == State::Running;
}

int StreamCore::start() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::Running) return kDisplayErrorSuccess;
    if (state_ == State::Stopped) return kDisplayErrorCannotComplete;
    state_ = State::Running;
  }
  auto self = shared_from_this();
  private_->async([self] {
    Hook hook;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      hook = self->onStart_;
    }
    if (hook) hook();
    self->dirty_ = true;
    self->process();
  });
  return kDisplayErrorSuccess;
}

int StreamCore::stop() {
  bool wasStarted = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::Stopped) return kDisplayErrorSuccess;
    wasStarted = state_ == State::Running;
    state_ = State::Stopped;
  }
  // A stream stopped before it started reports Stopped too (its owner may be waiting for it),
  // but has no backend work to end.
  auto self = shared_from_this();
  private_->async([self, wasStarted] {
    StopHook hook;
    DisplayStreamFrameAvailableHandler handler;
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      if (wasStarted) hook = std::move(self->onStop_);
      self->onStop_ = nullptr;
      handler = std::move(self->handler_);
      self->grab_ = nullptr;
      self->onStart_ = nullptr;
    }
    // Every frame of this stream was posted before this point, so Stopped comes last.
    auto done = [client = self->client_, handler = std::move(handler)] {
      if (!handler) return;
      client->async(
          [handler] { handler(DisplayStreamFrameStatus::Stopped, displayTimeNow(), nullptr); });
    };
    if (hook) {
      hook(std::move(done));
    } else {
      done();
    }
  });
  return kDisplayErrorSuccess;
}

void StreamCore::markDirty() {
  auto self = shared_from_this();
  private_->async([self] {
    self->dirty_ = true;
    self->process();
  });
}

void StreamCore::scheduleProcess(double afterSeconds) {
  if (scheduled_) return;
  scheduled_ = true;
  std::weak_ptr<StreamCore> weak = weak_from_this();
  private_->after(afterSeconds, [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->scheduled_ = false;
    self->process();
  });
}

void StreamCore::process() {
  if (!dirty_) return;
  Grab grab;
  DisplayStreamFrameAvailableHandler handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != State::Running) return;
    grab = grab_;
    handler = handler_;
  }
  if (!grab || !handler) return;
  const auto now = dispatch::Clock::now();
  const auto minimum = std::chrono::duration_cast<dispatch::Clock::duration>(
      std::chrono::duration<double>(std::max(0.0, properties_.minimumFrameTime)));
  if (frames_.load() > 0 && now < lastFrame_ + minimum) {
    scheduleProcess(std::chrono::duration<double>(lastFrame_ + minimum - now).count());
    return;
  }
  if (surfacesOut_->load() >= std::max(1, properties_.queueDepth)) {
    scheduleProcess(kBusyRetry);
    return;
  }
  dirty_ = false;
  std::shared_ptr<std::atomic<int>> out = surfacesOut_;
  out->fetch_add(1);
  // Counted back once, whether the surface dies or the grab gives up half-way.
  auto released = std::make_shared<std::atomic<bool>>(false);
  std::function<void()> release = [out, released] {
    if (!released->exchange(true)) out->fetch_sub(1);
  };
  video::SurfaceRef surface;
  {
    const video::ScopedStageCpu cpu(video::VideoStage::Capture);
    surface = grab(release);
  }
  if (!surface) {
    release();
    dirty_ = true;
    scheduleProcess(kGrabRetry);
    return;
  }
  lastFrame_ = now;
  frames_.fetch_add(1);
  // The display time is the moment the frame was taken, the one the pacing counts from.
  const auto time = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count());
  client_->async([handler = std::move(handler), surface = std::move(surface), time] {
    handler(DisplayStreamFrameStatus::FrameComplete, time, surface);
  });
}

}  // namespace corvane::platform::display::detail
