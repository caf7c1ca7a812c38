#include "platform/video/compression_session.h"

#include <stdint.h>  // x264.h needs the fixed-width types first

#include <algorithm>
#include <cmath>
#include <optional>
#include <span>
#include <utility>

extern "C" {
#include <x264.h>
}

#include "platform/log/log.h"
#include "platform/video/pixel_transfer_session.h"
#include "platform/video/stage_cpu.h"

namespace corvane::platform::video {

namespace {

constexpr std::size_t kLengthSize = 4;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;

template <typename T>
const T* valueAs(const std::map<std::string, CompressionPropertyValue>& properties,
                 const char* key) {
  auto found = properties.find(key);
  return found == properties.end() ? nullptr : std::get_if<T>(&found->second);
}

// A number given as a whole or a real number.
std::optional<double> numberOf(const std::map<std::string, CompressionPropertyValue>& properties,
                               const char* key) {
  if (const auto* whole = valueAs<std::int64_t>(properties, key)) {
    return static_cast<double>(*whole);
  }
  if (const auto* real = valueAs<double>(properties, key)) return *real;
  return std::nullopt;
}

int clampToInt(double value, int low, int high) {
  if (!std::isfinite(value)) return low;
  return static_cast<int>(
      std::clamp(std::llround(value), static_cast<long long>(low), static_cast<long long>(high)));
}

// The NAL payload without its 4-byte length (x264 writes the length in place of a start code
// when Annex B output is off).
std::span<const std::uint8_t> nalBody(const x264_nal_t& nal) {
  if (nal.p_payload == nullptr || nal.i_payload < static_cast<int>(kLengthSize)) return {};
  return {nal.p_payload + kLengthSize, static_cast<std::size_t>(nal.i_payload) - kLengthSize};
}

// The x264 parameters of a session of `width` x `height` with `properties`: the properties
// that x264 has are mapped onto its parameters, the others are logged as having no effect.
void configureEncoder(const std::map<std::string, CompressionPropertyValue>& properties, int width,
                      int height, x264_param_t* param) {
  x264_param_t& p = *param;
  x264_param_default(&p);
  p.i_threads = 1;
  p.i_width = width;
  p.i_height = height;
  p.i_csp = X264_CSP_I420;
  p.b_annexb = 0;
  p.b_repeat_headers = 0;
  p.b_vfr_input = 0;
  p.i_log_level = X264_LOG_WARNING;
  p.i_fps_num = 25;
  p.i_fps_den = 1;
  if (const bool* reorder = valueAs<bool>(properties, kCompressionPropertyAllowFrameReordering);
      reorder != nullptr && !*reorder) {
    p.i_bframe = 0;
  }
  if (auto rate = numberOf(properties, kCompressionPropertyExpectedFrameRate)) {
    p.i_fps_num = static_cast<std::uint32_t>(clampToInt(*rate, 1, 1000));
  }
  if (auto interval = numberOf(properties, kCompressionPropertyMaxKeyFrameInterval)) {
    p.i_keyint_max = clampToInt(*interval, 1, 1 << 30);
  }
  if (auto bitRate = numberOf(properties, kCompressionPropertyAverageBitRate)) {
    p.rc.i_rc_method = X264_RC_ABR;
    p.rc.i_bitrate = clampToInt(*bitRate / 1000.0, 1, 1 << 30);
  }
  if (const auto* limits =
          valueAs<std::vector<double>>(properties, kCompressionPropertyDataRateLimits)) {
    // The first pair (bytes per seconds) becomes the VBV: its rate and one window of it.
    const double bytes = (*limits)[0];
    const double seconds = (*limits)[1];
    if (bytes > 0 && seconds > 0) {
      p.rc.i_vbv_max_bitrate = clampToInt(bytes * 8.0 / seconds / 1000.0, 1, 1 << 30);
      p.rc.i_vbv_buffer_size = clampToInt(bytes * 8.0 / 1000.0, 1, 1 << 30);
    }
  }
  if (auto delay = numberOf(properties, kCompressionPropertyMaxFrameDelayCount)) {
    if (*delay <= 1) {
      // At most one frame inside the encoder: no look-ahead of any kind, no B-frames.
      p.i_bframe = 0;
      p.i_sync_lookahead = 0;
      p.rc.i_lookahead = 0;
      p.rc.b_mb_tree = 0;
    }
  }
  if (const auto* entropy = valueAs<std::string>(properties, kCompressionPropertyH264EntropyMode)) {
    p.b_cabac = *entropy == kH264EntropyModeCABAC ? 1 : 0;
  }
  for (const char* unmapped :
       {kCompressionPropertyRealTime, kCompressionPropertyNumberOfPendingFrames}) {
    if (properties.count(unmapped) != 0) {
      log::nslog("compression session: property %s has no equivalent in the software encoder",
                 unmapped);
    }
  }
  if (const auto* profile = valueAs<std::string>(properties, kCompressionPropertyProfileLevel)) {
    const char* name = *profile == kProfileLevelH264HighAutoLevel   ? "high"
                       : *profile == kProfileLevelH264MainAutoLevel ? "main"
                                                                    : "baseline";
    if (x264_param_apply_profile(&p, name) < 0) {
      log::nslog("compression session: profile %s cannot be applied", name);
    }
  }
}

}  // namespace

// What x264 gave for one frame.
struct CompressionSession::EncodedFrame {
  std::vector<x264_nal_t> nals;  // empty when nothing came out
  std::int64_t presentationValue = 0;
  bool isKeyFrame = false;
};

struct CompressionSession::Encoder {
  x264_t* encoder = nullptr;
  x264_param_t param{};
  std::shared_ptr<PixelTransferSession> transfer;
  std::vector<std::uint8_t> sps;
  std::vector<std::uint8_t> pps;

