#include "support/test_lookup_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <span>
#include <utility>

#include "flatbuffers/builder_options.h"
#include "lookup/lookup_exchange.h"
#include "lookup/schema/tables.h"

namespace corvane::test {
namespace {

using Clock = std::chrono::steady_clock;

std::string errnoText(const std::string& what) {
  return what + ": " + std::strerror(errno);  // NOLINT(concurrency-mt-unsafe): test peer
}

std::vector<std::uint8_t> framed(std::vector<std::uint8_t> body) {
  const auto header = frameHeader(static_cast<std::uint32_t>(body.size()));
  body.insert(body.begin(), header.begin(), header.end());
  return body;
}

}  // namespace

LookupAnswer LookupAnswer::found(std::vector<std::string> ipList, std::optional<std::string> name,
                                 std::optional<std::string> version) {
  LookupAnswer answer;
  answer.status = rawValue(StatusCode::OK);
  answer.withData = true;
  answer.ipList = std::move(ipList);
  answer.name = std::move(name);
  answer.version = std::move(version);
  return answer;
}

LookupAnswer LookupAnswer::notFound(StatusCode status) {
  LookupAnswer answer;
  answer.status = rawValue(status);
  answer.forceDefaults = true;  // NONE is then written, not left out
  return answer;
}

LookupAnswer LookupAnswer::withoutStatus() { return LookupAnswer(); }

LookupAnswer LookupAnswer::rawBytes(std::vector<std::uint8_t> bytes, bool closeAfterReply) {
  LookupAnswer answer;
  answer.raw = std::move(bytes);
  answer.closeAfterReply = closeAfterReply;
  return answer;
}

LookupAnswer LookupAnswer::neverAnswers() {
  LookupAnswer answer;
  answer.silent = true;
  return answer;
}

std::vector<std::uint8_t> LookupAnswer::reply() const {
  if (raw) {
    return *raw;
  }
  auto response = ResponseCmd::create();
  std::optional<CommandData> data;
  if (withData) {
    data = CommandData::withQueryServerResponseData(
        QueryServerResponseData::create(ipList, name, version));
  }
  const auto command = CastCommand::create(CmdType::withResponseCmd(response), data);
  const FlatBuffersBuilderOptions options(1, true, true, true, forceDefaults, false);
  if (!status) {
    // No status field: write NONE without forced defaults.
    response->setStatusCode(StatusCode::NONE);
    return framed(command->makeData(FlatBuffersBuilderOptions(1, true, true, true, false, false)));
  }
  const auto known = statusCodeFromRawValue(*status);
  if (known) {
    response->setStatusCode(*known);
    return framed(command->makeData(options));
  }
  // A status byte that names no case: write OK, then patch the byte.
  response->setStatusCode(StatusCode::OK);
  std::vector<std::uint8_t> body = command->makeData(options);
  // The same message with FAILED differs from it in the status byte alone.
  response->setStatusCode(StatusCode::FAILED);
  const std::vector<std::uint8_t> other = command->makeData(options);
  for (std::size_t i = 0; i < body.size() && i < other.size(); ++i) {
    if (body[i] != other[i]) {
      body[i] = static_cast<std::uint8_t>(*status);
    }
  }
  return framed(std::move(body));
}

struct TestLookupServer::Conn {
  int id = 0;
  int fd = -1;
  std::vector<std::uint8_t> in;
  struct Piece {
    Clock::time_point at;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<Piece> pieces;  // waiting to be written, in order
  std::size_t pieceOffset = 0;
  bool closeWhenWritten = false;
  bool countReply = false;
};

TestLookupServer::TestLookupServer(LookupServerOptions options) : options_(std::move(options)) {}

TestLookupServer::~TestLookupServer() { stop(); }

bool TestLookupServer::start(std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = why;
    if (listener_ >= 0) ::close(listener_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
    listener_ = wakeFd_ = -1;
    return false;
  };
  if (started_) return fail("already started");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.port);
  if (inet_pton(AF_INET, options_.address.c_str(), &address.sin_addr) != 1)
    return fail("not a numeric IPv4 address: " + options_.address);
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listener_ < 0) return fail(errnoText("socket"));
  int one = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
    return fail(errnoText("bind " + options_.address + ":" + std::to_string(options_.port)));
  if (::listen(listener_, 16) != 0) return fail(errnoText("listen"));
  socklen_t length = sizeof(address);
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) return fail(errnoText("eventfd"));
  started_ = true;
  stopping_ = false;
  thread_ = std::thread([this] { run(); });
  return true;
}

