#include "sockets/socket_address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace corvane::detail {

Bytes ipv4Address(in_addr_t hostOrderAddr, uint16_t port) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(port);
  sin.sin_addr.s_addr = htonl(hostOrderAddr);
  return bytesOf(sin);
}

Bytes ipv6Address(const in6_addr& addr, uint16_t port) {
  sockaddr_in6 sin6{};
  sin6.sin6_family = AF_INET6;
  sin6.sin6_port = htons(port);
  sin6.sin6_addr = addr;
  return bytesOf(sin6);
}

std::string numericHost(const sockaddr_in& address) {
  char buf[INET_ADDRSTRLEN] = {};
  if (::inet_ntop(AF_INET, &address.sin_addr, buf, sizeof buf) == nullptr) return {};
  return buf;
}

std::string numericHost(const sockaddr_in6& address) {
  char buf[INET6_ADDRSTRLEN] = {};
  if (::inet_ntop(AF_INET6, &address.sin6_addr, buf, sizeof buf) == nullptr) return {};
  return buf;
}

bool hostAndPort(const Bytes& address, std::string* host, uint16_t* port, int* family) {
  if (address.size() < sizeof(sockaddr_in)) return false;
  sa_family_t af = 0;
  std::memcpy(&af, address.data() + offsetof(sockaddr, sa_family), sizeof af);
  if (af == AF_INET) {
    sockaddr_in sin{};
    std::memcpy(&sin, address.data(), sizeof sin);
    if (host != nullptr) *host = numericHost(sin);
    if (port != nullptr) *port = ntohs(sin.sin_port);
    if (family != nullptr) *family = AF_INET;
    return true;
  }
  if (af == AF_INET6 && address.size() >= sizeof(sockaddr_in6)) {
    sockaddr_in6 sin6{};
    std::memcpy(&sin6, address.data(), sizeof sin6);
    if (host != nullptr) *host = numericHost(sin6);
    if (port != nullptr) *port = ntohs(sin6.sin6_port);
    if (family != nullptr) *family = AF_INET6;
    return true;
  }
  return false;
}

InterfaceAddresses interfaceAddresses(const std::string& interface, uint16_t port) {
  InterfaceAddresses result;
  if (interface.empty()) {
    result.address4 = ipv4Address(INADDR_ANY, port);
    result.address6 = ipv6Address(in6addr_any, port);
    return result;
  }
  if (interface == "localhost" || interface == "loopback") {
    result.address4 = ipv4Address(INADDR_LOOPBACK, port);
    result.address6 = ipv6Address(in6addr_loopback, port);
    return result;
  }
  ifaddrs* addrs = nullptr;
  if (::getifaddrs(&addrs) != 0) return result;
  for (const ifaddrs* cursor = addrs; cursor != nullptr; cursor = cursor->ifa_next) {
    if (cursor->ifa_addr == nullptr) continue;
    const bool nameMatches = cursor->ifa_name != nullptr && interface == cursor->ifa_name;
    if (cursor->ifa_addr->sa_family == AF_INET && result.address4.empty()) {
      sockaddr_in sin{};
      std::memcpy(&sin, cursor->ifa_addr, sizeof sin);
      if (nameMatches || interface == numericHost(sin)) {
        sin.sin_port = htons(port);
        result.address4 = bytesOf(sin);
      }
    } else if (cursor->ifa_addr->sa_family == AF_INET6 && result.address6.empty()) {
      sockaddr_in6 sin6{};
      std::memcpy(&sin6, cursor->ifa_addr, sizeof sin6);
      if (nameMatches || interface == numericHost(sin6)) {
        sin6.sin6_port = htons(port);
        result.address6 = bytesOf(sin6);
        if (cursor->ifa_name != nullptr) result.index6 = ::if_nametoindex(cursor->ifa_name);
      }
    }
  }
  ::freeifaddrs(addrs);
  return result;
}

const char* interfaceProblem(const InterfaceAddresses& interface, bool ipv4Disabled,
                             bool ipv6Disabled) {
  if (interface.address4.empty() && interface.address6.empty()) {
    return "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.";
  }
  if (ipv4Disabled && interface.address6.empty()) {
    return "IPv4 has been disabled and specified interface doesn't support IPv6.";
  }
  if (ipv6Disabled && interface.address4.empty()) {
    return "IPv6 has been disabled and specified interface doesn't support IPv4.";
  }
  return nullptr;
}

std::vector<Bytes> resolve(const std::string& host, uint16_t port, int socketType, int protocol,
                           int* gaiCode) {
  *gaiCode = 0;
  std::vector<Bytes> addresses;
  if (host == "localhost" || host == "loopback") {
    // The loopback addresses directly: no resolver round trip.
    addresses.push_back(ipv4Address(INADDR_LOOPBACK, port));
    addresses.push_back(ipv6Address(in6addr_loopback, port));
    return addresses;
  }
  char portText[8];
  std::snprintf(portText, sizeof portText, "%hu", port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = socketType;
  hints.ai_protocol = protocol;
  addrinfo* res0 = nullptr;
  const int code = ::getaddrinfo(host.c_str(), portText, &hints, &res0);
  if (code != 0) {
    *gaiCode = code;
    return {};
  }
  for (const addrinfo* res = res0; res != nullptr; res = res->ai_next) {
    if (res->ai_family == AF_INET && res->ai_addrlen >= sizeof(sockaddr_in)) {
      sockaddr_in sin{};
      std::memcpy(&sin, res->ai_addr, sizeof sin);
      addresses.push_back(bytesOf(sin));
    } else if (res->ai_family == AF_INET6 && res->ai_addrlen >= sizeof(sockaddr_in6)) {
      sockaddr_in6 sin6{};
      std::memcpy(&sin6, res->ai_addr, sizeof sin6);
      if (sin6.sin6_port == 0) sin6.sin6_port = htons(port);
      addresses.push_back(bytesOf(sin6));
    }
  }
  ::freeaddrinfo(res0);
  if (addresses.empty()) *gaiCode = EAI_FAIL;
  return addresses;
}

namespace {

Bytes nameOf(int fd, int (*query)(int, sockaddr*, socklen_t*)) {
  if (fd < 0) return {};
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (query(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return {};
  const auto* p = reinterpret_cast<const uint8_t*>(&addr);
  return Bytes(p, p + std::min<size_t>(len, sizeof addr));
}

}  // namespace

Bytes peerAddressOf(int fd) { return nameOf(fd, ::getpeername); }

Bytes localAddressOf(int fd) { return nameOf(fd, ::getsockname); }

}  // namespace corvane::detail
