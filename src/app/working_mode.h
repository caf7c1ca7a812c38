// The connection screen's session mode.
#pragma once

#include <cstdint>
#include <optional>

namespace corvane {

enum class WorkingMode : std::uint8_t {
  NONE = 0,
  CONNECTED = 1,
  MIRROR = 2,
  MIRROR_BACK = 3,
};

// The mode of a raw value; 4 or more (or negative) makes none.
constexpr std::optional<WorkingMode> workingModeFromRawValue(int raw) {
  if (raw < 0 || raw > 3) return std::nullopt;
  return static_cast<WorkingMode>(raw);
}

// The case name ("NONE", "CONNECTED", ...).
constexpr const char* workingModeName(WorkingMode mode) {
  switch (mode) {
    case WorkingMode::NONE: return "NONE";
    case WorkingMode::CONNECTED: return "CONNECTED";
    case WorkingMode::MIRROR: return "MIRROR";
    case WorkingMode::MIRROR_BACK: return "MIRROR_BACK";
  }
  return "";
}

}  // namespace corvane
