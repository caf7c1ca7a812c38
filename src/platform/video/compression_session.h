// Compression session: the hardware H.264 compression service the hardware encoder talks to,
// stood in for by libx264. Frames go in as pixel buffers of any supported format ('420v',
// 'y420', 'BGRA'; scaled to the session's size when they differ); encoded frames come out to
// the output handler as length-prefixed NAL units (a 4-byte big-endian length before each,
// no start codes) together with the stream's sequence and picture parameter sets.
//
// Properties follow the compression service's vocabulary (the kCompressionProperty keys
// below); those that x264 has are mapped onto its parameters when the first frame is
// encoded, the others are accepted and logged as having no effect here.
//
// Threads: `create`, `setProperty`, `encodeFrame`, `completeFrames` and `invalidate` may be
// called from any thread. Frames are encoded in submission order on the session's own serial
// queue, where the output handler runs too (never inside `encodeFrame`).
// Ownership: shared; the session keeps itself alive until its queued frames are done.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/video/pixel_buffer.h"

namespace corvane::platform::video {

inline constexpr OSType kVideoCodecTypeH264 = fourCC("avc1");

// Status codes (besides kReturnSuccess and the pixel-buffer codes).
inline constexpr int kCompressionErrorParameter = -12902;
inline constexpr int kCompressionErrorInvalidSession = -12903;
inline constexpr int kCompressionErrorAllocationFailed = -12904;
inline constexpr int kCompressionErrorPropertyNotSupported = -12900;
inline constexpr int kCompressionErrorCouldNotCreateEncoder = -12908;
inline constexpr int kCompressionErrorEncodeFailed = -12911;

// Encoder setting and property keys.
inline constexpr const char* kEncoderSpecificationEnableHardwareAcceleratedVideoEncoder =
    "EnableHardwareAcceleratedVideoEncoder";
inline constexpr const char* kCompressionPropertyAllowFrameReordering = "AllowFrameReordering";
inline constexpr const char* kCompressionPropertyRealTime = "RealTime";
inline constexpr const char* kCompressionPropertyExpectedFrameRate = "ExpectedFrameRate";
inline constexpr const char* kCompressionPropertyMaxKeyFrameInterval = "MaxKeyFrameInterval";
inline constexpr const char* kCompressionPropertyAverageBitRate = "AverageBitRate";
inline constexpr const char* kCompressionPropertyDataRateLimits = "DataRateLimits";
inline constexpr const char* kCompressionPropertyProfileLevel = "ProfileLevel";
inline constexpr const char* kCompressionPropertyMaxFrameDelayCount = "MaxFrameDelayCount";
inline constexpr const char* kCompressionPropertyNumberOfPendingFrames = "NumberOfPendingFrames";
inline constexpr const char* kCompressionPropertyH264EntropyMode = "H264EntropyMode";
// Values.
inline constexpr const char* kProfileLevelH264HighAutoLevel = "H264_High_AutoLevel";
inline constexpr const char* kProfileLevelH264MainAutoLevel = "H264_Main_AutoLevel";
inline constexpr const char* kProfileLevelH264BaselineAutoLevel = "H264_Baseline_AutoLevel";
inline constexpr const char* kH264EntropyModeCABAC = "CABAC";
inline constexpr const char* kH264EntropyModeCAVLC = "CAVLC";

// A property value: a flag, a whole number, a real number, a text or a list of numbers
// (DataRateLimits: bytes, seconds, bytes, seconds, ...).
using CompressionPropertyValue =
    std::variant<bool, std::int64_t, double, std::string, std::vector<double>>;

// A time as value / timescale; invalid when the timescale is 0.
struct MediaTime {
  std::int64_t value = 0;
  std::int32_t timescale = 0;
  bool isValid() const { return timescale > 0; }
};

// Per-frame options.
struct FrameOptions {
  bool forceKeyFrame = false;
};

// One encoded frame.
struct EncodedSample {
  std::vector<std::uint8_t> data;                  // length-prefixed NAL units of the frame
  std::vector<std::uint8_t> sequenceParameterSet;  // without length or start code
  std::vector<std::uint8_t> pictureParameterSet;   // without length or start code
  MediaTime presentationTime;
  bool isKeyFrame = false;
};

// Output handler: the status (kReturnSuccess or an error, then `sample` is nullptr) and the
// encoded frame.
using CompressionOutputHandler =
    std::function<void(int status, const std::shared_ptr<const EncodedSample>& sample)>;

class CompressionSession : public std::enable_shared_from_this<CompressionSession> {
 public:
  struct SourceImageAttributes {
    OSType pixelFormat = kPixelFormat32BGRA;
    int width = 0;
    int height = 0;
  };

