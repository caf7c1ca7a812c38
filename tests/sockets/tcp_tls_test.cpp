// TLS on the TCP socket: the class against itself, against the openssl tool as server and
// as client, and against a plain TLS peer; trust decisions, host names, bulk data, end of
// stream during the handshake and every settings error.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "tls_support.h"

namespace corvane::tls_test {
namespace {

using Settings = GCDAsyncSocketTLSSettings;

Bytes pattern(size_t n, uint32_t seed) {
  Bytes b(n);
  uint32_t x = seed;
  for (auto& v : b) {
    x = x * 1664525u + 1013904223u;
    v = static_cast<uint8_t>(x >> 24);
  }
  return b;
}

bool isSSLError(const std::optional<Error>& e, long status) {
  return e && e->domain == "kCFStreamErrorDomainSSL" && e->code == status;
}

Settings clientSettings(const std::string& peerName = "localhost") {
  return {{st::kCFStreamSSLPeerName, peerName}};
}

// The peer name may also be given as a C string.
Settings clientSettingsWithLiteralName() { return {{st::kCFStreamSSLPeerName, "localhost"}}; }

Settings serverSettings() {
  return {{st::kCFStreamSSLIsServer, true},
          {st::kCFStreamSSLCertificates, TestCertificates::get().serverList()}};
}

class TcpTls : public ::testing::Test {
 protected:
  void SetUp() override {
    const TestCertificates& certs = TestCertificates::get();
    ASSERT_TRUE(certs.error.empty()) << certs.error;
    // The test authority stands in for a root the system trusts.
    st::setAdditionalSystemAnchors({certs.ca});
  }
  void TearDown() override { st::setAdditionalSystemAnchors({}); }
};

struct Server {
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  QueuePtr queue = Queue::createSerial("test.server");
  SocketPtr listener = GCDAsyncSocket::create(delegate, queue);
  uint16_t port = 0;

  bool listen() {
    Error err;
    if (!listener->acceptOnInterface("127.0.0.1", 0, &err)) return false;
    listener->performBlock([&] { port = listener->localPort4(); });
    return port != 0;
  }
  SocketPtr accepted() { return delegate->first(Event::Accept).newSocket; }
};

struct Client {
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  SocketPtr sock = GCDAsyncSocket::create(delegate, Queue::createSerial("test.client"));

