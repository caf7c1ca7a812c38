// Device: the receiver of the current session as the connection screen keeps it. Immutable
// after creation; usable from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace corvane {

class Device {
 public:
  // `localIp` is the fourth part of `deviceIp` read as a decimal octet when the address has
  // exactly four dot-separated parts (empty parts count), else 0; a fourth part that is not a
  // number from 0 to 255 also gives 0.
  Device(std::string deviceName, std::string deviceIp, std::string deviceVersion);
  static std::shared_ptr<Device> create(std::string deviceName, std::string deviceIp,
                                        std::string deviceVersion) {
    return std::make_shared<Device>(std::move(deviceName), std::move(deviceIp),
                                    std::move(deviceVersion));
  }

  const std::string& deviceName() const { return deviceName_; }
  const std::string& deviceIp() const { return deviceIp_; }
  const std::string& deviceVersion() const { return deviceVersion_; }
  std::uint8_t localIp() const { return localIp_; }

 private:
  std::string deviceName_;
  std::string deviceIp_;
  std::string deviceVersion_;
  std::uint8_t localIp_ = 0;
};

}  // namespace corvane
