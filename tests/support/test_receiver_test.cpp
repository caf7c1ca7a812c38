// Tests of the test receiver itself, driven by a plain blocking client socket.
#include "support/test_receiver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "support/media_stream.h"
#include "support/media_wire.h"

namespace corvane::test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

// A blocking client connection with bounded reads.
class Client {
 public:
  Client(const std::string& host, uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, host.c_str(), &a.sin_addr);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~Client() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  void send(const Bytes& b) const {
    size_t off = 0;
    while (off < b.size()) {
      ssize_t n = ::send(fd_, b.data() + off, b.size() - off, MSG_NOSIGNAL);
      ASSERT_GT(n, 0);
      off += static_cast<size_t>(n);
    }
  }
  // Reads exactly n bytes within the time; fewer on end of stream, error or time-out.
  Bytes read(size_t n, double seconds = 5.0) {
    Bytes out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (out.size() < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      uint8_t buf[4096];
      ssize_t r = ::recv(fd_, buf, std::min(sizeof(buf), n - out.size()), 0);
      if (r <= 0) {
        lastErrno_ = r < 0 ? errno : 0;
        eof_ = true;
        break;
      }
      out.insert(out.end(), buf, buf + r);
    }
    return out;
  }
  bool eof() const { return eof_; }
  int lastErrno() const { return lastErrno_; }

 private:
  int fd_ = -1;
  bool eof_ = false;
  int lastErrno_ = 0;
};

Bytes scrambled(Bytes p) {
  TestReceiver::scramble(p.data());
  return p;
}

TEST(MediaStreamParser, ParsesVideoAndAudioAndAsksForMore) {
  const Bytes nal = {0, 0, 0, 1, 0x65, 0xAA, 0xBB};
  const Bytes v = videoWire(0x01020304, nal);
  for (size_t cut = 0; cut < v.size(); ++cut) {
    EXPECT_EQ(parseMediaPacket(MediaKind::Video, std::span(v).first(cut), nullptr).status,
              ParseStatus::NeedMore)
        << cut;
  }
  MediaPacketView view;
  Bytes two = v;
  two.push_back(0x00);  // first byte of a next packet
  auto r = parseMediaPacket(MediaKind::Video, two, &view);
  ASSERT_EQ(r.status, ParseStatus::Done);
  EXPECT_EQ(r.consumed, v.size());
  EXPECT_EQ(view.length, nal.size() + 24);
  for (uint32_t w : view.words) EXPECT_EQ(w, 1u);
  EXPECT_EQ(view.timestamp, 0x01020304u);
  EXPECT_EQ(Bytes(view.payload.begin(), view.payload.end()), nal);

  const Bytes frame = pattern(418, 3);
  const Bytes a = audioWire(77, frame);
  r = parseMediaPacket(MediaKind::Audio, a, &view);
  ASSERT_EQ(r.status, ParseStatus::Done);
  EXPECT_EQ(view.length, 422u);
  EXPECT_EQ(view.timestamp, 77u);
  EXPECT_EQ(Bytes(view.payload.begin(), view.payload.end()), frame);
}

TEST(MediaStreamParser, RejectsLengthsShorterThanTheHeaderOrHuge) {
  struct Case {
    MediaKind kind;
    uint32_t length;
  };
  for (const auto& c :
       {Case{MediaKind::Video, 23}, Case{MediaKind::Video, 0}, Case{MediaKind::Audio, 3},
        Case{MediaKind::Audio, 0xFFFFFFFF}, Case{MediaKind::Video, kMaxMediaPacketLength + 1}}) {
    Bytes b;
    putBe32(b, c.length);
    const auto r = parseMediaPacket(c.kind, b, nullptr);
    EXPECT_EQ(r.status, ParseStatus::Error) << c.length;
    EXPECT_FALSE(r.error.empty());
  }
  Bytes empty;
  putBe32(empty, 24);
  empty.resize(28, 0);
  EXPECT_EQ(parseMediaPacket(MediaKind::Video, empty, nullptr).status, ParseStatus::Done);
}

class TestReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("corvane-receiver-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    TestReceiverOptions o;
    o.addressByte = 0x33;
    o.typeByte = 9;
    o.videoFile = (dir_ / "v.h264").string();
    o.audioFile = (dir_ / "a.mp3").string();
    std::string error;
    receiver_ = TestReceiver::startOnFreeLoopbackAddress(o, &error);
    ASSERT_NE(receiver_, nullptr) << error;
  }
  void TearDown() override {
    receiver_.reset();
    std::filesystem::remove_all(dir_);
  }
  uint16_t port(Channel c) const { return receiver_->ports()[c]; }

  // A request from the sender: address byte 5, type 4.
  static Bytes request(uint8_t code, Bytes attach = {}) {
    Bytes p = {5, 4, 1, code};
    attach.resize(12, 0);
    p.insert(p.end(), attach.begin(), attach.end());
    return scrambled(p);
  }
  Bytes answer(Client& c) { return scrambled(c.read(16)); }

  std::filesystem::path dir_;
  std::unique_ptr<TestReceiver> receiver_;
};

