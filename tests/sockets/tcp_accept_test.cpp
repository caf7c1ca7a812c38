// Accepting on IPv4, IPv6 and Unix-domain paths, and the class talking to itself.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tcp_support.h"

namespace corvane::tcp_test {
namespace {

struct Server {
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  QueuePtr queue = Queue::createSerial("test.server");
  SocketPtr listener = GCDAsyncSocket::create(delegate, queue);
};

TEST(TcpAccept, PortZeroListensOnOneSharedPortForBothFamilies) {
  Server server;
  Error err;
  ASSERT_TRUE(server.listener->acceptOnPort(0, &err)) << err.description;
  uint16_t port4 = 0, port6 = 0;
  server.listener->performBlock([&] {
    port4 = server.listener->localPort4();
    port6 = server.listener->localPort6();
  });
  ASSERT_NE(port4, 0);
  EXPECT_EQ(port4, port6);

  UniqueFd c4 = connectLoopback(AF_INET, port4);
  UniqueFd c6 = connectLoopback(AF_INET6, port6);
  ASSERT_TRUE(c4);
  ASSERT_TRUE(c6);
  ASSERT_TRUE(server.delegate->waitFor(Event::Accept, 2));
  std::vector<std::string> hosts;
  for (const Event& e : server.delegate->events(Event::Accept)) {
    EXPECT_EQ(e.sockRaw, server.listener.get());
    ASSERT_TRUE(e.newSocket);
    EXPECT_TRUE(e.newSocket->isConnected());
    hosts.push_back(e.newSocket->connectedHost());
  }
  std::sort(hosts.begin(), hosts.end());
  EXPECT_EQ(hosts, (std::vector<std::string>{"127.0.0.1", "::1"}));
}

TEST(TcpAccept, EveryPendingConnectionIsAcceptedAndReadyForIO) {
  Server server;
  server.delegate->onAccept = [](const SocketPtr&, const SocketPtr& s) {
    s->readDataToLength(4, 2.0, 1);
  };
  server.delegate->onRead = [](const SocketPtr& s, const SharedData& d, long) {
    s->writeData(d, 2.0, 2);  // echo
  };
  Error err;
  ASSERT_TRUE(server.listener->acceptOnInterface("127.0.0.1", 0, &err)) << err.description;
  uint16_t port = 0;
  server.listener->performBlock([&] { port = server.listener->localPort4(); });
  std::vector<UniqueFd> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(connectLoopback(AF_INET, port));
  ASSERT_TRUE(server.delegate->waitFor(Event::Accept, 3));
  for (size_t i = 0; i < clients.size(); ++i) {
    const std::string msg = "msg" + std::to_string(i);
    ASSERT_TRUE(writeAll(clients[i].get(), bytes(msg)));
    Bytes got;
    ASSERT_TRUE(readExactly(clients[i].get(), 4, &got));
    EXPECT_EQ(text(got), msg);
  }
  server.listener->disconnect();
  ASSERT_TRUE(server.delegate->waitFor(Event::Disconnect));
  // The accepted sockets are independent of the listener.
  EXPECT_TRUE(server.delegate->first(Event::Accept).newSocket->isConnected());
  // The listening descriptor is closed by its source's cancel handler, shortly after.
  EXPECT_TRUE(eventually([&] { return connectLoopback(AF_INET, port).get() == -1; }));
}

TEST(TcpAccept, AcceptedSocketUsesTheQueueTheDelegateGives) {
  Server server;
  server.delegate->queueForAccepted = Queue::createSerial("test.accepted");
  Error err;
  ASSERT_TRUE(server.listener->acceptOnInterface("localhost", 0, &err));
  uint16_t port = 0;
  server.listener->performBlock([&] { port = server.listener->localPort4(); });
  UniqueFd client = connectLoopback(AF_INET, port);
  ASSERT_TRUE(server.delegate->waitFor(Event::Accept));
  auto accepted = server.delegate->first(Event::Accept).newSocket;
  std::string label;
  accepted->performBlock([&] { label = Queue::currentLabel(); });
  EXPECT_EQ(label, "test.accepted");
}

TEST(TcpAccept, UnixDomainReplacesAnOldFileConnectsAndRemovesTheFileOnClose) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("corvane-tcp-" + std::to_string(::getpid()) + ".sock"))
                               .string();
  {
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }
  Server server;
  server.delegate->onAccept = [](const SocketPtr&, const SocketPtr& s) {
    s->readDataToData(GCDAsyncSocket::LFData(), 2.0, 1);
  };
  server.delegate->onRead = [](const SocketPtr& s, const SharedData& d, long) {
    s->writeData(d, 2.0, 2);
  };
  Error err;
  ASSERT_TRUE(server.listener->acceptOnUrl("file://" + path, &err)) << err.description;

  auto delegate = std::make_shared<RecordingDelegate>();
  auto client = GCDAsyncSocket::create(delegate, Queue::createSerial("test.client"));
  ASSERT_TRUE(client->connectToUrl("file://" + path, 2.0, &err)) << err.description;
  ASSERT_TRUE(delegate->waitFor(Event::ConnectUrl));
  EXPECT_EQ(delegate->first(Event::ConnectUrl).host, "file://" + path);
  client->writeData(SharedData::fromString("ping\n"), 2.0, 1);
  client->readDataToData(GCDAsyncSocket::LFData(), 2.0, 2);
  ASSERT_TRUE(delegate->waitFor(Event::Read));
  EXPECT_EQ(text(delegate->first(Event::Read).data), "ping\n");

