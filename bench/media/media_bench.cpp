// Speed of the media encoders at 1920x1080 with their real parameters:
//  - the H.264 encoder's per-frame work (NV12 frame in, scaled and converted, encoded,
//    packets out; the worker's 10 ms pause left out) against raw x264_encoder_encode on
//    frames already converted to I420 at the same size and parameters;
//  - MP3 encoding through the encoder's worker thread, as a multiple of real time.
// A summary with the ratio and the multiple follows the table.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "media/media_packet.h"
#include "media/sw_audio_encoder.h"
#include "media/sw_software_encoder.h"
#include "platform/audio/block_buffer.h"
#include "platform/video/pixel_transfer_session.h"

namespace corvane {
namespace {

using namespace platform::video;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
// More distinct frames (48 MB of NV12, as much again in I420) than the last-level cache holds,
// so that neither side reads its input from cache, as in a live pipeline where every frame is
// new; with fewer, the raw side's converted frames would stay cached and flatter it.
constexpr int kDistinctFrames = 16;

// A moving gradient with some texture, so that every frame differs from the one before.
PixelBufferRef makeFrame(int phase) {
  PixelBufferRef frame;
  PixelBuffer::create(kWidth, kHeight, kPixelFormat420YpCbCr8BiPlanarVideoRange, &frame);
  frame->lockBaseAddress(0);
  for (int y = 0; y < kHeight; ++y) {
    std::uint8_t* row =
        frame->baseAddressOfPlane(0) + static_cast<std::size_t>(y) * frame->bytesPerRowOfPlane(0);
    for (int x = 0; x < kWidth; ++x) {
      row[x] = static_cast<std::uint8_t>(16 + ((x + 3 * phase) ^ (y + phase)) % 220);
    }
  }
  for (int y = 0; y < frame->heightOfPlane(1); ++y) {
    std::uint8_t* row =
        frame->baseAddressOfPlane(1) + static_cast<std::size_t>(y) * frame->bytesPerRowOfPlane(1);
    for (int x = 0; x < frame->widthOfPlane(1); ++x) {
      row[2 * x] = static_cast<std::uint8_t>(100 + (x + phase) % 56);
      row[2 * x + 1] = static_cast<std::uint8_t>(100 + (y + 2 * phase) % 56);
    }
  }
  frame->unlockBaseAddress(0);
  return frame;
}

const std::vector<PixelBufferRef>& frames() {
  static const std::vector<PixelBufferRef> all = [] {
    std::vector<PixelBufferRef> v;
    for (int i = 0; i < kDistinctFrames; ++i) v.push_back(makeFrame(i));
    return v;
  }();
  return all;
}

// Frees every packet, as the sender would after writing it.
class DiscardingCallback : public AVCallback {
 public:
  void onOutputMediaData(std::uint8_t* packet) override {
    bytes += mediaPacketWireLength(packet);
    freeMediaPacket(packet);
  }
  std::uint64_t bytes = 0;
};

std::shared_ptr<RawVideoFrame> itemFor(std::int64_t index) {
  auto item = std::make_shared<RawVideoFrame>();
  item->buffer = frames()[static_cast<std::size_t>(index % kDistinctFrames)];
  item->timestamp = static_cast<std::uint32_t>(index * 40);
  return item;
}

void BM_EncoderPerFrameWork(benchmark::State& state) {
  auto encoder = SWSoftwareEncoder::create();
  auto callback = std::make_shared<DiscardingCallback>();
  encoder->setVaCallback(callback);
  encoder->beginWorking();
  std::int64_t index = 0;
  encoder->encodeFrameItem(itemFor(index++));  // opens the encoder at the frame's size
  for (auto _ : state) encoder->encodeFrameItem(itemFor(index++));
  encoder->endWorking();
  state.SetItemsProcessed(state.iterations());
  state.counters["kbit_per_frame"] =
      static_cast<double>(callback->bytes) * 8.0 / 1000.0 / static_cast<double>(index);
}

// Raw libx264 with the encoder's own parameters for a 1920x1080 input (1920x1072, 15 fps),
// fed with the test frames converted to I420 beforehand.
class RawEncoder {
 public:
  RawEncoder() {
    auto configured = SWSoftwareEncoder::create();
    configured->beginWorking();
    configured->encodeFrameItem(itemFor(0));
    param_ = configured->x264Param();
    configured->endWorking();

    auto session = PixelTransferSession::create();
    for (const auto& frame : frames()) {
      PixelBufferRef i420;
      PixelBuffer::create(param_.i_width, param_.i_height, kPixelFormat420YpCbCr8Planar, &i420);
      session->transferImage(frame, i420);
      i420->lockBaseAddress(kLockReadOnly);
      converted_.push_back(i420);
    }
    encoder_ = x264_encoder_open(&param_);
    x264_picture_init(&picture_);
    picture_.img.i_csp = X264_CSP_I420;
    picture_.img.i_plane = 3;
  }
  ~RawEncoder() {
    if (encoder_ != nullptr) x264_encoder_close(encoder_);
    for (auto& i420 : converted_) i420->unlockBaseAddress(kLockReadOnly);
  }
  bool ok() const { return encoder_ != nullptr; }

