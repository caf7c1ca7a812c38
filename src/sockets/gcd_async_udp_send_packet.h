// Entries of the UDP socket's send queue: a datagram to send (GCDAsyncUdpSendPacket) or a
// connect request (GCDAsyncUdpSpecialPacket).
//
// Threads: a packet is built on the caller's thread and from then on touched only on the
// socket queue.
#pragma once

#include <optional>
#include <vector>

#include "platform/foundation/error.h"
#include "sockets/gcd_async_udp_socket_types.h"
#include "sockets/shared_data.h"

namespace corvane {

// Common base of the send-queue entries.
class GCDAsyncUdpPacket {
 public:
  virtual ~GCDAsyncUdpPacket() = default;
};

class GCDAsyncUdpSendPacket : public GCDAsyncUdpPacket {
 public:
  GCDAsyncUdpSendPacket(SharedData data, double timeoutSeconds, long packetTag)
      : buffer(std::move(data)), timeout(timeoutSeconds), tag(packetTag) {}

  SharedData buffer;  // the datagram (held, not copied)
  double timeout;     // seconds; negative = none
  long tag;
  bool resolveInProgress = false;  // the destination host is being resolved
  bool filterInProgress = false;   // the send filter is being asked asynchronously
  std::vector<GCDAsyncUdpAddress> resolvedAddresses;
  std::optional<platform::Error> resolveError;
  GCDAsyncUdpAddress address;  // chosen destination
  int addressFamily = 0;       // AF_INET or AF_INET6 of `address`
};

class GCDAsyncUdpSpecialPacket : public GCDAsyncUdpPacket {
 public:
  bool resolveInProgress = false;
  std::vector<GCDAsyncUdpAddress> addresses;
  std::optional<platform::Error> error;
};

}  // namespace corvane
