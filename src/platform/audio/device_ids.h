// Stable device ids: each device of a backend is known by a key that the sound server (or
// the model) keeps for as long as the device exists, such as "sink:" plus the server's sink
// name. Its id is derived from that key alone, so that another process, or the same one
// after the device went and came back, gives the same device the same id: ids that one run
// saved (the saved-devices file) still name the same devices in the next.
//
// The id is a 32-bit FNV-1a hash of the key, kept to kFirstStableID and above (clear of the
// unknown object 0, the system object 1 and the small fixed ids of the simulated built-in
// devices). Should two keys of one table hash alike (about one chance in 20 million for 20
// devices), the key seen later takes the hash of "key#1", "key#2", ... up to the first free
// value: only that device's id may then differ in a run that sees the two in the other order.
//
// Thread-safety: none; the owner guards a table with its own lock.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "platform/audio/audio_hardware.h"

namespace corvane::platform::audio {

class DeviceIDTable {
 public:
  static constexpr AudioObjectID kFirstStableID = 0x10000;

  // The id of `key`: the same for the same key for the life of the table.
  AudioObjectID idFor(const std::string& key);
  // Whether some key holds `id`.
  bool holds(AudioObjectID id) const { return taken_.count(id) != 0; }

  // The 32-bit FNV-1a hash of `text`.
  static std::uint32_t hash(const std::string& text);

 private:
  std::map<std::string, AudioObjectID> ids_;
  std::set<AudioObjectID> taken_;
};

}  // namespace corvane::platform::audio