  ~Encoder() {
    if (encoder != nullptr) x264_encoder_close(encoder);
    if (transfer) transfer->invalidate();
  }
};

int CompressionSession::create(int width, int height, OSType codec,
                               const std::map<std::string, bool>& encoderSpecification,
                               const SourceImageAttributes& sourceAttributes,
                               CompressionOutputHandler handler,
                               std::shared_ptr<CompressionSession>* out) {
  if (out == nullptr) return kCompressionErrorParameter;
  *out = nullptr;
  if (codec != kVideoCodecTypeH264 || !handler || width < 16 || height < 16 ||
      width > PixelBuffer::kMaxDimension || height > PixelBuffer::kMaxDimension || width % 2 != 0 ||
      height % 2 != 0) {
    return kCompressionErrorParameter;
  }
  for (const auto& [key, value] : encoderSpecification) {
    log::nslog(
        "compression session: encoder setting %s=%d has no effect (software "
        "encoder)",
        key.c_str(), value ? 1 : 0);
  }
  if (sourceAttributes.width != 0 && sourceAttributes.width != width) {
    log::nslog("compression session: source frames of width %d are scaled to %d",
               sourceAttributes.width, width);
  }
  out->reset(new CompressionSession(width, height, std::move(handler)));
  return kReturnSuccess;
}

CompressionSession::CompressionSession(int width, int height, CompressionOutputHandler handler)
    : width_(width),
      height_(height),
      handler_(std::move(handler)),
      queue_(dispatch::Queue::createSerial("compression_session")) {}

CompressionSession::~CompressionSession() = default;

int CompressionSession::setProperty(const std::string& key, const CompressionPropertyValue& value) {
  static const std::map<std::string, std::size_t> kinds = {
      {kCompressionPropertyAllowFrameReordering, 0},  {kCompressionPropertyRealTime, 0},
      {kCompressionPropertyExpectedFrameRate, 1},     {kCompressionPropertyMaxKeyFrameInterval, 1},
      {kCompressionPropertyAverageBitRate, 1},        {kCompressionPropertyDataRateLimits, 4},
      {kCompressionPropertyProfileLevel, 3},          {kCompressionPropertyMaxFrameDelayCount, 1},
      {kCompressionPropertyNumberOfPendingFrames, 1}, {kCompressionPropertyH264EntropyMode, 3},
  };
  auto kind = kinds.find(key);
  if (kind == kinds.end()) return kCompressionErrorPropertyNotSupported;
  // Numbers may come as whole or real numbers.
  const bool numeric = kind->second == 1 && (value.index() == 1 || value.index() == 2);
  if (!numeric && value.index() != kind->second) return kCompressionErrorParameter;
  if (kind->second == 4) {
    const auto& limits = std::get<std::vector<double>>(value);
    if (limits.empty() || limits.size() % 2 != 0) return kCompressionErrorParameter;
  }
  if (kind->second == 3) {
    const auto& text = std::get<std::string>(value);
    const bool known = text == kProfileLevelH264HighAutoLevel ||
                       text == kProfileLevelH264MainAutoLevel ||
                       text == kProfileLevelH264BaselineAutoLevel ||
                       text == kH264EntropyModeCABAC || text == kH264EntropyModeCAVLC;
    if (!known) return kCompressionErrorParameter;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!valid_ || started_) return kCompressionErrorPropertyNotSupported;
  properties_[key] = value;
  return kReturnSuccess;
}

int CompressionSession::encodeFrame(const PixelBufferRef& buffer, MediaTime presentationTime,
                                    MediaTime /*duration*/, const FrameOptions& options) {
  if (!buffer) return kCompressionErrorParameter;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!valid_) return kCompressionErrorInvalidSession;
    started_ = true;
  }
  auto self = shared_from_this();
  queue_->async([self, buffer, presentationTime, options] {
    self->encodeOnQueue(buffer, presentationTime, options);
  });
  return kReturnSuccess;
}

