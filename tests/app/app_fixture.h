// The world of the screens' tests: a private home (user defaults, support folder) and system
// root, the simulated audio hardware and display as the session controllers' environment, a
// local address of its own for the screens it makes, an alert recorder, and a window controller
// stand-in that records the receivers the PIN screen hands over.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "SoundFlower/audio_device_manager.h"
#include "SoundFlower/soundflower_manager.h"
#include "app/app_support.h"
#include "app/pincode_view_controller_delegate.h"
#include "lookup/receiver_object.h"
#include "media/sw_app_config.h"
#include "platform/audio/loopback_driver.h"
#include "platform/audio/sim/sim_audio_hardware.h"
#include "platform/display/sim/sim_display.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/file_utils.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/process_info.h"
#include "platform/foundation/user_defaults.h"
#include "platform/ui/ui_test_support.h"

namespace corvane::platform::ui {
// Readable alerts in test failures.
inline void PrintTo(const AlertRecord& r, std::ostream* os) {
  *os << "{\"" << r.messageText << "\", \"" << r.informativeText << "\", style "
      << static_cast<int>(r.style) << ", buttons";
  for (const auto& b : r.buttons) *os << " \"" << b << "\"";
  *os << "}";
}
}  // namespace corvane::platform::ui

namespace corvane::apptest {

namespace uitest = platform::ui::testing;
using platform::ui::AlertRecord;

// Receivers handed over by the PIN screen (any thread).
class RecordingWindowController : public PincodeViewControllerDelegate {
 public:
  void onFindReceiverSuccess(const ReceiverObject& receiver) override {
    std::lock_guard lock(mutex_);
    found_.push_back(receiver);
  }
  std::vector<ReceiverObject> found() const {
    std::lock_guard lock(mutex_);
    return found_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<ReceiverObject> found_;
};

class AppFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    uitest::app();
    std::string pattern = "/tmp/corvane-app-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    const char* old = getenv("HOME");  // NOLINT(concurrency-mt-unsafe): set before threads use it
    oldHome_ = old != nullptr ? old : "";
    home_ = dir_ + "/home";
    root_ = dir_ + "/root";
    platform::files::createDirectory(home_, true);
    platform::files::createDirectory(root_ + "/Library/Audio/Plug-Ins/HAL", true);
    setenv("HOME", home_.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    platform::UserDefaults::resetStandardUserDefaults();
    platform::ProcessInfo::setSystemRoot(root_);

    display_ = platform::display::SimDisplay::create({{1280, 720, 60}});
    display_->setAnimating(0.02);
    hardware_ = platform::audio::SimAudioHardware::create(root_);
    platform::audio::setSystemHardware(hardware_);
    devices_ = AudioDeviceManager::create(hardware_, platform::NotificationCenter::create());
    SoundflowerManager::Environment soundEnv;
    soundEnv.deviceManager = devices_;
    soundEnv.bundle = platform::Bundle::main();
    soundEnv.temporaryDirectory = dir_ + "/tmp";
    platform::files::createDirectory(soundEnv.temporaryDirectory, true);
    soundEnv.installedBundlePath = root_ + platform::audio::kLoopbackDriverInstallPath;
    driver_ = SoundflowerManager::create(soundEnv);
    config_ = SWAppConfig::create();
    mirrorEnvironment_.display = display_;
    mirrorEnvironment_.soundflowerManager = driver_;
    mirrorEnvironment_.audioDeviceManager = devices_;
    mirrorEnvironment_.config = config_;
    setLocalAddress("192.168.7.20");
    alerts_ = std::make_unique<uitest::AlertRecorder>();
  }

  void TearDown() override {
    alerts_.reset();
    mirrorEnvironment_ = {};
    platform::audio::setSystemHardware(nullptr);
    setenv("HOME", oldHome_.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    platform::UserDefaults::resetStandardUserDefaults();
    platform::files::remove(dir_);
  }

  // The machine's own address as the screens made from `localAddressSource` see it, from the
  // next time they ask on.
  void setLocalAddress(std::optional<std::string> address) {
    std::lock_guard lock(localAddress_->mutex);
    localAddress_->value = std::move(address);
  }
  detail::LocalAddressSource localAddressSource() const {
    return [address = localAddress_] {
      std::lock_guard lock(address->mutex);
      return address->value;
    };
  }

  // Unpacks nothing: the stand-in bundle is put where the audio hardware looks for it, so the
  // screens find the driver installed.
  void installDriver() {
    const std::string bundle = root_ + platform::audio::kLoopbackDriverInstallPath;
    platform::files::createDirectory(bundle + "/Contents/MacOS", true);
    copyFile(std::string(CORVANE_DRIVER_SOURCE_DIR) + "/info.plist", bundle + "/Contents/Info.plist");
    copyFile(std::string(CORVANE_DRIVER_SOURCE_DIR) + "/placeholder",
             bundle + "/Contents/MacOS/BlackHole");
    ASSERT_TRUE(driver_->isAudioPluginInstalled());
  }
  static void copyFile(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    out << in.rdbuf();
  }

  // The alerts recorded from index `from` on, as (message, informative) pairs of their texts.
  std::vector<AlertRecord> alertsSince(std::size_t from) const {
    auto all = alerts_->records();
    if (from >= all.size()) return {};
    return {all.begin() + static_cast<std::ptrdiff_t>(from), all.end()};
  }
  std::size_t alertCount() const { return alerts_->records().size(); }
  static AlertRecord lookupFailure(const std::string& title, const std::string& message) {
    return {detail::localized(title), detail::localized(message), platform::ui::AlertStyle::Warning,
            {detail::localized("button.close")}};
  }

  std::string dir_, home_, root_, oldHome_;
  std::shared_ptr<platform::display::SimDisplay> display_;
  std::shared_ptr<platform::audio::SimAudioHardware> hardware_;
  std::shared_ptr<AudioDeviceManager> devices_;
  std::shared_ptr<SoundflowerManager> driver_;
  std::shared_ptr<SWAppConfig> config_;
  // What the screens a test makes are given: the simulated display and audio hardware.
  MirrorChannel::Environment mirrorEnvironment_;
  std::unique_ptr<uitest::AlertRecorder> alerts_;
  struct LocalAddress {
    std::mutex mutex;
    std::optional<std::string> value;
  };
  std::shared_ptr<LocalAddress> localAddress_ = std::make_shared<LocalAddress>();
};

}  // namespace corvane::apptest
