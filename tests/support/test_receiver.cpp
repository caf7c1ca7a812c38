#include "support/test_receiver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <span>

#include "support/media_stream.h"

namespace corvane::test {
namespace {

constexpr uint8_t kKey[13] = {'Q', 'o', 'r', 'v', 'i', 'm', 'a', 'l', '_', 'k', 'e', 's', 't'};

std::string errnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

std::string hex(const uint8_t* p, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

// Socket address of a numeric IPv4 or IPv6 text.
bool makeAddress(const std::string& host, uint16_t port, sockaddr_storage* out, socklen_t* len) {
  std::memset(out, 0, sizeof(*out));
  auto* a4 = reinterpret_cast<sockaddr_in*>(out);
  if (inet_pton(AF_INET, host.c_str(), &a4->sin_addr) == 1) {
    a4->sin_family = AF_INET;
    a4->sin_port = htons(port);
    *len = sizeof(sockaddr_in);
    return true;
  }
  auto* a6 = reinterpret_cast<sockaddr_in6*>(out);
  if (inet_pton(AF_INET6, host.c_str(), &a6->sin6_addr) == 1) {
    a6->sin6_family = AF_INET6;
    a6->sin6_port = htons(port);
    *len = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

uint16_t boundPort(int fd) {
  sockaddr_storage ss{};
  socklen_t len = sizeof(ss);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
  if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
}

std::string textUpToZero(const uint8_t* p, size_t n) {
  const uint8_t* end = std::find(p, p + n, uint8_t{0});
  return std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(end - p));
}

}  // namespace

const char* channelName(Channel channel) {
  switch (channel) {
    case Channel::Touch:
      return "touch";
    case Channel::Control:
      return "control";
    case Channel::Audio:
      return "audio";
    case Channel::Video:
      return "video";
  }
  return "?";
}

uint16_t& ReceiverPorts::operator[](Channel c) {
  switch (c) {
    case Channel::Touch:
      return touch;
    case Channel::Control:
      return control;
    case Channel::Audio:
      return audio;
    case Channel::Video:
    default:
      return video;
  }
}

uint16_t ReceiverPorts::operator[](Channel c) const { return const_cast<ReceiverPorts&>(*this)[c]; }

size_t ReceiverState::count(int8_t kind, int8_t code) const {
  return static_cast<size_t>(std::count_if(control.begin(), control.end(), [&](const auto& r) {
    return r.kind() == kind && r.code() == code;
  }));
}

std::vector<ControlRecord> ReceiverState::requests(int8_t code) const {
  std::vector<ControlRecord> out;
  for (const auto& r : control)
    if (r.kind() == 1 && r.code() == code) out.push_back(r);
  return out;
}

struct TestReceiver::Conn {
  int id = 0;
  int fd = -1;
  Channel channel = Channel::Touch;
  std::vector<uint8_t> out;  // bytes waiting to be sent
  size_t outOffset = 0;
  std::array<uint8_t, 16> controlBuf{};
  size_t controlLen = 0;
  std::vector<uint8_t> in;  // media bytes not yet parsed
  bool closeRequested = false;
  bool resetRequested = false;
  SteadyClock::time_point nextReadAt{};  // a rate-limited connection reads again from here
};

void TestReceiver::scramble(uint8_t* packet16) {
  for (size_t i = 0; i < 16; ++i) packet16[i] ^= kKey[i % 13];
}

TestReceiver::TestReceiver(TestReceiverOptions options) : options_(std::move(options)) {}

TestReceiver::~TestReceiver() { stop(); }

bool TestReceiver::start(std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    for (int& fd : listeners_) {
      if (fd >= 0) ::close(fd);
      fd = -1;
    }
    if (wakeFd_ >= 0) ::close(wakeFd_);
    wakeFd_ = -1;
    if (queryFd_ >= 0) ::close(queryFd_);
    queryFd_ = -1;
    return false;
  };
  if (started_) return fail("already started");
  for (int i = 0; i < kChannelCount; ++i) {
    const auto ch = static_cast<Channel>(i);
    sockaddr_storage addr;
    socklen_t len;
    if (!makeAddress(options_.address, options_.ports[ch], &addr, &len))
      return fail("not a numeric address: " + options_.address);
    int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(errnoText("socket"));
    listeners_[static_cast<std::size_t>(i)] = fd;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (options_.receiveBufferSize > 0)
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &options_.receiveBufferSize,
                 sizeof(options_.receiveBufferSize));
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0)
      return fail(errnoText((std::string("bind ") + channelName(ch)).c_str()));
    if (::listen(fd, 16) != 0) return fail(errnoText("listen"));
    bound_[ch] = boundPort(fd);
  }
  {
    sockaddr_storage addr;
    socklen_t len;
    makeAddress(options_.address, options_.ports.query, &addr, &len);
    queryFd_ = ::socket(addr.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (queryFd_ < 0) return fail(errnoText("socket"));
    int one = 1;
    setsockopt(queryFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (::bind(queryFd_, reinterpret_cast<sockaddr*>(&addr), len) != 0)
      return fail(errnoText("bind query"));
    bound_.query = boundPort(queryFd_);
  }
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) return fail(errnoText("eventfd"));
  if (!options_.videoFile.empty() && !(videoOut_ = std::fopen(options_.videoFile.c_str(), "wb")))
    return fail(errnoText(options_.videoFile.c_str()));
  if (!options_.audioFile.empty() && !(audioOut_ = std::fopen(options_.audioFile.c_str(), "wb")))
    return fail(errnoText(options_.audioFile.c_str()));
  started_ = true;
  stopping_ = false;
  thread_ = std::thread([this] { run(); });
  return true;
}

std::unique_ptr<TestReceiver> TestReceiver::startOnFreeLoopbackAddress(TestReceiverOptions options,
                                                                       std::string* error) {
  std::mt19937 rng(std::random_device{}() ^ static_cast<unsigned>(getpid()));
  std::uniform_int_distribution<int> octet(1, 254);
  std::string last;
  for (int attempt = 0; attempt < 64; ++attempt) {
    options.address = "127." + std::to_string(octet(rng)) + "." + std::to_string(octet(rng)) + "." +
                      std::to_string(octet(rng));
    auto receiver = std::make_unique<TestReceiver>(options);
    if (receiver->start(&last)) return receiver;
  }
  if (error) *error = "no free loopback address: " + last;
  return nullptr;
}

void TestReceiver::stop() {
  if (!started_) return;
  stopping_ = true;
  wake();
  if (thread_.joinable()) thread_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& c : conns_) {
    if (c->fd >= 0) ::close(c->fd);
    c->fd = -1;
  }
  conns_.clear();
  for (int& fd : listeners_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  if (wakeFd_ >= 0) ::close(wakeFd_);
  wakeFd_ = -1;
  if (queryFd_ >= 0) ::close(queryFd_);
  queryFd_ = -1;
  if (videoOut_) std::fclose(videoOut_);
  if (audioOut_) std::fclose(audioOut_);
  videoOut_ = audioOut_ = nullptr;
  started_ = false;
}

ReceiverPorts TestReceiver::ports() const { return bound_; }

void TestReceiver::wake() {
  // Under the lock: `stop` closes the descriptor, whose number may then be reused.
  std::lock_guard<std::mutex> lock(mutex_);
  if (wakeFd_ < 0) return;
  uint64_t one = 1;
  ssize_t n = ::write(wakeFd_, &one, sizeof(one));
  (void)n;
}

void TestReceiver::event(const std::string& line) {
  if (options_.onEvent) options_.onEvent(line);
}

void TestReceiver::setAnswerHeartbeats(bool answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  answerHeartbeats_ = answer;
}
void TestReceiver::setSilent(bool silent) {
  std::lock_guard<std::mutex> lock(mutex_);
  silent_ = silent;
}
void TestReceiver::setMirrorStartResult(uint8_t result) {
  std::lock_guard<std::mutex> lock(mutex_);
  mirrorStartResult_ = result;
}
void TestReceiver::setMirrorStopResult(uint8_t result) {
  std::lock_guard<std::mutex> lock(mutex_);
  mirrorStopResult_ = result;
}
void TestReceiver::setStatusAnswer(std::optional<std::pair<int8_t, uint8_t>> answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  statusAnswer_ = answer;
}
void TestReceiver::setVersion(std::string version) {
  std::lock_guard<std::mutex> lock(mutex_);
  version_ = std::move(version);
}
void TestReceiver::setAuthenticationType(uint8_t result, uint8_t type) {
  std::lock_guard<std::mutex> lock(mutex_);
  authResult_ = result;
  authType_ = type;
}
void TestReceiver::setReading(Channel channel, bool reading) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reading_[static_cast<std::size_t>(channel)] = reading;
  }
  wake();
}

