// One queued write: the caller's bytes (shared, not copied), progress, tag and time-out.
// Created on the caller's thread, then used only on the socket queue.
#pragma once

#include <cstdint>

#include "sockets/gcd_async_packet.h"
#include "sockets/shared_data.h"

namespace corvane {

class GCDAsyncWritePacket : public GCDAsyncPacket {
 public:
  GCDAsyncWritePacket(SharedData d, double t, long i)
      : buffer(std::move(d)), bytesDone(0), tag(i), timeout(t) {}

  SharedData buffer;
  uint64_t bytesDone;
  long tag;
  // Seconds; grows by every extension granted; negative = none.
  double timeout;
};

}  // namespace corvane