  void encodeOne() {
    const auto& i420 = converted_[static_cast<std::size_t>(index_++ % kDistinctFrames)];
    for (std::size_t plane = 0; plane < 3; ++plane) {
      picture_.img.plane[plane] = i420->baseAddressOfPlane(plane);
      picture_.img.i_stride[plane] = static_cast<int>(i420->bytesPerRowOfPlane(plane));
    }
    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_picture_t out;
    const int size = x264_encoder_encode(encoder_, &nals, &count, &picture_, &out);
    if (size > 0) bytes_ += static_cast<std::uint64_t>(size);
    benchmark::DoNotOptimize(nals);
  }
  double kbitPerFrame() const {
    return static_cast<double>(bytes_) * 8.0 / 1000.0 / static_cast<double>(index_);
  }

 private:
  x264_param_t param_{};
  std::vector<PixelBufferRef> converted_;
  x264_t* encoder_ = nullptr;
  x264_picture_t picture_{};
  std::int64_t index_ = 0;
  std::uint64_t bytes_ = 0;
};

void BM_RawX264Encode(benchmark::State& state) {
  RawEncoder raw;
  if (!raw.ok()) {
    state.SkipWithError("x264_encoder_open failed");
    return;
  }
  raw.encodeOne();  // the first picture, like the encoder's first frame
  for (auto _ : state) raw.encodeOne();
  state.SetItemsProcessed(state.iterations());
  state.counters["kbit_per_frame"] = raw.kbitPerFrame();
}

// Both kinds of work in turns, so that changing load on the machine hits both alike; the
// ratio of their speeds is the figure that counts.
void BM_PerFrameWorkVsRawEncode(benchmark::State& state) {
  RawEncoder raw;
  if (!raw.ok()) {
    state.SkipWithError("x264_encoder_open failed");
    return;
  }
  auto encoder = SWSoftwareEncoder::create();
  auto callback = std::make_shared<DiscardingCallback>();
  encoder->setVaCallback(callback);
  encoder->beginWorking();
  std::int64_t index = 0;
  encoder->encodeFrameItem(itemFor(index++));
  raw.encodeOne();
  using Clock = std::chrono::steady_clock;
  Clock::duration workTime{}, rawTime{};
  for (auto _ : state) {
    auto item = itemFor(index++);
    const auto t0 = Clock::now();
    encoder->encodeFrameItem(std::move(item));
    const auto t1 = Clock::now();
    raw.encodeOne();
    const auto t2 = Clock::now();
    workTime += t1 - t0;
    rawTime += t2 - t1;
  }
  encoder->endWorking();
  const double frames = static_cast<double>(state.iterations());
  const double workFps = frames / std::chrono::duration<double>(workTime).count();
  const double rawFps = frames / std::chrono::duration<double>(rawTime).count();
  state.counters["work_fps"] = workFps;
  state.counters["raw_fps"] = rawFps;
  state.counters["ratio"] = workFps / rawFps;
}

// Releases the last fed sample buffer's memory and says so.
struct LastBuffer {
  std::mutex mutex;
  std::condition_variable cv;
  bool released = false;
};

void BM_Mp3EncoderRealTimeMultiple(benchmark::State& state) {
  constexpr std::size_t kBufferFrames = 1024;
  constexpr std::size_t kBuffers = 430;  // about 10 s of sound
  std::vector<float> pcm(kBufferFrames * 2);
  double seconds = 0;  // of sound encoded
  double elapsedTotal = 0;
  std::size_t phase = 0;
  for (auto _ : state) {
    auto encoder = SWAudioEncoder::create();
    auto callback = std::make_shared<DiscardingCallback>();
    auto queue = RawAudioQueue::initWithCapacity(3);
    encoder->setAvCallback(callback);
    encoder->setInputQueue(queue);
    LastBuffer last;
    const auto start = std::chrono::steady_clock::now();
    encoder->beginEncodeAudio();
    for (std::size_t b = 0; b < kBuffers; ++b) {
      for (std::size_t i = 0; i < kBufferFrames; ++i, ++phase) {
        const float v = static_cast<float>(
            0.5 * std::sin(static_cast<double>(phase) * 2.0 * 3.14159265 * 440.0 / 44100.0));
        pcm[2 * i] = v;
        pcm[2 * i + 1] = v;
      }
      std::shared_ptr<platform::audio::BlockBuffer> block;
      if (b + 1 == kBuffers) {
        auto* copy = new std::vector<float>(pcm);
        block = platform::audio::BlockBuffer::createWithMemory(
            copy->data(), copy->size() * sizeof(float), [copy, &last](void*, std::size_t) {
              delete copy;
              {
                std::lock_guard<std::mutex> lock(last.mutex);
                last.released = true;
              }
              last.cv.notify_all();
            });
      } else {
        block =
            platform::audio::BlockBuffer::createWithBytes(pcm.data(), pcm.size() * sizeof(float));
      }
      queue->put(platform::audio::SampleBuffer::create(block, kBufferFrames));
    }
    {
      std::unique_lock<std::mutex> lock(last.mutex);
      last.cv.wait_for(lock, std::chrono::seconds(60), [&] { return last.released; });
    }
    const auto end = std::chrono::steady_clock::now();
    encoder->endEncodeAudio();
    const double elapsed = std::chrono::duration<double>(end - start).count();
    state.SetIterationTime(elapsed);
    elapsedTotal += elapsed;
    seconds += static_cast<double>(kBuffers * kBufferFrames) / 44100.0;
  }
  state.counters["realtime_multiple"] = elapsedTotal > 0 ? seconds / elapsedTotal : 0.0;
}

BENCHMARK(BM_EncoderPerFrameWork)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_RawX264Encode)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_PerFrameWorkVsRawEncode)->Unit(benchmark::kMillisecond)->MinTime(6.0);
BENCHMARK(BM_Mp3EncoderRealTimeMultiple)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->MinTime(2.0);

