// Per-thread record of the queues whose blocks the calling thread is running, innermost
// first. Blocks nest when a block calls `sync` and the nested block runs on the same thread.
#pragma once

namespace corvane::platform::dispatch {
class Queue;
}

namespace corvane::platform::dispatch::detail {

struct Frame {
  Queue* queue;
  Frame* outer;
};

// The innermost frame of the calling thread, or nullptr.
Frame* currentFrame();

// True when the calling thread is running a block of `queue` (at any nesting depth).
bool isRunningOn(const Queue* queue);

// Marks the calling thread as running a block of `queue` for the scope's lifetime.
class FrameScope {
 public:
  explicit FrameScope(Queue* queue);
  ~FrameScope();
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;

 private:
  Frame frame_;
};

}  // namespace corvane::platform::dispatch::detail
