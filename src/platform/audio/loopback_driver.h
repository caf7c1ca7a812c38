// The loop-back driver bundle as the audio backends recognise it: a folder
// "<name>.driver" with "Contents/Info.plist" naming the devices it provides and the driver
// binary "Contents/MacOS/<CFBundleExecutable>". The application installs the bundle at
// "/Library/Audio/Plug-Ins/HAL/BlackHole.driver" (under the system root); while it is there,
// the backends present its devices, each a two-way device that loops what is played to it
// back to its input.
//
// Info.plist keys read here: "CFBundleExecutable" (string) and "CorvaneLoopbackDevices"
// (array of dictionaries with "Name" string, "Channels" integer 1-64 and "SampleRate" real
// 8,000-384,000). Anything else malformed makes the bundle unrecognised.
//
// Thread-safety: pure functions over the file system; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane::platform::audio {

// The installed bundle path below the system root.
inline constexpr const char* kLoopbackDriverInstallPath =
    "/Library/Audio/Plug-Ins/HAL/BlackHole.driver";

struct LoopbackDeviceSpec {
  std::string name;
  std::uint32_t channels = 0;
  double sampleRate = 0.0;

  bool operator==(const LoopbackDeviceSpec&) const = default;
};

// The devices of the bundle at `bundlePath`, or std::nullopt when no recognisable bundle is
// there.
std::optional<std::vector<LoopbackDeviceSpec>> readLoopbackDriverBundle(
    const std::string& bundlePath);

}  // namespace corvane::platform::audio
