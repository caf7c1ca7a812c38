#include "media/sw_software_encoder.h"

#include <algorithm>
#include <chrono>
#include <span>
#include <thread>

#include "media/media_packet.h"
#include "platform/video/stage_cpu.h"

namespace corvane {
namespace {

namespace video = platform::video;

constexpr double kTakeTimeout = 0.1;
constexpr auto kWorkerPause = std::chrono::milliseconds(10);

// Seconds on the steady clock (from an arbitrary start): the statistics measure intervals.
double steadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::shared_ptr<SWSoftwareEncoder> SWSoftwareEncoder::create() {
  return std::shared_ptr<SWSoftwareEncoder>(new SWSoftwareEncoder());
}

SWSoftwareEncoder::SWSoftwareEncoder() { x264_param_default(&x264_param); }

SWSoftwareEncoder::~SWSoftwareEncoder() {
  // The worker holds a reference while it runs, so only an idle encoder (or the worker's
  // own last reference, after its loop) gets here; its encoder is closed already unless the
  // benchmark drove the phases itself.
  closeEncoder();
}

void SWSoftwareEncoder::start() {
  // From the callback, on the worker itself: a worker exists already.
  if (encodingThread.isCurrent()) return;
  std::lock_guard<std::mutex> lock(threadMutex_);
  if (encodingThread.exists()) return;
  cancelled_ = false;
  auto self = shared_from_this();
  // When the system makes no thread, nothing runs and a later start may try again.
  encodingThread.start([self] { self->workingThreadFun(); }, "video_encoder");
}

void SWSoftwareEncoder::stop() {
  // On the worker itself (a callback stopping its encoder) waiting would never end; the loop
  // ends after the current frame instead, and the owner's next `stop` joins the thread.
  if (encodingThread.isCurrent()) {
    cancelled_ = true;
    return;
  }
  std::lock_guard<std::mutex> lock(threadMutex_);
  cancelled_ = true;
  encodingThread.join();
}

void SWSoftwareEncoder::setupX264() {
  encodingFps_ = std::max(currFps_, kMinFrameRate);
  x264_param_default(&x264_param);
  x264_param.i_threads = 1;
  x264_param.i_width = dstWidth_;
  x264_param.i_height = dstHeight_;
  x264_param.i_fps_num = static_cast<std::uint32_t>(encodingFps_);
  x264_param.i_sync_lookahead = 0;
  x264_param.b_vfr_input = 0;
  x264_param.i_keyint_max = 2000;
  x264_param.i_frame_reference = 1;
  x264_param.i_scenecut_threshold = 0;
  x264_param.i_bframe = 0;
  x264_param.i_bframe_adaptive = 0;
  x264_param.b_deblocking_filter = 0;
  x264_param.b_cabac = 0;
  x264_param.analyse.intra = 0;
  x264_param.analyse.inter = 0;
  x264_param.analyse.b_transform_8x8 = 0;
  x264_param.analyse.i_weighted_pred = 0;
  x264_param.analyse.b_weighted_bipred = 0;
  x264_param.analyse.i_me_method = X264_ME_DIA;
  x264_param.analyse.i_subpel_refine = 0;
  x264_param.analyse.b_mixed_references = 0;
  x264_param.analyse.i_trellis = 0;
  x264_param.rc.i_rc_method = X264_RC_ABR;
  x264_param.rc.i_bitrate = 4400;
  x264_param.rc.i_vbv_max_bitrate = 5280;
  x264_param.rc.i_vbv_buffer_size = 5280;
  x264_param.rc.i_aq_mode = 0;
  x264_param.rc.b_mb_tree = 0;
  x264_param.rc.i_lookahead = 0;
  x264_param.b_repeat_headers = 1;
  x264_param.b_opencl = 1;
  x264_param.i_log_level = X264_LOG_WARNING;
}

x264_t* SWSoftwareEncoder::openX264() {
  // A frame smaller than one macroblock gives an empty picture size, which the library
  // refuses (and leaks a little memory while doing so): refuse it here instead.
  if (x264_param.i_width < 16 || x264_param.i_height < 16) return nullptr;
  return x264_encoder_open(&x264_param);
}

bool SWSoftwareEncoder::openEncoder() {
  if (x264_encoder == nullptr) x264_encoder = openX264();
  return x264_encoder != nullptr;
}

bool SWSoftwareEncoder::reconfigEncoder() {
  if (x264_encoder == nullptr) return false;
  x264_encoder_close(x264_encoder);
  x264_encoder = openX264();
  return x264_encoder != nullptr;
}

bool SWSoftwareEncoder::closeEncoder() {
  if (x264_encoder != nullptr) {
    x264_encoder_close(x264_encoder);
    x264_encoder = nullptr;
  }
  return true;
}

void SWSoftwareEncoder::calcFramerate(std::uint32_t timestamp) {
  tsArray.push_back(timestamp);
  // Differences in 32-bit unsigned arithmetic stay right across the clock's wrap.
  if (static_cast<std::uint32_t>(timestamp - tsArray.front()) >= 1001) {
    do {
      tsArray.pop_front();
    } while (static_cast<std::uint32_t>(timestamp - tsArray.front()) > 1000);
  }
  currFps_ = tsArray.size();
}

void SWSoftwareEncoder::refreshRateInfo(const RateInfo& info) {
  statArray.push_back(info);
  totalEnqueueCost += info.enqueuecost.value_or(0);
  const double now = steadySeconds();
  while (!statArray.empty() && now - statArray.front().timestamp > 1.0) {
    totalEnqueueCost -= statArray.front().enqueuecost.value_or(0);
    statArray.pop_front();
  }
}

void SWSoftwareEncoder::beginWorking() {
  setupX264();
  openEncoder();
  x264_picture_init(&picture_);
  picture_.img.i_csp = X264_CSP_I420;
  transferSession_ = video::PixelTransferSession::create();
  transferSession_->setScalingMode(video::kPixelTransferScalingModeNormal);
  statArray.clear();
  totalEnqueueCost = 0;
}

void SWSoftwareEncoder::encodeFrameItem(std::shared_ptr<RawVideoFrame> item) {
  if (!item || !item->buffer) return;
  const std::uint32_t timestamp = item->timestamp;
  const bool keyframe = item->keyframe;
  const int w = item->buffer->width();
  const int h = item->buffer->height();
  calcFramerate(timestamp);

  if (w != srcWidth_ || h != srcHeight_) {
    srcWidth_ = w;
    srcHeight_ = h;
    dstWidth_ = std::min(w, kMaxWidth) / 16 * 16;
    dstHeight_ = std::min(h, kMaxHeight) / 16 * 16;
    setupX264();
    // After a failed (re)open no encoder is left to reconfigure; opening a new one lets the
    // next size recover instead of losing the picture for the rest of the session.
    const bool ready = x264_encoder != nullptr ? reconfigEncoder() : openEncoder();
    if (!ready) return;  // the item and its buffer are dropped
  }
  if (x264_encoder == nullptr || !transferSession_) return;

  const double start = steadySeconds();
  video::PixelBufferRef scaled;
  if (video::PixelBuffer::create(dstWidth_, dstHeight_, video::kPixelFormat420YpCbCr8Planar,
                                 &scaled) != video::kReturnSuccess) {
    return;
  }
  const int transferStatus = transferSession_->transferImage(item->buffer, scaled);
  scaled->lockBaseAddress(video::kLockReadOnly);
  const double converted = steadySeconds();
  item.reset();  // the captured frame is not needed any more
  if (transferStatus != video::kReturnSuccess) {
    scaled->unlockBaseAddress(video::kLockReadOnly);
    return;
  }

  picture_.img.i_plane = static_cast<int>(scaled->planeCount());
  for (std::size_t plane = 0; plane < scaled->planeCount() && plane < 4; ++plane) {
    picture_.img.plane[plane] = scaled->baseAddressOfPlane(plane);
    picture_.img.i_stride[plane] = static_cast<int>(scaled->bytesPerRowOfPlane(plane));
  }
  picture_.i_type = keyframe ? X264_TYPE_KEYFRAME : X264_TYPE_AUTO;

  x264_nal_t* nals = nullptr;
  int nalCount = 0;
  x264_picture_t output;
  int frameSize = 0;
  {
    const video::ScopedStageCpu cpu(video::VideoStage::Encode);
    frameSize = x264_encoder_encode(x264_encoder, &nals, &nalCount, &picture_, &output);
  }
  const double encoded = steadySeconds();
  picture_.i_type = X264_TYPE_AUTO;
  for (auto& plane : picture_.img.plane) plane = nullptr;

  refreshRateInfo(RateInfo{encoded, converted - start, encoded - converted, std::nullopt});
  scaled->unlockBaseAddress(video::kLockReadOnly);
  scaled.reset();

  if (frameSize <= 0 || nalCount <= 0) return;
  for (int i = 0; i < nalCount; ++i) {
    std::shared_ptr<AVCallback> callback = vaCallback();
    if (!callback) continue;
    const x264_nal_t& nal = nals[i];
    if (nal.p_payload == nullptr || nal.i_payload < 0) continue;
    std::uint8_t* packet = createVideoPacket(
        std::span<const std::uint8_t>(nal.p_payload, static_cast<std::size_t>(nal.i_payload)),
        timestamp);
    if (packet != nullptr) callback->onOutputMediaData(packet);
  }
}

void SWSoftwareEncoder::endWorking() {
  if (transferSession_) {
    transferSession_->invalidate();
    transferSession_.reset();
  }
  closeEncoder();
}

void SWSoftwareEncoder::workingThreadFun() {
  beginWorking();
  do {
    std::this_thread::sleep_for(kWorkerPause);
    std::shared_ptr<RawVideoQueue> input = rawVideoInput();
    std::shared_ptr<RawVideoFrame> item = input ? input->take(kTakeTimeout) : nullptr;
    input.reset();
    if (item) encodeFrameItem(std::move(item));
  } while (!cancelled_.load());
  endWorking();
}

}  // namespace corvane
