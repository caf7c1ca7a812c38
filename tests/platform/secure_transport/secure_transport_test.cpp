// The secure-transport layer on its own: two sessions joined by in-memory byte queues whose
// writers can be throttled, certificates and trust evaluation.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <deque>

#include "platform/secure_transport/secure_transport.h"
#include "support/openssl_test_server.h"
#include "support/test_certificates.h"

namespace corvane::platform::secure_transport {
namespace {

using test_support::Bytes;
using test_support::readFile;
using test_support::TestCertificates;

// One end of an in-memory connection. Writes go to the other end's inbox, at most
// `writeBudget` bytes until it is raised again.
struct MemoryEnd {
  std::deque<uint8_t> inbox;
  MemoryEnd* peer = nullptr;
  size_t writeBudget = SIZE_MAX;
  bool peerClosed = false;

  static OSStatus read(SSLConnectionRef c, void* data, size_t* length) {
    auto* self = static_cast<MemoryEnd*>(const_cast<void*>(c));
    const size_t n = std::min(*length, self->inbox.size());
    std::copy_n(self->inbox.begin(), n, static_cast<uint8_t*>(data));
    self->inbox.erase(self->inbox.begin(), self->inbox.begin() + static_cast<long>(n));
    const bool all = n == *length;
    *length = n;
    if (all) return noErr;
    return n == 0 && self->peerClosed ? errSSLClosedAbort : errSSLWouldBlock;
  }
  static OSStatus write(SSLConnectionRef c, const void* data, size_t* length) {
    auto* self = static_cast<MemoryEnd*>(const_cast<void*>(c));
    const size_t n = std::min(*length, self->writeBudget);
    const auto* p = static_cast<const uint8_t*>(data);
    self->peer->inbox.insert(self->peer->inbox.end(), p, p + n);
    if (self->writeBudget != SIZE_MAX) self->writeBudget -= n;
    const bool all = n == *length;
    *length = n;
    return all ? noErr : errSSLWouldBlock;
  }
};

class SecureTransport : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(certs.error.empty()) << certs.error;
    client.peer = &server;
    server.peer = &client;
    clientCtx = make(SSLProtocolSide::kSSLClientSide, &client);
    serverCtx = make(SSLProtocolSide::kSSLServerSide, &server);
    ASSERT_EQ(serverCtx->setCertificate(certs.serverList()), noErr);
    setAdditionalSystemAnchors({certs.ca});
  }
  void TearDown() override { setAdditionalSystemAnchors({}); }

  static std::shared_ptr<SSLContext> make(SSLProtocolSide side, MemoryEnd* end) {
    auto ctx = SSLContext::create(side, SSLConnectionType::kSSLStreamType);
    EXPECT_EQ(ctx->setIOFuncs(&MemoryEnd::read, &MemoryEnd::write), noErr);
    EXPECT_EQ(ctx->setConnection(end), noErr);
    return ctx;
  }

  // Steps both handshakes in turn until neither would block; the client's last status.
  OSStatus handshake() {
    OSStatus c = errSSLWouldBlock;
    OSStatus s = errSSLWouldBlock;
    for (int i = 0; i < 20 && (c == errSSLWouldBlock || s == errSSLWouldBlock); ++i) {
      if (c == errSSLWouldBlock) c = clientCtx->handshake();
      if (s == errSSLWouldBlock) s = serverCtx->handshake();
    }
    serverStatus = s;
    return c;
  }

  const TestCertificates& certs = TestCertificates::get();
  MemoryEnd client;
  MemoryEnd server;
  std::shared_ptr<SSLContext> clientCtx;
  std::shared_ptr<SSLContext> serverCtx;
  OSStatus serverStatus = noErr;
};

