// SWBaseEncoder: what the screen capture knows of its H.264 encoder. The encoder takes frame
// items from the raw-video queue and hands every packet it makes to its callback.
//
// Both references are weak. Thread-safety: the setters and getters may be called from any
// thread; `start` and `stop` from the owner's thread.
#pragma once

#include <memory>
#include <mutex>

#include "media/av_callback.h"
#include "media/data_queue.h"
#include "media/raw_video_frame.h"

namespace corvane {

using RawVideoQueue = DataQueue<RawVideoFrame>;

class SWBaseEncoder {
 public:
  virtual ~SWBaseEncoder() = default;
  SWBaseEncoder(const SWBaseEncoder&) = delete;
  SWBaseEncoder& operator=(const SWBaseEncoder&) = delete;

  std::shared_ptr<AVCallback> vaCallback() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return vaCallback_.lock();
  }
  void setVaCallback(std::weak_ptr<AVCallback> callback) {
    std::lock_guard<std::mutex> lock(mutex_);
    vaCallback_ = std::move(callback);
  }
  std::shared_ptr<RawVideoQueue> rawVideoInput() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rawVideoInput_.lock();
  }
  void setRawVideoInput(std::weak_ptr<RawVideoQueue> queue) {
    std::lock_guard<std::mutex> lock(mutex_);
    rawVideoInput_ = std::move(queue);
  }

  virtual void start() {}
  virtual void stop() {}

 protected:
  SWBaseEncoder() = default;

 private:
  mutable std::mutex mutex_;
  std::weak_ptr<AVCallback> vaCallback_;
  std::weak_ptr<RawVideoQueue> rawVideoInput_;
};

}  // namespace corvane