void TestReceiver::setReadRate(Channel channel, double bytesPerSecond) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    readRate_[static_cast<std::size_t>(channel)] = bytesPerSecond > 0 ? bytesPerSecond : 0;
  }
  wake();
}

TestReceiver::Conn* TestReceiver::newestLocked(Channel channel) {
  for (auto it = conns_.rbegin(); it != conns_.rend(); ++it) {
    Conn& c = **it;
    if (c.channel == channel && c.fd >= 0 && !c.closeRequested) return &c;
  }
  return nullptr;
}

void TestReceiver::enqueueLocked(Conn& conn, std::vector<uint8_t> bytes) {
  conn.out.insert(conn.out.end(), bytes.begin(), bytes.end());
}

bool TestReceiver::enqueue(Channel channel, std::vector<uint8_t> bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Conn* conn = newestLocked(channel);
    if (conn == nullptr) return false;
    enqueueLocked(*conn, std::move(bytes));
  }
  wake();
  return true;
}

bool TestReceiver::sendRequest(uint8_t code, std::array<uint8_t, 12> attach) {
  std::array<uint8_t, 16> p{};
  p[0] = options_.addressByte;
  p[1] = options_.typeByte;
  p[2] = 1;
  p[3] = code;
  std::copy(attach.begin(), attach.end(), p.begin() + 4);
  return sendPacket(p);
}

