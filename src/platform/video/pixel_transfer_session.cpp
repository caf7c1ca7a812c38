#include "platform/video/pixel_transfer_session.h"

#include <libyuv/convert.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>
#include <libyuv/scale.h>
#include <libyuv/scale_argb.h>

#include "platform/video/stage_cpu.h"

namespace corvane::platform::video {
namespace {

constexpr libyuv::FilterMode kFilter = libyuv::kFilterBilinear;

int stride(const PixelBuffer& buffer, std::size_t plane) {
  return static_cast<int>(buffer.bytesPerRowOfPlane(plane));
}

// Locks a buffer for the scope of a transfer.
class ScopedLock {
 public:
  ScopedLock(PixelBuffer& buffer, std::uint32_t flags) : buffer_(buffer), flags_(flags) {
    buffer_.lockBaseAddress(flags_);
  }
  ~ScopedLock() { buffer_.unlockBaseAddress(flags_); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  PixelBuffer& buffer_;
  std::uint32_t flags_;
};

}  // namespace

std::shared_ptr<PixelTransferSession> PixelTransferSession::create() {
  return std::shared_ptr<PixelTransferSession>(new PixelTransferSession());
}

void PixelTransferSession::setScalingMode(const std::string& mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  scalingMode_ = mode;
}

void PixelTransferSession::invalidate() {
  std::lock_guard<std::mutex> lock(mutex_);
  valid_ = false;
  scratch_.clear();
  scratch_.shrink_to_fit();
}

int PixelTransferSession::transferImage(const PixelBufferRef& source,
                                        const PixelBufferRef& destination) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!valid_) return kReturnInvalidSession;
  if (scalingMode_ != kPixelTransferScalingModeNormal) return kReturnInvalidArgument;
  if (!source || !destination) return kReturnInvalidArgument;
  if (destination->pixelFormatType() != kPixelFormat420YpCbCr8Planar) {
    return kReturnInvalidPixelFormat;
  }
  const OSType format = source->pixelFormatType();
  if (format != kPixelFormat420YpCbCr8BiPlanarVideoRange &&
      format != kPixelFormat420YpCbCr8Planar && format != kPixelFormat32BGRA) {
    return kReturnInvalidPixelFormat;
  }
  if (source.get() == destination.get()) return kReturnInvalidArgument;
  const ScopedStageCpu cpu(VideoStage::PixelTransfer);
  ScopedLock sourceLock(*source, kLockReadOnly);
  ScopedLock destinationLock(*destination, 0);
  return transferLocked(*source, *destination);
}

int PixelTransferSession::transferLocked(const PixelBuffer& src, const PixelBuffer& dst) {
  const int sw = src.width(), sh = src.height();
  const int dw = dst.width(), dh = dst.height();
  const bool sameSize = sw == dw && sh == dh;
  uint8_t* dy = dst.baseAddressOfPlane(0);
  uint8_t* du = dst.baseAddressOfPlane(1);
  uint8_t* dv = dst.baseAddressOfPlane(2);
  const int dsy = stride(dst, 0), dsu = stride(dst, 1), dsv = stride(dst, 2);
  int result = 0;

  switch (src.pixelFormatType()) {
    case kPixelFormat420YpCbCr8BiPlanarVideoRange: {
      const uint8_t* sy = src.baseAddressOfPlane(0);
      const uint8_t* suv = src.baseAddressOfPlane(1);
      if (sameSize) {
        result = libyuv::NV12ToI420(sy, stride(src, 0), suv, stride(src, 1), dy, dsy, du, dsu, dv,
                                    dsv, sw, sh);
        break;
      }
      // Luma scales straight into the destination. Chroma scales as it is, interleaved, into
      // scratch of the destination's chroma size, which is then split into its two planes: the
      // source is read once, and the intermediate image is the small one.
      scaler_.scale(sy, stride(src, 0), sw, sh, dy, dsy, dw, dh);
      const int cw = dst.widthOfPlane(1), ch = dst.heightOfPlane(1);
      const std::size_t rowBytes = static_cast<std::size_t>(cw) * 2;
      const std::size_t bytes = rowBytes * static_cast<std::size_t>(ch);
      if (scratch_.size() < bytes) scratch_.resize(bytes);
      scaler_.scaleInterleaved(suv, stride(src, 1), src.widthOfPlane(1), src.heightOfPlane(1),
                               scratch_.data(), static_cast<int>(rowBytes), cw, ch);
      libyuv::SplitUVPlane(scratch_.data(), static_cast<int>(rowBytes), du, dsu, dv, dsv, cw, ch);
      break;
    }
    case kPixelFormat420YpCbCr8Planar: {
      const uint8_t* sy = src.baseAddressOfPlane(0);
      const uint8_t* su = src.baseAddressOfPlane(1);
      const uint8_t* sv = src.baseAddressOfPlane(2);
      if (sameSize) {
        result = libyuv::I420Copy(sy, stride(src, 0), su, stride(src, 1), sv, stride(src, 2), dy,
                                  dsy, du, dsu, dv, dsv, sw, sh);
      } else {
        result = libyuv::I420Scale(sy, stride(src, 0), su, stride(src, 1), sv, stride(src, 2), sw,
                                   sh, dy, dsy, du, dsu, dv, dsv, dw, dh, kFilter);
      }
      break;
    }
    case kPixelFormat32BGRA: {
      // libyuv's "ARGB" is B, G, R, A in memory.
      const uint8_t* argb = src.baseAddress();
      int argbStride = stride(src, 0);
      if (!sameSize) {
        const std::size_t bytes = static_cast<std::size_t>(dw) * 4 * static_cast<std::size_t>(dh);
        if (scratch_.size() < bytes) scratch_.resize(bytes);
        result =
            libyuv::ARGBScale(argb, argbStride, sw, sh, scratch_.data(), dw * 4, dw, dh, kFilter);
        if (result != 0) break;
        argb = scratch_.data();
        argbStride = dw * 4;
      }
      result = libyuv::ARGBToI420(argb, argbStride, dy, dsy, du, dsu, dv, dsv, dw, dh);
      break;
    }
    default:
      return kReturnInvalidPixelFormat;
  }
  return result == 0 ? kReturnSuccess : kReturnInvalidArgument;
}

}  // namespace corvane::platform::video
