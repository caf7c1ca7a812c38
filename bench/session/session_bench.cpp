// Mirroring cost and latency at 1920x1080 and 25 frames per second of changing content against
// the test receiver (in this process, on its own thread):
//  - latency from a frame's timestamp to the arrival of its last byte at the receiver, median
//    and 99th percentile (targets 25 ms and 60 ms), on the simulated display;
//  - the sender's CPU per second of mirroring (the process less the receiver's thread), on the
//    simulated display and, under Xvfb servers the benchmark starts, on the X11 capture in two
//    cases: a server whose largest mode (2560x1440) is above its current one (1920x1080), so
//    that every frame is scaled up to the stream's size, and one started at 1920x1080 (largest
//    = current, as on most desktops);
//  - under Xvfb, the same content sent by `ffmpeg -f x11grab` with libx264 at the encoder's
//    parameters to a local TCP sink, CPU per second of the FFmpeg process, measured right
//    after the sender in the same run (targets: the sender at most 1.0 of FFmpeg's in the
//    scaled case and 0.8 in the native one; on a still screen at most 0.1 of it);
//  - for every sender figure, where its CPU went: capture and conversion, pixel transfer, x264
//    (the video layer's stage counters), the rest of the encoder thread, the media-sending
//    thread, the audio encoder, and everything else (sockets, queues, timers), the page faults
//    and the busiest threads by name.
// The machine's load average is printed at the start and the end: the figures are only
// comparable on a machine that is not busy with other work.
// Usage: session_bench [seconds per measurement, default 15]
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_session.h"
#include "platform/audio/audio_hardware.h"
#include "platform/audio/sim/sim_audio_hardware.h"
#include "platform/display/linux/x11_display.h"
#include "platform/display/sim/sim_display.h"
#include "platform/foundation/file_utils.h"
#include "platform/foundation/notification_center.h"
#include "platform/video/stage_cpu.h"
#include "session/mirror_channel.h"
#include "support/test_receiver.h"
#include "support/xvfb.h"