bool TestReceiver::sendCallback(uint8_t command, uint8_t deviceStatus) {
  std::array<uint8_t, 16> p{};
  p[0] = options_.addressByte;
  p[1] = options_.typeByte;
  p[2] = 3;
  p[3] = command;
  p[5] = deviceStatus;
  return sendPacket(p);
}

bool TestReceiver::sendPacket(const std::array<uint8_t, 16>& plain) {
  std::vector<uint8_t> wire(plain.begin(), plain.end());
  scramble(wire.data());
  return enqueue(Channel::Control, std::move(wire));
}

bool TestReceiver::sendRaw(Channel channel, std::vector<uint8_t> bytes) {
  return enqueue(channel, std::move(bytes));
}

bool TestReceiver::closeConnection(Channel channel, bool reset) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Conn* conn = newestLocked(channel);
    if (conn == nullptr) return false;
    conn->closeRequested = true;
    conn->resetRequested = reset;
  }
  wake();
  return true;
}

ReceiverState TestReceiver::snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

bool TestReceiver::waitFor(const std::function<bool(const ReceiverState&)>& pred,
                           double seconds) const {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto deadline = SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                                 std::chrono::duration<double>(seconds));
  return changed_.wait_until(lock, deadline, [&] { return pred(state_); });
}

