#include "SoundFlower/audio_device_manager.h"

#include <cstring>
#include <optional>

#include "SoundFlower/audio_device_list.h"
#include "platform/foundation/property_list.h"

namespace corvane {

namespace audio = platform::audio;

std::shared_ptr<AudioDeviceManager> AudioDeviceManager::sharedInstance() {
  static const std::shared_ptr<AudioDeviceManager> instance =
      create(audio::systemHardware(), platform::NotificationCenter::defaultCenter());
  return instance;
}

std::shared_ptr<AudioDeviceManager> AudioDeviceManager::create(
    std::shared_ptr<audio::AudioHardware> hardware,
    std::shared_ptr<platform::NotificationCenter> center) {
  std::shared_ptr<AudioDeviceManager> manager(
      new AudioDeviceManager(std::move(hardware), std::move(center)));
  manager->registerAudioDeviceObserver();
  return manager;
}

AudioDeviceManager::AudioDeviceManager(std::shared_ptr<audio::AudioHardware> hardware,
                                       std::shared_ptr<platform::NotificationCenter> center)
    : hardware_(std::move(hardware)), center_(std::move(center)) {}

AudioDeviceManager::~AudioDeviceManager() {
  for (auto token : listeners_) hardware_->removePropertyListener(token);
}

// Defaults by id

std::uint32_t AudioDeviceManager::getDefaultAudioDeviceIDRoute(bool route) {
  audio::AudioObjectID device = audio::kAudioObjectUnknown;
  if (hardware_->getDefaultDevice(route, &device) != audio::noErr) {
    return audio::kAudioObjectUnknown;
  }
  return device;
}

std::uint32_t AudioDeviceManager::getDefaultInputAudioDeviceID() {
  return getDefaultAudioDeviceIDRoute(true);
}

std::uint32_t AudioDeviceManager::getDefaultOutputAudioDeviceID() {
  return getDefaultAudioDeviceIDRoute(false);
}

bool AudioDeviceManager::setDefaultAudioDeviceWithID(std::uint32_t deviceID, bool route) {
  if (getDefaultAudioDeviceIDRoute(route) == deviceID) return true;
  return hardware_->setDefaultDevice(route, deviceID) == audio::noErr;
}

bool AudioDeviceManager::setDefaultInputAudioDeviceWithID(std::uint32_t deviceID) {
  return setDefaultAudioDeviceWithID(deviceID, true);
}

bool AudioDeviceManager::setDefaultOutputAudioDeviceWithID(std::uint32_t deviceID) {
  return setDefaultAudioDeviceWithID(deviceID, false);
}

// Defaults by name

bool AudioDeviceManager::setDefaultAudioDevice(const char* name, bool route) {
  if (name == nullptr) return false;
  AudioDeviceList list(hardware_, route);
  for (const auto& entry : list.GetList()) {
    if (std::strcmp(entry.mName, name) == 0) {
      if (getDefaultAudioDeviceIDRoute(route) != entry.mID) {
        hardware_->setDefaultDevice(route, entry.mID);
      }
      return true;
    }
  }
  return false;
}

bool AudioDeviceManager::setDefaultInputAudioDevice(const char* name) {
  return setDefaultAudioDevice(name, true);
}

bool AudioDeviceManager::setDefaultOutputAudioDevice(const char* name) {
  return setDefaultAudioDevice(name, false);
}

// Device arrays

AudioDeviceArray AudioDeviceManager::audioDeviceArray(bool route) {
  AudioDeviceList list(hardware_, route);
  AudioDeviceArray devices;
  for (const auto& entry : list.GetList()) {
    devices.push_back(AudioDevice::create(entry.mID, entry.mName));
  }
  return devices;
}

AudioDeviceArray AudioDeviceManager::inputAudioDeviceArray() { return audioDeviceArray(true); }
AudioDeviceArray AudioDeviceManager::outputAudioDeviceArray() { return audioDeviceArray(false); }

std::shared_ptr<AudioDevice> AudioDeviceManager::buildInAudioDevice(bool route) {
  for (const auto& device : audioDeviceArray(route)) {
    std::uint32_t transport = 0;
    if (hardware_->getTransportType(device->deviceID(), &transport) == audio::noErr &&
        transport == audio::kAudioDeviceTransportTypeBuiltIn) {
      return device;
    }
  }
  return nullptr;
}

std::shared_ptr<AudioDevice> AudioDeviceManager::buildInInputAudioDevice() {
  return buildInAudioDevice(true);
}
std::shared_ptr<AudioDevice> AudioDeviceManager::buildInOutputAudioDevice() {
  return buildInAudioDevice(false);
}

std::shared_ptr<AudioDevice> AudioDeviceManager::currentAudioDevice(bool route) {
  const std::uint32_t current = getDefaultAudioDeviceIDRoute(route);
  for (const auto& device : audioDeviceArray(route)) {
    if (device->deviceID() == current) return device;
  }
  return nullptr;
}

std::shared_ptr<AudioDevice> AudioDeviceManager::currentInputAudioDevice() {
  return currentAudioDevice(true);
}
std::shared_ptr<AudioDevice> AudioDeviceManager::currentOutputAudioDevice() {
  return currentAudioDevice(false);
}

void AudioDeviceManager::resetDefaultAudioDevice() {
  for (bool route : {true, false}) {
    auto builtIn = buildInAudioDevice(route);
    if (!builtIn) continue;
    for (const auto& device : audioDeviceArray(route)) {
      if (device->deviceID() == builtIn->deviceID()) {
        setDefaultAudioDeviceWithID(device->deviceID(), route);
      }
    }
  }
}

// The saved-devices file

bool AudioDeviceManager::writeSystemAudioSettingToFile(const std::string& path) {
  auto settings = platform::PropertyList::dictionary();
  settings.set("input", platform::PropertyList::integer(getDefaultInputAudioDeviceID()));
  settings.set("output", platform::PropertyList::integer(getDefaultOutputAudioDeviceID()));
  return settings.writeXmlAtomically(path);
}

namespace {

// The saved ids: an entry that is missing or not an unsigned 32-bit number gives none.
struct SavedDevices {
  std::optional<std::uint32_t> input;
  std::optional<std::uint32_t> output;
};

std::optional<SavedDevices> readSavedDevices(const std::string& path) {
  auto settings = platform::PropertyList::readFile(path);
  if (!settings || settings->asDictionary() == nullptr) return std::nullopt;
  auto idFor = [&](const char* key) -> std::optional<std::uint32_t> {
    const platform::PropertyList* value = settings->find(key);
    if (value == nullptr) return std::nullopt;
    auto number = value->asInteger();
    if (!number || *number < 0 || *number > 0xFFFFFFFFll) return std::nullopt;
    return static_cast<std::uint32_t>(*number);
  };
  return SavedDevices{idFor("input"), idFor("output")};
}

}  // namespace

bool AudioDeviceManager::isLoopbackDevice(std::uint32_t deviceID) {
  std::string name;
  if (hardware_->getName(deviceID, &name) != audio::noErr) return false;
  return name.find(kLoopbackDeviceNameMarker) != std::string::npos;
}

void AudioDeviceManager::leaveLoopbackDevice(bool route) {
  if (!isLoopbackDevice(getDefaultAudioDeviceIDRoute(route))) return;
  if (auto builtIn = buildInAudioDevice(route)) {
    if (setDefaultAudioDeviceWithID(builtIn->deviceID(), route)) return;
  }
  for (const auto& device : audioDeviceArray(route)) {
    if (device->deviceName().find(kLoopbackDeviceNameMarker) != std::string::npos) continue;
    if (setDefaultAudioDeviceWithID(device->deviceID(), route)) return;
  }
}

bool AudioDeviceManager::restoreSystemAudioSettingFromFile(const std::string& path) {
  const auto saved = readSavedDevices(path);
  if (!saved) return false;
  for (bool route : {true, false}) {
    const auto& id = route ? saved->input : saved->output;
    if (id && !isLoopbackDevice(*id) && setDefaultAudioDeviceWithID(*id, route)) continue;
    // The saved device is gone (or was the loop-back device): the user gets a real one.
    leaveLoopbackDevice(route);
  }
  return true;
}

bool AudioDeviceManager::savedSettingNamesOtherThanLoopback(const std::string& path) {
  const auto saved = readSavedDevices(path);
  if (!saved) return false;
  for (const auto& id : {saved->input, saved->output}) {
    if (id && !isLoopbackDevice(*id)) return true;
  }
  return false;
}

// Listeners

void AudioDeviceManager::registerAudioDeviceObserver() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (registered_) return;
  registered_ = true;
  // The hardware delivers property changes on its own notification thread.
  std::weak_ptr<platform::NotificationCenter> center = center_;
  auto post = [center](const char* name) {
    return [center, name](audio::AudioObjectID, const audio::PropertyAddress&) {
      if (auto c = center.lock()) c->post(name);
    };
  };
  auto add = [&](audio::AudioObjectID object, audio::PropertyAddress address, const char* name) {
    const auto token = hardware_->addPropertyListener(object, address, post(name));
    if (token != 0) listeners_.push_back(token);
  };
  add(audio::kAudioObjectSystemObject, {audio::kAudioHardwarePropertyDefaultOutputDevice},
      kDefalutAudioDeviceDidChangeNotification);
  add(audio::kAudioObjectSystemObject, {audio::kAudioHardwarePropertyDefaultInputDevice},
      kDefalutAudioDeviceDidChangeNotification);
  // The built-in devices are looked up without the lock's help: the arrays only read.
  if (auto output = buildInAudioDevice(false)) {
    add(output->deviceID(),
        {audio::kAudioDevicePropertyDataSource, audio::kAudioObjectPropertyScopeOutput},
        kBuildInAudioDeviceDataSourceDidChangeNotification);
  }
  if (auto input = buildInAudioDevice(true)) {
    add(input->deviceID(),
        {audio::kAudioDevicePropertyDataSource, audio::kAudioObjectPropertyScopeInput},
        kBuildInAudioDeviceDataSourceDidChangeNotification);
  }
}

}  // namespace corvane