namespace corvane {
namespace {

namespace display = platform::display;
using Clock = std::chrono::steady_clock;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr double kFrameInterval = 0.04;  // 25 frames per second
// Milliseconds from the Unix epoch to the reference date 2001-01-01.
constexpr int64_t kReferenceDateUnixMs = 978307200000LL;

double ticksToSeconds(long long ticks) {
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// utime + stime of /proc/<path>/stat, in seconds.
double cpuOfStat(const std::string& statPath) {
  std::ifstream in(statPath);
  std::string line;
  std::getline(in, line);
  const auto close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(line.substr(close + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;
  long long utime = 0;
  long long stime = 0;
  fields >> utime >> stime;
  return ticksToSeconds(utime + stime);
}

// CPU of this process without the test receiver's thread.
double senderCpuSeconds() {
  double total = cpuOfStat("/proc/self/stat");
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    std::getline(comm, name);
    if (name == "test-receiver") total -= cpuOfStat((entry.path() / "stat").string());
  }
  return total;
}

// CPU of this process's live threads, summed by thread name.
std::map<std::string, double> cpuByThreadName() {
  std::map<std::string, double> byName;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
    std::ifstream comm(entry.path() / "comm");
    std::string threadName;
    std::getline(comm, threadName);
    byName[threadName] += cpuOfStat((entry.path() / "stat").string());
  }
  return byName;
}

double cpuOf(const std::map<std::string, double>& byName, const std::string& name) {
  auto found = byName.find(name);
  return found == byName.end() ? 0.0 : found->second;
}

namespace video = platform::video;

// The sender's CPU counters at one moment.
struct CpuReading {
  double sender = 0;
  double capture = 0;
  double transfer = 0;
  double encode = 0;
  double encoderThread = 0;
  double mediaSender = 0;
  double audioEncoder = 0;
  long pageFaults = 0;  // of the whole process (the receiver's thread included)
  std::map<std::string, double> threads;
  Clock::time_point at;
};

CpuReading readCpu() {
  CpuReading r;
  r.sender = senderCpuSeconds();
  r.capture = video::stageCpuSeconds(video::VideoStage::Capture);
  r.transfer = video::stageCpuSeconds(video::VideoStage::PixelTransfer);
  r.encode = video::stageCpuSeconds(video::VideoStage::Encode);
  r.threads = cpuByThreadName();
  r.encoderThread = cpuOf(r.threads, "video_encoder");
  r.mediaSender = cpuOf(r.threads, "corvane_media_s");
  r.audioEncoder = cpuOf(r.threads, "audio_encoder");
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  r.pageFaults = usage.ru_minflt + usage.ru_majflt;
  r.at = Clock::now();
  return r;
}

// CPU seconds per second of the sender between two readings, in all and by stage.
struct SenderCpu {
  double total = 0;
  double capture = 0;
  double transfer = 0;
  double encode = 0;
  double encoderRest = 0;
  double sending = 0;
  double audio = 0;
  double other = 0;
  double pageFaults = 0;  // per second
  // The busiest threads by name, in seconds per second (the capture runs on "dispatch.serial"
  // threads, which the sockets' queues share).
  std::vector<std::pair<std::string, double>> busiest;
};

SenderCpu senderCpuBetween(const CpuReading& a, const CpuReading& b) {
  const double wall = std::chrono::duration<double>(b.at - a.at).count();
  SenderCpu c;
  if (wall <= 0) return c;
  c.total = (b.sender - a.sender) / wall;
  c.capture = (b.capture - a.capture) / wall;
  c.transfer = (b.transfer - a.transfer) / wall;
  c.encode = (b.encode - a.encode) / wall;
  c.encoderRest = std::max(0.0, (b.encoderThread - a.encoderThread) / wall - c.transfer - c.encode);
  c.sending = (b.mediaSender - a.mediaSender) / wall;
  c.audio = (b.audioEncoder - a.audioEncoder) / wall;
  c.pageFaults = static_cast<double>(b.pageFaults - a.pageFaults) / wall;
  for (const auto& [name, seconds] : b.threads) {
    if (name == "test-receiver") continue;
    c.busiest.emplace_back(name, (seconds - cpuOf(a.threads, name)) / wall);
  }
  std::sort(c.busiest.begin(), c.busiest.end(),
            [](const auto& x, const auto& y) { return x.second > y.second; });
  if (c.busiest.size() > 6) c.busiest.resize(6);
  c.other = c.total - c.capture - c.transfer - c.encode - c.encoderRest - c.sending - c.audio;
  return c;
}

// CPU seconds per second of the sender while `seconds` pass.
SenderCpu measureSender(double seconds) {
  const CpuReading start = readCpu();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  return senderCpuBetween(start, readCpu());
}

void printBreakdown(const SenderCpu& c) {
  auto share = [&c](double part) { return c.total > 0 ? 100.0 * part / c.total : 0.0; };
  std::printf("      capture and conversion  %.3f s/s (%4.1f%%)\n", c.capture, share(c.capture));
  std::printf("      pixel transfer          %.3f s/s (%4.1f%%)\n", c.transfer, share(c.transfer));
  std::printf("      x264                    %.3f s/s (%4.1f%%)\n", c.encode, share(c.encode));
  std::printf("      rest of encoder thread  %.3f s/s (%4.1f%%)\n", c.encoderRest,
              share(c.encoderRest));
  std::printf("      sending (media thread)  %.3f s/s (%4.1f%%)\n", c.sending, share(c.sending));
  std::printf("      audio encoder           %.3f s/s (%4.1f%%)\n", c.audio, share(c.audio));
  std::printf("      other (sockets, queues) %.3f s/s (%4.1f%%)\n", c.other, share(c.other));
  std::printf("      page faults             %.0f per second\n", c.pageFaults);
  std::printf("      busiest threads:");
  for (const auto& [name, perSecond] : c.busiest) std::printf(" %s %.3f", name.c_str(), perSecond);
  std::printf("\n");
}

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(index, values.size() - 1)];
}

// Latency of every frame: from its timestamp to the arrival of its last packet.
std::vector<double> frameLatenciesMs(const test::ReceiverState& state, size_t from) {
  std::map<uint32_t, std::chrono::system_clock::time_point> lastArrival;
  for (size_t i = from; i < state.video.size(); ++i) {
    const auto& r = state.video[i];
    auto& at = lastArrival[r.timestamp];
    at = std::max(at, r.arrivedAt);
  }
  std::vector<double> out;
  for (const auto& [timestamp, at] : lastArrival) {
    const int64_t unixMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
    const auto arrivalLow = static_cast<uint32_t>(unixMs - kReferenceDateUnixMs);
    out.push_back(static_cast<double>(static_cast<int32_t>(arrivalLow - timestamp)));
  }
  return out;
}

using bench::Session;
using bench::startSession;
using bench::stopSession;

// A TCP sink on 127.0.0.1 that reads and drops everything, for FFmpeg's output.
class TcpSink {
 public:
  TcpSink() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(listener_, 1);
    socklen_t len = sizeof addr;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] {
      const int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      char buffer[65536];
      while (read(fd, buffer, sizeof buffer) > 0) bytes_ += sizeof buffer;
      close(fd);
    });
  }
  ~TcpSink() {
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
    if (thread_.joinable()) thread_.join();
  }
  TcpSink(const TcpSink&) = delete;
  TcpSink& operator=(const TcpSink&) = delete;
  int port() const { return port_; }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::atomic<uint64_t> bytes_{0};
  std::thread thread_;
};