void TestReceiver::run() {
  pthread_setname_np(pthread_self(), "test-receiver");
  std::vector<pollfd> fds;
  std::vector<int> ids;  // per entry: 0 wake, -1-i listener i, kQueryId, else a connection id
  constexpr int kQueryId = -100;
  while (!stopping_) {
    fds.clear();
    ids.clear();
    int timeoutMs = 1000;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto now = SteadyClock::now();
      fds.push_back({wakeFd_, POLLIN, 0});
      ids.push_back(0);
      for (int i = 0; i < kChannelCount; ++i) {
        fds.push_back({listeners_[static_cast<std::size_t>(i)], POLLIN, 0});
        ids.push_back(-1 - i);
      }
      fds.push_back({queryFd_, POLLIN, 0});
      ids.push_back(kQueryId);
      for (auto& c : conns_) {
        if (c->fd < 0) continue;
        short events = 0;
        if (reading_[static_cast<std::size_t>(c->channel)]) {
          if (c->nextReadAt <= now) {
            events |= POLLIN;
          } else {
            const auto wait =
                std::chrono::duration_cast<std::chrono::milliseconds>(c->nextReadAt - now);
            timeoutMs = std::min(timeoutMs, static_cast<int>(wait.count()) + 1);
          }
        }
        if (c->out.size() > c->outOffset) events |= POLLOUT;
        fds.push_back({c->fd, events, 0});
        ids.push_back(c->id);
      }
    }
    const int n = ::poll(fds.data(), fds.size(), timeoutMs);
    if (n < 0 && errno != EINTR) break;
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; n > 0 && i < fds.size(); ++i) {
      const short re = fds[i].revents;
      if (re == 0) continue;
      if (ids[i] == 0) {
        uint64_t v;
        while (::read(wakeFd_, &v, sizeof(v)) > 0) {
        }
      } else if (ids[i] == kQueryId) {
        answerQueries();
      } else if (ids[i] < 0) {
        acceptOn(static_cast<Channel>(-1 - ids[i]));
      } else {
        auto it = std::find_if(conns_.begin(), conns_.end(),
                               [&](const auto& c) { return c->id == ids[i]; });
        if (it == conns_.end() || (*it)->fd < 0) continue;
        Conn& c = **it;
        if (re & POLLIN) readFrom(c);
        if (c.fd >= 0 && (re & POLLOUT)) writeTo(c);
        if (c.fd >= 0 && (re & (POLLERR | POLLNVAL)))
          closeConn(c, "socket error");
        else if (c.fd >= 0 && (re & POLLHUP) && !(re & POLLIN))
          closeConn(c, "hung up");
      }
    }
    for (auto& c : conns_) {
      if (c->fd >= 0 && c->closeRequested) {
        if (c->resetRequested) {
          linger l{1, 0};
          setsockopt(c->fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
        }
        closeConn(*c, c->resetRequested ? "reset on command" : "closed on command");
      }
    }
    std::erase_if(conns_, [](const auto& c) { return c->fd < 0; });
    changed_.notify_all();
  }
}

void TestReceiver::acceptOn(Channel channel) {
  for (;;) {
    int fd = ::accept4(listeners_[static_cast<std::size_t>(channel)], nullptr, nullptr,
                       SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    auto c = std::make_unique<Conn>();
    c->id = nextConnId_++;
    c->fd = fd;
    c->channel = channel;
    auto& stats = state_.channels[static_cast<std::size_t>(channel)];
    ++stats.accepted;
    ++stats.open;
    event(std::string(channelName(channel)) + ": connection " + std::to_string(c->id) +
          " accepted");
    conns_.push_back(std::move(c));
  }
}

void TestReceiver::closeConn(Conn& conn, const std::string& why) {
  if (conn.fd < 0) return;
  ::close(conn.fd);
  conn.fd = -1;
  auto& stats = state_.channels[static_cast<std::size_t>(conn.channel)];
  --stats.open;
  ++stats.closed;
  event(std::string(channelName(conn.channel)) + ": connection " + std::to_string(conn.id) +
        " ended (" + why + ")");
}

void TestReceiver::readFrom(Conn& conn) {
  uint8_t buf[256 * 1024];
  // A rate-limited connection reads 20 ms worth at a time and then waits as long as those
  // bytes take at its rate.
  const double rate = readRate_[static_cast<std::size_t>(conn.channel)];
  size_t want = sizeof(buf);
  if (rate > 0) want = std::clamp(static_cast<size_t>(rate * 0.02), size_t{1}, sizeof(buf));
  const ssize_t n = ::recv(conn.fd, buf, want, 0);
  if (rate > 0 && n > 0) {
    conn.nextReadAt = SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                               std::chrono::duration<double>(
                                                   static_cast<double>(n) / rate));
  }
  if (n == 0) return closeConn(conn, "closed by the sender");
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    return closeConn(conn, errnoText("recv"));
  }
  state_.channels[static_cast<std::size_t>(conn.channel)].bytesIn += static_cast<uint64_t>(n);
  switch (conn.channel) {
    case Channel::Control:
      for (ssize_t i = 0; i < n; ++i) {
        conn.controlBuf[conn.controlLen++] = buf[i];
        if (conn.controlLen == 16) {
          conn.controlLen = 0;
          std::array<uint8_t, 16> plain = conn.controlBuf;
          scramble(plain.data());
          onControlPacket(conn, plain);
        }
      }
      break;
    case Channel::Video:
    case Channel::Audio:
      conn.in.insert(conn.in.end(), buf, buf + n);
      onMediaBytes(conn);
      break;
    case Channel::Touch:
      break;
  }
}

