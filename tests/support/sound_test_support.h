// Helpers of the system-sound tests: a fresh folder, a loop-back driver bundle written into a
// simulated system root, a recorder of notifications that tests wait on with a deadline, and
// generated tones.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/file_utils.h"
#include "platform/foundation/notification_center.h"

namespace corvane::test {

class SoundTempFolder {
 public:
  SoundTempFolder() {
    std::string pattern = "/tmp/corvane-sound-XXXXXX";
    char* made = mkdtemp(pattern.data());
    EXPECT_NE(made, nullptr);
    path_ = pattern;
  }
  ~SoundTempFolder() { platform::files::remove(path_); }
  SoundTempFolder(const SoundTempFolder&) = delete;
  SoundTempFolder& operator=(const SoundTempFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void writeText(const std::string& path, const std::string& text) {
  auto slash = path.rfind('/');
  platform::files::createDirectory(path.substr(0, slash), true);
  std::ofstream out(path, std::ios::binary);
  out << text;
}

inline std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct TestLoopbackDevice {
  std::string name;
  int channels = 2;
  double sampleRate = 44100.0;
};

// Writes a driver bundle (Info.plist naming `devices`, a placeholder binary) at `bundlePath`.
inline void writeLoopbackBundle(const std::string& bundlePath,
                                const std::vector<TestLoopbackDevice>& devices = {
                                    {"BlackHole 2ch", 2, 44100.0}}) {
  std::string plist =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
      "<key>CFBundleExecutable</key><string>BlackHole</string>\n"
      "<key>CorvaneLoopbackDevices</key><array>\n";
  for (const auto& d : devices) {
    plist += "<dict><key>Name</key><string>" + d.name + "</string><key>Channels</key><integer>" +
             std::to_string(d.channels) + "</integer><key>SampleRate</key><real>" +
             std::to_string(d.sampleRate) + "</real></dict>\n";
  }
  plist += "</array>\n</dict>\n</plist>\n";
  // Binary first, then the Info.plist by rename, so that the hardware model (which looks at
  // the folder on its own thread) never reads a half-written bundle.
  writeText(bundlePath + "/Contents/MacOS/BlackHole", "placeholder\n");
  writeText(bundlePath + "/Contents/Info.plist.new", plist);
  ASSERT_EQ(std::rename((bundlePath + "/Contents/Info.plist.new").c_str(),
                        (bundlePath + "/Contents/Info.plist").c_str()),
            0);
}

inline std::string installedBundlePath(const std::string& root) {
  return root + "/Library/Audio/Plug-Ins/HAL/BlackHole.driver";
}

// Counts the posts of some notification names on a centre, with the posting threads.
class NotificationLog {
 public:
  NotificationLog(std::shared_ptr<platform::NotificationCenter> center,
                  const std::vector<std::string>& names)
      : center_(std::move(center)) {
    for (const auto& name : names) {
      tokens_.push_back(center_->addObserver(name, [this](const platform::Notification& n) {
        std::lock_guard<std::mutex> lock(mutex_);
        posts_.push_back({n.name, std::this_thread::get_id()});
        cv_.notify_all();
      }));
    }
  }
  ~NotificationLog() {
    for (auto t : tokens_) center_->removeObserver(t);
  }
  NotificationLog(const NotificationLog&) = delete;
  NotificationLog& operator=(const NotificationLog&) = delete;

  struct Post {
    std::string name;
    std::thread::id thread;
  };
  std::size_t count(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (const auto& p : posts_) n += p.name == name ? 1u : 0u;
    return n;
  }
  std::vector<Post> posts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return posts_;
  }
  // Waits until `name` was posted at least `n` times.
  bool waitFor(const std::string& name, std::size_t n, double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
      std::size_t c = 0;
      for (const auto& p : posts_) c += p.name == name ? 1u : 0u;
      return c >= n;
    });
  }

 private:
  std::shared_ptr<platform::NotificationCenter> center_;
  std::vector<platform::NotificationCenter::Token> tokens_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Post> posts_;
};

// Interleaved stereo float sine at `rate`, `frames` frames from frame `first`.
inline std::vector<float> toneFrames(std::size_t first, std::size_t frames, double frequency,
                                     double rate = 44100.0, float amplitude = 0.5f) {
  std::vector<float> pcm(frames * 2);
  for (std::size_t i = 0; i < frames; ++i) {
    const auto v = static_cast<float>(
        amplitude * std::sin(2.0 * M_PI * frequency * static_cast<double>(first + i) / rate));
    pcm[2 * i] = v;
    pcm[2 * i + 1] = v;
  }
  return pcm;
}

// The bytes of interleaved float samples.
inline std::vector<std::uint8_t> bytesOf(const std::vector<float>& samples) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(samples.data());
  return std::vector<std::uint8_t>(p, p + samples.size() * sizeof(float));
}

// The dominant frequency of mono float samples at `rate`, from zero crossings.
inline double zeroCrossingFrequency(const std::vector<float>& mono, double rate) {
  std::size_t crossings = 0;
  for (std::size_t i = 1; i < mono.size(); ++i) {
    if ((mono[i - 1] < 0.0f) != (mono[i] < 0.0f)) ++crossings;
  }
  if (mono.empty()) return 0.0;
  return static_cast<double>(crossings) / 2.0 / (static_cast<double>(mono.size()) / rate);
}

}  // namespace corvane::test
