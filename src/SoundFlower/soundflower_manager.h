// SoundflowerManager: the virtual audio driver. It unpacks the driver bundle from the
// application's "BlackHole" "zip" resource into the temporary folder, installs it into (and
// removes it from) the system's audio plug-in folder with administrator rights, makes its
// device "BlackHole 2ch" the default input and output, and guards that setting while
// mirroring: a default-device change is undone at once unless the defaults changed twice or
// more within the last second.
//
// The install and uninstall commands run as "/bin/sh" "-c" "cp -R '<unpacked>' '<installed>'"
// and "rm -rf '<installed>'": each path is quoted for the shell, so blanks and shell
// characters in a folder name stay part of the name.
//
// Threads: the driver operations run on the caller's thread (install and uninstall on a
// thread whose run loop runs, if the end of the command is to be observed). The guard and
// the data-source observer run on the audio hardware's notification thread; `protectSetting`
// may be set from any thread (not from inside a guard step). Ownership: the shared manager lives
// for the process; an instance made with `create` (tests) stops observing when it goes away.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "SoundFlower/audio_device_manager.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/notification_center.h"
#include "platform/security/authorization.h"

namespace corvane {

class SoundflowerManager : public std::enable_shared_from_this<SoundflowerManager> {
 public:
  static constexpr const char* kResourceName = "BlackHole";
  static constexpr const char* kResourceType = "zip";
  static constexpr const char* kBundleName = "BlackHole.driver";
  static constexpr const char* kDeviceName = "BlackHole 2ch";
  static constexpr const char* kDeviceNameMarker = "BlackHole";

  struct Environment {
    std::shared_ptr<AudioDeviceManager> deviceManager;  // its centre carries the notifications
    std::shared_ptr<platform::Bundle> bundle;           // holds the driver resource
    std::string temporaryDirectory;                     // where the bundle is unpacked
    std::string installedBundlePath;                    // the installed bundle
    // The commands' authorization; nullptr: the process's shared one.
    std::shared_ptr<platform::security::Authorization> authorization{};
  };

  // The manager over the shared device manager, the main bundle, the user's temporary
  // folder and "/Library/Audio/Plug-Ins/HAL/BlackHole.driver" under the system root.
  static std::shared_ptr<SoundflowerManager> sharedInstance();
  static std::shared_ptr<SoundflowerManager> create(Environment environment);
  ~SoundflowerManager();
  SoundflowerManager(const SoundflowerManager&) = delete;
  SoundflowerManager& operator=(const SoundflowerManager&) = delete;

  bool protectSetting() const { return protectSetting_.load(); }
  // Turning the guard off waits for a guard step under way: once it returns, no step that
  // passed its check before can still change a default.
  void setProtectSetting(bool protect);
  std::optional<std::string> driverPath() const;
  const std::shared_ptr<AudioDeviceManager>& audioDeviceManager() const {
    return environment_.deviceManager;
  }
  const std::string& installedBundlePath() const { return environment_.installedBundlePath; }

  // Unpacks the bundle anew (whatever stood at its path is removed first); `driverPath` is
  // the unpacked bundle when this unpacking made it, else nil.
  bool extractAudioPlugin();
  bool isAudioPluginInstalled();
  // YES when the privileged launch of the copy reported 0: consent was given and the copy
  // started (it has not finished yet). Blocks while the consent prompt is up; a dismissed or
  // refused prompt answers NO with nothing run.
  bool installAudioPlugin();
  bool uninstallAudioPlugin();
  bool setAudioPluginAsDefaultAudio();
  bool isAudioPluginDefaultAudio();
  void resetDefaultAudioDevice();

  // Notification observers (the audio hardware's notification thread).
  void defaultAudioDeviceDidChange(const platform::Notification& notification);
  void buildInAudioDeviceDataSourceDidChange(const platform::Notification& notification);

  // The command texts, with the paths quoted for the shell.
  std::string installCommand() const;
  std::string uninstallCommand() const;
  // `path` in single quotes, embedded single quotes as '\''.
  static std::string shellQuoted(const std::string& path);

 private:
  explicit SoundflowerManager(Environment environment);
  void startObserving();
  // Unpacks the resource into a fresh folder and moves the bundle to `unpacked`; false (and
  // nothing at `unpacked`) when the unpacking failed.
  bool unpackDriverBundle(const std::string& unpacked);
  bool runPrivilegedShellCommand(const std::string& command);

  const Environment environment_;
  std::atomic<bool> protectSetting_{false};
  // Held for a whole guard step and while the guard is switched, so that a step is either
  // over before the guard goes off or sees it off.
  std::mutex guardMutex_;
  mutable std::mutex mutex_;  // guards driverPath_ and recentSettings
  std::optional<std::string> driverPath_;
  std::deque<double> recentSettings;  // steady-clock seconds of recent guarded changes
  std::vector<platform::NotificationCenter::Token> observers_;
};

}  // namespace corvane
