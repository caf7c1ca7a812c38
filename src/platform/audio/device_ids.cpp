#include "platform/audio/device_ids.h"

namespace corvane::platform::audio {

std::uint32_t DeviceIDTable::hash(const std::string& text) {
  std::uint32_t value = 2166136261u;
  for (char c : text) {
    value ^= static_cast<unsigned char>(c);
    value *= 16777619u;
  }
  return value;
}

AudioObjectID DeviceIDTable::idFor(const std::string& key) {
  auto known = ids_.find(key);
  if (known != ids_.end()) return known->second;
  AudioObjectID id = hash(key);
  for (std::uint32_t probe = 1; id < kFirstStableID || taken_.count(id) != 0; ++probe) {
    id = hash(key + "#" + std::to_string(probe));
  }
  ids_.emplace(key, id);
  taken_.insert(id);
  return id;
}

}  // namespace corvane::platform::audio