std::unique_ptr<TestLookupServer> TestLookupServer::startOnFreeLoopbackAddress(
    LookupServerOptions options, std::string* error) {
  std::mt19937 rng(std::random_device{}() ^ static_cast<unsigned>(getpid()));
  std::uniform_int_distribution<int> octet(1, 254);
  std::string last;
  for (int attempt = 0; attempt < 64; ++attempt) {
    options.address = "127." + std::to_string(octet(rng)) + "." + std::to_string(octet(rng)) +
                      "." + std::to_string(octet(rng));
    auto server = std::make_unique<TestLookupServer>(options);
    if (server->start(&last)) return server;
  }
  if (error != nullptr) *error = "no free loopback address: " + last;
  return nullptr;
}

void TestLookupServer::stop() {
  if (!started_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& conn : conns_) {
    if (conn->fd >= 0) ::close(conn->fd);
  }
  conns_.clear();
  if (listener_ >= 0) ::close(listener_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
  listener_ = wakeFd_ = -1;
  started_ = false;
}

void TestLookupServer::setAnswer(const std::string& pin, LookupAnswer answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.pins[pin] = std::move(answer);
}

LookupServerState TestLookupServer::snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

bool TestLookupServer::waitFor(const std::function<bool(const LookupServerState&)>& pred,
                               double seconds) const {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  return changed_.wait_until(lock, deadline, [&] { return pred(state_); });
}

void TestLookupServer::wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (wakeFd_ < 0) return;
  const std::uint64_t one = 1;
  const ssize_t n = ::write(wakeFd_, &one, sizeof(one));
  (void)n;
}

void TestLookupServer::event(const std::string& line) {
  if (options_.onEvent) options_.onEvent(line);
}

void TestLookupServer::run() {
  std::vector<pollfd> fds;
  std::vector<int> ids;  // per entry: 0 wake, -1 listener, else a connection id
  for (;;) {
    fds.clear();
    ids.clear();
    int timeoutMs = 1000;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
      fds.push_back({wakeFd_, POLLIN, 0});
      ids.push_back(0);
      fds.push_back({listener_, POLLIN, 0});
      ids.push_back(-1);
      const auto now = Clock::now();
      for (auto& conn : conns_) {
        short events = POLLIN;
        if (!conn->pieces.empty()) {
          const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
              conn->pieces.front().at - now);
          if (wait.count() <= 0) {
            events |= POLLOUT;
          } else {
            timeoutMs = std::min(timeoutMs, static_cast<int>(wait.count()) + 1);
          }
        }
        fds.push_back({conn->fd, events, 0});
        ids.push_back(conn->id);
      }
    }
    const int n = ::poll(fds.data(), fds.size(), timeoutMs);
    if (n < 0 && errno != EINTR) return;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = Clock::now();
    for (std::size_t i = 0; i < fds.size(); ++i) {
      const short events = fds[i].revents;
      if (events == 0) continue;
      if (ids[i] == 0) {
        std::uint64_t value = 0;
        while (::read(wakeFd_, &value, sizeof(value)) > 0) {
        }
      } else if (ids[i] == -1) {
        acceptAll();
      } else {
        auto it = std::find_if(conns_.begin(), conns_.end(),
                               [&](const auto& conn) { return conn->id == ids[i]; });
        if (it == conns_.end() || (*it)->fd < 0) continue;
        Conn& conn = **it;
        if ((events & POLLIN) != 0) readFrom(conn);
        if (conn.fd >= 0 && (events & (POLLERR | POLLNVAL)) != 0) closeConn(conn, "socket error");
      }
    }
    for (auto& conn : conns_) {
      if (conn->fd >= 0) writePending(*conn, now);
    }
    std::erase_if(conns_, [](const auto& conn) { return conn->fd < 0; });
    changed_.notify_all();
  }
}

