#include "media_test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "media/media_packet.h"
#include "media/sw_time_utils.h"
#include "platform/foundation/file_utils.h"

extern char** environ;

namespace corvane::test {

TempFolder::TempFolder() {
  std::string pattern = platform::files::temporaryDirectory() + "corvane-media-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

TempFolder::~TempFolder() { platform::files::remove(path_); }

void Signal::fire() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fired_ = true;
  }
  cv_.notify_all();
}

bool Signal::waitFor(double seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return fired_; });
}

namespace {

struct ThreadExitMarker {
  std::shared_ptr<std::atomic<bool>> exited;
  ~ThreadExitMarker() {
    if (!exited) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    exited->store(true);
  }
};

thread_local ThreadExitMarker t_exitMarker;

}  // namespace

void ThreadExitWatch::watch() { t_exitMarker.exited = exited_; }

ThreadStats threadStats(const std::string& name) {
  ThreadStats stats;
  int matches = 0;
  const auto tasks = platform::files::contentsOfDirectory("/proc/self/task");
  if (!tasks) return stats;
  for (const std::string& task : *tasks) {
    const std::string folder = "/proc/self/task/" + task;
    std::ifstream comm(folder + "/comm");
    std::string threadName;
    std::getline(comm, threadName);
    if (threadName != name) continue;
    ++matches;
    // stat: "tid (comm) state ..." with utime and stime the 14th and 15th fields.
    std::ifstream statFile(folder + "/stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 2));
    std::vector<std::string> field;
    for (std::string f; fields >> f;) field.push_back(f);
    if (field.size() < 13) continue;
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    stats.cpuSeconds = (std::stod(field[11]) + std::stod(field[12])) / ticks;
    std::ifstream status(folder + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
        stats.voluntarySwitches = std::stol(line.substr(line.find(':') + 1));
      }
    }
    stats.found = true;
  }
  if (matches != 1) stats.found = false;
  return stats;
}

ProcessResult runProcess(const std::vector<std::string>& argv) {
  ProcessResult result;
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawned != 0) {
    close(pipeFds[0]);
    return result;
  }
  char chunk[4096];
  ssize_t got;
  while ((got = read(pipeFds[0], chunk, sizeof chunk)) > 0)
    result.output.append(chunk, static_cast<std::size_t>(got));
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

bool haveProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string paths = path != nullptr ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= paths.size()) {
    std::size_t end = paths.find(':', start);
    if (end == std::string::npos) end = paths.size();
    const std::string candidate = paths.substr(start, end - start) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

platform::video::PixelBufferRef makeNv12Frame(int width, int height, int phase) {
  using namespace platform::video;
  PixelBufferRef frame;
  if (PixelBuffer::create(width, height, kPixelFormat420YpCbCr8BiPlanarVideoRange, &frame) !=
      kReturnSuccess) {
    return nullptr;
  }
  frame->lockBaseAddress(0);
  for (int y = 0; y < frame->heightOfPlane(0); ++y) {
    std::uint8_t* row =
        frame->baseAddressOfPlane(0) + static_cast<std::size_t>(y) * frame->bytesPerRowOfPlane(0);
    for (int x = 0; x < width; ++x) {
      row[x] = static_cast<std::uint8_t>(16 + ((x + y + 4 * phase) & 0xff) * 219 / 255);
    }
  }
  for (int y = 0; y < frame->heightOfPlane(1); ++y) {
    std::uint8_t* row =
        frame->baseAddressOfPlane(1) + static_cast<std::size_t>(y) * frame->bytesPerRowOfPlane(1);
    for (int x = 0; x < frame->widthOfPlane(1); ++x) {
      row[2 * x] = static_cast<std::uint8_t>(64 + ((x + phase) & 0x7f));
      row[2 * x + 1] = static_cast<std::uint8_t>(64 + ((y + phase) & 0x7f));
    }
  }
  frame->unlockBaseAddress(0);
  return frame;
}

std::vector<float> sineFrames(std::size_t first, std::size_t frames, double frequency) {
  std::vector<float> pcm(frames * 2);
  for (std::size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(first + i) / 44100.0;
    const float value = static_cast<float>(0.5 * std::sin(2.0 * M_PI * frequency * t));
    pcm[2 * i] = value;
    pcm[2 * i + 1] = value;
  }
  return pcm;
}

void RecordingCallback::onOutputMediaData(std::uint8_t* packet) {
  Packet copy;
  copy.kind = mediaPacketKind(packet);
  copy.wireLength = mediaPacketWireLength(packet);
  copy.block.assign(packet, packet + kMediaPacketHostHeaderSize + copy.wireLength);
  copy.receivedAt = static_cast<std::uint32_t>(SWTimeUtils::singleton()->getCurrentTimeStamp());
  freeMediaPacket(packet);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    packets_.push_back(std::move(copy));
  }
  changed_.notify_all();
}

bool RecordingCallback::waitForCount(std::size_t count, double seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                           [&] { return packets_.size() >= count; });
}

bool RecordingCallback::waitUntil(const Predicate& done, double seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                           [&] { return done(packets_); });
}

std::vector<RecordingCallback::Packet> RecordingCallback::packets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return packets_;
}

std::uint32_t readBig32(const std::uint8_t* at) {
  return (std::uint32_t{at[0]} << 24) | (std::uint32_t{at[1]} << 16) | (std::uint32_t{at[2]} << 8) |
         std::uint32_t{at[3]};
}

std::uint32_t readHost32(const std::uint8_t* at) {
  std::uint32_t value;
  std::memcpy(&value, at, 4);
  return value;
}

}  // namespace corvane::test
