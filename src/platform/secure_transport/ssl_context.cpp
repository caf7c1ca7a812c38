// TLS sessions over OpenSSL. Encrypted bytes pass through two memory buffers: what the
// engine produced is handed to the caller's write function (and kept while that would
// block), and what the caller's read function delivers is fed to the engine when it asks
// for more.
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <mutex>

#include "platform/secure_transport/openssl_support.h"
#include "platform/secure_transport/secure_transport.h"

namespace corvane::platform::secure_transport {

namespace {

constexpr size_t kReadChunk = 16384 + 2048;  // one full record with its overhead

struct SessionFree {
  void operator()(SSL_SESSION* s) const { SSL_SESSION_free(s); }
};
using SessionPtr = std::unique_ptr<SSL_SESSION, SessionFree>;

// Client sessions remembered under their peer identifiers. Never destroyed: sessions are
// not freed while exit handlers run and worker threads may still use them.
std::mutex& sessionCacheMutex() {
  static auto* m = new std::mutex;
  return *m;
}
std::map<std::vector<uint8_t>, SessionPtr>& sessionCache() {
  static auto* cache = new std::map<std::vector<uint8_t>, SessionPtr>;
  return *cache;
}

int openSslVersion(SSLProtocol version) {
  switch (version) {
    case kSSLProtocol3:
      return SSL3_VERSION;
    case kTLSProtocol1:
      return TLS1_VERSION;
    case kTLSProtocol11:
      return TLS1_1_VERSION;
    case kTLSProtocol12:
      return TLS1_2_VERSION;
    case kTLSProtocol13:
      return TLS1_3_VERSION;
    default:
      return -1;
  }
}

// TLS 1.3 suites go by their own names; everything else is looked up by number.
const char* tls13SuiteName(uint16_t number) {
  switch (number) {
    case 0x1301:
      return "TLS_AES_128_GCM_SHA256";
    case 0x1302:
      return "TLS_AES_256_GCM_SHA384";
    case 0x1303:
      return "TLS_CHACHA20_POLY1305_SHA256";
    case 0x1304:
      return "TLS_AES_128_CCM_SHA256";
    case 0x1305:
      return "TLS_AES_128_CCM_8_SHA256";
    default:
      return nullptr;
  }
}

// The status of a fatal alert the peer sent (reason codes of received alerts).
OSStatus statusForAlert(int alert) {
  switch (alert) {
    case SSL_AD_BAD_CERTIFICATE:
      return errSSLPeerBadCert;
    case SSL_AD_CERTIFICATE_EXPIRED:
      return errSSLPeerCertExpired;
    case SSL_AD_UNKNOWN_CA:
      return errSSLPeerUnknownCA;
    case SSL_AD_HANDSHAKE_FAILURE:
      return errSSLPeerHandshakeFail;
    case SSL_AD_PROTOCOL_VERSION:
      return errSSLPeerProtocolVersion;
    default:
      return errSSLFatalAlert;
  }
}

}  // namespace

struct SSLContext::Impl {
  SSLProtocolSide side = SSLProtocolSide::kSSLClientSide;
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;  // made at the first handshake step
  BIO* input = nullptr;
  BIO* output = nullptr;
  SSLReadFunc readFunc = nullptr;
  SSLWriteFunc writeFunc = nullptr;
  SSLConnectionRef connection = nullptr;
  bool breakOnServerAuth = false;
  bool falseStart = false;
  bool peerAuthReported = false;
  bool closed = false;
  std::string peerName;
  std::vector<uint8_t> peerID;
  std::vector<uint8_t> pendingOut;  // encrypted bytes not yet taken by the write function
  // Application data that a write's handshake read on the way (the engine takes such data
  // only through a read); the next read delivers it first.
  std::vector<uint8_t> plainAhead;
  size_t pendingOutOffset = 0;
  long verifyError = X509_V_OK;
  bool verifyFailed = false;
  OSStatus lastReadStatus = noErr;
  std::shared_ptr<SecTrust> peerTrust;

  ~Impl() {
    if (ssl != nullptr) SSL_free(ssl);  // frees both memory buffers
    if (ctx != nullptr) SSL_CTX_free(ctx);
  }

