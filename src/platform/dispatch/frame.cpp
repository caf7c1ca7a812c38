#include "platform/dispatch/frame.h"

namespace corvane::platform::dispatch::detail {

namespace {
thread_local Frame* tlsTop = nullptr;
}

Frame* currentFrame() { return tlsTop; }

bool isRunningOn(const Queue* queue) {
  for (Frame* f = tlsTop; f != nullptr; f = f->outer) {
    if (f->queue == queue) return true;
  }
  return false;
}

FrameScope::FrameScope(Queue* queue) : frame_{queue, tlsTop} { tlsTop = &frame_; }

FrameScope::~FrameScope() { tlsTop = frame_.outer; }

}  // namespace corvane::platform::dispatch::detail
