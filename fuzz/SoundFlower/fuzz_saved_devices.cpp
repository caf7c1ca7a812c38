// Restores arbitrary bytes as the saved-devices file (".soundflower") through
// AudioDeviceManager on the simulated audio hardware (its two built-in devices plus an
// input-only, an output-only and a two-way device).
//
// Checked: the restore answers YES exactly for a file that reads as a dictionary; each
// default then becomes the file's "input" / "output" id when that is a whole number naming a
// device of that direction, and stays as it was otherwise; nothing else changes.
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "../fuzz_check.h"
#include "SoundFlower/audio_device_manager.h"
#include "platform/audio/sim/sim_audio_hardware.h"
#include "platform/foundation/file_utils.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/property_list.h"

namespace {

namespace files = corvane::platform::files;
namespace audio = corvane::platform::audio;
using audio::SimAudioHardware;
using corvane::platform::PropertyList;

// The simulated system under a private root folder, made once and removed at exit.
struct System {
  System()
      : root(files::temporaryDirectory() + "corvane-fuzz-devices-" + std::to_string(getpid())) {
    files::remove(root);
    FUZZ_CHECK(files::createDirectory(root, true));
    hardware = SimAudioHardware::create(root);
    const auto mic = hardware->addDevice({"USB Mic", 1, 0});
    const auto speaker = hardware->addDevice({"USB Speaker", 0, 2});
    const auto both = hardware->addDevice({"Two Way", 2, 2});
    inputs = {SimAudioHardware::kBuiltInInputID, mic, both};
    outputs = {SimAudioHardware::kBuiltInOutputID, speaker, both};
    manager = corvane::AudioDeviceManager::create(hardware, corvane::platform::NotificationCenter::create());
  }
  ~System() {
    manager.reset();
    hardware.reset();
    files::remove(root);
  }
  System(const System&) = delete;
  System& operator=(const System&) = delete;

  const std::string root;
  std::shared_ptr<SimAudioHardware> hardware;
  std::shared_ptr<corvane::AudioDeviceManager> manager;
  std::set<std::uint32_t> inputs;
  std::set<std::uint32_t> outputs;
};

// The id the file names for `key` when it is one of `valid`.
std::optional<std::uint32_t> namedId(const PropertyList& file, const char* key,
                                     const std::set<std::uint32_t>& valid) {
  const PropertyList* value = file.find(key);
  if (value == nullptr) return std::nullopt;
  const auto number = value->asInteger();
  if (!number || *number < 0 || *number > 0xFFFFFFFFll) return std::nullopt;
  const auto id = static_cast<std::uint32_t>(*number);
  if (valid.count(id) == 0) return std::nullopt;
  return id;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static System system;
  auto& manager = *system.manager;
  const std::string file = system.root + "/.soundflower";
  FUZZ_CHECK(files::createFile(file, std::vector<std::uint8_t>(data, data + size)));

  // Start from the output-only / input-only devices, so that a restore to a built-in device
  // shows as a change.
  const std::uint32_t startInput = *std::next(system.inputs.begin());
  const std::uint32_t startOutput = *std::next(system.outputs.begin());
  FUZZ_CHECK(manager.setDefaultInputAudioDeviceWithID(startInput));
  FUZZ_CHECK(manager.setDefaultOutputAudioDeviceWithID(startOutput));

  const auto parsed = PropertyList::parse(data, size);
  const bool isDictionary = parsed && parsed->asDictionary() != nullptr;
  std::uint32_t expectedInput = startInput;
  std::uint32_t expectedOutput = startOutput;
  if (isDictionary) {
    expectedInput = namedId(*parsed, "input", system.inputs).value_or(startInput);
    expectedOutput = namedId(*parsed, "output", system.outputs).value_or(startOutput);
  }

  FUZZ_CHECK(manager.restoreSystemAudioSettingFromFile(file) == isDictionary);
  FUZZ_CHECK(manager.getDefaultInputAudioDeviceID() == expectedInput);
  FUZZ_CHECK(manager.getDefaultOutputAudioDeviceID() == expectedOutput);
  FUZZ_CHECK(manager.inputAudioDeviceArray().size() == 3 &&
             manager.outputAudioDeviceArray().size() == 3);
  // Keeps the model's notification queue from growing across inputs.
  FUZZ_CHECK(system.hardware->waitUntilNotificationsDelivered(10));
  files::remove(file);
  return 0;
}
