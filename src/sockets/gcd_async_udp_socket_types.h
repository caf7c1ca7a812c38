// Value types shared by the UDP socket, its packets and its delegate.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <vector>

#include "sockets/shared_data.h"

namespace corvane {

// A raw socket address: a sockaddr_in (16 bytes) or a sockaddr_in6 (28 bytes).
using GCDAsyncUdpAddress = std::vector<uint8_t>;

// Send filter: asked with the datagram, its destination and its tag; false refuses the
// datagram (it is then not sent, but still reported as sent).
using GCDAsyncUdpSocketSendFilterBlock =
    std::function<bool(const SharedData& data, const GCDAsyncUdpAddress& address, long tag)>;

// Receive filter: asked with a received datagram and its sender; may store a context that
// is handed to the delegate with the datagram. False drops the datagram.
using GCDAsyncUdpSocketReceiveFilterBlock = std::function<bool(
    const SharedData& data, const GCDAsyncUdpAddress& address, std::any* context)>;

}  // namespace corvane
