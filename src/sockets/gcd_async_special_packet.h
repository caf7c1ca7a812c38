// The TLS marker placed in both the read and the write queue, so that a TLS start takes
// effect only after every earlier read and write has finished.
#pragma once

#include <any>
#include <map>
#include <string>

#include "sockets/gcd_async_packet.h"

namespace corvane {

// TLS settings by key. Value types: kCFStreamSSLIsServer, GCDAsyncSocketManuallyEvaluateTrust
// and the two session options bool; kCFStreamSSLPeerName std::string (or a C string);
// kCFStreamSSLCertificates platform::secure_transport::SecItemList; GCDAsyncSocketSSLPeerID
// and GCDAsyncSocketSSLDiffieHellmanParameters std::vector<uint8_t>; the protocol versions
// int or platform::secure_transport::SSLProtocol; GCDAsyncSocketSSLCipherSuites
// std::vector<uint16_t>.
using GCDAsyncSocketTLSSettings = std::map<std::string, std::any>;

inline constexpr const char* GCDAsyncSocketManuallyEvaluateTrust =
    "GCDAsyncSocketManuallyEvaluateTrust";
inline constexpr const char* GCDAsyncSocketSSLPeerID = "GCDAsyncSocketSSLPeerID";
inline constexpr const char* GCDAsyncSocketSSLProtocolVersionMin =
    "GCDAsyncSocketSSLProtocolVersionMin";
inline constexpr const char* GCDAsyncSocketSSLProtocolVersionMax =
    "GCDAsyncSocketSSLProtocolVersionMax";
inline constexpr const char* GCDAsyncSocketSSLSessionOptionFalseStart =
    "GCDAsyncSocketSSLSessionOptionFalseStart";
inline constexpr const char* GCDAsyncSocketSSLSessionOptionSendOneByteRecord =
    "GCDAsyncSocketSSLSessionOptionSendOneByteRecord";
inline constexpr const char* GCDAsyncSocketSSLCipherSuites = "GCDAsyncSocketSSLCipherSuites";
inline constexpr const char* GCDAsyncSocketSSLDiffieHellmanParameters =
    "GCDAsyncSocketSSLDiffieHellmanParameters";

class GCDAsyncSpecialPacket : public GCDAsyncPacket {
 public:
  explicit GCDAsyncSpecialPacket(GCDAsyncSocketTLSSettings settings)
      : tlsSettings(std::move(settings)) {}

  GCDAsyncSocketTLSSettings tlsSettings;
};

}  // namespace corvane