  server.listener->disconnect();
  EXPECT_FALSE(std::filesystem::exists(path));
  // The client's close leaves no file behind either (it never owned one).
  client->disconnect();
  ASSERT_TRUE(delegate->waitFor(Event::Disconnect));
}

TEST(TcpAccept, ConnectToAMissingUnixPathIsRefused) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto client = GCDAsyncSocket::create(delegate, Queue::createSerial("test.client"));
  Error err;
  ASSERT_TRUE(client->connectToUrl("file:///nonexistent/corvane.sock", 2.0, &err));
  ASSERT_TRUE(delegate->waitFor(Event::Disconnect));
  const auto e = delegate->first(Event::Disconnect).error;
  ASSERT_TRUE(e);
  EXPECT_EQ(e->code, ENOENT);
  EXPECT_EQ(e->failureReason, "Error in connect() function");
}

TEST(TcpAccept, SetUpErrors) {
  auto delegate = std::make_shared<RecordingDelegate>();
  auto dq = Queue::createSerial("test.server");
  const std::vector<RequestErrorCase> cases = {
      {"noDelegate", [](const SocketPtr& s, Error* e) { return s->acceptOnPort(0, e); },
       [](const SocketPtr& s) {
         s->synchronouslySetDelegate(std::weak_ptr<GCDAsyncSocketDelegate>());
       },
       Code::badConfig, "Attempting to accept without a delegate. Set a delegate first."},
      {"noDelegateQueue", [](const SocketPtr& s, Error* e) { return s->acceptOnPort(0, e); },
       [](const SocketPtr& s) { s->synchronouslySetDelegateQueue(nullptr); }, Code::badConfig,
       "Attempting to accept without a delegate queue. Set a delegate queue first."},
      {"bothFamiliesOff", [](const SocketPtr& s, Error* e) { return s->acceptOnPort(0, e); },
       [](const SocketPtr& s) {
         s->setIPv4Enabled(false);
         s->setIPv6Enabled(false);
       },
       Code::badConfig,
       "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."},
      {"alreadyAccepting", [](const SocketPtr& s, Error* e) { return s->acceptOnPort(0, e); },
       [](const SocketPtr& s) {
         Error e;
         s->acceptOnPort(0, &e);
       },
       Code::badConfig,
       "Attempting to accept while connected or accepting connections. Disconnect first."},
      {"unknownInterface",
       [](const SocketPtr& s, Error* e) { return s->acceptOnInterface("no-such-if0", 0, e); },
       nullptr, Code::badParam,
       "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address."},
      {"badUrl", [](const SocketPtr& s, Error* e) { return s->acceptOnUrl("file://", e); }, nullptr,
       Code::badParam,
       "Invalid unix domain url. Specify a valid file url that does not exist (e.g. "
       "\"file:///tmp/socket\")"},
  };
  expectRequestErrors(cases, delegate, dq);
  // A port already taken: bind fails, nothing is left listening.
  uint16_t port = 0;
  UniqueFd taken = listenLoopback(AF_INET, &port);
  auto sock = GCDAsyncSocket::create(delegate, dq);
  sock->setIPv6Enabled(false);
  Error err;
  // Without SO_REUSEPORT a second listener on the same address is refused.
  if (!sock->acceptOnInterface("127.0.0.1", port, &err)) {
    EXPECT_EQ(err.failureReason, "Error in bind() function");
    EXPECT_TRUE(sock->isDisconnected());
  }
}

// The class's own accept side and connect side talking to each other over both families.
TEST(TcpAccept, ClientAndServerSocketsExchangeData) {
  for (int family : {AF_INET, AF_INET6}) {
    SCOPED_TRACE(family == AF_INET ? "IPv4" : "IPv6");
    Server server;
    server.delegate->onAccept = [](const SocketPtr&, const SocketPtr& s) {
      s->readDataToData(GCDAsyncSocket::CRLFData(), 2.0, 1);
    };
    server.delegate->onRead = [](const SocketPtr& s, const SharedData& d, long) {
      Bytes reply = d.toVector();
      reply.insert(reply.begin(), '>');
      s->writeData(std::move(reply), 2.0, 2);
      s->readDataToData(GCDAsyncSocket::CRLFData(), 2.0, 1);
    };
    Error err;
    ASSERT_TRUE(server.listener->acceptOnPort(0, &err));
    uint16_t port = 0;
    server.listener->performBlock([&] { port = server.listener->localPort4(); });

    auto delegate = std::make_shared<RecordingDelegate>();
    auto client = GCDAsyncSocket::create(delegate, Queue::createSerial("test.client"));
    ASSERT_TRUE(client->connectToAddress(loopbackAddress(family, port), 2.0, &err));
    for (int i = 0; i < 3; ++i) {
      client->writeData(SharedData::fromString("line" + std::to_string(i) + "\r\n"), 2.0, i);
      client->readDataToData(GCDAsyncSocket::CRLFData(), 2.0, i);
    }
    ASSERT_TRUE(delegate->waitFor(Event::Read, 3));
    const auto reads = delegate->events(Event::Read);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(text(reads[static_cast<size_t>(i)].data), ">line" + std::to_string(i) + "\r\n");
      EXPECT_EQ(reads[static_cast<size_t>(i)].tag, i);
    }
    client->disconnect();
    // The server's accepted socket sees the peer close.
    ASSERT_TRUE(server.delegate->waitFor(Event::Disconnect));
    const auto e = server.delegate->first(Event::Disconnect).error;
    ASSERT_TRUE(e);
    EXPECT_EQ(e->code, static_cast<long>(Code::connectionClosed));
  }
}

}  // namespace
}  // namespace corvane::tcp_test
