// Secure transport: TLS stream sessions whose encrypted bytes travel through I/O functions
// the caller supplies, with the statuses, protocol numbers, session options and settings
// keys of the platform interface the sockets are written against. OpenSSL does the TLS work.
//
// Threads: an SSLContext is used from one thread or serial queue at a time (its I/O
// functions are called inside its own calls, on the caller's thread). Certificates,
// identities and trust objects are immutable once made, except a trust's anchor list, and
// may be shared between threads. `setAdditionalSystemAnchors` may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::platform::secure_transport {

using OSStatus = int32_t;

// Statuses.
inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus paramErr = -50;
inline constexpr OSStatus errSSLProtocol = -9800;
inline constexpr OSStatus errSSLNegotiation = -9801;
inline constexpr OSStatus errSSLFatalAlert = -9802;
inline constexpr OSStatus errSSLWouldBlock = -9803;
inline constexpr OSStatus errSSLClosedGraceful = -9805;
inline constexpr OSStatus errSSLClosedAbort = -9806;
inline constexpr OSStatus errSSLXCertChainInvalid = -9807;
inline constexpr OSStatus errSSLBadCert = -9808;
inline constexpr OSStatus errSSLInternal = -9810;
inline constexpr OSStatus errSSLUnknownRootCert = -9812;
inline constexpr OSStatus errSSLNoRootCert = -9813;
inline constexpr OSStatus errSSLCertExpired = -9814;
inline constexpr OSStatus errSSLPeerHandshakeFail = -9824;
inline constexpr OSStatus errSSLPeerBadCert = -9825;
inline constexpr OSStatus errSSLPeerCertExpired = -9828;
inline constexpr OSStatus errSSLPeerUnknownCA = -9829;
inline constexpr OSStatus errSSLPeerProtocolVersion = -9836;
inline constexpr OSStatus errSSLPeerAuthCompleted = -9841;
inline constexpr OSStatus errSSLHostNameMismatch = -9843;
inline constexpr OSStatus errSSLBadConfiguration = -9848;

enum class SSLProtocolSide { kSSLServerSide, kSSLClientSide };
enum class SSLConnectionType { kSSLStreamType };

// Protocol version numbers.
enum SSLProtocol : int {
  kSSLProtocolUnknown = 0,
  kSSLProtocol3 = 2,
  kTLSProtocol1 = 4,
  kTLSProtocol11 = 7,
  kTLSProtocol12 = 8,
  kTLSProtocol13 = 10,
};

enum class SSLSessionOption {
  kSSLSessionOptionBreakOnServerAuth,
  kSSLSessionOptionFalseStart,
  kSSLSessionOptionSendOneByteRecord,
};

// Settings keys of the stream layer (their values are described where they are used).
inline constexpr const char* kCFStreamSSLIsServer = "kCFStreamSSLIsServer";
inline constexpr const char* kCFStreamSSLPeerName = "kCFStreamSSLPeerName";
inline constexpr const char* kCFStreamSSLCertificates = "kCFStreamSSLCertificates";
inline constexpr const char* kCFStreamSSLAllowsAnyRoot = "kCFStreamSSLAllowsAnyRoot";
inline constexpr const char* kCFStreamSSLAllowsExpiredRoots = "kCFStreamSSLAllowsExpiredRoots";
inline constexpr const char* kCFStreamSSLValidatesCertificateChain =
    "kCFStreamSSLValidatesCertificateChain";
inline constexpr const char* kCFStreamSSLAllowsExpiredCertificates =
    "kCFStreamSSLAllowsExpiredCertificates";
inline constexpr const char* kCFStreamSSLLevel = "kCFStreamSSLLevel";

// ---- Certificates, identities, trust ----

namespace detail {
struct CertificateData;
struct IdentityData;
struct TrustData;
}  // namespace detail

// Anything a certificate list may hold.
class SecItem {
 public:
  virtual ~SecItem() = default;
};

class SecCertificate : public SecItem {
 public:
  // From PEM text or DER bytes; nullptr when they hold no certificate.
  static std::shared_ptr<SecCertificate> create(const std::vector<uint8_t>& pemOrDer);
  ~SecCertificate() override;
  // The subject's common name (empty when it has none).
  std::string subjectSummary() const;
  // The DER encoding.
  std::vector<uint8_t> data() const;
  const detail::CertificateData& impl() const { return *impl_; }

  explicit SecCertificate(std::unique_ptr<detail::CertificateData> impl);

 private:
  std::unique_ptr<detail::CertificateData> impl_;
};

// A certificate with its private key: the own side of a session.
class SecIdentity : public SecItem {
 public:
  // From PEM texts (or DER) of the certificate and the private key; nullptr when either is
  // unusable or the key does not belong to the certificate.
  static std::shared_ptr<SecIdentity> create(const std::vector<uint8_t>& certificate,
                                             const std::vector<uint8_t>& privateKey);
  ~SecIdentity() override;
  std::shared_ptr<SecCertificate> certificate() const { return certificate_; }
  const detail::IdentityData& impl() const { return *impl_; }