void TestReceiver::writeTo(Conn& conn) {
  while (conn.outOffset < conn.out.size()) {
    const ssize_t n = ::send(conn.fd, conn.out.data() + conn.outOffset,
                             conn.out.size() - conn.outOffset, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      return closeConn(conn, errnoText("send"));
    }
    conn.outOffset += static_cast<size_t>(n);
    auto& stats = state_.channels[static_cast<std::size_t>(conn.channel)];
    stats.bytesOut += static_cast<uint64_t>(n);
    stats.lastSentAt = SteadyClock::now();
  }
  conn.out.clear();
  conn.outOffset = 0;
}

void TestReceiver::sendResponseLocked(Conn& conn, const std::array<uint8_t, 16>& request,
                                      uint8_t result, const std::array<uint8_t, 8>& attach) {
  std::vector<uint8_t> p(16, 0);
  p[0] = options_.addressByte;
  p[1] = options_.typeByte;
  p[2] = 2;
  p[3] = result;
  p[4] = request[1];
  p[5] = request[0];
  p[6] = request[3];
  std::copy(attach.begin(), attach.end(), p.begin() + 8);
  scramble(p.data());
  enqueueLocked(conn, std::move(p));
}

void TestReceiver::onControlPacket(Conn& conn, const std::array<uint8_t, 16>& plain) {
  state_.control.push_back({plain, SteadyClock::now()});
  const auto kind = static_cast<int8_t>(plain[2]);
  const auto code = static_cast<int8_t>(plain[3]);
  if (code != 0 || kind != 1) event("control: packet " + hex(plain.data(), plain.size()));
  if (kind != 1) return;
  std::array<uint8_t, 8> attach{};
  switch (code) {
    case 0:
      if (answerHeartbeats_ && !silent_) {
        sendResponseLocked(conn, plain, 1, attach);
        ++state_.heartbeatsAnswered;
      }
      break;
    case 1:
      if (mirrorStartResult_ == 1) {
        state_.mirroring = true;
        state_.mirrorOwner = plain[0];
      }
      event("control: mirror start from " + std::to_string(plain[0]) + ", answering " +
            std::to_string(mirrorStartResult_));
      if (!silent_) sendResponseLocked(conn, plain, mirrorStartResult_, attach);
      break;
    case 2:
      if (mirrorStopResult_ == 1) state_.mirroring = false;
      event("control: mirror stop, answering " + std::to_string(mirrorStopResult_));
      if (!silent_) sendResponseLocked(conn, plain, mirrorStopResult_, attach);
      break;
    case 9: {
      auto answer = statusAnswer_.value_or(state_.mirroring
                                               ? std::pair<int8_t, uint8_t>{1, state_.mirrorOwner}
                                               : std::pair<int8_t, uint8_t>{0, 0});
      attach[2] = static_cast<uint8_t>(answer.first);  // packet byte 10
      attach[3] = answer.second;                       // packet byte 11
      if (!silent_) sendResponseLocked(conn, plain, 1, attach);
      break;
    }
    case 14:
      std::copy_n(version_.begin(), std::min<size_t>(version_.size(), 8), attach.begin());
      if (!silent_) sendResponseLocked(conn, plain, 1, attach);
      break;
    case 25:
      attach[0] = authType_;
      if (!silent_) sendResponseLocked(conn, plain, authResult_, attach);
      break;
    case 15:
      state_.senderName = textUpToZero(plain.data() + 4, 12);
      break;
    case 16:
      if (state_.senderName.size() < 4096)  // a runaway name stops growing
        state_.senderName += textUpToZero(plain.data() + 4, 12);
      break;
    case 35:
      state_.pinCode = textUpToZero(plain.data() + 5, 11);
      event("control: PIN " + *state_.pinCode);
      break;
    default:
      break;
  }
}