TEST_F(TestReceiverTest, ListensOnFourPortsAndCountsConnections) {
  EXPECT_EQ(receiver_->ports().touch, 11101);
  EXPECT_EQ(receiver_->ports().control, 11102);
  EXPECT_EQ(receiver_->ports().audio, 11103);
  EXPECT_EQ(receiver_->ports().video, 11104);
  {
    Client a(receiver_->address(), port(Channel::Touch));
    Client b(receiver_->address(), port(Channel::Control));
    Client c(receiver_->address(), port(Channel::Audio));
    Client d(receiver_->address(), port(Channel::Video));
    ASSERT_TRUE(a.ok() && b.ok() && c.ok() && d.ok());
    EXPECT_TRUE(receiver_->waitFor(
        [](const ReceiverState& s) {
          for (const auto& ch : s.channels)
            if (ch.open != 1) return false;
          return true;
        },
        5));
  }
  EXPECT_TRUE(receiver_->waitFor(
      [](const ReceiverState& s) {
        for (const auto& ch : s.channels)
          if (ch.open != 0 || ch.closed != 1 || ch.accepted != 1) return false;
        return true;
      },
      5));
}

TEST_F(TestReceiverTest, AnswersTheSendersRequestsInTheirLayouts) {
  Client c(receiver_->address(), port(Channel::Control));
  ASSERT_TRUE(c.ok());
  receiver_->setVersion("2.5.1");
  receiver_->setMirrorStartResult(0);
  struct Case {
    uint8_t code;
    Bytes want;
  };
  const Case cases[] = {
      {0, {0x33, 9, 2, 1, 4, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {1, {0x33, 9, 2, 0, 4, 5, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}},  // refused start
      {9, {0x33, 9, 2, 1, 4, 5, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0}},  // idle
      {14, {0x33, 9, 2, 1, 4, 5, 14, 0, '2', '.', '5', '.', '1', 0, 0, 0}},
      {25, {0x33, 9, 2, 1, 4, 5, 25, 0, 1, 0, 0, 0, 0, 0, 0, 0}},
      {2, {0x33, 9, 2, 1, 4, 5, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& k : cases) {
    c.send(request(k.code));
    EXPECT_EQ(answer(c), k.want) << "code " << int(k.code);
  }
  receiver_->setMirrorStartResult(1);
  c.send(request(1));
  EXPECT_EQ(answer(c)[3], 1);
  c.send(request(9));
  EXPECT_EQ(answer(c), (Bytes{0x33, 9, 2, 1, 4, 5, 9, 0, 0, 0, 1, 5, 0, 0, 0, 0}))
      << "mirroring for address byte 5";
  receiver_->setStatusAnswer(std::pair<int8_t, uint8_t>{3, 0});
  c.send(request(9));
  EXPECT_EQ(answer(c)[10], 3);

  // Name pieces and PIN are kept; they are not answered.
  c.send(request(15, {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k'}));
  c.send(request(16, {'l', 'm'}));
  c.send(request(35, {6, '1', '2', '3', '4', '5', '6'}));
  EXPECT_TRUE(receiver_->waitFor(
      [](const ReceiverState& s) { return s.pinCode.has_value() && s.control.size() == 12; }, 5));
  const auto s = receiver_->snapshot();
  EXPECT_EQ(s.senderName, "abcdefghijklm");
  EXPECT_EQ(*s.pinCode, "123456");
  EXPECT_EQ(s.count(1, 9), 3u);
}

TEST_F(TestReceiverTest, SendsItsRequestsAndCallbacksAndFallsSilent) {
  Client c(receiver_->address(), port(Channel::Control));
  ASSERT_TRUE(c.ok());
  ASSERT_TRUE(
      receiver_->waitFor([](const ReceiverState& s) { return s[Channel::Control].open == 1; }, 5));
  EXPECT_TRUE(receiver_->requestFrameRate(-3));
  EXPECT_EQ(answer(c), (Bytes{0x33, 9, 1, 38, 0xFD, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(receiver_->sendDeviceStatus(7));
  EXPECT_EQ(answer(c), (Bytes{0x33, 9, 3, 128, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(receiver_->sendKeyStatus());
  EXPECT_EQ(answer(c)[3], 129);

  // Silent: the heartbeat goes unanswered, so the next bytes are the version answer.
  receiver_->setSilent(true);
  c.send(request(0));
  ASSERT_TRUE(receiver_->waitFor([](const ReceiverState& s) { return s.control.size() == 1; }, 5));
  receiver_->setSilent(false);
  c.send(request(14));
  EXPECT_EQ(answer(c)[6], 14);
  EXPECT_EQ(receiver_->snapshot().heartbeatsAnswered, 0);
}

TEST_F(TestReceiverTest, ParsesMediaIntoFilesWithTimestamps) {
  Client v(receiver_->address(), port(Channel::Video));
  Client a(receiver_->address(), port(Channel::Audio));
  ASSERT_TRUE(v.ok() && a.ok());
  Bytes vstream, astream, h264, mp3;
  for (uint32_t i = 0; i < 20; ++i) {
    const Bytes nal = pattern(100 + i * 37, static_cast<uint8_t>(i));
    const auto w = videoWire(1000 + i * 33, nal);
    vstream.insert(vstream.end(), w.begin(), w.end());
    h264.insert(h264.end(), nal.begin(), nal.end());
    const Bytes frame = pattern(417 + (i & 1), static_cast<uint8_t>(i + 9));
    const auto aw = audioWire(i * 26, frame);
    astream.insert(astream.end(), aw.begin(), aw.end());
    mp3.insert(mp3.end(), frame.begin(), frame.end());
  }
  // Odd-sized pieces so that packets straddle reads.
  for (size_t off = 0; off < vstream.size(); off += 333)
    v.send(
        Bytes(vstream.begin() + static_cast<std::ptrdiff_t>(off),
              vstream.begin() + static_cast<std::ptrdiff_t>(std::min(vstream.size(), off + 333))));
  a.send(astream);
  ASSERT_TRUE(receiver_->waitFor(
      [](const ReceiverState& s) { return s.video.size() == 20 && s.audio.size() == 20; }, 5));
  const auto s = receiver_->snapshot();
  for (uint32_t i = 0; i < 20; ++i) {
    EXPECT_EQ(s.video[i].timestamp, 1000 + i * 33);
    EXPECT_EQ(s.video[i].payloadSize, 100 + i * 37);
    EXPECT_EQ(s.audio[i].timestamp, i * 26);
    EXPECT_EQ(s.audio[i].length, 417 + (i & 1) + 4);
  }
  EXPECT_TRUE(s.errors.empty());
  auto slurp = [](const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
  };
  EXPECT_EQ(slurp(dir_ / "v.h264"), h264);
  EXPECT_EQ(slurp(dir_ / "a.mp3"), mp3);
}

TEST_F(TestReceiverTest, GarbageOnAMediaConnectionIsReportedAndClosesIt) {
  Client v(receiver_->address(), port(Channel::Video));
  ASSERT_TRUE(v.ok());
  v.send(videoWire(5, {1, 2, 3}));
  v.send({0, 0, 0, 3, 9, 9, 9});  // length 3 < 24
  EXPECT_TRUE(v.read(1).empty());
  EXPECT_TRUE(v.eof());
  const auto s = receiver_->snapshot();
  ASSERT_EQ(s.errors.size(), 1u);
  EXPECT_NE(s.errors[0].find("video"), std::string::npos);
  EXPECT_EQ(s.video.size(), 1u);
}

TEST_F(TestReceiverTest, ClosesOrResetsAConnectionOnCommand) {
  Client c1(receiver_->address(), port(Channel::Control));
  Client c2(receiver_->address(), port(Channel::Audio));
  ASSERT_TRUE(c1.ok() && c2.ok());
  ASSERT_TRUE(receiver_->waitFor(
      [](const ReceiverState& s) {
        return s[Channel::Control].open == 1 && s[Channel::Audio].open == 1;
      },
      5));
  EXPECT_TRUE(receiver_->closeConnection(Channel::Control));
  EXPECT_TRUE(c1.read(1).empty());
  EXPECT_TRUE(c1.eof());
  EXPECT_EQ(c1.lastErrno(), 0) << "an orderly close";
  EXPECT_TRUE(receiver_->closeConnection(Channel::Audio, true));
  EXPECT_TRUE(c2.read(1).empty());
  EXPECT_EQ(c2.lastErrno(), ECONNRESET);
  EXPECT_FALSE(receiver_->closeConnection(Channel::Video)) << "no video connection";
  EXPECT_FALSE(receiver_->sendHeartbeat()) << "no control connection any more";
}

}  // namespace
}  // namespace corvane::test