  SecIdentity(std::unique_ptr<detail::IdentityData> impl,
              std::shared_ptr<SecCertificate> certificate);

 private:
  std::unique_ptr<detail::IdentityData> impl_;
  std::shared_ptr<SecCertificate> certificate_;
};

// A certificate list: an identity followed by the certificates of its chain.
using SecItemList = std::vector<std::shared_ptr<const SecItem>>;

// Anchors the process trusts in addition to the system's store (for instance a test's own
// certificate authority). Replaces the previous list.
void setAdditionalSystemAnchors(std::vector<std::shared_ptr<SecCertificate>> anchors);

// The peer's certificate chain as received in a handshake, with the host name the session
// expects (none = any), ready to be evaluated.
class SecTrust {
 public:
  ~SecTrust();
  size_t certificateCount() const;
  std::shared_ptr<SecCertificate> certificateAtIndex(size_t index) const;
  // Anchors used instead of the system's when set.
  void setAnchorCertificates(std::vector<std::shared_ptr<SecCertificate>> anchors);
  // True when the chain leads to an anchor, every certificate is valid now and the leaf
  // names the expected host. `*reason` (if given) then is empty, else says why not.
  bool evaluate(std::string* reason = nullptr) const;

  explicit SecTrust(std::unique_ptr<detail::TrustData> impl);

 private:
  std::unique_ptr<detail::TrustData> impl_;
};

// ---- Sessions ----

using SSLConnectionRef = const void*;
// Asked for `*dataLength` bytes: fills `data`, sets `*dataLength` to the count delivered
// and answers noErr when all were delivered, else errSSLWouldBlock, errSSLClosedGraceful or
// errSSLClosedAbort.
using SSLReadFunc = OSStatus (*)(SSLConnectionRef connection, void* data, size_t* dataLength);
// The same for sending `*dataLength` bytes.
using SSLWriteFunc = OSStatus (*)(SSLConnectionRef connection, const void* data,
                                  size_t* dataLength);

class SSLContext {
 public:
  // A session for one side; nullptr when the TLS engine cannot make one.
  static std::shared_ptr<SSLContext> create(SSLProtocolSide side, SSLConnectionType type);
  ~SSLContext();
  SSLContext(const SSLContext&) = delete;
  SSLContext& operator=(const SSLContext&) = delete;

  // Set-up, before the first handshake step (paramErr afterwards or for a bad value).
  OSStatus setIOFuncs(SSLReadFunc readFunc, SSLWriteFunc writeFunc);
  OSStatus setConnection(SSLConnectionRef connection);
  OSStatus setSessionOption(SSLSessionOption option, bool value);
  // Client: the name sent for virtual hosting and checked against the server's certificate.
  OSStatus setPeerDomainName(std::string_view peerName);
  // An identity followed by the certificates of its chain.
  OSStatus setCertificate(const SecItemList& certRefs);
  // Client: sessions are remembered under this identifier and resumed by the next session
  // that uses it.
  OSStatus setPeerID(const std::vector<uint8_t>& peerID);
  OSStatus setProtocolVersionMin(SSLProtocol minVersion);
  OSStatus setProtocolVersionMax(SSLProtocol maxVersion);
  // Cipher suites by their registered 16-bit numbers.
  OSStatus setEnabledCiphers(const std::vector<uint16_t>& ciphers);
  // Server: Diffie-Hellman parameters (PEM or DER).
  OSStatus setDiffieHellmanParams(const std::vector<uint8_t>& dhParams);

  // One handshake step: noErr when done, errSSLWouldBlock while waiting for I/O,
  // errSSLPeerAuthCompleted when it stopped for the caller to evaluate the peer's trust (the
  // next step continues), any other status on failure.
  OSStatus handshake();
  // Decrypts up to `dataLength` bytes: noErr once all were delivered, else errSSLWouldBlock
  // (or the closing status) with `*processed` bytes delivered.
  OSStatus read(void* data, size_t dataLength, size_t* processed);
  // Encrypts and sends `dataLength` bytes. noErr: all were taken and sent. errSSLWouldBlock
  // with `*processed` == `dataLength`: they were taken but not all sent yet; a later call
  // with no new data sends the rest and answers noErr. errSSLWouldBlock with `*processed` 0:
  // nothing was taken, because earlier records (a key update, a handshake's messages) are
  // still waiting for the write function, or because a handshake the peer asked for has to
  // read the peer's answer first; the caller repeats the call with the same bytes later.
  OSStatus write(const void* data, size_t dataLength, size_t* processed);
  // Bytes received and kept by the session that a read may turn into plaintext.
  OSStatus getBufferedReadSize(size_t* bufferSize) const;
  // After errSSLPeerAuthCompleted (or later): the peer's chain.
  OSStatus copyPeerTrust(std::shared_ptr<SecTrust>* trust) const;
  // Whether this session resumed an earlier one.
  bool isSessionResumed() const;
  // Sends the closing alert (best effort); the session is finished afterwards.
  OSStatus close();

  struct Impl;
  explicit SSLContext(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace corvane::platform::secure_transport
