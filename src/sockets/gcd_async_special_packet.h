// The TLS marker placed in both the read and the write queue, so that a TLS start takes
// effect only after every earlier read and write has finished.
#pragma once

#include <any>
#include <map>
#include <string>

#include "sockets/gcd_async_packet.h"

namespace corvane {

using GCDAsyncSocketTLSSettings = std::map<std::string, std::any>;

class GCDAsyncSpecialPacket : public GCDAsyncPacket {
 public:
  explicit GCDAsyncSpecialPacket(GCDAsyncSocketTLSSettings settings)
      : tlsSettings(std::move(settings)) {}

  GCDAsyncSocketTLSSettings tlsSettings;
};

}  // namespace corvane