int CompressionSession::completeFrames() {
  if (dispatch::Queue::current() == queue_) return kCompressionErrorParameter;
  queue_->sync([] {});
  return kReturnSuccess;
}

void CompressionSession::invalidate() {
  {
    std::lock_guard<std::recursive_mutex> handlerLock(handlerMutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!valid_) return;
    valid_ = false;
  }
  // The encoder goes on the session's queue, after any frame in progress.
  auto self = shared_from_this();
  queue_->async([self] { self->encoder_.reset(); });
}

void CompressionSession::encodeOnQueue(const PixelBufferRef& buffer, MediaTime presentationTime,
                                       const FrameOptions& options) {
  std::map<std::string, CompressionPropertyValue> properties;
  if (!snapshotProperties(&properties)) return;
  // The session is made with the first frame, from the properties set until then.
  if (!encoder_) {
    const int status = createEncoder(properties);
    if (status != kReturnSuccess) {
      deliver(status, nullptr);
      return;
    }
  }
  PixelBufferRef planar;
  if (!scaleToSessionSize(buffer, &planar)) {
    deliver(kCompressionErrorEncodeFailed, nullptr);
    return;
  }
  EncodedFrame frame;
  if (!compressFrame(*planar, presentationTime, options, &frame)) {
    deliver(kCompressionErrorEncodeFailed, nullptr);
    return;
  }
  if (frame.nals.empty()) return;  // nothing came out for this frame
  deliver(kReturnSuccess, makeSample(frame, presentationTime.timescale));
}

bool CompressionSession::snapshotProperties(
    std::map<std::string, CompressionPropertyValue>* properties) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!valid_) return false;
  *properties = properties_;
  return true;
}

void CompressionSession::deliver(int status, const std::shared_ptr<const EncodedSample>& sample) {
  std::lock_guard<std::recursive_mutex> handlerLock(handlerMutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!valid_) return;
  }
  handler_(status, sample);
}

