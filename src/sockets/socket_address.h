// Raw socket-address helpers shared by the TCP and the UDP socket: building IPv4/IPv6
// addresses, their numeric text, interface descriptions, host resolution and the names of
// a descriptor. An address is the raw bytes of a sockaddr_in / sockaddr_in6 (/ sockaddr_un).
//
// Threads: pure functions (resolution and interface look-up block); any thread.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

namespace corvane::detail {

using Bytes = std::vector<uint8_t>;

// The raw bytes of a socket-address structure.
template <class T>
Bytes bytesOf(const T& value) {
  const auto* p = reinterpret_cast<const uint8_t*>(&value);
  return Bytes(p, p + sizeof value);
}

// `hostOrderAddr` (INADDR_ANY, INADDR_LOOPBACK, ...) with `port`.
Bytes ipv4Address(in_addr_t hostOrderAddr, uint16_t port);
Bytes ipv6Address(const in6_addr& addr, uint16_t port);

// Numeric text of the address part; "" when it cannot be formatted.
std::string numericHost(const sockaddr_in& address);
std::string numericHost(const sockaddr_in6& address);

// Host text, port and family (AF_INET / AF_INET6) of an IPv4 (>= 16 bytes) or IPv6
// (>= 28 bytes) address; false for anything else. Null outputs are skipped.
bool hostAndPort(const Bytes& address, std::string* host, uint16_t* port, int* family);

// The local addresses an interface description stands for: "" = any address,
// "localhost"/"loopback", else an interface name or a numeric address of this machine
// (first IPv4 and first IPv6 match). Empty where the family has none.
struct InterfaceAddresses {
  Bytes address4;
  Bytes address6;
  unsigned int index6 = 0;  // interface index of the IPv6 match (0: none or any)
};
InterfaceAddresses interfaceAddresses(const std::string& interface, uint16_t port);

// Why the interface cannot serve a socket with these families disabled (the bad-parameter
// text), or nullptr when it can.
const char* interfaceProblem(const InterfaceAddresses& interface, bool ipv4Disabled,
                             bool ipv6Disabled);

// Resolves `host` for `socketType` / `protocol`: "localhost"/"loopback" without the
// resolver (127.0.0.1, then ::1), otherwise getaddrinfo's IPv4 and IPv6 answers in its
// order, each with `port`. On failure the result is empty and `*gaiCode` the resolver's
// code (EAI_FAIL when it answered nothing usable).
std::vector<Bytes> resolve(const std::string& host, uint16_t port, int socketType, int protocol,
                           int* gaiCode);

// The peer / local address of a descriptor; empty when the query fails.
Bytes peerAddressOf(int fd);
Bytes localAddressOf(int fd);

}  // namespace corvane::detail
