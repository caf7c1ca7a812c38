#include "lookup/network_utilities.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <string_view>
#include <system_error>

#include "platform/log/log.h"

namespace corvane {
namespace {

// The numeric host text of an IPv4 or IPv6 socket address; "" when it cannot be converted.
std::string numericHost(const sockaddr* address) {
  if (address == nullptr) {
    return {};
  }
  socklen_t length = 0;
  if (address->sa_family == AF_INET) {
    length = sizeof(sockaddr_in);
  } else if (address->sa_family == AF_INET6) {
    length = sizeof(sockaddr_in6);
  } else {
    return {};
  }
  std::array<char, 1025> host{};
  if (getnameinfo(address, length, host.data(), host.size(), nullptr, 0, NI_NUMERICHOST) != 0) {
    return {};
  }
  return std::string(host.data());
}

std::vector<std::string_view> split(std::string_view text, bool keepEmpty) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = text.find('.', start);
    const std::string_view part =
        text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (keepEmpty || !part.empty()) {
      parts.push_back(part);
    }
    if (dot == std::string_view::npos) {
      return parts;
    }
    start = dot + 1;
  }
}

bool isAddressEntry(const ifaddrs* entry) {
  return entry->ifa_addr != nullptr && entry->ifa_name != nullptr &&
         (entry->ifa_addr->sa_family == AF_INET || entry->ifa_addr->sa_family == AF_INET6);
}

std::optional<std::uint8_t> octet(std::string_view part) {
  unsigned value = 0;
  const char* end = part.data() + part.size();
  const auto result = std::from_chars(part.data(), end, value);
  if (part.empty() || result.ec != std::errc() || result.ptr != end || value > 255) {
    return std::nullopt;
  }
  return static_cast<std::uint8_t>(value);
}

std::string joinOctets(const std::vector<std::uint8_t>& octets) {
  std::string text;
  for (std::size_t i = 0; i < octets.size(); ++i) {
    if (i > 0) {
      text += '.';
    }
    text += std::to_string(octets[i]);
  }
  return text;
}

}  // namespace

namespace detail {

std::optional<std::string> localIPFromInterfaces(const ifaddrs* list) {
  std::optional<std::string> firstCandidate;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (!isAddressEntry(entry)) {
      continue;
    }
    const std::string text = numericHost(entry->ifa_addr);
    if (split(text, false).size() < 4) {
      continue;
    }
    const std::string_view name = entry->ifa_name;
    if (name == "en0") {
      return text;
    }
    platform::log::debug("name = " + std::string(name) + ", ip =" + text);
    if (text != "127.0.0.1" && !firstCandidate) {
      firstCandidate = text;
    }
  }
  return firstCandidate;
}

NetInfo netInfoFromInterfaces(const ifaddrs* list) {
  NetInfo info;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (!isAddressEntry(entry) || std::strcmp(entry->ifa_name, "en0") != 0) {
      continue;
    }
    const std::string address = numericHost(entry->ifa_addr);
    const std::string netmask = numericHost(entry->ifa_netmask);
    if (!address.empty() && !netmask.empty()) {
      info = NetInfo{address, netmask};
    }
  }
  return info;
}

}  // namespace detail

std::shared_ptr<NetworkUtilities> NetworkUtilities::sharedInstance() {
  static const auto instance = std::make_shared<NetworkUtilities>();
  return instance;
}

std::optional<std::string> NetworkUtilities::getLocalIP() const {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0 || list == nullptr) {
    return std::nullopt;
  }
  auto answer = detail::localIPFromInterfaces(list);
  freeifaddrs(list);
  return answer;
}

NetInfo NetworkUtilities::getNetInfo() const {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0 || list == nullptr) {
    return {};
  }
  NetInfo info = detail::netInfoFromInterfaces(list);
  freeifaddrs(list);
  return info;
}

std::vector<std::uint8_t> NetworkUtilities::ipOctets(const std::string& text) {
  std::vector<std::uint8_t> octets;
  for (const std::string_view part : split(text, true)) {
    octets.push_back(octet(part).value_or(0));
  }
  return octets;
}

std::string NetworkUtilities::networkAddress(const std::string& ip, const std::string& netmask) {
  std::vector<std::uint8_t> address = ipOctets(ip);
  const std::vector<std::uint8_t> mask = ipOctets(netmask);
  for (std::size_t i = 0; i < address.size(); ++i) {
    address[i] = static_cast<std::uint8_t>(address[i] & (i < mask.size() ? mask[i] : 0));
  }
  return joinOctets(address);
}

std::string NetworkUtilities::broadcastAddress(const std::string& ip, const std::string& netmask) {
  std::vector<std::uint8_t> network = ipOctets(networkAddress(ip, netmask));
  const std::vector<std::uint8_t> mask = ipOctets(netmask);
  for (std::size_t i = 0; i < network.size(); ++i) {
    const std::uint8_t m = i < mask.size() ? mask[i] : 0;
    network[i] = static_cast<std::uint8_t>(network[i] | static_cast<std::uint8_t>(~m));
  }
  return joinOctets(network);
}

}  // namespace corvane