std::vector<uint8_t> TestReceiver::queryAnswer(const std::string& address, const std::string& name,
                                               const std::string& version) {
  in_addr ipv4{};
  if (inet_pton(AF_INET, address.c_str(), &ipv4) != 1) ipv4.s_addr = 0;
  const auto* octets = reinterpret_cast<const uint8_t*>(&ipv4.s_addr);
  std::vector<uint8_t> answer = {2, 4, octets[0], octets[1], octets[2], octets[3]};
  for (const std::string* text : {&name, &version}) {
    const size_t length = std::min<size_t>(text->size(), 255);
    answer.insert(answer.end(), {static_cast<uint8_t>(length), 0, 0, 0});
    answer.insert(answer.end(), text->begin(), text->begin() + static_cast<std::ptrdiff_t>(length));
  }
  return answer;
}

void TestReceiver::answerQueries() {
  for (;;) {
    uint8_t buf[2048];
    sockaddr_storage from{};
    socklen_t fromLen = sizeof(from);
    const ssize_t n =
        ::recvfrom(queryFd_, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 0) return;
    if (state_.queries.size() < 4096) state_.queries.emplace_back(buf, buf + n);  // a flood stops growing
    if (n != 1 || buf[0] != 0x01 || silent_) continue;
    const auto answer = queryAnswer(options_.address, options_.name, version_);
    if (::sendto(queryFd_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from),
                 fromLen) == static_cast<ssize_t>(answer.size()))
      ++state_.queriesAnswered;
  }
}

void TestReceiver::onMediaBytes(Conn& conn) {
  const MediaKind kind = conn.channel == Channel::Video ? MediaKind::Video : MediaKind::Audio;
  size_t offset = 0;
  for (;;) {
    MediaPacketView view;
    const auto r = parseMediaPacket(kind, std::span<const uint8_t>(conn.in).subspan(offset), &view);
    if (r.status == ParseStatus::NeedMore) break;
    if (r.status == ParseStatus::Error) {
      state_.errors.push_back(std::string(channelName(conn.channel)) + ": " + r.error);
      conn.in.clear();
      closeConn(conn, "malformed media: " + r.error);
      return;
    }
    MediaRecord rec;
    rec.length = view.length;
    std::copy(std::begin(view.words), std::end(view.words), rec.words);
    rec.timestamp = view.timestamp;
    rec.payloadSize = view.payload.size();
    rec.payloadHash = fnv1a(view.payload);
    rec.arrivedAt = std::chrono::system_clock::now();
    std::FILE* out = kind == MediaKind::Video ? videoOut_ : audioOut_;
    if (out != nullptr && !view.payload.empty()) {
      std::fwrite(view.payload.data(), 1, view.payload.size(), out);
      std::fflush(out);
    }
    ++(kind == MediaKind::Video ? state_.videoPackets : state_.audioPackets);
    if (options_.keepMediaRecords)
      (kind == MediaKind::Video ? state_.video : state_.audio).push_back(rec);
    offset += r.consumed;
  }
  conn.in.erase(conn.in.begin(), conn.in.begin() + static_cast<std::ptrdiff_t>(offset));
}

}  // namespace corvane::test