// Keeps the figures the summary needs while the console shows the table.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const std::string name = run.benchmark_name();
      auto items = run.counters.find("items_per_second");
      if (items != run.counters.end()) rates[name] = items->second.value;
      for (const char* key : {"realtime_multiple", "work_fps", "raw_fps", "ratio"}) {
        auto counter = run.counters.find(key);
        if (counter != run.counters.end()) rates[name + "#" + key] = counter->second.value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> rates;
};

}  // namespace
}  // namespace corvane

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  corvane::SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  // Names carry suffixes such as "/min_time:3.000"; match on the prefix.
  auto rate = [&](const std::string& prefix) {
    for (const auto& [name, value] : reporter.rates) {
      if (name.rfind(prefix, 0) == 0) return value;
    }
    return 0.0;
  };
  auto counter = [&](const std::string& prefix, const std::string& key) {
    for (const auto& [name, value] : reporter.rates) {
      if (name.rfind(prefix, 0) == 0 && name.size() > key.size() &&
          name.compare(name.size() - key.size() - 1, std::string::npos, "#" + key) == 0) {
        return value;
      }
    }
    return 0.0;
  };
  const double work = rate("BM_EncoderPerFrameWork");
  const double raw = rate("BM_RawX264Encode");
  const double mp3 = counter("BM_Mp3EncoderRealTimeMultiple", "realtime_multiple");
  if (work > 0 && raw > 0) {
    std::printf(
        "\nSeparate runs: H.264 per-frame work %.1f fps, raw x264_encoder_encode %.1f fps "
        "(ratio %.3f)\n",
        work, raw, work / raw);
  }
  const double ratio = counter("BM_PerFrameWorkVsRawEncode", "ratio");
  if (ratio > 0) {
    std::printf(
        "In turns: H.264 per-frame work %.1f fps, raw x264_encoder_encode %.1f fps, "
        "ratio %.3f (target >= 0.9)\n",
        counter("BM_PerFrameWorkVsRawEncode", "work_fps"),
        counter("BM_PerFrameWorkVsRawEncode", "raw_fps"), ratio);
  }
  if (mp3 > 0) std::printf("MP3 encoding: %.1fx real time (target >= 50x)\n", mp3);
  return 0;
}
