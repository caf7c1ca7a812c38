// AudioDeviceManager: the process-wide access to the system's audio devices: list input or
// output devices, read and set the default input and output by id or by name, find the
// built-in devices, save and restore the defaults in the saved-devices file (".soundflower":
// an XML property list with exactly the keys "input" and "output", the ids as numbers), and
// post "DefalutAudioDeviceDidChangeNotification" and
// "BuildInAudioDeviceDataSourceDidChangeNotification" when the defaults or the built-in
// devices' data sources change.
//
// Routes: true (1) = input, false (0) = output.
//
// Threads: every member may be called from any thread; the device list is read fresh on
// every call. The notifications are posted (no object, no user info) on the audio
// hardware's notification thread. Ownership: the shared manager lives for the process; an
// instance made with `create` (tests) removes its listeners when it goes away.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SoundFlower/audio_device.h"
#include "platform/audio/audio_hardware.h"
#include "platform/foundation/notification_center.h"

namespace corvane {

inline constexpr const char* kDefalutAudioDeviceDidChangeNotification =
    "DefalutAudioDeviceDidChangeNotification";
inline constexpr const char* kBuildInAudioDeviceDataSourceDidChangeNotification =
    "BuildInAudioDeviceDataSourceDidChangeNotification";
// A device whose name contains this is the loop-back driver's.
inline constexpr const char* kLoopbackDeviceNameMarker = "BlackHole";

class AudioDeviceManager : public std::enable_shared_from_this<AudioDeviceManager> {
 public:
  // The manager over the system hardware posting on the default centre, made once.
  static std::shared_ptr<AudioDeviceManager> sharedInstance();
  // A manager over a given hardware and centre (tests); it registers its listeners.
  static std::shared_ptr<AudioDeviceManager> create(
      std::shared_ptr<platform::audio::AudioHardware> hardware,
      std::shared_ptr<platform::NotificationCenter> center);
  ~AudioDeviceManager();
  AudioDeviceManager(const AudioDeviceManager&) = delete;
  AudioDeviceManager& operator=(const AudioDeviceManager&) = delete;

  std::uint32_t getDefaultAudioDeviceIDRoute(bool route);
  std::uint32_t getDefaultInputAudioDeviceID();
  std::uint32_t getDefaultOutputAudioDeviceID();

  bool setDefaultAudioDeviceWithID(std::uint32_t deviceID, bool route);
  bool setDefaultInputAudioDeviceWithID(std::uint32_t deviceID);
  bool setDefaultOutputAudioDeviceWithID(std::uint32_t deviceID);

  // By exact (byte-wise, case-sensitive) name; NO when no device of the route has it.
  bool setDefaultAudioDevice(const char* name, bool route);
  bool setDefaultInputAudioDevice(const char* name);
  bool setDefaultOutputAudioDevice(const char* name);

  AudioDeviceArray audioDeviceArray(bool route);
  AudioDeviceArray inputAudioDeviceArray();
  AudioDeviceArray outputAudioDeviceArray();

  std::shared_ptr<AudioDevice> buildInAudioDevice(bool route);
  std::shared_ptr<AudioDevice> buildInInputAudioDevice();
  std::shared_ptr<AudioDevice> buildInOutputAudioDevice();

  std::shared_ptr<AudioDevice> currentAudioDevice(bool route);
  std::shared_ptr<AudioDevice> currentInputAudioDevice();
  std::shared_ptr<AudioDevice> currentOutputAudioDevice();

  // Makes the built-in devices the defaults (where they exist).
  void resetDefaultAudioDevice();

  bool writeSystemAudioSettingToFile(const std::string& path);
  // Sets the saved input, then the saved output. A route whose saved device cannot be set
  // (gone, not a device of that route, or the loop-back device itself) and whose default is
  // then the loop-back device falls back to its built-in device (else the first device that
  // is not the loop-back device): a restore never leaves the user on the loop-back device.
  // NO, changing nothing, when the file cannot be read.
  bool restoreSystemAudioSettingFromFile(const std::string& path);
  // Whether the file can be read and names, for input or output, a device other than the
  // loop-back device (also one that no longer exists): the user's devices of an earlier run
  // that did not restore them.
  bool savedSettingNamesOtherThanLoopback(const std::string& path);
  // Whether `deviceID` is a device whose name marks it as the loop-back device.
  bool isLoopbackDevice(std::uint32_t deviceID);

  // Installs the listeners (done by `create` / `sharedInstance`; a second call does nothing).
  void registerAudioDeviceObserver();

  const std::shared_ptr<platform::audio::AudioHardware>& hardware() const { return hardware_; }
  const std::shared_ptr<platform::NotificationCenter>& notificationCenter() const {
    return center_;
  }

 private:
  AudioDeviceManager(std::shared_ptr<platform::audio::AudioHardware> hardware,
                     std::shared_ptr<platform::NotificationCenter> center);
  // Moves the route's default off the loop-back device, if it is on it.
  void leaveLoopbackDevice(bool route);

  const std::shared_ptr<platform::audio::AudioHardware> hardware_;
  const std::shared_ptr<platform::NotificationCenter> center_;
  std::mutex mutex_;  // guards listeners_
  bool registered_ = false;
  std::vector<platform::audio::AudioHardware::ListenerToken> listeners_;
};

}  // namespace corvane
