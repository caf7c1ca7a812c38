// The look-up schema: encoding object graphs, decoding messages (also damaged ones) and the
// zero-copy views.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "flatbuffers/builder.h"
#include "flatbuffers/memory_reader.h"
#include "flatbuffers/reader_cache.h"
#include "flatbuffers/sample_messages.h"
#include "flatbuffers/test_bytes.h"
#include "lookup/lookup_exchange.h"
#include "lookup/schema/direct.h"
#include "lookup/schema/object_decoders.h"
#include "lookup/schema/object_writers.h"
#include "lookup/schema/table_inserts.h"
#include "lookup/schema/tables.h"

namespace corvane {
namespace {

using test::Bytes;
using test::fromHex;
using test::hex;
using Reader = FlatBuffersMemoryReader;

static_assert(FlatBuffersDirectAccess<CastCommand::Direct<Reader>, Reader>);
static_assert(FlatBuffersDirectAccess<RequestCmd::Direct<Reader>, Reader>);
static_assert(FlatBuffersDirectAccess<ResponseCmd::Direct<Reader>, Reader>);
static_assert(FlatBuffersDirectAccess<RequestPingData::Direct<Reader>, Reader>);
static_assert(FlatBuffersDirectAccess<ResponsePingData::Direct<Reader>, Reader>);
static_assert(FlatBuffersDirectAccess<OnlineRegisterRequestData::Direct<Reader>, Reader>);
static_assert(FlatBuffersDirectAccess<OnlineRegisterResponseData::Direct<Reader>, Reader>);
static_assert(FlatBuffersDirectAccess<QueryServerRequestData::Direct<Reader>, Reader>);
static_assert(FlatBuffersDirectAccess<QueryServerResponseData::Direct<Reader>, Reader>);

FlatBuffersBuilderOptions options(bool forceDefaults = false, bool uniqueTables = true) {
  return FlatBuffersBuilderOptions(1, true, uniqueTables, true, forceDefaults, false);
}

std::shared_ptr<Reader> readerOf(const Bytes& bytes) {
  return Reader::create(bytes, false, FlatBuffersReaderCache::create());
}

std::int32_t root(const Bytes& bytes) { return readerOf(bytes)->rootObjectOffset().value(); }

// A message built with the insert operations directly, for bytes the object writers never make.
Bytes castCommandOf(const std::function<void(FlatBuffersBuilder&, TableInsertResult&)>& build) {
  FlatBuffersBuilder builder(options());
  TableInsertResult result;
  build(builder, result);
  builder.finish(result.offset, std::nullopt);
  return builder.makeData();
}

TEST(LookupSchema, RequestForSixCharacterPinMatchesTheLayoutAndHeader) {
  const Bytes body = makeLookupRequest(std::string("123456"));
  EXPECT_EQ(hex(body), hex(fromHex(test::kLookupRequest)));
  const auto header = frameHeader(static_cast<std::uint32_t>(body.size()));
  EXPECT_EQ(hex(Bytes(header.begin(), header.end())), "00 00 00 40");
  // Longer bodies carry the higher bytes.
  const auto big = frameHeader(0x12345);
  EXPECT_EQ(hex(Bytes(big.begin(), big.end())), "00 01 23 45");
}

TEST(LookupSchema, EmptyCastCommandWritesNoFieldAndDecodesEmpty) {
  const Bytes bytes = CastCommand::create()->makeData(options());
  const auto reader = readerOf(bytes);
  const std::int32_t table = reader->rootObjectOffset().value();
  for (int slot = 0; slot < 4; ++slot) {
    EXPECT_EQ(reader->fieldOffset(table, slot), 0) << "slot " << slot;
  }
  const auto decoded = CastCommand::from(bytes);
  ASSERT_NE(decoded, nullptr);
  EXPECT_FALSE(decoded->cmd());
  EXPECT_FALSE(decoded->data());
}

TEST(LookupSchema, DefaultStatusIsWrittenOnlyWithForceDefaultsAndReadsAsNone) {
  for (const std::optional<StatusCode> status :
       {std::optional<StatusCode>(StatusCode::NONE), std::optional<StatusCode>()}) {
    for (const bool force : {false, true}) {
      const auto command =
          CastCommand::create(CmdType::withResponseCmd(ResponseCmd::create(status)));
      const Bytes bytes = command->makeData(options(force));
      const auto reader = readerOf(bytes);
      const auto response = reader->offset(reader->rootObjectOffset().value(), 1).value();
      EXPECT_EQ(reader->fieldOffset(response, 0) != 0, force) << "force " << force;
      const auto decoded = CastCommand::from(bytes);
      ASSERT_NE(decoded->cmd()->responseCmd(), nullptr);
      EXPECT_EQ(decoded->cmd()->responseCmd()->statusCode(), StatusCode::NONE);
    }
  }
}

TEST(LookupSchema, StatusBytesNamingNoCaseDecodeAbsent) {
  for (const int byte : {4, 127, 255}) {
    const Bytes bytes = castCommandOf([byte](FlatBuffersBuilder& b, TableInsertResult& result) {
      b.startObject(1);
      b.insert(static_cast<std::int8_t>(byte), std::int8_t{0}, 0);
      const std::int32_t response = b.endObject();
      result = insertCastCommand(b, 2, response, 0, std::nullopt);
    });
    const auto decoded = CastCommand::from(bytes);
    ASSERT_NE(decoded->cmd()->responseCmd(), nullptr) << byte;
    EXPECT_FALSE(decoded->cmd()->responseCmd()->statusCode()) << byte;
    const auto view = CastCommand::Direct<Reader>::create(readerOf(bytes), root(bytes));
    const auto cmd = view->cmd();
    ASSERT_TRUE(cmd) << byte;
    EXPECT_FALSE(std::get<1>(cmd->value()).statusCode()) << byte;
  }
  EXPECT_FALSE(statusCodeFromRawValue(-1));
  EXPECT_EQ(statusCodeFromRawValue(3), StatusCode::FAILED_NOT_EXIT);
  EXPECT_EQ(FlatBuffersEnumTraits<StatusCode>::fromScalar(std::int8_t{2}), StatusCode::FAILED);
  EXPECT_FALSE(FlatBuffersEnumTraits<StatusCode>::fromScalar(std::uint8_t{2}));
  EXPECT_FALSE(FlatBuffersEnumTraits<StatusCode>::fromScalar(2.0));
}

TEST(LookupSchema, UnknownUnionTagOrMissingReferenceLeavesTheUnionAbsent) {
  struct Case {
    const char* what;
    std::int8_t cmdType;
    bool cmdReference;
    std::int8_t dataType;
    bool dataReference;
  };
  const Case cases[] = {
      {"data tag 7", 1, true, 7, true},
      {"cmd tag 3", 3, true, 5, true},
      {"data tag without reference", 1, true, 5, false},
      {"cmd tag without reference", 1, false, 5, true},
  };
  for (const Case& c : cases) {
    const Bytes bytes = castCommandOf([&c](FlatBuffersBuilder& b, TableInsertResult& result) {
      const auto table = insertQueryServerRequestData(b, std::nullopt).offset;
      result =
          insertCastCommand(b, c.cmdType, c.cmdReference ? OptionalOffset(table) : std::nullopt,
                            c.dataType, c.dataReference ? OptionalOffset(table) : std::nullopt);
    });
    const auto decoded = CastCommand::from(bytes);
    ASSERT_NE(decoded, nullptr) << c.what;
    EXPECT_EQ(decoded->cmd().has_value(), c.cmdType >= 1 && c.cmdType <= 2 && c.cmdReference)
        << c.what;
    EXPECT_EQ(decoded->data().has_value(), c.dataType >= 1 && c.dataType <= 6 && c.dataReference)
        << c.what;
    const auto view = CastCommand::Direct<Reader>::create(readerOf(bytes), root(bytes));
    EXPECT_EQ(view->cmd().has_value(), decoded->cmd().has_value()) << c.what;
    EXPECT_EQ(view->data().has_value(), decoded->data().has_value()) << c.what;
  }
}

TEST(LookupSchema, AddressListsKeepTheirOrderAndAnEmptyListIsNotWritten) {
  for (const std::vector<std::string>& ips :
       {std::vector<std::string>{},
        std::vector<std::string>{"192.168.1.20", "10.0.0.7", "172.16.5.1"}}) {
    const auto command =
        CastCommand::create(CmdType::withResponseCmd(ResponseCmd::create(StatusCode::OK)),
                            CommandData::withQueryServerResponseData(
                                QueryServerResponseData::create(ips, "TV", "2.1")));
    const Bytes bytes = command->makeData(options());
    const auto reader = readerOf(bytes);
    const auto data = reader->offset(reader->rootObjectOffset().value(), 3).value();
    EXPECT_EQ(reader->fieldOffset(data, 0) != 0, !ips.empty());
    const auto decoded = CastCommand::from(bytes)->data()->get<QueryServerResponseData>();
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(decoded->ipList(), ips);
    EXPECT_EQ(decoded->name(), "TV");
    EXPECT_EQ(decoded->corvaneVersion(), "2.1");
  }
}

TEST(LookupSchema, InvalidUtf8StringsAreAbsentAndInvalidListElementsSkipped) {
  const Bytes bytes = castCommandOf([](FlatBuffersBuilder& b, TableInsertResult& result) {
    const std::int32_t second = b.insert(std::optional<std::string_view>("10.0.0.2"));
    const std::int32_t bad = b.insert(std::optional<std::string_view>("\xff\xfe"));
    const std::int32_t first = b.insert(std::optional<std::string_view>("10.0.0.1"));
    b.startVector(3, 4);
    b.insertOffset(second);
    b.insertOffset(bad);
    b.insertOffset(first);
    const std::int32_t list = b.endVector();
    const std::int32_t name = b.insert(std::optional<std::string_view>("\xc0\xaf"));
    const auto data = insertQueryServerResponseData(b, list, name, std::nullopt).offset;
    result = insertCastCommand(b, 0, std::nullopt, 6, data);
  });
  const auto decoded = CastCommand::from(bytes)->data()->get<QueryServerResponseData>();
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(decoded->ipList(), (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
  EXPECT_FALSE(decoded->name());
  EXPECT_FALSE(decoded->corvaneVersion());
}

TEST(LookupSchema, OneOffsetReadAsTwoTableTypesGivesTwoObjects) {
  const Bytes bytes = castCommandOf([](FlatBuffersBuilder& b, TableInsertResult& result) {
    const std::int32_t pin = b.insert(std::optional<std::string_view>("654321"));
    const auto table = insertQueryServerRequestData(b, pin).offset;
    result = insertCastCommand(b, 1, table, 5, table);
  });
  const auto decoded = CastCommand::from(bytes);
  ASSERT_NE(decoded->cmd()->requestCmd(), nullptr);
  ASSERT_NE(decoded->data()->get<QueryServerRequestData>(), nullptr);
  // Slot 0 of the one table read as each type: RequestCmd.mac and QueryServerRequestData.pin.
  EXPECT_EQ(decoded->cmd()->requestCmd()->mac(), "654321");
  EXPECT_EQ(decoded->data()->get<QueryServerRequestData>()->pin(), "654321");

  // Within one reader: the same type twice is one object; a different type replaces the entry.
  const auto reader = readerOf(bytes);
  const auto table = reader->offset(reader->rootObjectOffset().value(), 1);
  detail::DecodeBudget budget(bytes.size());
  const auto first = detail::decodeRequestCmd(reader, table, budget);
  EXPECT_EQ(detail::decodeRequestCmd(reader, table, budget), first);
  EXPECT_NE(detail::decodeQueryServerRequestData(reader, table, budget), nullptr);
  const auto again = detail::decodeRequestCmd(reader, table, budget);
  EXPECT_NE(again, first);
  EXPECT_EQ(again->mac(), "654321");
}

TEST(LookupSchema, EncodingTwiceGivesIdenticalBytesAndSharedObjectsFollowUniqueTables) {
  const auto command = CastCommand::create(
      CmdType::withRequestCmd(RequestCmd::create("aa:bb")),
      CommandData::withOnlineRegisterRequestData(
          OnlineRegisterRequestData::create("Hall", "3.0", {"10.1.1.1", "10.1.1.2"})));
  EXPECT_EQ(hex(command->makeData(options())), hex(command->makeData(options())));

  const auto shared = RequestCmd::create("aa:bb");
  for (const bool unique : {true, false}) {
    FlatBuffersBuilder builder(options(false, unique));
    const std::int32_t once = detail::writeObject(builder, *shared);
    const std::int32_t twice = detail::writeObject(builder, *shared);
    const std::int32_t equalObject = detail::writeObject(builder, RequestCmd("aa:bb"));
    EXPECT_EQ(once == twice, unique);
    EXPECT_NE(equalObject, once);  // identity, not equality
  }
}

TEST(LookupSchema, EveryDataTableRoundTrips) {
  const std::vector<CommandData> cases = {
      CommandData::withRequestPingData(RequestPingData::create()),
      CommandData::withResponsePingData(ResponsePingData::create()),
      CommandData::withOnlineRegisterRequestData(
          OnlineRegisterRequestData::create("Hall", "3.0", {"10.1.1.1"})),
      CommandData::withOnlineRegisterResponseData(OnlineRegisterResponseData::create("778899")),
      CommandData::withQueryServerRequestData(QueryServerRequestData::create("112233")),
      CommandData::withQueryServerResponseData(
          QueryServerResponseData::create({"10.2.2.2"}, "Den", "1.1")),
  };
  for (const CommandData& data : cases) {
    const Bytes bytes = CastCommand::create(CmdType::withRequestCmd(RequestCmd::create()), data)
                            ->makeData(options());
    const auto decoded = CastCommand::from(bytes);
    ASSERT_TRUE(decoded->data()) << int(data.tag());
    EXPECT_EQ(decoded->data()->tag(), data.tag());
    if (const auto o = decoded->data()->get<OnlineRegisterRequestData>()) {
      EXPECT_EQ(o->name(), "Hall");
      EXPECT_EQ(o->corvaneVersion(), "3.0");
      EXPECT_EQ(o->ipList(), std::vector<std::string>{"10.1.1.1"});
    }
    if (const auto o = decoded->data()->get<OnlineRegisterResponseData>()) {
      EXPECT_EQ(o->pin(), "778899");
    }
    if (const auto o = decoded->data()->get<QueryServerRequestData>()) {
      EXPECT_EQ(o->pin(), "112233");
    }
    if (const auto o = decoded->data()->get<QueryServerResponseData>()) {
      EXPECT_EQ(o->ipList(), std::vector<std::string>{"10.2.2.2"});
      EXPECT_EQ(o->name(), "Den");
    }
    EXPECT_EQ(decoded->data()->tag(),
              CastCommand::Direct<Reader>::create(readerOf(bytes), root(bytes))->data()->tag());
  }
}

// A found reply whose address list holds `ips` (by index into `strings`, so that one string
// can stand at several places) and whose name and version are strings[nameAt] and
// strings[versionAt] (-1: absent).
Bytes replyReferring(const std::vector<std::string>& strings, const std::vector<int>& ips,
                     int nameAt = -1, int versionAt = -1) {
  return castCommandOf([&](FlatBuffersBuilder& b, TableInsertResult& result) {
    std::vector<std::int32_t> written;
    for (const auto& text : strings)
      written.push_back(b.insert(std::optional<std::string_view>(text)));
    std::optional<std::int32_t> list;
    if (!ips.empty()) {
      b.startVector(static_cast<std::int64_t>(ips.size()), 4);
      for (auto it = ips.rbegin(); it != ips.rend(); ++it)
        b.insertOffset(written[static_cast<std::size_t>(*it)]);
      list = b.endVector();
    }
    const auto at = [&](int i) {
      return i < 0 ? std::nullopt : std::optional(written[static_cast<std::size_t>(i)]);
    };
    const auto data = insertQueryServerResponseData(b, list, at(nameAt), at(versionAt)).offset;
    const auto cmd = insertResponseCmd(b, StatusCode::OK).offset;
    result = insertCastCommand(b, 2, cmd, 6, data);
  });
}

std::vector<std::string> addresses(int count) {
  std::vector<std::string> list;
  for (int i = 0; i < count; ++i)
    list.push_back("10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256));
  return list;
}

TEST(LookupSchema, MessagesThatWouldDecodeToMoreThanTheyHoldDecodeToNothing) {
  const std::string big(32 * 1024, 'x');
  const std::string kilobyte(1000, 'k');
  std::vector<int> first33, oneString8000(8000, 0), oneString32(32, 0);
  for (int i = 0; i < 33; ++i) first33.push_back(i);
  const std::vector<int> first32(first33.begin(), first33.end() - 1);
  struct Case {
    const char* what;
    Bytes body;
    bool usable;
  };
  const Case cases[] = {
      // The reported reply: 8,000 elements naming one 32 KB string (491 MiB if copied).
      {"8000 uses of one 32 KB string", replyReferring({big}, oneString8000), false},
      {"32 distinct addresses", replyReferring(addresses(32), first32), true},
      {"33 distinct addresses", replyReferring(addresses(33), first33), false},
      {"one short address at 32 places", replyReferring({"10.0.0.1"}, oneString32), false},
      {"a 32 KB name once", replyReferring({big, "10.0.0.1"}, {1}, 0), true},
      {"one address and a name shared with the version",
       replyReferring({"10.0.0.1", "TV"}, {0}, 1, 1), true},
      {"a 1000-byte string at four places", replyReferring({kilobyte}, {0, 0}, 0, 0), false},
  };
  for (const auto& c : cases) {
    ASSERT_LE(c.body.size(), kMaxReplyBodyLength) << c.what;
    const auto decoded = CastCommand::from(c.body);
    EXPECT_EQ(decoded != nullptr, c.usable) << c.what;
    // The reply is then judged as a damaged one: nothing to report, nothing to probe.
    const ReplyVerdict verdict = judgeReply(c.body, "123456");
    EXPECT_EQ(verdict.outcome == ReplyVerdict::Outcome::Resolved, c.usable) << c.what;
    if (!c.usable) {
      EXPECT_FALSE(verdict.receiver) << c.what;
      EXPECT_TRUE(verdict.logLines.empty()) << c.what;
    }
  }
  // The element bound is the one of the budget, and the text bound the message's size.
  detail::DecodeBudget budget(10);
  EXPECT_TRUE(budget.takeList(detail::DecodeBudget::kMaxListElements));
  EXPECT_TRUE(budget.takeText(10));
  EXPECT_FALSE(budget.spent());
  EXPECT_FALSE(budget.takeText(1));
  EXPECT_TRUE(budget.spent());
  EXPECT_FALSE(budget.takeText(0));  // spent stays spent
}

TEST(LookupSchema, BuffersOfFewerThanFourBytesDecodeToNothing) {
  const Bytes full = fromHex(test::kLookupRequest);
  for (std::size_t size = 0; size < 4; ++size) {
    EXPECT_EQ(CastCommand::from(std::span<const std::uint8_t>(full.data(), size)), nullptr) << size;
  }
}

TEST(LookupSchema, DirectViewsReadInPlaceAndCompareByReaderAndOffset) {
  const Bytes bytes = fromHex(test::kLookupRequest);
  const auto reader = readerOf(bytes);
  const auto view = CastCommand::Direct<Reader>::create(reader, reader->rootObjectOffset());
  ASSERT_TRUE(view);
  EXPECT_EQ(view->_myOffset, 16);
  EXPECT_FALSE(CastCommand::Direct<Reader>::create(reader, std::nullopt));
  const auto cmd = view->cmd();
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->tag(), 1);
  EXPECT_FALSE(std::get<0>(cmd->value()).mac());
  const auto data = view->data();
  ASSERT_TRUE(data);
  const auto& query = std::get<4>(data->value());
  EXPECT_EQ(query._myOffset, 36);
  // Every table view hashes to its offset.
  EXPECT_EQ(std::hash<QueryServerRequestData::Direct<Reader>>()(query), 36u);
  EXPECT_EQ(std::hash<RequestCmd::Direct<Reader>>()(std::get<0>(cmd->value())), 60u);
  const auto pin = query.pin();
  ASSERT_TRUE(pin);
  EXPECT_EQ(std::string(pin->begin(), pin->end()), "123456");

  const auto same = CastCommand::Direct<Reader>::create(reader, 16);
  EXPECT_TRUE(*view == *same);
  EXPECT_EQ(std::hash<CastCommand::Direct<Reader>>()(*view), 16u);
  EXPECT_EQ(std::hash<CastCommand::Direct<Reader>>()(*view),
            std::hash<CastCommand::Direct<Reader>>()(*same));
  const auto otherReader = CastCommand::Direct<Reader>::create(readerOf(bytes), 16);
  EXPECT_FALSE(*view == *otherReader);
  EXPECT_FALSE(*view == *CastCommand::Direct<Reader>::create(reader, 36));
}

}  // namespace
}  // namespace corvane