void TestLookupServer::acceptAll() {
  for (;;) {
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    if (options_.closeOnAccept) {
      ::close(fd);
      ++state_.accepted;
      event("connection " + std::to_string(nextConnId_++) + " accepted and closed at once");
      continue;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    auto conn = std::make_unique<Conn>();
    conn->id = nextConnId_++;
    conn->fd = fd;
    ++state_.accepted;
    ++state_.open;
    event("connection " + std::to_string(conn->id) + " accepted");
    conns_.push_back(std::move(conn));
  }
}

void TestLookupServer::closeConn(Conn& conn, const std::string& why) {
  if (conn.fd < 0) return;
  ::close(conn.fd);
  conn.fd = -1;
  --state_.open;
  event("connection " + std::to_string(conn.id) + " ended (" + why + ")");
}

void TestLookupServer::readFrom(Conn& conn) {
  std::uint8_t buffer[4096];
  const ssize_t n = ::recv(conn.fd, buffer, sizeof(buffer), 0);
  if (n == 0) {
    ++state_.closedByClient;
    return closeConn(conn, "closed by the client");
  }
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    // A client that closes with bytes unread sends a reset instead of a FIN.
    if (errno == ECONNRESET) ++state_.closedByClient;
    return closeConn(conn, errnoText("recv"));
  }
  conn.in.insert(conn.in.end(), buffer, buffer + n);
  for (;;) {
    const FrameHeader header = parseFrameHeader(conn.in);
    if (header.status == FrameStatus::NeedMore) return;
    if (header.status == FrameStatus::Error) {
      state_.errors.push_back("request length " + std::to_string(header.length) + " too long");
      return closeConn(conn, "request too long");
    }
    const std::size_t total = 4 + static_cast<std::size_t>(header.length);
    if (conn.in.size() < total) return;
    std::vector<std::uint8_t> frame(conn.in.begin(),
                                    conn.in.begin() + static_cast<std::ptrdiff_t>(total));
    conn.in.erase(conn.in.begin(), conn.in.begin() + static_cast<std::ptrdiff_t>(total));
    onRequest(conn, std::move(frame));
    if (conn.fd < 0) return;
  }
}

void TestLookupServer::onRequest(Conn& conn, std::vector<std::uint8_t> frame) {
  const auto command = CastCommand::from(std::span<const std::uint8_t>(frame).subspan(4));
  std::optional<std::string> pin;
  if (command != nullptr && command->cmd() && command->cmd()->requestCmd() != nullptr &&
      command->data()) {
    if (const auto query = command->data()->get<QueryServerRequestData>()) {
      pin = query->pin();
    }
  }
  state_.requests.push_back(std::move(frame));
  state_.pins.push_back(pin);
  if (!pin) {
    state_.errors.push_back("request without a PIN");
    return closeConn(conn, "request without a PIN");
  }
  const auto found = options_.pins.find(*pin);
  const LookupAnswer& answer = found != options_.pins.end() ? found->second : options_.unknownPin;
  event("request for PIN " + *pin);
  if (answer.silent) return;
  const std::vector<std::uint8_t> reply = answer.reply();
  std::vector<std::size_t> cuts = answer.cuts;
  std::sort(cuts.begin(), cuts.end());
  std::size_t from = 0;
  auto at = Clock::now();
  for (std::size_t cut : cuts) {
    cut = std::min(cut, reply.size());
    if (cut <= from) continue;
    conn.pieces.push_back({at, std::vector<std::uint8_t>(reply.begin() + static_cast<std::ptrdiff_t>(from),
                                                         reply.begin() + static_cast<std::ptrdiff_t>(cut))});
    from = cut;
    at += options_.segmentGap;
  }
  conn.pieces.push_back({at, std::vector<std::uint8_t>(reply.begin() + static_cast<std::ptrdiff_t>(from), reply.end())});
  conn.closeWhenWritten = answer.closeAfterReply;
  conn.countReply = true;
}

void TestLookupServer::writePending(Conn& conn, Clock::time_point now) {
  while (!conn.pieces.empty() && conn.pieces.front().at <= now) {
    auto& piece = conn.pieces.front();
    while (conn.pieceOffset < piece.bytes.size()) {
      const ssize_t n = ::send(conn.fd, piece.bytes.data() + conn.pieceOffset,
                               piece.bytes.size() - conn.pieceOffset, MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        return closeConn(conn, errnoText("send"));
      }
      conn.pieceOffset += static_cast<std::size_t>(n);
    }
    conn.pieces.erase(conn.pieces.begin());
    conn.pieceOffset = 0;
  }
  if (conn.pieces.empty() && conn.countReply) {
    conn.countReply = false;
    ++state_.repliesWritten;
    if (conn.closeWhenWritten) closeConn(conn, "closed after the reply");
  }
}

}  // namespace corvane::test
