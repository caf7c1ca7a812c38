// A mirroring session for the session benchmarks: a MirrorChannel on a given display, with
// simulated audio hardware under `root`, against a test receiver on a free loopback address
// in this process (on its own thread, named "test-receiver").
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>

#include "platform/audio/audio_hardware.h"
#include "platform/audio/sim/sim_audio_hardware.h"
#include "platform/display/display.h"
#include "platform/display/sim/sim_display.h"
#include "platform/foundation/notification_center.h"
#include "session/mirror_channel.h"
#include "support/test_receiver.h"

namespace corvane::bench {

struct Session {
  std::unique_ptr<test::TestReceiver> receiver;
  std::shared_ptr<MirrorChannel> channel;
};

// Connects, asks for mirroring and waits until more than ten video packets have arrived.
inline bool startSession(Session& s, std::shared_ptr<platform::display::DisplayService> screen,
                         const std::string& root, test::TestReceiverOptions options = {}) {
  auto hardware = platform::audio::SimAudioHardware::create(root);
  platform::audio::setSystemHardware(hardware);
  auto devices = AudioDeviceManager::create(hardware, platform::NotificationCenter::create());
  SoundflowerManager::Environment sound;
  sound.deviceManager = devices;
  sound.temporaryDirectory = root + "/tmp";
  sound.installedBundlePath = root + "/Library/Audio/Plug-Ins/HAL/BlackHole.driver";
  MirrorChannel::Environment env;
  env.display = std::move(screen);
  env.soundflowerManager = SoundflowerManager::create(sound);
  env.audioDeviceManager = devices;
  env.config = SWAppConfig::create();

  std::string error;
  s.receiver = test::TestReceiver::startOnFreeLoopbackAddress(std::move(options), &error);
  if (!s.receiver) {
    std::fprintf(stderr, "receiver: %s\n", error.c_str());
    return false;
  }
  s.channel = MirrorChannel::create(env);
  s.channel->connect(s.receiver->address(), "123456");
  if (!s.receiver->waitFor([](const test::ReceiverState& st) { return st.pinCode.has_value(); },
                           10.0)) {
    return false;
  }
  s.channel->requestMirrorOn();
  return s.receiver->waitFor(
      [](const test::ReceiverState& st) { return st.videoPackets > 10; }, 20.0);
}

inline void stopSession(Session& s) {
  if (s.channel) s.channel->disconnect();
  s.channel.reset();
  s.receiver.reset();
  platform::audio::setSystemHardware(nullptr);
}

// Detailed changing content, as a busy real screen gives: every 40 ms a few hundred small
// blocks of random colour are drawn on the simulated display, so that the encoder runs near
// its bit rate instead of at the few kilobytes a second of the display's own animation.
class BusyContent {
 public:
  explicit BusyContent(std::shared_ptr<platform::display::SimDisplay> display)
      : display_(std::move(display)) {
    thread_ = std::thread([this] {
      std::mt19937 rng(1);
      std::uniform_int_distribution<int> x(0, 1920 - 16);
      std::uniform_int_distribution<int> y(0, 1080 - 16);
      std::uniform_int_distribution<int> colour(0, 255);
      auto next = std::chrono::steady_clock::now();
      while (!stop_) {
        for (int i = 0; i < 400; ++i) {
          display_->fillRect(x(rng), y(rng), 16, 16, static_cast<std::uint8_t>(colour(rng)),
                             static_cast<std::uint8_t>(colour(rng)),
                             static_cast<std::uint8_t>(colour(rng)));
        }
        next += std::chrono::milliseconds(40);
        std::this_thread::sleep_until(next);
      }
    });
  }
  ~BusyContent() {
    stop_ = true;
    thread_.join();
  }
  BusyContent(const BusyContent&) = delete;
  BusyContent& operator=(const BusyContent&) = delete;

 private:
  std::shared_ptr<platform::display::SimDisplay> display_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace corvane::bench
