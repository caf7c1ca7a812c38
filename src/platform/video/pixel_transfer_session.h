// Pixel transfer: copies an image from one pixel buffer into another, scaling it to the
// destination's size and converting it to the destination's format. The destination is
// planar 4:2:0 ('y420'); sources may be '420v', 'y420' or 'BGRA'. Scaling mode "normal":
// the whole source image fills the whole destination (the aspect ratio is not kept).
//
// Ownership: shared (`std::shared_ptr`). After `invalidate` every transfer fails.
// Thread-safety: every member may be called from any thread; transfers are serialised.
// The session keeps scratch memory between transfers, so one session per worker is cheapest.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/video/pixel_buffer.h"
#include "platform/video/plane_scaler.h"

namespace corvane::platform::video {

inline constexpr const char* kPixelTransferScalingModeNormal = "Normal";

class PixelTransferSession {
 public:
  static std::shared_ptr<PixelTransferSession> create();

  // The scaling mode; only "Normal" is known (any other value makes transfers fail).
  void setScalingMode(const std::string& mode);

  // Scales and converts `source` into `destination`. Both buffers are locked for the
  // duration of the call (the source read-only). Answers kReturnSuccess or an error status:
  // a null or unsupported buffer, an invalid session, or a libyuv failure.
  int transferImage(const PixelBufferRef& source, const PixelBufferRef& destination);

  void invalidate();

 private:
  PixelTransferSession() = default;
  int transferLocked(const PixelBuffer& source, const PixelBuffer& destination);

  std::mutex mutex_;
  bool valid_ = true;
  std::string scalingMode_ = kPixelTransferScalingModeNormal;
  // Scratch planes for conversions that need an intermediate image, and the plane scaler's
  // tables.
  std::vector<std::uint8_t> scratch_;
  PlaneScaler scaler_;
};

}  // namespace corvane::platform::video
