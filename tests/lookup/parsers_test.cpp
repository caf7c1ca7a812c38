// The pure parts of the look-up exchanges: the UDP answer parser, the reply frame header and
// how a reply body is judged.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "flatbuffers/builder.h"
#include "flatbuffers/test_bytes.h"
#include "lookup/lookup_exchange.h"
#include "lookup/receiver_answer.h"
#include "lookup/schema/table_inserts.h"
#include "lookup/schema/tables.h"
#include "support/test_lookup_server.h"
#include "support/test_receiver.h"

namespace corvane {
namespace {

using test::Bytes;
using test::fromHex;
using Status = ReceiverAnswer::Status;

// The example answer: address 192.168.1.20, name "ABC", version "1".
constexpr const char* kAnswer = "02 04 C0 A8 01 14 03 00 00 00 41 42 43 01 00 00 00 31";

TEST(ReceiverAnswerParser, DecodesTheFieldsOrDropsWithAReason) {
  struct Case {
    const char* what;
    const char* bytes;
    Status status;
    const char* version = "1";  // with Done
  };
  const Case cases[] = {
      {"the example answer", kAnswer, Status::Done},
      {"two extra address bytes", "02 06 C0 A8 01 14 EE FF 03 00 00 00 41 42 43 01 00 00 00 31",
       Status::Done},
      {"bytes after the version", "02 04 C0 A8 01 14 03 00 00 00 41 42 43 01 00 00 00 31 99 98",
       Status::Done},
      {"empty version, its field cut after the first byte",
       "02 04 C0 A8 01 14 03 00 00 00 41 42 43 00", Status::Done, ""},
      {"empty", "", Status::Empty},
      {"code 3", "03 04 C0 A8 01 14 03 00 00 00 41 42 43 01 00 00 00 31", Status::UnknownCode},
      {"one byte 02", "02", Status::TooShort},
      {"address length 3", "02 03 C0 A8 01 03 00 00 00 41 42 43 01 00 00 00 31", Status::TooShort},
      {"name cut", "02 04 C0 A8 01 14 03 00 00 00 41 42", Status::TooShort},
      {"no version length", "02 04 C0 A8 01 14 03 00 00 00 41 42 43", Status::TooShort},
      {"version cut", "02 04 C0 A8 01 14 03 00 00 00 41 42 43 02 00 00 00 31", Status::TooShort},
      {"address length beyond the datagram", "02 FF C0 A8 01 14", Status::TooShort},
      {"name not UTF-8", "02 04 C0 A8 01 14 02 00 00 00 FF FE 01 00 00 00 31", Status::InvalidText},
      {"version not UTF-8", "02 04 C0 A8 01 14 03 00 00 00 41 42 43 01 00 00 00 80",
       Status::InvalidText},
  };
  for (const Case& c : cases) {
    const ReceiverAnswer answer = parseReceiverAnswer(fromHex(c.bytes));
    EXPECT_EQ(answer.status, c.status) << c.what;
    if (answer.status == Status::Done) {
      EXPECT_EQ(answer.localIp, "192.168.1.20") << c.what;
      EXPECT_EQ(answer.name, "ABC") << c.what;
      EXPECT_EQ(answer.version, c.version) << c.what;
    }
  }
  EXPECT_EQ(parseReceiverAnswer(fromHex("03 01")).code, 3);
}

TEST(ReceiverAnswerParser, TestReceiverWritesTheSameLayout) {
  EXPECT_EQ(test::TestReceiver::queryAnswer("192.168.1.20", "ABC", "1"), fromHex(kAnswer));
  const auto answer = parseReceiverAnswer(
      test::TestReceiver::queryAnswer("127.9.8.7", "Salle \xc3\xa0 manger", "2.0.1"));
  EXPECT_EQ(answer.status, Status::Done);
  EXPECT_EQ(answer.localIp, "127.9.8.7");
  EXPECT_EQ(answer.name, "Salle \xc3\xa0 manger");
  EXPECT_EQ(answer.version, "2.0.1");
}

TEST(ReplyFrameHeader, NeedsFourBytesAndRefusesBodiesAbove64KiB) {
  EXPECT_EQ(parseFrameHeader(fromHex("00 00 00")).status, FrameStatus::NeedMore);
  const auto small = parseFrameHeader(fromHex("00 00 00 40 ff"));
  EXPECT_EQ(small.status, FrameStatus::Done);
  EXPECT_EQ(small.length, 64u);
  EXPECT_EQ(parseFrameHeader(fromHex("00 01 00 00")).status, FrameStatus::Done);  // exactly 64 KiB
  const auto above = parseFrameHeader(fromHex("00 01 00 01"));
  EXPECT_EQ(above.status, FrameStatus::Error);
  EXPECT_EQ(above.length, 65537u);
  EXPECT_EQ(parseFrameHeader(fromHex("ff ff ff ff")).status, FrameStatus::Error);
}

Bytes bodyOf(const test::LookupAnswer& answer) {
  const Bytes framed = answer.reply();
  return Bytes(framed.begin() + 4, framed.end());
}

TEST(ReplyJudgement, FollowsTheReplyTable) {
  using Outcome = ReplyVerdict::Outcome;
  const std::vector<std::string> response = {"got response from server"};
  const std::vector<std::string> ok = {"got response from server", "server response OK"};
  const std::vector<std::string> notFound = {"got response from server",
                                             "unable to find receiver by pincode"};
  auto withStatus = [](std::int8_t status) {
    test::LookupAnswer answer;
    answer.status = status;
    return answer;
  };
  auto okWithOtherData = [] {
    FlatBuffersBuilder b(lookupRequestOptions());
    const auto responseTable = insertResponseCmd(b, StatusCode::OK).offset;
    const auto data = insertOnlineRegisterResponseData(b, std::nullopt).offset;
    b.finish(insertCastCommand(b, 2, responseTable, 4, data).offset, std::nullopt);
    return b.makeData();
  };
  struct Case {
    const char* what;
    Bytes body;
    Outcome outcome;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"empty body", {}, Outcome::Nothing, {}},
      {"not a message", fromHex("ff ff ff 7f 01 02"), Outcome::Nothing, {}},
      {"no cmd", CastCommand::create()->makeData(lookupRequestOptions()), Outcome::Nothing, {}},
      {"a request",
       makeLookupRequest(std::string("123456")),
       Outcome::Nothing,
       {"got request from server"}},
      {"found", bodyOf(test::LookupAnswer::found({"10.0.0.1"}, "TV", "1.0")), Outcome::Resolved,
       ok},
      {"OK without data", bodyOf(withStatus(1)), Outcome::Nothing, ok},
      {"OK with other data", okWithOtherData(), Outcome::Nothing, ok},
      {"NONE", bodyOf(test::LookupAnswer::notFound(StatusCode::NONE)), Outcome::NotFound, notFound},
      {"no status", bodyOf(test::LookupAnswer::withoutStatus()), Outcome::NotFound, notFound},
      {"FAILED", bodyOf(test::LookupAnswer::notFound(StatusCode::FAILED)), Outcome::NotFound,
       notFound},
      {"FAILED_NOT_EXIT", bodyOf(test::LookupAnswer::notFound(StatusCode::FAILED_NOT_EXIT)),
       Outcome::NotFound, notFound},
      {"status 4", bodyOf(withStatus(4)), Outcome::Nothing, response},
      {"status -1", bodyOf(withStatus(-1)), Outcome::Nothing, response},
  };
  for (const Case& c : cases) {
    const ReplyVerdict verdict = judgeReply(c.body, "424242");
    EXPECT_EQ(verdict.outcome, c.outcome) << c.what;
    EXPECT_EQ(verdict.logLines, c.lines) << c.what;
    EXPECT_EQ(verdict.receiver.has_value(), c.outcome == Outcome::Resolved) << c.what;
  }
  const auto found = judgeReply(
      bodyOf(test::LookupAnswer::found({"10.0.0.1", "10.0.0.2"}, "TV", "1.0")), "424242");
  EXPECT_EQ(found.receiver, (ReceiverObject{"TV", "1.0", {"10.0.0.1", "10.0.0.2"}, "424242"}));
  const auto bare =
      judgeReply(bodyOf(test::LookupAnswer::found({}, std::nullopt, std::nullopt)), "1");
  EXPECT_EQ(bare.receiver, (ReceiverObject{"", "", {}, "1"}));
}

// The test look-up server's replies, byte for byte as a server of another make would write
// them (offsets in the body, after the 4-byte header): the client's own parser must not be the
// only judge of what the server sends.
TEST(TestLookupServerReply, IsTheFramedMessageWrittenByHand) {
  struct Case {
    const char* what;
    test::LookupAnswer answer;
    const char* bytes;
  };
  test::LookupAnswer statusFour;
  statusFour.status = 4;
  const Case cases[] = {
      {"found", test::LookupAnswer::found({"10.0.0.1"}, "TV", "1.0"),
       "00 00 00 6c "                          //    header: body of 108 bytes
       "10 00 00 00 "                          //  0 root: the CastCommand table at 16
       "0c 00 0e 00 0d 00 08 00 0c 00 04 00 "  //  4 vtable: the four slots at 13, 8, 12, 4
       "0c 00 00 00 "                          // 16 CastCommand table: vtable 12 bytes back
       "14 00 00 00 "                          // 20 data: 20 ahead, at 40
       "4c 00 00 00 "                          // 24 cmd: 76 ahead, at 100
       "06 02 "                                // 28 data_type 6, cmd_type 2
       "0a 00 10 00 0c 00 08 00 04 00 "        // 30 vtable: ipList 12, name 8, corvaneVersion 4
       "0a 00 00 00 "                          // 40 QueryServerResponseData: vtable 10 back
       "0c 00 00 00 10 00 00 00 14 00 00 00 "  // 44 corvaneVersion at 56, name at 64, ipList at 72
       "03 00 00 00 31 2e 30 00 "              // 56 "1.0", one byte of padding
       "02 00 00 00 54 56 00 00 "              // 64 "TV", two bytes of padding
       "01 00 00 00 04 00 00 00 "              // 72 one element, 4 ahead, at 80
       "08 00 00 00 31 30 2e 30 2e 30 2e 31 "  // 80 "10.0.0.1"
       "00 00 "                                // 92 padding
       "06 00 08 00 07 00 "                    // 94 ResponseCmd vtable: statusCode at 7
       "06 00 00 00 00 00 00 01"},             // 100 ResponseCmd table; statusCode OK
      {"not found, FAILED", test::LookupAnswer::notFound(StatusCode::FAILED),
       "00 00 00 28 "                          //    header: 40 bytes
       "10 00 00 00 "                          //  0 root at 16
       "0c 00 0a 00 09 00 04 00 08 00 00 00 "  //  4 vtable: cmd_type 9, cmd 4, data_type 8, no data
       "0c 00 00 00 0c 00 00 00 "              // 16 CastCommand table; cmd 12 ahead, at 32
       "00 02 "                                // 24 data_type 0 (defaults forced), cmd_type 2
       "06 00 08 00 07 00 "                    // 26 ResponseCmd vtable: statusCode at 7
       "06 00 00 00 00 00 00 02"},             // 32 ResponseCmd table; statusCode FAILED
      {"no status field", test::LookupAnswer::withoutStatus(),
       "00 00 00 24 "                          //    header: 36 bytes
       "10 00 00 00 "                          //  0 root at 16
       "0c 00 0a 00 09 00 04 00 00 00 00 00 "  //  4 vtable: cmd_type 9, cmd 4, no data
       "0c 00 00 00 0c 00 00 00 "              // 16 CastCommand table; cmd at 32
       "00 02 "                                // 24 padding, cmd_type 2
       "06 00 04 00 00 00 "                    // 26 ResponseCmd vtable: no statusCode
       "06 00 00 00"},                         // 32 ResponseCmd table
      {"a status byte naming no case", statusFour,
       "00 00 00 28 10 00 00 00 "              //    header: 40 bytes; root at 16
       "0c 00 0a 00 09 00 04 00 00 00 00 00 "  //  4 vtable: cmd_type 9, cmd 4, no data
       "0c 00 00 00 0c 00 00 00 00 02 "        // 16 CastCommand table; cmd at 32; cmd_type 2
       "06 00 08 00 07 00 "                    // 26 ResponseCmd vtable: statusCode at 7
       "06 00 00 00 00 00 00 04"},             // 32 ResponseCmd table; statusCode 4
  };
  for (const auto& c : cases) {
    EXPECT_EQ(test::hex(c.answer.reply()), test::hex(fromHex(c.bytes))) << c.what;
  }
}

}  // namespace
}  // namespace corvane
