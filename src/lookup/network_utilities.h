// NetworkUtilities: the machine's own IPv4 address, and the operations of a subnet broadcast
// query (which nothing in the application uses).
//
// getLocalIP walks the interface list (getifaddrs) in order: an address of interface "en0" is
// the answer at once; any other IPv4-looking address (numeric text of at least four non-empty
// dot-separated parts, so IPv4-mapped IPv6 text counts) is logged, and, unless it is exactly
// "127.0.0.1", becomes a candidate; the first candidate is the answer, or none.
//
// Threading: stateless; every member may be called from any thread. The shared instance is
// made once.
#pragma once

#include <ifaddrs.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

struct NetInfo {
  std::optional<std::string> address;  // both present or both absent
  std::optional<std::string> netmask;
};

class NetworkUtilities {
 public:
  static std::shared_ptr<NetworkUtilities> sharedInstance();

  std::optional<std::string> getLocalIP() const;
  // Address and netmask of the last "en0" entry that has both.
  NetInfo getNetInfo() const;

  // Each dot-separated part read as a decimal octet; a part that is not a number from 0 to
  // 255 reads as 0.
  static std::vector<std::uint8_t> ipOctets(const std::string& text);
  // Per octet position of `ip`: address AND netmask (a missing netmask octet counts as 0).
  static std::string networkAddress(const std::string& ip, const std::string& netmask);
  // The network address ORed with the inverted netmask, per octet.
  static std::string broadcastAddress(const std::string& ip, const std::string& netmask);
};

namespace detail {

// getLocalIP and getNetInfo over a given interface list (tests build their own lists).
std::optional<std::string> localIPFromInterfaces(const ifaddrs* list);
NetInfo netInfoFromInterfaces(const ifaddrs* list);

}  // namespace detail
}  // namespace corvane