  bool started() const { return ssl != nullptr; }

  OSStatus start();
  // Hands produced bytes to the write function: noErr once all are taken.
  OSStatus flushOutput();
  // Asks the read function for more bytes for the engine: noErr when some arrived.
  OSStatus pullInput();
  // Lets the engine take what it was given through reads (handshake messages, and
  // application data the peer sent meanwhile, which is kept in `plainAhead`).
  OSStatus readAhead();
  // Moves up to `length` kept bytes of `plainAhead` to `data`; the count moved.
  size_t takePlainAhead(uint8_t* data, size_t length);
  // The status for a failed engine call.
  OSStatus failureStatus(int result);
  void rememberPeerTrust(X509_STORE_CTX* storeContext);

  static int verifyCallback(X509_STORE_CTX* storeContext, void* arg);
  static int newSessionCallback(SSL* ssl, SSL_SESSION* session);
};

SSLContext::SSLContext(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

SSLContext::~SSLContext() = default;

std::shared_ptr<SSLContext> SSLContext::create(SSLProtocolSide side, SSLConnectionType /*type*/) {
  detail::initialiseLibrary();
  auto impl = std::make_unique<Impl>();
  impl->side = side;
  impl->ctx = SSL_CTX_new(side == SSLProtocolSide::kSSLServerSide ? TLS_server_method()
                                                                  : TLS_client_method());
  if (impl->ctx == nullptr) return nullptr;
  if (side == SSLProtocolSide::kSSLClientSide) {
    SSL_CTX_set_verify(impl->ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_session_cache_mode(impl->ctx,
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(impl->ctx, &Impl::newSessionCallback);
  }
  SSL_CTX_set_cert_verify_callback(impl->ctx, &Impl::verifyCallback, impl.get());
  // A write that was not taken is repeated with the same bytes, not always at the same address.
  SSL_CTX_set_mode(impl->ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  return std::make_shared<SSLContext>(std::move(impl));
}

// ---- set-up

OSStatus SSLContext::setIOFuncs(SSLReadFunc readFunc, SSLWriteFunc writeFunc) {
  if (impl_->started() || readFunc == nullptr || writeFunc == nullptr) return paramErr;
  impl_->readFunc = readFunc;
  impl_->writeFunc = writeFunc;
  return noErr;
}

OSStatus SSLContext::setConnection(SSLConnectionRef connection) {
  if (impl_->started()) return paramErr;
  impl_->connection = connection;
  return noErr;
}

OSStatus SSLContext::setSessionOption(SSLSessionOption option, bool value) {
  if (impl_->started()) return paramErr;
  switch (option) {
    case SSLSessionOption::kSSLSessionOptionBreakOnServerAuth:
      impl_->breakOnServerAuth = value;
      return noErr;
    case SSLSessionOption::kSSLSessionOptionFalseStart:
      // The engine has no false start; the handshake always completes before data flows.
      impl_->falseStart = value;
      return noErr;
    case SSLSessionOption::kSSLSessionOptionSendOneByteRecord:
      // The engine's counter-measure for the same attack on CBC records in old versions:
      // an empty fragment before each record.
      if (value) {
        SSL_CTX_clear_options(impl_->ctx, SSL_OP_DONT_INSERT_EMPTY_FRAGMENTS);
      } else {
        SSL_CTX_set_options(impl_->ctx, SSL_OP_DONT_INSERT_EMPTY_FRAGMENTS);
      }
      return noErr;
  }
  return paramErr;
}

OSStatus SSLContext::setPeerDomainName(std::string_view peerName) {
  if (impl_->started() || peerName.find('\0') != std::string_view::npos) return paramErr;
  impl_->peerName = std::string(peerName);
  return noErr;
}

OSStatus SSLContext::setCertificate(const SecItemList& certRefs) {
  if (impl_->started() || certRefs.empty()) return paramErr;
  const auto* identity = dynamic_cast<const SecIdentity*>(certRefs.front().get());
  if (identity == nullptr) return paramErr;
  for (size_t i = 1; i < certRefs.size(); ++i) {
    if (dynamic_cast<const SecCertificate*>(certRefs[i].get()) == nullptr) return paramErr;
  }
  if (SSL_CTX_use_certificate(impl_->ctx, identity->impl().x509.get()) != 1 ||
      SSL_CTX_use_PrivateKey(impl_->ctx, identity->impl().key.get()) != 1) {
    return errSSLBadCert;
  }
  SSL_CTX_clear_chain_certs(impl_->ctx);
  for (size_t i = 1; i < certRefs.size(); ++i) {
    const auto* cert = dynamic_cast<const SecCertificate*>(certRefs[i].get());
    if (SSL_CTX_add1_chain_cert(impl_->ctx, cert->impl().x509.get()) != 1) return errSSLBadCert;
  }
  return noErr;
}

OSStatus SSLContext::setPeerID(const std::vector<uint8_t>& peerID) {
  if (impl_->started() || peerID.empty()) return paramErr;
  impl_->peerID = peerID;
  return noErr;
}

OSStatus SSLContext::setProtocolVersionMin(SSLProtocol minVersion) {
  const int version = openSslVersion(minVersion);
  if (impl_->started() || version < 0) return paramErr;
  return SSL_CTX_set_min_proto_version(impl_->ctx, version) == 1 ? noErr : paramErr;
}

OSStatus SSLContext::setProtocolVersionMax(SSLProtocol maxVersion) {
  const int version = openSslVersion(maxVersion);
  if (impl_->started() || version < 0) return paramErr;
  return SSL_CTX_set_max_proto_version(impl_->ctx, version) == 1 ? noErr : paramErr;
}

OSStatus SSLContext::setEnabledCiphers(const std::vector<uint16_t>& ciphers) {
  if (impl_->started() || ciphers.empty()) return paramErr;
  SSL* probe = SSL_new(impl_->ctx);
  if (probe == nullptr) return errSSLInternal;
  std::string list12;
  std::string list13;
  for (uint16_t number : ciphers) {
    if (const char* name13 = tls13SuiteName(number)) {
      list13 += (list13.empty() ? "" : ":") + std::string(name13);
      continue;
    }
    const std::array<unsigned char, 2> wire = {static_cast<unsigned char>(number >> 8),
                                               static_cast<unsigned char>(number & 0xFF)};
    if (const SSL_CIPHER* cipher = SSL_CIPHER_find(probe, wire.data())) {
      list12 += (list12.empty() ? "" : ":") + std::string(SSL_CIPHER_get_name(cipher));
    }
  }
  SSL_free(probe);
  if (list12.empty() && list13.empty()) return paramErr;  // none the engine knows
  if (SSL_CTX_set_ciphersuites(impl_->ctx, list13.c_str()) != 1) return paramErr;
  if (list12.empty()) {
    // Only TLS 1.3 suites: no older version could be negotiated with them.
    SSL_CTX_set_min_proto_version(impl_->ctx, TLS1_3_VERSION);
  } else if (SSL_CTX_set_cipher_list(impl_->ctx, list12.c_str()) != 1) {
    return paramErr;
  }
  if (list13.empty()) SSL_CTX_set_max_proto_version(impl_->ctx, TLS1_2_VERSION);
  return noErr;
}

OSStatus SSLContext::setDiffieHellmanParams(const std::vector<uint8_t>& dhParams) {
  if (impl_->started() || dhParams.empty() || dhParams.size() > static_cast<size_t>(INT32_MAX)) {
    return paramErr;
  }
  BIO* bio = BIO_new_mem_buf(dhParams.data(), static_cast<int>(dhParams.size()));
  if (bio == nullptr) return errSSLInternal;
  EVP_PKEY* params = PEM_read_bio_Parameters(bio, nullptr);
  if (params == nullptr) {
    const unsigned char* p = dhParams.data();
    params = d2i_KeyParams(EVP_PKEY_DH, nullptr, &p, static_cast<long>(dhParams.size()));
  }
  BIO_free(bio);
  ERR_clear_error();
  if (params == nullptr || EVP_PKEY_get_base_id(params) != EVP_PKEY_DH) {
    EVP_PKEY_free(params);
    return paramErr;
  }
  if (SSL_CTX_set0_tmp_dh_pkey(impl_->ctx, params) != 1) {
    EVP_PKEY_free(params);
    return paramErr;
  }
  return noErr;
}

// ---- the session

OSStatus SSLContext::Impl::start() {
  if (readFunc == nullptr || writeFunc == nullptr) return paramErr;
  ssl = SSL_new(ctx);
  input = BIO_new(BIO_s_mem());
  output = BIO_new(BIO_s_mem());
  if (ssl == nullptr || input == nullptr || output == nullptr) {
    BIO_free(input);
    BIO_free(output);
    input = output = nullptr;
    if (ssl != nullptr) SSL_free(ssl);
    ssl = nullptr;
    return errSSLInternal;
  }
  SSL_set_bio(ssl, input, output);
  SSL_set_app_data(ssl, this);
  if (side == SSLProtocolSide::kSSLServerSide) {
    SSL_set_accept_state(ssl);
    return noErr;
  }
  SSL_set_connect_state(ssl);
  // The anchors the process trusts when the handshake begins.
  detail::addSystemAnchors(SSL_CTX_get_cert_store(ctx));
  if (!peerName.empty()) {
    // The name for virtual hosting (SNI).
    SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
             const_cast<char*>(peerName.c_str()));
    SSL_set1_host(ssl, peerName.c_str());
  }
  if (!peerID.empty()) {
    std::lock_guard<std::mutex> lock(sessionCacheMutex());
    auto it = sessionCache().find(peerID);
    if (it != sessionCache().end()) SSL_set_session(ssl, it->second.get());
  }
  return noErr;
}

OSStatus SSLContext::Impl::flushOutput() {
  const size_t produced = BIO_ctrl_pending(output);
  if (produced > 0) {
    if (pendingOutOffset == pendingOut.size()) {
      pendingOut.clear();
      pendingOutOffset = 0;
    }
    const size_t old = pendingOut.size();
    pendingOut.resize(old + produced);
    const int n = BIO_read(output, pendingOut.data() + old, static_cast<int>(produced));
    pendingOut.resize(old + static_cast<size_t>(n > 0 ? n : 0));
  }
  while (pendingOutOffset < pendingOut.size()) {
    size_t length = pendingOut.size() - pendingOutOffset;
    const OSStatus status = writeFunc(connection, pendingOut.data() + pendingOutOffset, &length);
    length = std::min(length, pendingOut.size() - pendingOutOffset);
    pendingOutOffset += length;
    // A call that took some bytes is followed by another one: only a call that takes
    // nothing says the connection is full (and has its writer wait for room).
    if (status != noErr && length == 0) {
      return status == errSSLWouldBlock ? errSSLWouldBlock : errSSLClosedAbort;
    }
  }
  pendingOut.clear();
  pendingOutOffset = 0;
  return noErr;
}

OSStatus SSLContext::Impl::pullInput() {
  std::array<uint8_t, kReadChunk> buffer{};
  size_t length = buffer.size();
  const OSStatus status = readFunc(connection, buffer.data(), &length);
  length = std::min(length, buffer.size());
  if (length > 0) {
    BIO_write(input, buffer.data(), static_cast<int>(length));
    return noErr;
  }
  lastReadStatus = status == noErr ? errSSLWouldBlock : status;
  return lastReadStatus;
}

OSStatus SSLContext::Impl::readAhead() {
  std::array<uint8_t, kReadChunk> buffer{};
  for (;;) {
    ERR_clear_error();
    size_t got = 0;
    const int result = SSL_read_ex(ssl, buffer.data(), buffer.size(), &got);
    if (result == 1) {
      plainAhead.insert(plainAhead.end(), buffer.begin(), buffer.begin() + static_cast<long>(got));
      continue;
    }
    const int error = SSL_get_error(ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      ERR_clear_error();
      return noErr;  // everything given was taken
    }
    return failureStatus(result);
  }
}

size_t SSLContext::Impl::takePlainAhead(uint8_t* data, size_t length) {
  const size_t n = std::min(length, plainAhead.size());
  if (n == 0) return 0;
  std::copy_n(plainAhead.begin(), n, data);
  plainAhead.erase(plainAhead.begin(), plainAhead.begin() + static_cast<long>(n));
  return n;
}

OSStatus SSLContext::Impl::failureStatus(int result) {
  const int error = SSL_get_error(ssl, result);
  if (error == SSL_ERROR_ZERO_RETURN) return errSSLClosedGraceful;
  if (verifyFailed) {
    ERR_clear_error();
    return detail::statusForVerifyError(verifyError);
  }
  const unsigned long queued = ERR_peek_last_error();
  ERR_clear_error();
  if (error == SSL_ERROR_SYSCALL && queued == 0) return errSSLClosedAbort;
  if (ERR_GET_LIB(queued) == ERR_LIB_SSL) {
    const int reason = ERR_GET_REASON(queued);
    if (reason > SSL_AD_REASON_OFFSET && reason < SSL_AD_REASON_OFFSET + 256) {
      return statusForAlert(reason - SSL_AD_REASON_OFFSET);
    }
    if (reason == SSL_R_NO_SHARED_CIPHER || reason == SSL_R_UNSUPPORTED_PROTOCOL ||
        reason == SSL_R_NO_PROTOCOLS_AVAILABLE || reason == SSL_R_WRONG_VERSION_NUMBER) {
      return errSSLNegotiation;
    }
  }
  return errSSLProtocol;
}

void SSLContext::Impl::rememberPeerTrust(X509_STORE_CTX* storeContext) {
  auto data = std::make_unique<detail::TrustData>();
  X509* leaf = X509_STORE_CTX_get0_cert(storeContext);
  if (leaf != nullptr) data->chain.push_back(detail::retain(leaf));
  if (STACK_OF(X509)* chain = X509_STORE_CTX_get0_untrusted(storeContext)) {
    for (int i = 0; i < sk_X509_num(chain); ++i) {
      X509* cert = sk_X509_value(chain, i);
      if (cert != leaf) data->chain.push_back(detail::retain(cert));
    }
  }
  data->hostName = peerName;
  peerTrust = std::make_shared<SecTrust>(std::move(data));
}

int SSLContext::Impl::verifyCallback(X509_STORE_CTX* storeContext, void* arg) {
  auto* self = static_cast<Impl*>(arg);
  if (self->breakOnServerAuth) {
    if (!self->peerAuthReported) {
      // Stop here; the caller evaluates the trust and then continues the handshake.
      self->peerAuthReported = true;
      self->rememberPeerTrust(storeContext);
      return SSL_set_retry_verify(self->ssl) == 1 ? 1 : 0;
    }
    return 1;  // the caller decided to continue
  }
  self->rememberPeerTrust(storeContext);
  if (X509_verify_cert(storeContext) == 1) return 1;
  self->verifyFailed = true;
  self->verifyError = X509_STORE_CTX_get_error(storeContext);
  return 0;
}

int SSLContext::Impl::newSessionCallback(SSL* ssl, SSL_SESSION* session) {
  auto* self = static_cast<Impl*>(SSL_get_app_data(ssl));
  if (self == nullptr || self->peerID.empty()) return 0;
  std::lock_guard<std::mutex> lock(sessionCacheMutex());
  sessionCache()[self->peerID] = SessionPtr(session);  // the cache keeps this reference
  return 1;
}

OSStatus SSLContext::handshake() {
  if (impl_->closed) return errSSLClosedAbort;
  if (!impl_->started()) {
    const OSStatus status = impl_->start();
    if (status != noErr) return status;
  }
  for (;;) {
    ERR_clear_error();
    const int result = SSL_do_handshake(impl_->ssl);
    const OSStatus flushed = impl_->flushOutput();
    if (flushed == errSSLClosedAbort) return errSSLClosedAbort;
    if (result == 1) return flushed;  // done once everything is sent
    const int error = SSL_get_error(impl_->ssl, result);
    if (error == SSL_ERROR_WANT_RETRY_VERIFY) {
      ERR_clear_error();
      return errSSLPeerAuthCompleted;
    }
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
      return impl_->failureStatus(result);
    }
    if (error == SSL_ERROR_WANT_READ) {
      const OSStatus pulled = impl_->pullInput();
      if (pulled == noErr) continue;
      if (pulled != errSSLWouldBlock) return errSSLClosedAbort;
    }
    return errSSLWouldBlock;
  }
}

OSStatus SSLContext::read(void* data, size_t dataLength, size_t* processed) {
  *processed = 0;
  if (!impl_->started()) return paramErr;
  if (impl_->closed) return errSSLClosedGraceful;
  auto* out = static_cast<uint8_t*>(data);
  *processed = impl_->takePlainAhead(out, dataLength);
  while (*processed < dataLength) {
    ERR_clear_error();
    size_t got = 0;
    const int result = SSL_read_ex(impl_->ssl, out + *processed, dataLength - *processed, &got);
    // Reading may produce bytes to send (key updates, alerts).
    const OSStatus flushed = impl_->flushOutput();
    if (result == 1) {
      *processed += got;
      continue;
    }
    const int error = SSL_get_error(impl_->ssl, result);
    if (error == SSL_ERROR_WANT_READ) {
      const OSStatus pulled = impl_->pullInput();
      if (pulled == noErr) continue;
      return pulled == errSSLWouldBlock ? errSSLWouldBlock : pulled;
    }
    if (error == SSL_ERROR_WANT_WRITE) return flushed == noErr ? errSSLWouldBlock : flushed;
    return impl_->failureStatus(result);
  }
  return noErr;
}

OSStatus SSLContext::write(const void* data, size_t dataLength, size_t* processed) {
  *processed = 0;
  if (!impl_->started()) return paramErr;
  if (impl_->closed) return errSSLClosedGraceful;
  if (impl_->pendingOutOffset < impl_->pendingOut.size()) {
    // Earlier records go out first; until they have, new bytes are not taken.
    const OSStatus flushed = impl_->flushOutput();
    if (flushed != noErr) return flushed;
  }
  if (dataLength == 0) return noErr;
  for (;;) {
    ERR_clear_error();
    size_t written = 0;
    const int result = SSL_write_ex(impl_->ssl, data, dataLength, &written);
    // A handshake the peer asked for (renegotiation) produces records of its own.
    const OSStatus flushed = impl_->flushOutput();
    if (result == 1) {
      *processed = written;
      return flushed;
    }
    if (flushed == errSSLClosedAbort) return errSSLClosedAbort;
    const int error = SSL_get_error(impl_->ssl, result);
    if (error == SSL_ERROR_WANT_READ) {
      // The handshake must read the peer's answer before application data may follow. The
      // engine is given it through a read: data the peer sends meanwhile is refused by a
      // write but taken by a read, and kept for the next one.
      const OSStatus pulled = impl_->pullInput();
      if (pulled != noErr) return pulled == errSSLWouldBlock ? errSSLWouldBlock : pulled;
      const OSStatus taken = impl_->readAhead();
      if (taken != noErr) return taken;
      continue;
    }
    // A memory buffer takes every byte the engine produces, so the engine never waits to
    // write; should it, the write waits as for a full connection.
    if (error == SSL_ERROR_WANT_WRITE) return errSSLWouldBlock;
    return impl_->failureStatus(result);
  }
}

OSStatus SSLContext::getBufferedReadSize(size_t* bufferSize) const {
  *bufferSize = 0;
  if (!impl_->started()) return noErr;
  *bufferSize = impl_->plainAhead.size() + static_cast<size_t>(SSL_pending(impl_->ssl)) +
                BIO_ctrl_pending(impl_->input);
  return noErr;
}

OSStatus SSLContext::copyPeerTrust(std::shared_ptr<SecTrust>* trust) const {
  *trust = impl_->peerTrust;
  return impl_->peerTrust ? noErr : errSSLBadCert;
}

bool SSLContext::isSessionResumed() const {
  return impl_->started() && SSL_session_reused(impl_->ssl) == 1;
}

OSStatus SSLContext::close() {
  if (!impl_->started() || impl_->closed) return noErr;
  impl_->closed = true;
  ERR_clear_error();
  SSL_shutdown(impl_->ssl);
  ERR_clear_error();
  return impl_->flushOutput();
}

}  // namespace corvane::platform::secure_transport
