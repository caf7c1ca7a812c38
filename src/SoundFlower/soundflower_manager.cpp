#include "SoundFlower/soundflower_manager.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>

#include "installer/ss_zip_archive.h"
#include "installer/st_privileged_task.h"
#include "platform/audio/loopback_driver.h"
#include "platform/foundation/file_utils.h"
#include "platform/foundation/process_info.h"
#include "platform/log/log.h"

namespace corvane {

namespace {

double steadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool contains(const std::shared_ptr<AudioDevice>& device, const char* marker) {
  return device && device->deviceName().find(marker) != std::string::npos;
}

}  // namespace

std::shared_ptr<SoundflowerManager> SoundflowerManager::sharedInstance() {
  static const std::shared_ptr<SoundflowerManager> instance =
      create({AudioDeviceManager::sharedInstance(), platform::Bundle::main(),
              platform::files::temporaryDirectory(),
              platform::ProcessInfo::systemPath(platform::audio::kLoopbackDriverInstallPath)});
  return instance;
}

std::shared_ptr<SoundflowerManager> SoundflowerManager::create(Environment environment) {
  std::shared_ptr<SoundflowerManager> manager(new SoundflowerManager(std::move(environment)));
  manager->extractAudioPlugin();
  manager->startObserving();
  return manager;
}

SoundflowerManager::SoundflowerManager(Environment environment)
    : environment_(std::move(environment)) {}

SoundflowerManager::~SoundflowerManager() {
  auto center = environment_.deviceManager->notificationCenter();
  for (auto token : observers_) center->removeObserver(token);
}

void SoundflowerManager::startObserving() {
  auto center = environment_.deviceManager->notificationCenter();
  std::weak_ptr<SoundflowerManager> weak = weak_from_this();
  observers_.push_back(center->addObserver(kDefalutAudioDeviceDidChangeNotification,
                                           [weak](const platform::Notification& n) {
                                             if (auto self = weak.lock())
                                               self->defaultAudioDeviceDidChange(n);
                                           }));
  observers_.push_back(center->addObserver(kBuildInAudioDeviceDataSourceDidChangeNotification,
                                           [weak](const platform::Notification& n) {
                                             if (auto self = weak.lock())
                                               self->buildInAudioDeviceDataSourceDidChange(n);
                                           }));
}

std::optional<std::string> SoundflowerManager::driverPath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return driverPath_;
}

bool SoundflowerManager::extractAudioPlugin() {
  const std::string unpacked =
      platform::files::appendingPathComponent(environment_.temporaryDirectory, kBundleName);
  const bool made = unpackDriverBundle(unpacked);
  std::lock_guard<std::mutex> lock(mutex_);
  if (made) {
    driverPath_ = unpacked;
  } else {
    // What stands there now was not made by this unpacking: it is never installed.
    driverPath_.reset();
  }
  return driverPath_.has_value();
}

bool SoundflowerManager::unpackDriverBundle(const std::string& unpacked) {
  // Whatever stood at the bundle's path (left over, or put there by someone else) goes first.
  if (environment_.temporaryDirectory.empty()) return false;  // no private folder to be had
  platform::files::remove(unpacked);
  if (!environment_.bundle) return false;
  const auto archive = environment_.bundle->pathForResource(kResourceName, kResourceType);
  if (!archive) return false;
  // Unpacked into a fresh folder of this process's own, then moved into place whole.
  std::string staging =
      platform::files::appendingPathComponent(environment_.temporaryDirectory, "BlackHole-XXXXXX");
  if (::mkdtemp(staging.data()) == nullptr) return false;
  const std::string staged = platform::files::appendingPathComponent(staging, kBundleName);
  bool placed = false;
  struct stat st {};
  if (SSZipArchive::unzipFileAtPath(*archive, staging) && ::lstat(staged.c_str(), &st) == 0 &&
      S_ISDIR(st.st_mode)) {
    platform::files::remove(unpacked);
    placed = ::rename(staged.c_str(), unpacked.c_str()) == 0;
  }
  platform::files::remove(staging);
  return placed;
}

bool SoundflowerManager::isAudioPluginInstalled() {
  return platform::files::exists(environment_.installedBundlePath);
}

std::string SoundflowerManager::shellQuoted(const std::string& path) {
  std::string quoted = "'";
  for (char c : path) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += "'";
  return quoted;
}

std::string SoundflowerManager::installCommand() const {
  const auto source = driverPath();
  return "cp -R " + shellQuoted(source.value_or("")) + " " +
         shellQuoted(environment_.installedBundlePath);
}

std::string SoundflowerManager::uninstallCommand() const {
  return "rm -rf " + shellQuoted(environment_.installedBundlePath);
}

bool SoundflowerManager::runPrivilegedShellCommand(const std::string& command) {
  auto task =
      STPrivilegedTask::initWithLaunchPath("/bin/sh", {"-c", command}, environment_.authorization);
  return task->launch() == 0;
}

bool SoundflowerManager::installAudioPlugin() {
  if (!driverPath()) return false;
  return runPrivilegedShellCommand(installCommand());
}

bool SoundflowerManager::uninstallAudioPlugin() {
  return runPrivilegedShellCommand(uninstallCommand());
}

bool SoundflowerManager::setAudioPluginAsDefaultAudio() {
  auto& devices = environment_.deviceManager;
  devices->setDefaultInputAudioDevice(kDeviceName);
  devices->setDefaultOutputAudioDevice(kDeviceName);
  return isAudioPluginDefaultAudio();
}

bool SoundflowerManager::isAudioPluginDefaultAudio() {
  auto& devices = environment_.deviceManager;
  auto input = devices->currentInputAudioDevice();
  auto output = devices->currentOutputAudioDevice();
  if (!input || !output) return false;
  return contains(input, kDeviceNameMarker) && contains(output, kDeviceNameMarker);
}

void SoundflowerManager::resetDefaultAudioDevice() {
  auto& devices = environment_.deviceManager;
  for (const auto& device : devices->inputAudioDeviceArray()) {
    if (!contains(device, kDeviceNameMarker)) {
      devices->setDefaultInputAudioDeviceWithID(device->deviceID());
    }
  }
  for (const auto& device : devices->outputAudioDeviceArray()) {
    if (!contains(device, kDeviceNameMarker)) {
      devices->setDefaultOutputAudioDeviceWithID(device->deviceID());
    }
  }
}

void SoundflowerManager::setProtectSetting(bool protect) {
  std::lock_guard<std::mutex> guard(guardMutex_);
  protectSetting_.store(protect);
}

void SoundflowerManager::defaultAudioDeviceDidChange(
    const platform::Notification& /*notification*/) {
  platform::log::nslog("default audio device did change");
  // The whole step runs under the guard's lock: the session turns the guard off before it
  // restores the user's devices, and a step that checked the guard before must not put the
  // driver back after that restore.
  std::lock_guard<std::mutex> guard(guardMutex_);
  if (!protectSetting()) return;
  bool reassert = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const double now = steadySeconds();
    recentSettings.push_back(now);
    while (!recentSettings.empty() && now - recentSettings.front() > 1.0) {
      recentSettings.pop_front();
    }
    reassert = recentSettings.size() < 2;
  }
  if (reassert) setAudioPluginAsDefaultAudio();
}

void SoundflowerManager::buildInAudioDeviceDataSourceDidChange(
    const platform::Notification& /*notification*/) {
  platform::log::nslog("buildInAudioDeviceDataSourceDidChange");
  if (!protectSetting()) environment_.deviceManager->resetDefaultAudioDevice();
}

}  // namespace corvane
