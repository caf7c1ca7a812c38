// SWTimeUtils: the media clock, one millisecond counter shared by audio and video so that the
// receiver can line up sound and pictures by their packet timestamps.
//
// `zeroTime` stays 0 unless `reset` runs (nothing does), so timestamps count milliseconds since
// the reference date; users keep the low 32 bits. Thread-safety: every member may be called
// from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace corvane {

class SWTimeUtils {
 public:
  // The one clock, made on first use.
  static std::shared_ptr<SWTimeUtils> singleton();

  // Sets `zeroTime` to now.
  void reset();
  // Milliseconds since `zeroTime`, truncated toward zero.
  std::int64_t getCurrentTimeStamp() const;

  double zeroTime() const { return zeroTime_.load(std::memory_order_relaxed); }

 private:
  SWTimeUtils() = default;

  std::atomic<double> zeroTime_{0.0};  // seconds since the reference date
};

}  // namespace corvane
