#include "SoundFlower/audio_device_list.h"

#include "SoundFlower/audio_device_record.h"

namespace corvane {

AudioDeviceList::AudioDeviceList(const std::shared_ptr<platform::audio::AudioHardware>& hardware,
                                 bool inputs)
    : mInputs(inputs) {
  if (hardware) BuildList(hardware);
}

void AudioDeviceList::BuildList(const std::shared_ptr<platform::audio::AudioHardware>& hardware) {
  mDevices.clear();
  std::vector<platform::audio::AudioObjectID> ids;
  if (hardware->getDevices(&ids) != platform::audio::noErr) return;
  for (auto id : ids) {
    AudioDeviceRecord record(hardware, id, mInputs);
    if (record.CountChannels() > 0) {
      Device entry;
      record.GetName(entry.mName, sizeof entry.mName);
      entry.mID = id;
      mDevices.push_back(entry);
    }
  }
}

}  // namespace corvane
