#include "SoundFlower/audio_device_list.h"

#include "SoundFlower/audio_device_record.h"

namespace corvane {

AudioDeviceList::AudioDeviceList(std::shared_ptr<platform::audio::AudioHardware> hardware,
                                 bool inputs)
    : mInputs(inputs) {
  if (hardware) BuildList(*hardware);
}

void AudioDeviceList::BuildList(platform::audio::AudioHardware& hardware) {
  mDevices.clear();
  std::vector<platform::audio::AudioObjectID> ids;
  if (hardware.getDevices(&ids) != platform::audio::noErr) return;
  // The records need a shared handle; the list only borrows the hardware.
  std::shared_ptr<platform::audio::AudioHardware> borrowed(&hardware,
                                                           [](platform::audio::AudioHardware*) {});
  for (auto id : ids) {
    AudioDeviceRecord record(borrowed, id, mInputs);
    if (record.CountChannels() > 0) {
      Device entry;
      record.GetName(entry.mName, sizeof entry.mName);
      entry.mID = id;
      mDevices.push_back(entry);
    }
  }
}

}  // namespace corvane
