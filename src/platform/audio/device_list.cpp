#include "platform/audio/device_list.h"

namespace corvane::platform::audio {

// DeviceList

const DeviceRecord* DeviceList::find(AudioObjectID id) const {
  for (const auto& d : devices) {
    if (d.id == id) return &d;
  }
  return nullptr;
}

std::vector<AudioObjectID> DeviceList::listedIDs() const {
  std::vector<AudioObjectID> ids;
  for (const auto& d : devices) {
    if (d.listed) ids.push_back(d.id);
  }
  return ids;
}

OSStatus DeviceList::checkNewDefault(bool isInput, AudioObjectID device, bool* unchanged) const {
  const DeviceRecord* d = find(device);
  if (d == nullptr || d->channels(isInput) == 0) return kAudioHardwareBadDeviceError;
  if (unchanged != nullptr) *unchanged = defaultDevice(isInput) == device;
  return noErr;
}

bool isSystemObjectListenable(const PropertyAddress& address) {
  return address.selector == kAudioHardwarePropertyDevices ||
         address.selector == kAudioHardwarePropertyDefaultInputDevice ||
         address.selector == kAudioHardwarePropertyDefaultOutputDevice;
}

// DeviceListHardware: the system object

OSStatus DeviceListHardware::getDevices(std::vector<AudioObjectID>* devices) {
  if (devices == nullptr) return kAudioHardwareIllegalOperationError;
  const auto list = deviceList();
  if (!list) return kAudioHardwareNotRunningError;
  *devices = list->listedIDs();
  return noErr;
}

OSStatus DeviceListHardware::getDefaultDevice(bool isInput, AudioObjectID* device) {
  if (device == nullptr) return kAudioHardwareIllegalOperationError;
  const auto list = deviceList();
  if (!list) return kAudioHardwareNotRunningError;
  *device = list->defaultDevice(isInput);
  return noErr;
}

// DeviceListHardware: devices

namespace {
// The record of `device` in `list`, nullptr when there is no list or no such device.
const DeviceRecord* recordIn(const std::optional<DeviceList>& list, AudioObjectID device) {
  return list ? list->find(device) : nullptr;
}
}  // namespace

OSStatus DeviceListHardware::getName(AudioObjectID device, std::string* name) {
  if (name == nullptr) return kAudioHardwareIllegalOperationError;
  const auto list = deviceList();
  const DeviceRecord* d = recordIn(list, device);
  if (d == nullptr) return kAudioHardwareBadObjectError;
  *name = d->name;
  return noErr;
}

OSStatus DeviceListHardware::getStreamConfiguration(AudioObjectID device, bool isInput,
                                                    std::vector<std::uint32_t>* channelsPerBuffer) {
  if (channelsPerBuffer == nullptr) return kAudioHardwareIllegalOperationError;
  const auto list = deviceList();
  const DeviceRecord* d = recordIn(list, device);
  if (d == nullptr) return kAudioHardwareBadObjectError;
  channelsPerBuffer->clear();
  // One interleaved buffer per direction the device has.
  if (d->channels(isInput) > 0) channelsPerBuffer->push_back(d->channels(isInput));
  return noErr;
}

OSStatus DeviceListHardware::getTransportType(AudioObjectID device, std::uint32_t* transportType) {
  if (transportType == nullptr) return kAudioHardwareIllegalOperationError;
  const auto list = deviceList();
  const DeviceRecord* d = recordIn(list, device);
  if (d == nullptr) return kAudioHardwareBadObjectError;
  *transportType = d->transportType;
  return noErr;
}

OSStatus DeviceListHardware::getSafetyOffset(AudioObjectID device, bool isInput,
                                             std::uint32_t* frames) {
  if (frames == nullptr) return kAudioHardwareIllegalOperationError;
  const auto list = deviceList();
  const DeviceRecord* d = recordIn(list, device);
  if (d == nullptr) return kAudioHardwareBadObjectError;
  if (d->channels(isInput) == 0) return kAudioHardwareUnknownPropertyError;
  *frames = d->safetyOffset;
  return noErr;
}

OSStatus DeviceListHardware::getStreamFormat(AudioObjectID device, bool isInput,
                                             StreamBasicDescription* format) {
  if (format == nullptr) return kAudioHardwareIllegalOperationError;
  const auto list = deviceList();
  const DeviceRecord* d = recordIn(list, device);
  if (d == nullptr) return kAudioHardwareBadObjectError;
  if (d->channels(isInput) == 0) return kAudioHardwareUnknownPropertyError;
  *format = d->format(isInput);
  return noErr;
}

bool DeviceListHardware::canListen(AudioObjectID object, const PropertyAddress& address) {
  if (object == kAudioObjectSystemObject) return isSystemObjectListenable(address);
  const auto list = deviceList();
  return recordIn(list, object) != nullptr;
}

}  // namespace corvane::platform::audio