  // A session for `width` x `height` (even sizes, 16..kMaxDimension) of `codec` (H.264 only).
  // Answers the status; `out` is nullptr on failure.
  static int create(int width, int height, OSType codec,
                    const std::map<std::string, bool>& encoderSpecification,
                    const SourceImageAttributes& sourceAttributes, CompressionOutputHandler handler,
                    std::shared_ptr<CompressionSession>* out);
  ~CompressionSession();
  CompressionSession(const CompressionSession&) = delete;
  CompressionSession& operator=(const CompressionSession&) = delete;

  // Sets a property before the first frame: kReturnSuccess, or kCompressionErrorParameter for
  // a value of the wrong kind, or kCompressionErrorPropertyNotSupported for an unknown key or
  // once frames were encoded.
  int setProperty(const std::string& key, const CompressionPropertyValue& value);

  // Queues one frame; the output handler gets it later. kCompressionErrorInvalidSession after
  // `invalidate`, kCompressionErrorParameter for a null buffer.
  int encodeFrame(const PixelBufferRef& buffer, MediaTime presentationTime, MediaTime duration,
                  const FrameOptions& options);
  // Waits until every queued frame has reached the output handler (not on the session's
  // queue).
  int completeFrames();
  // Ends the session: frames not yet encoded are dropped, and the handler is not called again
  // once `invalidate` has returned (unless called from the handler itself).
  void invalidate();

  int width() const { return width_; }
  int height() const { return height_; }

 private:
  struct Encoder;
  struct EncodedFrame;
  CompressionSession(int width, int height, CompressionOutputHandler handler);
  // One frame on the session's queue, step by step: the properties as they stand (nothing
  // when the session was invalidated), the encoder made with the first frame, the frame
  // scaled to the session's size, compressed, and the sample with the parameter sets handed
  // to the output handler.
  void encodeOnQueue(const PixelBufferRef& buffer, MediaTime presentationTime,
                     const FrameOptions& options);
  bool snapshotProperties(std::map<std::string, CompressionPropertyValue>* properties);
  int createEncoder(const std::map<std::string, CompressionPropertyValue>& properties);
  bool scaleToSessionSize(const PixelBufferRef& buffer, PixelBufferRef* planar);
  bool compressFrame(PixelBuffer& planar, MediaTime presentationTime, const FrameOptions& options,
                     EncodedFrame* frame);
  std::shared_ptr<EncodedSample> makeSample(const EncodedFrame& frame,
                                            std::int32_t timescale) const;
  // Calls the output handler unless the session was invalidated meanwhile.
  void deliver(int status, const std::shared_ptr<const EncodedSample>& sample);

  const int width_;
  const int height_;
  CompressionOutputHandler handler_;
  std::mutex mutex_;                   // guards the properties and the flags
  std::recursive_mutex handlerMutex_;  // held while the handler runs and by `invalidate`
  std::map<std::string, CompressionPropertyValue> properties_;
  bool valid_ = true;
  bool started_ = false;
  dispatch::QueuePtr queue_;          // the session's serial queue
  std::unique_ptr<Encoder> encoder_;  // session queue only
};

}  // namespace corvane::platform::video