TEST_F(SecureTransport, ThrottledWriteIsTakenThenFinishedByEmptyWrites) {
  ASSERT_EQ(clientCtx->setPeerDomainName("localhost"), noErr);
  ASSERT_EQ(handshake(), noErr);
  ASSERT_EQ(serverStatus, noErr);

  Bytes message(100000);
  for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(i * 7);
  client.writeBudget = 1000;
  size_t processed = 0;
  // The session takes the bytes although the connection accepts only part of them.
  EXPECT_EQ(clientCtx->write(message.data(), message.size(), &processed), errSSLWouldBlock);
  EXPECT_EQ(processed, message.size());
  int rounds = 0;
  OSStatus status = errSSLWouldBlock;
  while (status == errSSLWouldBlock && rounds++ < 1000) {
    client.writeBudget = 1000;
    status = clientCtx->write(nullptr, 0, &processed);
  }
  EXPECT_EQ(status, noErr);
  EXPECT_GT(rounds, 50);

  // Reading: a short request is served at once, a long one delivers what there is.
  Bytes got(10);
  ASSERT_EQ(serverCtx->read(got.data(), got.size(), &processed), noErr);
  EXPECT_EQ(processed, 10u);
  size_t buffered = 0;
  EXPECT_EQ(serverCtx->getBufferedReadSize(&buffered), noErr);
  EXPECT_GT(buffered, 0u);
  Bytes rest(message.size());  // 10 more than remain
  EXPECT_EQ(serverCtx->read(rest.data(), rest.size(), &processed), errSSLWouldBlock);
  EXPECT_EQ(processed, message.size() - 10);
  got.insert(got.end(), rest.begin(), rest.begin() + static_cast<long>(processed));
  EXPECT_TRUE(got == message);

  // Closing sends the closing alert: the other side reads a graceful end.
  EXPECT_EQ(clientCtx->close(), noErr);
  Bytes more(1);
  EXPECT_EQ(serverCtx->read(more.data(), 1, &processed), errSSLClosedGraceful);
  EXPECT_EQ(processed, 0u);
}

TEST_F(SecureTransport, BreakOnServerAuthStopsForTheCallersTrustDecision) {
  ASSERT_EQ(clientCtx->setPeerDomainName("localhost"), noErr);
  ASSERT_EQ(clientCtx->setSessionOption(SSLSessionOption::kSSLSessionOptionBreakOnServerAuth, true),
            noErr);
  ASSERT_EQ(handshake(), errSSLPeerAuthCompleted);
  std::shared_ptr<SecTrust> trust;
  ASSERT_EQ(clientCtx->copyPeerTrust(&trust), noErr);
  ASSERT_EQ(trust->certificateCount(), 2u);  // the server sends its chain
  EXPECT_EQ(trust->certificateAtIndex(0)->subjectSummary(), "localhost");
  EXPECT_EQ(trust->certificateAtIndex(1)->subjectSummary(), "Corvane Test CA");
  EXPECT_EQ(trust->certificateAtIndex(2), nullptr);
  std::string reason;
  EXPECT_TRUE(trust->evaluate(&reason)) << reason;  // the process's anchors
  trust->setAnchorCertificates({});
  EXPECT_FALSE(trust->evaluate(&reason));
  EXPECT_FALSE(reason.empty());
  trust->setAnchorCertificates({certs.ca});
  EXPECT_TRUE(trust->evaluate(&reason)) << reason;
  // The caller decided: the next steps finish the handshake.
  EXPECT_EQ(handshake(), noErr);
  EXPECT_EQ(serverStatus, noErr);
}

TEST_F(SecureTransport, AutomaticEvaluationRefusesAnUnknownAuthorityAndAWrongName) {
  struct Case {
    const char* name;
    const char* peerName;
    bool anchors;
    OSStatus expect;
  };
  for (const Case& c : {Case{"wrongName", "other.example", true, errSSLHostNameMismatch},
                        Case{"unknownAuthority", "localhost", false, errSSLNoRootCert},
                        Case{"ipAddress", "127.0.0.1", true, noErr}}) {
    SCOPED_TRACE(c.name);
    MemoryEnd a;
    MemoryEnd b;
    a.peer = &b;
    b.peer = &a;
    setAdditionalSystemAnchors(c.anchors ? std::vector{certs.ca}
                                         : std::vector<std::shared_ptr<SecCertificate>>{});
    clientCtx = make(SSLProtocolSide::kSSLClientSide, &a);
    serverCtx = make(SSLProtocolSide::kSSLServerSide, &b);
    ASSERT_EQ(serverCtx->setCertificate({certs.server}), noErr);
    ASSERT_EQ(clientCtx->setPeerDomainName(c.peerName), noErr);
    EXPECT_EQ(handshake(), c.expect);
  }
}