  bool connect(uint16_t port) {
    Error err;
    return sock->connectToAddress(loopbackAddress(AF_INET, port), 2.0, &err);
  }
  std::optional<Error> disconnectError() { return delegate->first(Event::Disconnect).error; }
};

// Both sides exchange plain lines, queue startTLS behind them, then send megabytes each way
// encrypted. The plain requests complete first; a second startTLS changes nothing.
TEST_F(TcpTls, ClientAndServerUpgradeAfterQueuedPlainIOAndMoveBulkDataBothWays) {
  constexpr size_t kBulk = 3 * 1024 * 1024;
  const Bytes fromClient = pattern(kBulk, 1);
  const Bytes fromServer = pattern(kBulk, 2);
  Server server;
  server.delegate->onAccept = [&](const SocketPtr&, const SocketPtr& s) {
    s->readDataToData(GCDAsyncSocket::LFData(), 5.0, 1);
    s->writeData(SharedData::fromString("READY\n"), 5.0, 1);
    s->startTLS(serverSettings());
    s->readDataToLength(kBulk, 20.0, 2);
  };
  server.delegate->onRead = [&](const SocketPtr& s, const SharedData&, long tag) {
    if (tag == 2) s->writeData(SharedData(fromServer), 20.0, 3);
  };
  ASSERT_TRUE(server.listen());

  Client client;
  client.delegate->onConnect = [&](const SocketPtr& s) {
    s->writeData(SharedData::fromString("HELLO\n"), 5.0, 1);
    s->readDataToData(GCDAsyncSocket::LFData(), 5.0, 1);
    s->startTLS(clientSettings());
    s->writeData(SharedData(fromClient), 20.0, 2);
    s->readDataToLength(kBulk, 20.0, 3);
  };
  ASSERT_TRUE(client.connect(server.port));

  ASSERT_TRUE(client.delegate->waitFor(Event::Read, 2, 30.0));
  ASSERT_TRUE(server.delegate->waitFor(Event::Read, 2, 30.0));
  const auto clientReads = client.delegate->events(Event::Read);
  const auto serverReads = server.delegate->events(Event::Read);
  EXPECT_EQ(text(clientReads[0].data), "READY\n");
  EXPECT_EQ(text(serverReads[0].data), "HELLO\n");
  EXPECT_TRUE(clientReads[1].data == fromServer) << "server bulk data differs";
  EXPECT_TRUE(serverReads[1].data == fromClient) << "client bulk data differs";

  // The plain line was read before the session was secured, the bulk data after.
  const auto kinds = client.delegate->kinds();
  const auto secureAt = std::find(kinds.begin(), kinds.end(), Event::Secure);
  ASSERT_NE(secureAt, kinds.end());
  EXPECT_LT(std::find(kinds.begin(), kinds.end(), Event::Read), secureAt);
  EXPECT_TRUE(client.sock->isSecure());
  EXPECT_TRUE(server.accepted()->isSecure());

  // A second startTLS does nothing: no new handshake holds the queues up.
  client.sock->startTLS(clientSettings());
  client.sock->writeData(SharedData::fromString("after\n"), 5.0, 4);
  server.accepted()->readDataToData(GCDAsyncSocket::LFData(), 5.0, 5);
  ASSERT_TRUE(server.delegate->waitFor(Event::Read, 3));
  EXPECT_EQ(text(server.delegate->events(Event::Read)[2].data), "after\n");
  EXPECT_EQ(client.delegate->count(Event::Secure), 1u);
  EXPECT_EQ(client.delegate->count(Event::Disconnect), 0u);
  EXPECT_EQ(server.delegate->count(Event::Disconnect), 0u);

  // A close ends the session cleanly: the peer sees the end of the stream (code 7).
  client.sock->disconnect();
  ASSERT_TRUE(server.delegate->waitFor(Event::Disconnect));
  EXPECT_TRUE(isCode(server.delegate->first(Event::Disconnect).error, Code::connectionClosed));
}

// Every setting of the table at once, each with a valid value.
TEST_F(TcpTls, EverySettingWithAValidValueStillConnects) {
  const TestCertificates& certs = TestCertificates::get();
  Server server;
  server.delegate->onAccept = [&](const SocketPtr&, const SocketPtr& s) {
    Settings settings = serverSettings();
    settings[GCDAsyncSocketSSLDiffieHellmanParameters] = readFile(certs.dhPem);
    settings[GCDAsyncSocketSSLProtocolVersionMin] = st::kTLSProtocol12;
    settings[GCDAsyncSocketSSLProtocolVersionMax] = static_cast<int>(st::kTLSProtocol13);
    settings[GCDAsyncSocketSSLCipherSuites] = std::vector<uint16_t>{0x1301, 0x1302, 0xC02B};
    s->startTLS(settings);
    s->readDataToData(GCDAsyncSocket::LFData(), 5.0, 1);
  };
  ASSERT_TRUE(server.listen());
  Client client;
  client.delegate->onConnect = [&](const SocketPtr& s) {
    Settings settings = clientSettingsWithLiteralName();
    settings[GCDAsyncSocketSSLPeerID] = bytes("every-setting");
    settings[GCDAsyncSocketSSLSessionOptionFalseStart] = true;
    settings[GCDAsyncSocketSSLSessionOptionSendOneByteRecord] = true;
    settings[GCDAsyncSocketSSLCipherSuites] = std::vector<uint16_t>{0x1302};
    s->startTLS(settings);
    s->writeData(SharedData::fromString("ok\n"), 5.0, 1);
  };
  ASSERT_TRUE(client.connect(server.port));
  ASSERT_TRUE(server.delegate->waitFor(Event::Read));
  EXPECT_EQ(text(server.delegate->first(Event::Read).data), "ok\n");
  EXPECT_EQ(client.delegate->count(Event::Secure), 1u);
}

TEST_F(TcpTls, ProtocolRangesThatDoNotMeetFailTheHandshake) {
  Server server;
  server.delegate->onAccept = [&](const SocketPtr&, const SocketPtr& s) {
    Settings settings = serverSettings();
    settings[GCDAsyncSocketSSLProtocolVersionMax] = st::kTLSProtocol12;
    s->startTLS(settings);
  };
  ASSERT_TRUE(server.listen());
  Client client;
  client.delegate->onConnect = [&](const SocketPtr& s) {
    Settings settings = clientSettings();
    settings[GCDAsyncSocketSSLProtocolVersionMin] = st::kTLSProtocol13;
    s->startTLS(settings);
  };
  ASSERT_TRUE(client.connect(server.port));
  ASSERT_TRUE(client.delegate->waitFor(Event::Disconnect));
  const auto e = client.disconnectError();
  ASSERT_TRUE(e);
  EXPECT_EQ(e->domain, "kCFStreamErrorDomainSSL");
  EXPECT_EQ(client.delegate->count(Event::Secure), 0u);
  ASSERT_TRUE(server.delegate->waitFor(Event::Disconnect));
  EXPECT_EQ(server.delegate->count(Event::Secure), 0u);
}

// Bytes that arrived together with the last plain line are the start of the handshake: they
// wait in the pre-buffer and go to the session.
TEST_F(TcpTls, BytesReceivedBeforeTheMarkerFeedTheHandshake) {
  Server server;
  server.delegate->onAccept = [&](const SocketPtr&, const SocketPtr& s) {
    s->readDataToData(GCDAsyncSocket::LFData(), 5.0, 1);
    s->startTLS(serverSettings());
    s->readDataToLength(4, 5.0, 2);
  };
  ASSERT_TRUE(server.listen());
  PlainTlsPeer peer(connectLoopback(AF_INET, server.port), st::SSLProtocolSide::kSSLClientSide);
  ASSERT_TRUE(peer.fd);
  peer.ctx->setPeerDomainName("localhost");
  // The session's first flight, kept back and sent in one piece after the plain line.
  peer.capture = true;
  ASSERT_EQ(peer.ctx->handshake(), st::errSSLWouldBlock);
  peer.capture = false;
  ASSERT_FALSE(peer.captured.empty());
  Bytes first = bytes("HELLO\n");
  first.insert(first.end(), peer.captured.begin(), peer.captured.end());
  ASSERT_TRUE(writeAll(peer.fd.get(), first));

  ASSERT_EQ(peer.handshake(), st::noErr);
  ASSERT_TRUE(peer.send(bytes("ping")));
  ASSERT_TRUE(server.delegate->waitFor(Event::Read, 2));
  const auto reads = server.delegate->events(Event::Read);
  EXPECT_EQ(text(reads[0].data), "HELLO\n");
  EXPECT_EQ(text(reads[1].data), "ping");
  EXPECT_EQ(server.delegate->count(Event::Secure), 1u);
}

// The peer ends the stream in the middle of the handshake: closed with -9806 on either side.
TEST_F(TcpTls, EndOfStreamDuringTheHandshakeClosesWithClosedAbort) {
  {
    SCOPED_TRACE("server side");
    Server server;
    server.delegate->onAccept = [&](const SocketPtr&, const SocketPtr& s) {
      s->startTLS(serverSettings());
    };
    ASSERT_TRUE(server.listen());
    PlainTlsPeer peer(connectLoopback(AF_INET, server.port), st::SSLProtocolSide::kSSLClientSide);
    peer.capture = true;
    ASSERT_EQ(peer.ctx->handshake(), st::errSSLWouldBlock);
    ASSERT_GT(peer.captured.size(), 10u);
    // Half of the first flight, then the end.
    ASSERT_TRUE(writeAll(peer.fd.get(), Bytes(peer.captured.begin(), peer.captured.begin() + 10)));
    ASSERT_TRUE(server.delegate->waitFor(Event::Accept));
    ::shutdown(peer.fd.get(), SHUT_WR);
    ASSERT_TRUE(server.delegate->waitFor(Event::Disconnect));
    EXPECT_TRUE(isSSLError(server.delegate->first(Event::Disconnect).error, st::errSSLClosedAbort));
    EXPECT_EQ(server.delegate->first(Event::Disconnect).error->recoverySuggestion,
              "Error code definition can be found in Apple's SecureTransport.h");
  }
  {
    SCOPED_TRACE("client side");
    uint16_t port = 0;
    UniqueFd listener = listenLoopback(AF_INET, &port);
    Client client;
    client.delegate->onConnect = [](const SocketPtr& s) { s->startTLS(clientSettings()); };
    ASSERT_TRUE(client.connect(port));
    UniqueFd peer = acceptWithin(listener.get());
    ASSERT_TRUE(peer);
    ASSERT_TRUE(waitReadable(peer.get(), kWait));  // the first flight is here
    peer.reset();
    ASSERT_TRUE(client.delegate->waitFor(Event::Disconnect));
    EXPECT_TRUE(isSSLError(client.disconnectError(), st::errSSLClosedAbort));
  }
}

// Bytes that are no TLS, in the handshake or inside a secured session, close the socket
// with an error of the TLS domain and lose nothing else.
TEST_F(TcpTls, GarbageInsteadOfRecordsClosesWithATlsError) {
  for (bool secureFirst : {false, true}) {
    SCOPED_TRACE(secureFirst ? "after the handshake" : "in the handshake");
    Server server;
    server.delegate->onAccept = [&](const SocketPtr&, const SocketPtr& s) {
      s->startTLS(serverSettings());
      s->readDataToLength(4, 5.0, 1);
    };
    ASSERT_TRUE(server.listen());
    PlainTlsPeer peer(connectLoopback(AF_INET, server.port), st::SSLProtocolSide::kSSLClientSide);
    ASSERT_TRUE(peer.fd);
    if (secureFirst) {
      peer.ctx->setPeerDomainName("localhost");
      ASSERT_EQ(peer.handshake(), st::noErr);
      ASSERT_TRUE(server.delegate->waitFor(Event::Secure));
    }
    ASSERT_TRUE(writeAll(peer.fd.get(), pattern(3000, 7)));
    ASSERT_TRUE(server.delegate->waitFor(Event::Disconnect));
    const auto e = server.delegate->first(Event::Disconnect).error;
    ASSERT_TRUE(e);
    EXPECT_EQ(e->domain, "kCFStreamErrorDomainSSL");
    EXPECT_EQ(server.delegate->count(Event::Read), 0u);
    EXPECT_TRUE(waitForEOF(peer.fd.get()));
  }
}

// ---- Against the openssl tool

std::vector<std::string> serverCommand(const std::vector<std::string>& options) {
  std::vector<std::string> argv = {"openssl", "s_server",
                                   "-accept", "127.0.0.1:0",
                                   "-cert",   TestCertificates::get().serverPem,
                                   "-key",    TestCertificates::get().serverKey};
  argv.insert(argv.end(), options.begin(), options.end());
  return argv;
}

// `openssl s_server` with the test certificate, answering every line reversed (or with the
// given options instead: without -rev it prints what it receives and takes commands on its
// standard input).
class OpensslServer {
 public:
  explicit OpensslServer(const std::vector<std::string>& options = {"-rev"})
      : child_(serverCommand(options)) {
    if (!child_.started() || !child_.waitForOutput("ACCEPT 127.0.0.1:")) return;
    const std::string& out = child_.output();
    const size_t at = out.find("ACCEPT 127.0.0.1:") + std::string("ACCEPT 127.0.0.1:").size();
    if (!child_.waitForOutput("\n")) return;
    port_ = static_cast<uint16_t>(std::strtoul(child_.output().c_str() + at, nullptr, 10));
  }
  uint16_t port() const { return port_; }
  std::string output() const { return child_.output(); }
  ChildProcess& process() { return child_; }

