// Common base of the entries of a socket's read and write queues: read packets, write
// packets and the TLS marker. Entries are created on the caller's thread and then used
// only on the socket queue.
#pragma once

namespace corvane {

class GCDAsyncPacket {
 public:
  virtual ~GCDAsyncPacket() = default;
};

}  // namespace corvane
