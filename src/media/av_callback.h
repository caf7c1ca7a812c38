// AVCallback: how an encoder hands its media packets to its owner.
//
// Called on the encoder's worker thread, once per packet, in stream order. The callee owns
// the packet from the call on: it queues it or frees it with `freeMediaPacket`.
#pragma once

#include <cstdint>

namespace corvane {

class AVCallback {
 public:
  virtual ~AVCallback() = default;
  virtual void onOutputMediaData(std::uint8_t* packet) = 0;
};

}  // namespace corvane
