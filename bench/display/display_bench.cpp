// Cost of the screen capture on an Xvfb server that the benchmark starts (1920x1080 mode):
//  - one 1080p frame through the capture's path (MIT-SHM grab + libyuv NV12 conversion into a
//    new surface) against a plain XGetImage + libyuv ARGBToNV12 loop in the same run;
//  - CPU used per second by the whole recorder (capture, still-picture timer, encoder thread)
//    on a still screen once the re-sends have ended (target: under 1% of a core).
// A summary follows the table.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <benchmark/benchmark.h>
#include <libyuv.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "media/sw_video_recorder.h"
#include "platform/display/linux/x11_capture.h"
#include "platform/display/linux/x11_display.h"
#include "support/xvfb.h"

namespace corvane {
namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

std::unique_ptr<test::Xvfb> gServer;
double gShmMs = 0;
double gPlainMs = 0;
double gStillCpuPercent = -1;
double gEncoderIdlePercent = -1;

double secondsOf(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// CPU seconds of the process's threads named `name` (from /proc; 0 when unreadable).
double threadCpuSeconds(const std::string& name) {
  double total = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
    std::ifstream comm(entry.path() / "comm");
    std::string threadName;
    std::getline(comm, threadName);
    if (threadName != name) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    std::getline(stat, line);
    // Fields after the parenthesised name: state is field 3, utime 14, stime 15.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::vector<std::string> values(std::istream_iterator<std::string>{fields},
                                    std::istream_iterator<std::string>{});
    if (values.size() > 12) {
      total += (std::stod(values[11]) + std::stod(values[12])) /
               static_cast<double>(sysconf(_SC_CLK_TCK));
    }
  }
  return total;
}

double processCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void BM_ShmGrabToNv12(benchmark::State& state) {
  platform::display::detail::X11Capture capture(
      {gServer->display(), 0, kWidth, kHeight, false, false});
  if (!capture.open()) {
    state.SkipWithError("the capture cannot open the display");
    return;
  }
  std::int64_t frames = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    auto surface = capture.grab(nullptr);
    if (!surface) {
      state.SkipWithError("grab failed");
      break;
    }
    benchmark::DoNotOptimize(surface->baseAddressOfPlane(0));
    ++frames;
  }
  if (frames > 0) gShmMs = secondsOf(std::chrono::steady_clock::now() - start) * 1e3 / static_cast<double>(frames);
  capture.close();
}

void BM_XGetImageLibyuv(benchmark::State& state) {
  Display* display = XOpenDisplay(gServer->display().c_str());
  if (display == nullptr) {
    state.SkipWithError("no display");
    return;
  }
  std::vector<std::uint8_t> luma(static_cast<std::size_t>(kWidth * kHeight));
  std::vector<std::uint8_t> chroma(static_cast<std::size_t>(kWidth * kHeight / 2));
  std::int64_t frames = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    XImage* image = XGetImage(display, DefaultRootWindow(display), 0, 0, kWidth, kHeight,
                              AllPlanes, ZPixmap);
    if (image == nullptr) {
      state.SkipWithError("XGetImage failed");
      break;
    }
    libyuv::ARGBToNV12(reinterpret_cast<const std::uint8_t*>(image->data), image->bytes_per_line,
                       luma.data(), kWidth, chroma.data(), kWidth, kWidth, kHeight);
    XDestroyImage(image);
    benchmark::DoNotOptimize(luma.data());
    ++frames;
  }
  if (frames > 0) gPlainMs = secondsOf(std::chrono::steady_clock::now() - start) * 1e3 / static_cast<double>(frames);
  XCloseDisplay(display);
}

void BM_StillScreenCpu(benchmark::State& state) {
  auto x11 = platform::display::X11Display::open(gServer->display());
  if (!x11) {
    state.SkipWithError("no display");
    return;
  }
  for (auto _ : state) {
    auto recorder = SWVideoRecorder::create(x11);
    auto raw = RawVideoQueue::initWithCapacity(3);
    auto encoded = EncodedVideoQueue::initWithCapacity(3);
    recorder->setVideoOutputBuffer(raw);
    recorder->setEncodedVideoBuffer(encoded);
    recorder->setTargetFrameRate(25);
    // The media thread's part: take and drop the packets.
    std::atomic<bool> done{false};
    std::thread sender([&] {
      while (!done.load()) {
        if (auto box = encoded->take(0.01)) freeMediaPacket(box->pointer);
      }
    });
    recorder->beginRecorder();
    // 50 re-sends at one per 20 ms tick end about a second after the first frame.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    done = true;
    sender.join();  // the packet taker is not part of what is measured
    const double cpuStart = processCpuSeconds();
    const double encoderStart = threadCpuSeconds("video_encoder");
    const auto wallStart = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double cpu = processCpuSeconds() - cpuStart;
    const double encoder = threadCpuSeconds("video_encoder") - encoderStart;
    const double wall = secondsOf(std::chrono::steady_clock::now() - wallStart);
    gStillCpuPercent = cpu / wall * 100.0;
    gEncoderIdlePercent = encoder / wall * 100.0;
    state.counters["cpu_percent_of_a_core"] = gStillCpuPercent;
    state.counters["encoder_thread_percent"] = gEncoderIdlePercent;
    recorder->endRecorder();
  }
}

BENCHMARK(BM_ShmGrabToNv12)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_XGetImageLibyuv)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_StillScreenCpu)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
}  // namespace corvane

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::string reason;
  corvane::gServer = corvane::test::Xvfb::start(&reason);
  if (!corvane::gServer) {
    std::fprintf(stderr, "display_bench: no Xvfb: %s\n", reason.c_str());
    return 1;
  }
  if (!corvane::gServer->addMode(corvane::kWidth, corvane::kHeight) ||
      !corvane::gServer->setMode(corvane::kWidth, corvane::kHeight)) {
    std::fprintf(stderr, "display_bench: cannot switch Xvfb to 1920x1080\n");
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (corvane::gShmMs > 0 && corvane::gPlainMs > 0) {
    std::printf("capture per 1080p frame: shared-memory grab + NV12 %.2f ms, XGetImage + libyuv "
                "%.2f ms (%.1fx faster)\n",
                corvane::gShmMs, corvane::gPlainMs, corvane::gPlainMs / corvane::gShmMs);
  }
  if (corvane::gStillCpuPercent >= 0) {
    std::printf("still screen after the re-sends: %.2f%% of a core (target < 1%%), of which the "
                "encoder thread's idle polling %.2f%% and the capture side %.2f%%\n",
                corvane::gStillCpuPercent, corvane::gEncoderIdlePercent,
                corvane::gStillCpuPercent - corvane::gEncoderIdlePercent);
  }
  corvane::gServer.reset();
  return 0;
}