TEST_F(SecureTransport, CertificatesIdentitiesAndRefusedSettings) {
  // PEM and DER give the same certificate; anything else gives none.
  const auto fromPem = SecCertificate::create(readFile(certs.caPem));
  ASSERT_NE(fromPem, nullptr);
  const auto fromDer = SecCertificate::create(fromPem->data());
  ASSERT_NE(fromDer, nullptr);
  EXPECT_EQ(fromDer->data(), fromPem->data());
  EXPECT_EQ(SecCertificate::create(Bytes{1, 2, 3}), nullptr);
  EXPECT_EQ(SecCertificate::create({}), nullptr);
  // A key must belong to its certificate.
  EXPECT_NE(SecIdentity::create(readFile(certs.serverPem), readFile(certs.serverKey)), nullptr);
  EXPECT_EQ(SecIdentity::create(readFile(certs.caPem), readFile(certs.serverKey)), nullptr);

  auto ctx = SSLContext::create(SSLProtocolSide::kSSLClientSide, SSLConnectionType::kSSLStreamType);
  EXPECT_EQ(ctx->setProtocolVersionMin(static_cast<SSLProtocol>(99)), paramErr);
  EXPECT_EQ(ctx->setProtocolVersionMax(kTLSProtocol13), noErr);
  EXPECT_EQ(ctx->setEnabledCiphers({0xFFFF}), paramErr);
  EXPECT_EQ(ctx->setEnabledCiphers({0x1301, 0xC02F}), noErr);
  EXPECT_EQ(ctx->setPeerID({}), paramErr);
  EXPECT_EQ(ctx->setCertificate({}), paramErr);
  EXPECT_EQ(ctx->setCertificate({certs.ca}), paramErr);  // no identity first
  EXPECT_EQ(ctx->setDiffieHellmanParams(Bytes{1, 2, 3}), paramErr);
  EXPECT_EQ(ctx->setDiffieHellmanParams(readFile(certs.dhPem)), noErr);
  // Nothing can change once the handshake has begun.
  MemoryEnd end;
  MemoryEnd other;
  end.peer = &other;
  ASSERT_EQ(ctx->setIOFuncs(&MemoryEnd::read, &MemoryEnd::write), noErr);
  ASSERT_EQ(ctx->setConnection(&end), noErr);
  EXPECT_EQ(ctx->handshake(), errSSLWouldBlock);
  EXPECT_FALSE(other.inbox.empty());  // the first flight went out
  EXPECT_EQ(ctx->setPeerDomainName("localhost"), paramErr);
  EXPECT_EQ(ctx->setProtocolVersionMin(kTLSProtocol12), paramErr);
  // An end of the connection during the handshake is an abort.
  end.peerClosed = true;
  EXPECT_EQ(ctx->handshake(), errSSLClosedAbort);
}

// A TLS 1.2 server that the test drives step by step through OpenSSL itself, so that it can
// ask for a renegotiation. It reads what the client's end sent and answers into the client's
// inbox.
class RenegotiatingServer {
 public:
  RenegotiatingServer(MemoryEnd* clientEnd, MemoryEnd* ownEnd) : client_(clientEnd), own_(ownEnd) {
    ctx_ = test_support::newTls12ServerContext();
    ssl_ = SSL_new(ctx_);
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_accept_state(ssl_);
  }
  ~RenegotiatingServer() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
  }
  RenegotiatingServer(const RenegotiatingServer&) = delete;
  RenegotiatingServer& operator=(const RenegotiatingServer&) = delete;

  // One step: takes what the client sent, runs the handshake (or reads application data
  // into `received`) and hands what it produced to the client.
  void step() {
    std::vector<uint8_t> bytes(own_->inbox.begin(), own_->inbox.end());
    own_->inbox.clear();
    if (!bytes.empty()) BIO_write(in_, bytes.data(), static_cast<int>(bytes.size()));
    if (SSL_in_init(ssl_) != 0) {
      SSL_do_handshake(ssl_);
    }
    uint8_t buffer[4096];
    size_t got = 0;
    while (SSL_in_init(ssl_) == 0 && SSL_read_ex(ssl_, buffer, sizeof buffer, &got) == 1) {
      received.insert(received.end(), buffer, buffer + got);
    }
    flush();
  }
  // Asks the client for a new handshake.
  bool renegotiate() {
    if (SSL_renegotiate(ssl_) != 1) return false;
    SSL_do_handshake(ssl_);
    flush();
    return true;
  }
  // Sends application data to the client.
  void write(const Bytes& data) {
    size_t written = 0;
    SSL_write_ex(ssl_, data.data(), data.size(), &written);
    flush();
  }
  int renegotiations() const {
    return static_cast<int>(SSL_ctrl(ssl_, SSL_CTRL_GET_NUM_RENEGOTIATIONS, 0, nullptr));
  }

  Bytes received;

 private:
  void flush() {
    uint8_t buffer[4096];
    int n = 0;
    while ((n = BIO_read(out_, buffer, static_cast<int>(sizeof buffer))) > 0) {
      client_->inbox.insert(client_->inbox.end(), buffer, buffer + static_cast<size_t>(n));
    }
  }

  MemoryEnd* client_;
  MemoryEnd* own_;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;
  BIO* out_ = nullptr;
};