// The software encoder's fixed parameters in x264's option syntax.
const char* kX264Params =
    "threads=1:sync-lookahead=0:keyint=2000:ref=1:scenecut=0:bframes=0:b-adapt=0:"
    "no-deblock=1:no-cabac=1:partitions=none:no-8x8dct=1:weightp=0:no-weightb=1:me=dia:"
    "subme=0:no-mixed-refs=1:trellis=0:bitrate=4400:vbv-maxrate=5280:vbv-bufsize=5280:"
    "aq-mode=0:no-mbtree=1:rc-lookahead=0:repeat-headers=1";

// CPU seconds per second of `ffmpeg -f x11grab` encoding `xDisplay` to a TCP sink.
double ffmpegCpuPerSecond(const std::string& xDisplay, double seconds) {
  TcpSink sink;
  const std::string out = "tcp://127.0.0.1:" + std::to_string(sink.port());
  const pid_t pid = fork();
  if (pid == 0) {
    const int devnull = ::open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(devnull, 1);
    dup2(devnull, 2);
    execlp("ffmpeg", "ffmpeg", "-nostdin", "-loglevel", "error", "-f", "x11grab", "-video_size",
           "1920x1080", "-framerate", "25", "-draw_mouse", "1", "-i", (xDisplay + "+0,0").c_str(),
           "-c:v", "libx264", "-pix_fmt", "yuv420p", "-x264-params", kX264Params, "-f", "h264",
           out.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid < 0) return -1;
  std::this_thread::sleep_for(std::chrono::seconds(2));  // start-up
  const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
  const double cpu0 = cpuOfStat(stat);
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double cpu = cpuOfStat(stat) - cpu0;
  const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  return cpu / elapsed;
}

// Draws changing content on the X server at 25 frames per second until stopped.
class Animator {
 public:
  explicit Animator(const std::string& xDisplay)
      : window_(xDisplay, 0, 0, kWidth, kHeight, 0x202020, "animation") {
    thread_ = std::thread([this] {
      uint32_t step = 0;
      while (!stop_) {
        ++step;
        const int x = static_cast<int>((step * 37) % (kWidth - 200));
        window_.fillRect(x, static_cast<int>((step * 23) % (kHeight - 200)), 200, 200,
                         0x10000 * (step % 255) + 0x80);
        window_.fillRect(0, 0, kWidth, 40, (step * 0x010203) & 0xFFFFFF);
        std::this_thread::sleep_for(std::chrono::duration<double>(kFrameInterval));
      }
    });
  }
  ~Animator() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  Animator(const Animator&) = delete;
  Animator& operator=(const Animator&) = delete;

 private:
  test::TestWindow window_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// One Xvfb case: the sender and FFmpeg on changing content, and (when `withStill`) on a still
// screen, one after the other in this run.
struct X11Figures {
  SenderCpu moving;
  double ffmpegMoving = 0;
  SenderCpu still;
  double ffmpegStill = 0;
};

bool measureX11(test::Xvfb& server, const std::string& root, double seconds, bool withStill,
                X11Figures* out) {
  auto x11 = display::X11Display::open(server.display());
  if (!x11) {
    std::fprintf(stderr, "the X display did not open\n");
    return false;
  }
  {
    Animator animator(server.display());
    Session xs;
    if (!startSession(xs, x11, root)) {
      std::fprintf(stderr, "the X11 session did not start\n");
      return false;
    }
    out->moving = measureSender(seconds);
    stopSession(xs);
    out->ffmpegMoving = ffmpegCpuPerSecond(server.display(), seconds);
  }
  if (!withStill) return true;
  std::this_thread::sleep_for(std::chrono::seconds(1));
  Session still;
  if (!startSession(still, x11, root)) {
    std::fprintf(stderr, "the X11 still session did not start\n");
    return false;
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));  // the re-sends of a still screen end
  out->still = measureSender(seconds);
  stopSession(still);
  out->ffmpegStill = ffmpegCpuPerSecond(server.display(), seconds);
  return true;
}

double ratio(double sender, double ffmpeg) { return ffmpeg > 0 ? sender / ffmpeg : -1; }

int run(double seconds) {
  const std::string root = std::filesystem::temp_directory_path() / "corvane-session-bench";
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root + "/home");
  setenv("HOME", (root + "/home").c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  const std::string loadBefore = loadAverage();

  // Simulated display: latency and CPU with changing content, then on a still screen.
  auto sim = display::SimDisplay::create({{kWidth, kHeight, 60}});
  sim->setAnimating(kFrameInterval);
  Session s;
  if (!startSession(s, sim, root)) {
    std::fprintf(stderr, "the simulated session did not start\n");
    return 1;
  }
  const size_t from = s.receiver->snapshot().video.size();
  const SenderCpu simCpu = measureSender(seconds);
  const auto latencies = frameLatenciesMs(s.receiver->snapshot(), from);
  sim->setAnimating(0);
  std::this_thread::sleep_for(std::chrono::seconds(2));  // the re-sends of a still screen end
  const SenderCpu simStillCpu = measureSender(seconds);
  stopSession(s);

  // Xvfb: the current mode below the largest one, then a server started at the current size.
  std::string whyNot;
  X11Figures scaled;
  X11Figures native;
  bool x11 = false;
  if (auto server = test::Xvfb::start(&whyNot)) {
    if (!server->addMode(kWidth, kHeight) || !server->setMode(kWidth, kHeight)) {
      std::fprintf(stderr, "Xvfb cannot switch to %dx%d\n", kWidth, kHeight);
      return 1;
    }
    if (!measureX11(*server, root, seconds, true, &scaled)) return 1;
    server.reset();
    auto nativeServer = test::Xvfb::start(&whyNot, kWidth, kHeight);
    if (!nativeServer) {
      std::fprintf(stderr, "the second Xvfb did not start: %s\n", whyNot.c_str());
      return 1;
    }
    if (!measureX11(*nativeServer, root, seconds, false, &native)) return 1;
    x11 = true;
  }
  const std::string loadAfter = loadAverage();

  std::printf("load average (1, 5, 15 min) at the start %s, at the end %s; %ld cores\n",
              loadBefore.c_str(), loadAfter.c_str(), sysconf(_SC_NPROCESSORS_ONLN));
  std::printf("simulated display 1920x1080, 25 fps of changing content, %.0f s:\n", seconds);
  std::printf("  frames measured           %zu\n", latencies.size());
  std::printf("  latency median            %.1f ms (target 25)\n", percentile(latencies, 0.5));
  std::printf("  latency 99th percentile   %.1f ms (target 60)\n", percentile(latencies, 0.99));
  std::printf("  sender CPU, changing      %.3f s/s (the display's own drawing included)\n",
              simCpu.total);
  printBreakdown(simCpu);
  std::printf("  sender CPU, still screen  %.4f s/s\n", simStillCpu.total);
  if (!x11) {
    std::printf("X11 comparison skipped: %s\n", whyNot.c_str());
    return 0;
  }
  std::printf("Xvfb, largest mode 2560x1440, current 1920x1080 (frames scaled), %.0f s each:\n",
              seconds);
  std::printf(
      "  changing content: sender %.3f s/s, ffmpeg x11grab %.3f s/s, ratio %.2f (target <= 1.0)\n",
      scaled.moving.total, scaled.ffmpegMoving, ratio(scaled.moving.total, scaled.ffmpegMoving));
  printBreakdown(scaled.moving);
  std::printf(
      "  still screen:     sender %.4f s/s, ffmpeg x11grab %.3f s/s, ratio %.3f (target <= "
      "0.1)\n",
      scaled.still.total, scaled.ffmpegStill, ratio(scaled.still.total, scaled.ffmpegStill));
  std::printf("Xvfb started at 1920x1080 (largest = current, native), %.0f s:\n", seconds);
  std::printf(
      "  changing content: sender %.3f s/s, ffmpeg x11grab %.3f s/s, ratio %.2f (target <= 0.8)\n",
      native.moving.total, native.ffmpegMoving, ratio(native.moving.total, native.ffmpegMoving));
  printBreakdown(native.moving);
  return 0;
}

}  // namespace
}  // namespace corvane

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 15.0;
  return corvane::run(seconds > 0 ? seconds : 15.0);
}
