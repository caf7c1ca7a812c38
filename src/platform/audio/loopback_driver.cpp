#include "platform/audio/loopback_driver.h"

#include "platform/foundation/file_utils.h"
#include "platform/foundation/property_list.h"

namespace corvane::platform::audio {

std::optional<std::vector<LoopbackDeviceSpec>> readLoopbackDriverBundle(
    const std::string& bundlePath) {
  const std::string contents = files::appendingPathComponent(bundlePath, "Contents");
  auto info = PropertyList::readFile(files::appendingPathComponent(contents, "Info.plist"));
  if (!info) return std::nullopt;

  const PropertyList* executable = info->find("CFBundleExecutable");
  if (executable == nullptr || !executable->asString() || executable->asString()->empty() ||
      executable->asString()->find('/') != std::string::npos) {
    return std::nullopt;
  }
  bool isDirectory = true;
  const std::string binary = files::appendingPathComponent(
      files::appendingPathComponent(contents, "MacOS"), *executable->asString());
  if (!files::exists(binary, &isDirectory) || isDirectory) return std::nullopt;

  const PropertyList* list = info->find("CorvaneLoopbackDevices");
  if (list == nullptr || list->asArray() == nullptr || list->asArray()->empty()) {
    return std::nullopt;
  }
  std::vector<LoopbackDeviceSpec> devices;
  for (const PropertyList& entry : *list->asArray()) {
    const PropertyList* name = entry.find("Name");
    const PropertyList* channels = entry.find("Channels");
    const PropertyList* rate = entry.find("SampleRate");
    if (name == nullptr || channels == nullptr || rate == nullptr) return std::nullopt;
    auto nameText = name->asString();
    auto channelCount = channels->asInteger();
    auto sampleRate = rate->asReal();
    if (!nameText || nameText->empty() || nameText->size() > 63 || !channelCount ||
        *channelCount < 1 || *channelCount > 64 || !sampleRate || !(*sampleRate >= 8000.0) ||
        !(*sampleRate <= 384000.0)) {
      return std::nullopt;
    }
    devices.push_back({*nameText, static_cast<std::uint32_t>(*channelCount), *sampleRate});
  }
  return devices;
}

}  // namespace corvane::platform::audio