 private:
  ChildProcess child_;
  uint16_t port_ = 0;
};

enum class Trust { Automatic, ManualEvaluated, ManualRefused, ManualNotImplemented };

struct TrustCase {
  const char* name;
  const char* peerName;
  Trust trust;
  bool secured;
  long status;       // the closing status when not secured (0: code 8 below)
  const char* text;  // the closing error's description for code 8
};

class TcpTlsTrust : public TcpTls, public ::testing::WithParamInterface<TrustCase> {};

TEST_P(TcpTlsTrust, AgainstOpensslServer) {
  const TrustCase& c = GetParam();
  OpensslServer server;
  ASSERT_NE(server.port(), 0) << "openssl s_server did not start: " << server.output();
  Client client;
  std::atomic<bool> evaluatedBeforeSecure{false};
  std::string reason;
  if (c.trust == Trust::ManualEvaluated || c.trust == Trust::ManualRefused) {
    client.delegate->onTrust = [&](const std::shared_ptr<st::SecTrust>& trust,
                                   std::function<void(bool)> handler) {
      EXPECT_GE(trust->certificateCount(), 1u);
      EXPECT_EQ(trust->certificateAtIndex(0)->subjectSummary(), "localhost");
      trust->setAnchorCertificates({TestCertificates::get().ca});
      const bool trusted = trust->evaluate(&reason);
      evaluatedBeforeSecure = client.delegate->count(Event::Secure) == 0;
      handler(c.trust == Trust::ManualEvaluated && trusted);
    };
  }
  client.delegate->onConnect = [&](const SocketPtr& s) {
    Settings settings = clientSettings(c.peerName);
    if (c.trust != Trust::Automatic) settings[GCDAsyncSocketManuallyEvaluateTrust] = true;
    s->startTLS(settings);
    s->writeData(SharedData::fromString("hello\n"), 5.0, 1);
    s->readDataToData(GCDAsyncSocket::LFData(), 5.0, 1);
  };
  if (c.trust != Trust::Automatic) st::setAdditionalSystemAnchors({});  // the delegate decides
  ASSERT_TRUE(client.connect(server.port()));

  if (c.secured) {
    ASSERT_TRUE(client.delegate->waitFor(Event::Read)) << server.output();
    EXPECT_EQ(text(client.delegate->first(Event::Read).data), "olleh\n");
    EXPECT_EQ(client.delegate->count(Event::Secure), 1u);
    if (c.trust == Trust::ManualEvaluated) {
      EXPECT_TRUE(evaluatedBeforeSecure.load());
      EXPECT_EQ(reason, "");
    }
    return;
  }
  ASSERT_TRUE(client.delegate->waitFor(Event::Disconnect));
  const auto e = client.disconnectError();
  if (c.status != 0) {
    EXPECT_TRUE(isSSLError(e, c.status)) << (e ? e->domain + " " + std::to_string(e->code) : "");
  } else {
    EXPECT_TRUE(isCode(e, Code::other));
    EXPECT_EQ(e->description, c.text);
  }
  EXPECT_EQ(client.delegate->count(Event::Secure), 0u);
  EXPECT_EQ(client.delegate->count(Event::Read), 0u);
  if (std::string(c.peerName) != "localhost" && c.trust == Trust::ManualRefused) {
    EXPECT_NE(reason.find("mismatch"), std::string::npos) << reason;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TcpTlsTrust,
    ::testing::Values(
        TrustCase{"automatic", "localhost", Trust::Automatic, true, 0, ""},
        TrustCase{"automaticWrongHostName", "wrong.example", Trust::Automatic, false,
                  st::errSSLHostNameMismatch, ""},
        TrustCase{"manualAccepted", "localhost", Trust::ManualEvaluated, true, 0, ""},
        TrustCase{"manualRefused", "localhost", Trust::ManualRefused, false, st::errSSLPeerBadCert,
                  ""},
        TrustCase{"manualWrongHostNameRefused", "wrong.example", Trust::ManualRefused, false,
                  st::errSSLPeerBadCert, ""},
        TrustCase{"manualNotImplemented", "localhost", Trust::ManualNotImplemented, false, 0,
                  "GCDAsyncSocketManuallyEvaluateTrust specified in tlsSettings, but delegate "
                  "doesn't implement socket:shouldTrustPeer:"}),
    [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

// A session identifier lets the next session with the same identifier resume.
TEST_F(TcpTls, PeerIDResumesTheSessionWithTheSameServer) {
  OpensslServer server;
  ASSERT_NE(server.port(), 0) << server.output();
  const Bytes peerID = bytes("resume-" + std::to_string(::getpid()));
  std::vector<bool> resumed;
  for (int round = 0; round < 2; ++round) {
    Client client;
    client.delegate->onConnect = [&](const SocketPtr& s) {
      Settings settings = clientSettings();
      settings[GCDAsyncSocketSSLPeerID] = peerID;
      s->startTLS(settings);
      s->writeData(SharedData::fromString("abc\n"), 5.0, 1);
      s->readDataToData(GCDAsyncSocket::LFData(), 5.0, 1);
    };
    ASSERT_TRUE(client.connect(server.port()));
    ASSERT_TRUE(client.delegate->waitFor(Event::Read)) << server.output();
    bool wasResumed = false;
    client.sock->performBlock([&] { wasResumed = client.sock->sslContext()->isSessionResumed(); });
    resumed.push_back(wasResumed);
  }
  EXPECT_EQ(resumed, (std::vector<bool>{false, true}));
}

TEST_F(TcpTls, ServerAgainstOpensslClient) {
  Server server;
  server.delegate->onAccept = [&](const SocketPtr&, const SocketPtr& s) {
    s->startTLS(serverSettings());
    s->readDataToData(GCDAsyncSocket::LFData(), 10.0, 1);
  };
  server.delegate->onRead = [&](const SocketPtr& s, const SharedData& d, long) {
    s->writeData(SharedData::fromString("echo:" + d.toString()), 5.0, 2);
  };
  ASSERT_TRUE(server.listen());
  const TestCertificates& certs = TestCertificates::get();
  ChildProcess client({"openssl", "s_client", "-connect",
                       "127.0.0.1:" + std::to_string(server.port), "-CAfile", certs.caPem,
                       "-verify_return_error", "-verify_hostname", "localhost", "-servername",
                       "localhost", "-quiet"});
  ASSERT_TRUE(client.started());
  ASSERT_TRUE(server.delegate->waitFor(Event::Secure)) << client.output();
  ASSERT_TRUE(client.write("ping\n"));
  EXPECT_TRUE(client.waitForOutput("echo:ping\n")) << client.output();
  ASSERT_TRUE(server.delegate->waitFor(Event::Read));  // recorded after the echo was sent
  EXPECT_EQ(text(server.delegate->first(Event::Read).data), "ping\n");
}

// ---- Renegotiation and pending session output while writing

// Numbered lines, `count` writes of `linesPerWrite` lines each.
std::vector<std::string> numberedWrites(int count, int linesPerWrite) {
  std::vector<std::string> writes;
  char line[32];
  for (int w = 0; w < count; ++w) {
    std::string chunk;
    for (int l = 0; l < linesPerWrite; ++l) {
      std::snprintf(line, sizeof line, "%015d\n", w * linesPerWrite + l);
      chunk += line;
    }
    writes.push_back(std::move(chunk));
  }
  return writes;
}

// What s_server printed from `first` on, less its own status lines (which may fall inside a
// line of data): the data it received.
std::string receivedData(const std::string& out, const std::string& first) {
  static const std::vector<std::string> statusLines = {"SSL_do_handshake -> 1\n", "Read BLOCK\n",
                                                       "Write BLOCK\n"};
  const size_t start = out.find(first);
  if (start == std::string::npos) return {};
  std::string data;
  data.reserve(out.size() - start);
  for (size_t at = start; at < out.size();) {
    bool skipped = false;
    for (const std::string& status : statusLines) {
      if (out.compare(at, status.size(), status) == 0) {
        at += status.size();
        skipped = true;
        break;
      }
    }
    if (!skipped) data += out[at++];
  }
  return data;
}

// The client streams numbered lines while the server asks for something on the way: the
// session's own handshake or key-update messages go out between the records, and every byte
// the socket reports as written arrives, once and in order.
struct StreamCase {
  const char* name;
  std::vector<std::string> serverOptions;
  const char* command;  // typed into s_server while the stream runs
};

class TcpTlsStream : public TcpTls, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(TcpTlsStream, EveryWrittenByteArrivesWhileTheServerInterrupts) {
  const StreamCase& c = GetParam();
  OpensslServer server(c.serverOptions);
  ASSERT_NE(server.port(), 0) << "openssl s_server did not start: " << server.output();
  // Enough data that the stream is still running when the server takes its commands: the
  // test reads the server's output only piece by piece, so the server (and with it the
  // connection) is slow while it waits for its output pipe.
  const auto writes = numberedWrites(500, 1024);  // 8.2 MB
  size_t total = 0;
  for (const auto& w : writes) total += w.size();

  Client client;
  client.delegate->onConnect = [&](const SocketPtr& s) {
    s->startTLS(clientSettings());
    for (size_t i = 0; i < writes.size(); ++i) {
      s->writeData(SharedData::fromString(writes[i]), 60.0, static_cast<long>(i));
    }
  };
  ASSERT_TRUE(client.connect(server.port()));
  ASSERT_TRUE(client.delegate->waitFor(Event::Secure)) << server.output();

  ChildProcess& child = server.process();
  const size_t already = child.output().size();
  // Reads the server's output up to `size` bytes, in slices, while the client is connected.
  auto drainTo = [&](size_t size) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!child.waitForOutputSize(size, 1.0)) {
      if (client.delegate->count(Event::Disconnect) > 0) return false;
      if (std::chrono::steady_clock::now() > deadline) return false;
    }
    return true;
  };
  for (int round = 1; round <= 8; ++round) {
    ASSERT_TRUE(child.write(std::string(c.command) + "\n"));
    ASSERT_TRUE(drainTo(already + total * static_cast<size_t>(round) / 10))
        << "round " << round << ", disconnected with: "
        << (client.delegate->count(Event::Disconnect) > 0 && client.disconnectError()
                ? client.disconnectError()->description
                : std::string("-"));
  }
  // The rest of the output, up to the last line (the server waits for its output pipe).
  const std::string last = writes.back().substr(writes.back().size() - 16);
  ASSERT_TRUE(child.waitForOutput(last, 60.0))
      << "written " << client.delegate->count(Event::Write) << " of " << writes.size();
  ASSERT_TRUE(client.delegate->waitFor(Event::Write, writes.size(), 60.0))
      << "written " << client.delegate->count(Event::Write) << " of " << writes.size();
  EXPECT_EQ(client.delegate->count(Event::Disconnect), 0u);
  std::string expected;
  expected.reserve(total);
  for (const auto& w : writes) expected += w;
  const std::string got = receivedData(child.output(), writes.front().substr(0, 16));
  ASSERT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected) << "the received stream differs from what was written";
  // The server did run its handshake step for each command.
  EXPECT_NE(child.output().find("SSL_do_handshake -> 1"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TcpTlsStream,
    ::testing::Values(
        // TLS 1.2: the server asks for a new handshake; writes wait until it is done.
        StreamCase{"renegotiation", {"-tls1_2"}, "r"},
        // TLS 1.3: the server updates its keys and asks the client to update its own.
        StreamCase{"keyUpdates", {"-tls1_3"}, "K"}),
    [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

// A write that waits for the answer to the server's renegotiation request ends with the
// connection when the server ends its stream instead of answering (here while data the
// server sent with its request waits in the socket's buffer for a read, so the connection is
// kept for it), rather than waiting for ever.
TEST_F(TcpTls, EndOfStreamWhileAWriteWaitsForARenegotiationClosesTheSocket) {
  ConnectedPair pair;
  ASSERT_TRUE(pair.open());
  pair.sock->startTLS(clientSettings());
  RenegotiatingServer server(pair.peer.get());
  ASSERT_TRUE(server.accept());
  ASSERT_TRUE(pair.delegate->waitFor(Event::Secure));
  ASSERT_TRUE(server.renegotiate());
  ASSERT_TRUE(server.write("hello"));
  // The client answered the request (its hello is on the way) and kept the data.
  ASSERT_TRUE(waitReadable(pair.peer.get(), kWait));
  pair.sock->writeData(SharedData::fromString("data"), -1.0, 1);
  ASSERT_EQ(::shutdown(pair.peer.get(), SHUT_WR), 0);
  ASSERT_TRUE(pair.delegate->waitFor(Event::Disconnect));
  const auto e = pair.delegate->first(Event::Disconnect).error;
  EXPECT_TRUE(isSSLError(e, st::errSSLClosedAbort))
      << (e ? e->domain + " " + std::to_string(e->code) : "no error");
  EXPECT_EQ(pair.delegate->count(Event::Write), 0u);
}

// ---- Settings errors

struct SettingsCase {
  const char* name;
  Settings settings;
  const char* text;
};

TEST_F(TcpTls, EverySettingsErrorClosesWithItsText) {
  const Bytes garbage = bytes("not a parameter block");
  const std::vector<SettingsCase> cases = {
      {"manualTrustOnServer",
       {{st::kCFStreamSSLIsServer, true}, {GCDAsyncSocketManuallyEvaluateTrust, true}},
       "Manual trust validation is not supported for server sockets"},
      {"peerNameType", {{st::kCFStreamSSLPeerName, 42}}, "Invalid value for kCFStreamSSLPeerName."},
      {"certificatesType",
       {{st::kCFStreamSSLCertificates, std::string("x")}},
       "Invalid value for kCFStreamSSLCertificates."},
      {"peerIDType",
       {{GCDAsyncSocketSSLPeerID, std::string("x")}},
       "Invalid value for GCDAsyncSocketSSLPeerID."},
      {"versionMinType",
       {{GCDAsyncSocketSSLProtocolVersionMin, std::string("1.2")}},
       "Invalid value for GCDAsyncSocketSSLProtocolVersionMin."},
      {"versionMaxType",
       {{GCDAsyncSocketSSLProtocolVersionMax, 1.3}},
       "Invalid value for GCDAsyncSocketSSLProtocolVersionMax."},
      {"falseStartType",
       {{GCDAsyncSocketSSLSessionOptionFalseStart, 1}},
       "Invalid value for GCDAsyncSocketSSLSessionOptionFalseStart."},
      {"oneByteRecordType",
       {{GCDAsyncSocketSSLSessionOptionSendOneByteRecord, std::string("yes")}},
       "Invalid value for GCDAsyncSocketSSLSessionOptionSendOneByteRecord."},
      {"cipherSuitesType",
       {{GCDAsyncSocketSSLCipherSuites, 0x1301}},
       "Invalid value for GCDAsyncSocketSSLCipherSuites."},
      {"dhParamsType",
       {{GCDAsyncSocketSSLDiffieHellmanParameters, std::string("x")}},
       "Invalid value for GCDAsyncSocketSSLDiffieHellmanParameters."},
      {"peerNameRefused",
       {{st::kCFStreamSSLPeerName, std::string("a\0b", 3)}},
       "Error in SSLSetPeerDomainName"},
      {"certificatesRefused",
       {{st::kCFStreamSSLCertificates, st::SecItemList{TestCertificates::get().ca}}},
       "Error in SSLSetCertificate"},
      {"peerIDRefused", {{GCDAsyncSocketSSLPeerID, Bytes()}}, "Error in SSLSetPeerID"},
      {"versionMinRefused",
       {{GCDAsyncSocketSSLProtocolVersionMin, 99}},
       "Error in SSLSetProtocolVersionMin"},
      {"versionMaxRefused",
       {{GCDAsyncSocketSSLProtocolVersionMax, 5}},
       "Error in SSLSetProtocolVersionMax"},
      {"cipherSuitesRefused",
       {{GCDAsyncSocketSSLCipherSuites, std::vector<uint16_t>{0xFFFF}}},
       "Error in SSLSetEnabledCiphers"},
      {"dhParamsRefused",
       {{GCDAsyncSocketSSLDiffieHellmanParameters, garbage}},
       "Error in SSLSetDiffieHellmanParams"},
      {"allowsAnyRoot",
       {{st::kCFStreamSSLAllowsAnyRoot, true}},
       "Security option unavailable - kCFStreamSSLAllowsAnyRoot"},
      {"allowsExpiredRoots",
       {{st::kCFStreamSSLAllowsExpiredRoots, true}},
       "Security option unavailable - kCFStreamSSLAllowsExpiredRoots"},
      {"validatesChain",
       {{st::kCFStreamSSLValidatesCertificateChain, false}},
       "Security option unavailable - kCFStreamSSLValidatesCertificateChain"},
      {"allowsExpiredCertificates",
       {{st::kCFStreamSSLAllowsExpiredCertificates, true}},
       "Security option unavailable - kCFStreamSSLAllowsExpiredCertificates"},
      {"level",
       {{st::kCFStreamSSLLevel, std::string("kCFStreamSocketSecurityLevelTLSv1")}},
       "Security option unavailable - kCFStreamSSLLevel"},
      // A bad value is reported before any refused key.
      {"badValueBeforeRefusedKey",
       {{st::kCFStreamSSLLevel, true}, {GCDAsyncSocketSSLPeerID, 7}},
       "Invalid value for GCDAsyncSocketSSLPeerID."},
  };
  for (const SettingsCase& c : cases) {
    SCOPED_TRACE(c.name);
    ConnectedPair pair;
    ASSERT_TRUE(pair.open());
    pair.sock->startTLS(c.settings);
    ASSERT_TRUE(pair.delegate->waitFor(Event::Disconnect));
    const auto e = pair.delegate->first(Event::Disconnect).error;
    ASSERT_TRUE(isCode(e, Code::other));
    EXPECT_EQ(e->description, c.text);
    EXPECT_FALSE(pair.sock->isSecure());
    // Nothing went out before the end: the settings are checked before the first step.
    ASSERT_TRUE(waitReadable(pair.peer.get(), kWait));
    uint8_t b = 0;
    EXPECT_EQ(::read(pair.peer.get(), &b, 1), 0);
  }
}

}  // namespace
}  // namespace corvane::tls_test
