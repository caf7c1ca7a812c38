#include "lookup/device.h"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <system_error>
#include <utility>

namespace corvane {

Device::Device(std::string deviceName, std::string deviceIp, std::string deviceVersion)
    : deviceName_(std::move(deviceName)),
      deviceIp_(std::move(deviceIp)),
      deviceVersion_(std::move(deviceVersion)) {
  if (std::count(deviceIp_.begin(), deviceIp_.end(), '.') != 3) {
    return;
  }
  const std::string_view last = std::string_view(deviceIp_).substr(deviceIp_.rfind('.') + 1);
  unsigned value = 0;
  const char* end = last.data() + last.size();
  const auto result = std::from_chars(last.data(), end, value);
  if (!last.empty() && result.ec == std::errc() && result.ptr == end && value <= 255) {
    localIp_ = static_cast<std::uint8_t>(value);
  }
}

}  // namespace corvane
