// Byte-exact tests of control packet building, scrambling, the request attachments and the
// reassembly of the incoming control stream.
#include "session/control_packet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvane {
namespace {

std::vector<uint8_t> bytesOf(const ControlPacketBytes& b) { return {b.begin(), b.end()}; }

template <size_t N>
std::vector<uint8_t> bytesOf(const std::array<uint8_t, N>& b) {
  return {b.begin(), b.end()};
}

ControlPacketBytes scrambled(ControlPacketBytes plain) {
  encode(plain);
  return plain;
}

TEST(ControlScrambling, XorsWithTheThirteenByteKeyAndIsItsOwnInverse) {
  // Scrambling zeros shows the key itself, restarting at offset 13.
  ControlPacketBytes zeros{};
  EXPECT_EQ(bytesOf(scrambled(zeros)),
            (std::vector<uint8_t>{'Q', 'o', 'r', 'v', 'i', 'm', 'a', 'l', '_', 'k', 'e', 's', 't',
                                  'Q', 'o', 'r'}));

  // A heartbeat request from address byte 1, as it goes on the wire.
  const auto heartbeat = packetBytes(makeRequestPacket(1, 4, 0, nullptr));
  EXPECT_EQ(bytesOf(heartbeat),
            (std::vector<uint8_t>{1, 4, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(bytesOf(scrambled(heartbeat)),
            (std::vector<uint8_t>{0x50, 0x6B, 0x73, 0x76, 0x69, 0x6D, 0x61, 0x6C, 0x5F, 0x6B, 0x65,
                                  0x73, 0x74, 0x51, 0x6F, 0x72}));

  ControlPacketBytes any;
  for (size_t i = 0; i < any.size(); ++i) any[i] = static_cast<uint8_t>(i * 37 + 11);
  EXPECT_EQ(scrambled(scrambled(any)), any);
}

TEST(ControlPacketBuilding, RequestCarriesAddressTypeKindCodeAndAttachment) {
  uint8_t attach[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  EXPECT_EQ(bytesOf(packetBytes(makeRequestPacket(37, 4, 35, attach))),
            (std::vector<uint8_t>{37, 4, 1, 35, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  EXPECT_EQ(bytesOf(packetBytes(makeRequestPacket(0xFE, 4, 9, nullptr))),
            (std::vector<uint8_t>{0xFE, 4, 1, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(ControlPacketBuilding, HeartbeatAnswerEchoesTypeAddressAndCodeInBytesFourToSix) {
  // The receiver's heartbeat: address 0x2A, type 0x07, code 0.
  _RequestPacket request = makeRequestPacket(0x2A, 0x07, 0, nullptr);
  const auto answer = packetBytes(makeResponsePacket(1, kControlResultOk, request, nullptr));
  EXPECT_EQ(bytesOf(answer),
            (std::vector<uint8_t>{1, 4, 2, 1, 0x07, 0x2A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

  uint8_t attach[8] = {'v', '1', 0, 0, 0, 0, 0, 9};
  request = makeRequestPacket(5, 4, 14, nullptr);
  EXPECT_EQ(bytesOf(packetBytes(makeResponsePacket(9, kControlResultFailed, request, attach))),
            (std::vector<uint8_t>{9, 4, 2, 0, 4, 5, 14, 0, 'v', '1', 0, 0, 0, 0, 0, 9}));
}

TEST(SenderName, SplitsIntoPiecesOfElevenCharactersAndTwelveBytes) {
  struct Case {
    const char* what;
    std::string name;
    std::vector<std::string> pieces;
  };
  const std::string cjk = "\xE4\xB8\xAD";  // one character, 3 bytes
  std::string tenCjk;
  for (int i = 0; i < 10; ++i) tenCjk += cjk;
  const Case cases[] = {
      {"empty sends nothing", "", {}},
      {"30 ASCII -> 11, 11, 8",
       "abcdefghijklmnopqrstuvwxyz0123",
       {"abcdefghijk", "lmnopqrstuv", "wxyz0123"}},
      {"10 CJK -> 4, 4, 2", tenCjk, {cjk + cjk + cjk + cjk, cjk + cjk + cjk + cjk, cjk + cjk}},
      {"10 ASCII then CJK: the CJK would make 13 bytes",
       "abcdefghij" + cjk + "x",
       {"abcdefghij", cjk + "x"}},
      {"a piece of exactly 12 bytes",
       "ab" + cjk + cjk + "cdef" + "Z",
       {"ab" + cjk + cjk + "cdef", "Z"}},
      {"4-byte characters: 3 a packet",
       "\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80",
       {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"}},
      {"stray bytes pass as one character each",
       std::string(12, '\xFF'),
       {std::string(11, '\xFF'), std::string(1, '\xFF')}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto pieces = senderNamePieces(c.name);
    ASSERT_EQ(pieces.size(), c.pieces.size());
    for (size_t i = 0; i < pieces.size(); ++i) {
      std::vector<uint8_t> expected(12, 0);
      std::copy(c.pieces[i].begin(), c.pieces[i].end(), expected.begin());
      EXPECT_EQ(bytesOf(pieces[i]), expected) << "piece " << i;
    }
  }
}

TEST(RequestAttachments, PinCodeAndMouseEvent) {
  auto pin = pinCodeAttachment("12345678");
  ASSERT_TRUE(pin.has_value());
  EXPECT_EQ(bytesOf(*pin),
            (std::vector<uint8_t>{8, '1', '2', '3', '4', '5', '6', '7', '8', 0, 0, 0}));
  pin = pinCodeAttachment(
      "\xE4\xB8\xAD"
      "12");  // 3 characters, 5 bytes
  ASSERT_TRUE(pin.has_value());
  EXPECT_EQ(bytesOf(*pin), (std::vector<uint8_t>{3, 0xE4, 0xB8, 0xAD, '1', '2', 0, 0, 0, 0, 0, 0}));
  pin = pinCodeAttachment("12345678901");  // 11 bytes fill the attachment exactly
  ASSERT_TRUE(pin.has_value());
  EXPECT_EQ((*pin)[0], 11);
  EXPECT_EQ((*pin)[11], '1');
  EXPECT_FALSE(pinCodeAttachment("123456789012").has_value()) << "12 bytes do not fit";

  EXPECT_EQ(bytesOf(mouseEventAttachment(2, 3, 0x12345678, -2)),
            (std::vector<uint8_t>{2, 3, 0x56, 0x78, 0xFF, 0xFE, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(bytesOf(mouseEventAttachment(0, 0, 1920, 1080)),
            (std::vector<uint8_t>{0, 0, 0x07, 0x80, 0x04, 0x38, 0, 0, 0, 0, 0, 0}));
}

TEST(RequestAttachments, VersionTextStopsAtZeroAndRejectsInvalidUtf8) {
  struct Case {
    std::vector<uint8_t> bytes8;
    std::optional<std::string> text;
  };
  const Case cases[] = {
      {{'2', '.', '1', '.', '0', 0, 'x', 'y'}, "2.1.0"},
      {{'1', '2', '3', '4', '5', '6', '7', '8'}, "12345678"},
      {{0, 'a', 0, 0, 0, 0, 0, 0}, ""},
      {{'v', 0xFF, 0xFE, 0, 0, 0, 0, 0}, std::nullopt},
      {{'v', 0xE4, 0xB8, 0, 0, 0, 0, 0}, std::nullopt},  // truncated sequence
      {{0xC0, 0x80, 0, 0, 0, 0, 0, 0}, std::nullopt},    // overlong
      {{'v', 0xE4, 0xB8, 0xAD, 0, 0, 0, 0}, "v\xE4\xB8\xAD"},
  };
  for (const auto& c : cases) {
    _ResponsePacket r{};
    std::copy(c.bytes8.begin(), c.bytes8.end(), r.attach);
    EXPECT_EQ(responseVersionText(r), c.text);
  }
}

class Reassembly : public ::testing::Test {
 protected:
  ControlPacketBytes buf{};
  int32_t len = 0;

  static std::vector<uint8_t> wire(uint8_t code) {
    const auto b = scrambled(packetBytes(makeRequestPacket(7, 4, code, nullptr)));
    return {b.begin(), b.end()};
  }
  std::vector<ControlPacketBytes> feed(std::span<const uint8_t> chunk) {
    return reassembleControlData(buf, len, chunk);
  }
};

TEST_F(Reassembly, PacketSplitOverThreeReadsIsDispatchedOnceAfterTheThird) {
  const auto w = wire(24);
  std::span<const uint8_t> s(w);
  EXPECT_TRUE(feed(s.subspan(0, 5)).empty());
  EXPECT_EQ(len, 5);
  EXPECT_TRUE(feed(s.subspan(5, 7)).empty());
  EXPECT_EQ(len, 12);
  const auto out = feed(s.subspan(12, 4));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(bytesOf(out[0]),
            (std::vector<uint8_t>{7, 4, 1, 24, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(len, 0);
}

TEST_F(Reassembly, TwentyBytesDispatchOneAndKeepFourThenTwoInOneReadInOrder) {
  auto stream = wire(1);
  for (uint8_t code : {uint8_t{2}, uint8_t{38}}) {
    const auto w = wire(code);
    stream.insert(stream.end(), w.begin(), w.end());
  }
  std::span<const uint8_t> s(stream);
  auto out = feed(s.subspan(0, 20));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0][3], 1);
  EXPECT_EQ(len, 4);
  out = feed(s.subspan(20));  // rest of the second and all of the third
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0][3], 2);
  EXPECT_EQ(out[1][3], 38);
  EXPECT_EQ(len, 0);
  EXPECT_TRUE(feed({}).empty());
  EXPECT_EQ(len, 0);
}

TEST_F(Reassembly, OutOfRangeHeldCountStartsAFreshPacket) {
  const auto w = wire(0);
  for (int32_t bad : {-1, 16, 1000}) {
    len = bad;
    const auto out = feed(w);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0][0], 7);
    EXPECT_EQ(len, 0);
  }
}

}  // namespace
}  // namespace corvane