// While a handshake the server asked for runs, a write is not taken (0 processed) until the
// server has answered, and no status closes the session; bytes that were not taken are handed
// over again and arrive once. The same holds while the handshake's own first message cannot
// go out yet: no new bytes are taken before earlier records have been sent.
class SecureTransportRenegotiation : public SecureTransport {
 protected:
  void SetUp() override {
    SecureTransport::SetUp();
    a.peer = &b;
    b.peer = &a;
    clientCtx = make(SSLProtocolSide::kSSLClientSide, &a);
    ASSERT_EQ(clientCtx->setPeerDomainName("localhost"), noErr);
    OSStatus status = errSSLWouldBlock;
    for (int i = 0; i < 20 && status == errSSLWouldBlock; ++i) {
      status = clientCtx->handshake();
      peer.step();
    }
    ASSERT_EQ(status, noErr);
  }

  // Hands `data` to the client's session until it is taken, letting the server answer.
  OSStatus writeUntilTaken(const Bytes& data, size_t* processed) {
    OSStatus status = errSSLWouldBlock;
    for (int i = 0; i < 20 && status == errSSLWouldBlock; ++i) {
      peer.step();
      status = clientCtx->write(data.data(), data.size(), processed);
    }
    return status;
  }

  MemoryEnd a;
  MemoryEnd b;
  RenegotiatingServer peer{&a, &b};
};

TEST_F(SecureTransportRenegotiation, WritesDuringARenegotiationTheServerAskedForWaitAndArriveOnce) {
  const Bytes first = {'o', 'n', 'e'};
  const Bytes second = {'t', 'w', 'o'};
  size_t processed = 0;
  ASSERT_EQ(clientCtx->write(first.data(), first.size(), &processed), noErr);
  peer.step();
  ASSERT_TRUE(peer.renegotiate());

  // The client reads the request; its answer cannot go out yet.
  a.writeBudget = 0;
  Bytes none(16);
  EXPECT_EQ(clientCtx->read(none.data(), none.size(), &processed), errSSLWouldBlock);
  EXPECT_EQ(processed, 0u);
  EXPECT_TRUE(b.inbox.empty());
  // Earlier records are waiting: the new bytes are not taken.
  EXPECT_EQ(clientCtx->write(second.data(), second.size(), &processed), errSSLWouldBlock);
  EXPECT_EQ(processed, 0u);

  // Room again: the handshake message goes out, and the write waits for the server's answer.
  a.writeBudget = SIZE_MAX;
  EXPECT_EQ(clientCtx->write(second.data(), second.size(), &processed), errSSLWouldBlock);
  EXPECT_EQ(processed, 0u);
  EXPECT_FALSE(b.inbox.empty());

  // The server answers; the same bytes are handed over again until they are taken.
  ASSERT_EQ(writeUntilTaken(second, &processed), noErr);
  EXPECT_EQ(processed, second.size());
  peer.step();
  EXPECT_EQ(peer.received, (Bytes{'o', 'n', 'e', 't', 'w', 'o'}));
  EXPECT_EQ(peer.renegotiations(), 1);
}

// Application data the server sends while the handshake it asked for runs reaches the
// client's next read, also when the client's write is what reads it.
TEST_F(SecureTransportRenegotiation, DataTheServerSendsDuringTheHandshakeReachesTheNextRead) {
  ASSERT_TRUE(peer.renegotiate());
  peer.write({'h', 'i'});
  // The client reads the request and the data; its answer goes out.
  Bytes got(16);
  size_t processed = 0;
  EXPECT_EQ(clientCtx->read(got.data(), got.size(), &processed), errSSLWouldBlock);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + static_cast<long>(processed)), (Bytes{'h', 'i'}));
  // The server sends more before it answers the client's hello; the client's write meets it.
  peer.write({'m', 'o', 'r', 'e'});
  const Bytes data = {'d', 'a', 't', 'a'};
  ASSERT_EQ(writeUntilTaken(data, &processed), noErr);
  size_t buffered = 0;
  EXPECT_EQ(clientCtx->getBufferedReadSize(&buffered), noErr);
  EXPECT_GE(buffered, 4u);
  EXPECT_EQ(clientCtx->read(got.data(), 4, &processed), noErr);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 4), (Bytes{'m', 'o', 'r', 'e'}));
  peer.step();
  EXPECT_EQ(peer.received, data);
  EXPECT_EQ(peer.renegotiations(), 1);
}

}  // namespace
}  // namespace corvane::platform::secure_transport