int CompressionSession::createEncoder(
    const std::map<std::string, CompressionPropertyValue>& properties) {
  auto encoder = std::make_unique<Encoder>();
  configureEncoder(properties, width_, height_, &encoder->param);
  encoder->encoder = x264_encoder_open(&encoder->param);
  if (encoder->encoder == nullptr) {
    log::nslog("compression session: the encoder cannot be opened");
    return kCompressionErrorCouldNotCreateEncoder;
  }
  // The parameter sets go with every sample.
  x264_nal_t* headers = nullptr;
  int headerCount = 0;
  if (x264_encoder_headers(encoder->encoder, &headers, &headerCount) < 0) {
    return kCompressionErrorCouldNotCreateEncoder;
  }
  for (int i = 0; i < headerCount; ++i) {
    auto body = nalBody(headers[i]);
    if (headers[i].i_type == kNalSps) encoder->sps.assign(body.begin(), body.end());
    if (headers[i].i_type == kNalPps) encoder->pps.assign(body.begin(), body.end());
  }
  encoder->transfer = PixelTransferSession::create();
  encoder->transfer->setScalingMode(kPixelTransferScalingModeNormal);
  encoder_ = std::move(encoder);
  return kReturnSuccess;
}

bool CompressionSession::scaleToSessionSize(const PixelBufferRef& buffer, PixelBufferRef* planar) {
  return PixelBuffer::create(width_, height_, kPixelFormat420YpCbCr8Planar, planar) ==
             kReturnSuccess &&
         encoder_->transfer->transferImage(buffer, *planar) == kReturnSuccess;
}

bool CompressionSession::compressFrame(PixelBuffer& planar, MediaTime presentationTime,
                                       const FrameOptions& options, EncodedFrame* frame) {
  planar.lockBaseAddress(kLockReadOnly);
  x264_picture_t input;
  x264_picture_init(&input);
  input.img.i_csp = X264_CSP_I420;
  input.img.i_plane = 3;
  for (std::size_t plane = 0; plane < 3; ++plane) {
    input.img.plane[plane] = planar.baseAddressOfPlane(plane);
    input.img.i_stride[plane] = static_cast<int>(planar.bytesPerRowOfPlane(plane));
  }
  input.i_pts = presentationTime.value;
  input.i_type = options.forceKeyFrame ? X264_TYPE_IDR : X264_TYPE_AUTO;
  x264_nal_t* nals = nullptr;
  int nalCount = 0;
  x264_picture_t output;
  int size = 0;
  {
    const ScopedStageCpu cpu(VideoStage::Encode);
    size = x264_encoder_encode(encoder_->encoder, &nals, &nalCount, &input, &output);
  }
  planar.unlockBaseAddress(kLockReadOnly);
  if (size < 0) return false;
  // The units stay valid until the next encode, which comes after the sample is made.
  if (size > 0 && nalCount > 0) frame->nals.assign(nals, nals + nalCount);
  frame->presentationValue = output.i_pts;
  frame->isKeyFrame = output.b_keyframe != 0;
  return true;
}

std::shared_ptr<EncodedSample> CompressionSession::makeSample(const EncodedFrame& frame,
                                                              std::int32_t timescale) const {
  auto sample = std::make_shared<EncodedSample>();
  sample->sequenceParameterSet = encoder_->sps;
  sample->pictureParameterSet = encoder_->pps;
  for (const x264_nal_t& nal : frame.nals) {
    if (nal.i_type == kNalSps || nal.i_type == kNalPps) continue;
    if (nal.p_payload == nullptr || nal.i_payload <= 0) continue;
    sample->data.insert(sample->data.end(), nal.p_payload, nal.p_payload + nal.i_payload);
  }
  sample->presentationTime = MediaTime{frame.presentationValue, timescale};
  sample->isKeyFrame = frame.isKeyFrame;
  return sample;
}

}  // namespace corvane::platform::video
