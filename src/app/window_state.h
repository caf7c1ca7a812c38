// Which screen the main window shows.
#pragma once

#include <cstdint>

namespace corvane {

enum class WindowState : std::uint8_t {
  None = 0,
  PinCodeView = 1,
  ConnectStatusView = 2,
};

}  // namespace corvane
