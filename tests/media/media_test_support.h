// Helpers of the media tests: a temporary folder, running FFmpeg tools as child processes,
// generated pictures and sound, and a recording AVCallback.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "media/av_callback.h"
#include "media/media_packet.h"
#include "platform/video/pixel_buffer.h"

namespace corvane::test {

// A fresh folder under the temporary directory, removed with everything in it at the end.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A one-shot event that another thread fires and a test waits for with a deadline.
class Signal {
 public:
  void fire();
  bool waitFor(double seconds);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool fired_ = false;
};

// Tells whether the thread that called `watch` has exited: a thread-local destructor marks it
// at the thread's exit, after a pause of 200 ms (like the thread-local buffers a library
// frees there, only slower), so that an owner that does not wait for the exit is caught.
class ThreadExitWatch {
 public:
  void watch();  // on the watched thread
  bool exited() const { return exited_->load(); }

 private:
  std::shared_ptr<std::atomic<bool>> exited_ = std::make_shared<std::atomic<bool>>(false);
};

// What the kernel counts for the one thread of this process named `name` (found is false when
// there is none, or more than one).
struct ThreadStats {
  bool found = false;
  double cpuSeconds = 0.0;     // user and system time
  long voluntarySwitches = 0;  // times it gave up the processor to wait
};
ThreadStats threadStats(const std::string& name);

struct ProcessResult {
  int exitCode = -1;
  std::string output;  // standard output and standard error together
};

// Runs a program with arguments (no shell) and collects its output.
ProcessResult runProcess(const std::vector<std::string>& argv);
// True when the program is found on PATH.
bool haveProgram(const std::string& name);

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

// A '420v' frame of the given size with a pattern that moves with `phase`.
platform::video::PixelBufferRef makeNv12Frame(int width, int height, int phase);

// Interleaved float32 stereo sine, `frames` sample frames from sample index `first`.
std::vector<float> sineFrames(std::size_t first, std::size_t frames, double frequency = 440.0);

// Keeps a copy of every packet it receives (and frees the packet), and lets a test wait for
// a number of packets with a deadline.
class RecordingCallback : public AVCallback {
 public:
  struct Packet {
    std::uint32_t kind = 0;
    std::uint32_t wireLength = 0;
    std::vector<std::uint8_t> block;  // the whole block, host header included
    std::uint32_t receivedAt = 0;     // media clock (low 32 bits) when the packet arrived
  };
  using Predicate = std::function<bool(const std::vector<Packet>&)>;

  void onOutputMediaData(std::uint8_t* packet) override;
  bool waitForCount(std::size_t count, double seconds);
  bool waitUntil(const Predicate& done, double seconds);
  std::vector<Packet> packets() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Packet> packets_;
};

std::uint32_t readBig32(const std::uint8_t* at);
std::uint32_t readHost32(const std::uint8_t* at);

// Frees every packet and watches the thread it is called on (the encoder's worker), so that a
// test can tell whether that thread had exited when a stop returned.
class WatchingCallback : public AVCallback {
 public:
  void onOutputMediaData(std::uint8_t* packet) override {
    freeMediaPacket(packet);
    watch.watch();
    called.fire();
  }
  ThreadExitWatch watch;
  Signal called;
};

}  // namespace corvane::test
