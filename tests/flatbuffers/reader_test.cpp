// Memory reader and the navigation over hand-written messages, damaged in chosen places.
#include <gtest/gtest.h>

#include <any>
#include <limits>
#include <string>
#include <tuple>
#include <utility>

#include "flatbuffers/builder.h"
#include "flatbuffers/file_reader.h"
#include "flatbuffers/memory_reader.h"
#include "flatbuffers/sample_messages.h"
#include "flatbuffers/test_bytes.h"
#include "flatbuffers/utf8.h"

namespace corvane {
namespace {

using test::Bytes;
using test::fromHex;
using test::Options;

constexpr auto kMax64 = std::numeric_limits<std::int64_t>::max();

static_assert(Scalar<bool> && Scalar<std::int8_t> && Scalar<std::uint64_t> && Scalar<long long> &&
              Scalar<unsigned long long> && Scalar<float> && Scalar<double>);
static_assert(!Scalar<char> && !Scalar<int*> && !Scalar<long double> && !Scalar<std::string>);

std::shared_ptr<FlatBuffersMemoryReader> readerOver(const Bytes& bytes) {
  return FlatBuffersMemoryReader::create(bytes.data(), static_cast<std::int64_t>(bytes.size()));
}

std::optional<std::string> text(std::optional<ByteView> bytes) { return stringFromUTF8(bytes); }

// ---- raw reads ----------------------------------------------------------------------------

TEST(MemoryReader, ScalarReadsInsideTheBufferOnly) {
  const Bytes bytes = fromHex("01 02 03 04 05 06 07 08");
  auto reader = readerOver(bytes);
  EXPECT_EQ(reader->scalar<std::uint32_t>(4).value(), 0x08070605u);
  EXPECT_EQ(reader->scalar<std::uint64_t>(0).value(), 0x0807060504030201u);
  for (std::int64_t offset : {std::int64_t{5}, std::int64_t{8}, std::int64_t{-1}, kMax64,
                              std::numeric_limits<std::int64_t>::min()}) {
    SCOPED_TRACE(offset);
    const auto result = reader->scalar<std::uint32_t>(offset);
    ASSERT_FALSE(result.hasValue());
    EXPECT_EQ(result.error(), FlatBuffersReaderError::outOfBufferBounds);
  }
  EXPECT_FALSE(reader->scalar<std::uint64_t>(1).hasValue());
  EXPECT_FALSE(FlatBuffersMemoryReader::create(bytes.data(), 3)->scalar<std::uint32_t>(0));
}

TEST(MemoryReader, BytesChecksOffsetAndLengthWithoutOverflow) {
  const Bytes bytes = fromHex("01 02 03 04 05 06 07 08");
  auto reader = readerOver(bytes);
  const auto all = reader->bytes(0, 8);
  ASSERT_TRUE(all);
  EXPECT_EQ(all->data(), bytes.data());
  EXPECT_EQ(all->size(), 8u);
  EXPECT_TRUE(reader->bytes(8, 0));
  const std::pair<std::int64_t, std::int64_t> refused[] = {
      {-1, 1}, {0, -1}, {0, 9}, {8, 1}, {1, kMax64}, {kMax64, 1}, {kMax64, kMax64}};
  for (const auto& [offset, length] : refused) {
    SCOPED_TRACE(testing::Message() << offset << ", " << length);
    const auto result = reader->bytes(offset, length);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), FlatBuffersReaderError::outOfBufferBounds);
  }
}

TEST(MemoryReader, AnyNonZeroByteReadsAsTrue) {
  const Bytes bytes = fromHex("00 01 02 ff");
  auto reader = readerOver(bytes);
  EXPECT_FALSE(reader->scalar<bool>(0).value());
  EXPECT_TRUE(reader->scalar<bool>(1).value());
  EXPECT_TRUE(reader->scalar<bool>(2).value());
  EXPECT_TRUE(reader->scalar<bool>(3).value());
}

TEST(MemoryReader, CopyOrReadInPlace) {
  Bytes bytes = fromHex("2a 00 00 00");
  auto inPlace = FlatBuffersMemoryReader::create(bytes, true);
  auto copied = FlatBuffersMemoryReader::create(bytes, false);
  EXPECT_EQ(inPlace->buffer(), bytes.data());
  EXPECT_FALSE(inPlace->originalBuffer());
  EXPECT_NE(copied->buffer(), bytes.data());
  ASSERT_TRUE(copied->originalBuffer());
  EXPECT_EQ(copied->originalBuffer()->data(), copied->buffer());
  EXPECT_EQ(copied->count(), 4);
  bytes[0] = 7;
  EXPECT_EQ(inPlace->scalar<std::int32_t>(0).value(), 7);
  EXPECT_EQ(copied->scalar<std::int32_t>(0).value(), 42);
}

TEST(MemoryReader, NullBufferOrNegativeCountIsEmpty) {
  EXPECT_EQ(FlatBuffersMemoryReader::create(nullptr, 10)->count(), 0);
  const Bytes bytes = fromHex("01 02 03 04");
  EXPECT_EQ(FlatBuffersMemoryReader::create(bytes.data(), -4)->count(), 0);
  EXPECT_FALSE(FlatBuffersMemoryReader::create(nullptr, 10)->rootObjectOffset());
}

TEST(MemoryReader, IsEqualWhenTheSameBufferIsRead) {
  const Bytes bytes = fromHex("01 02 03 04");
  const Bytes same = bytes;
  auto first = readerOver(bytes);
  EXPECT_TRUE(first->isEqual(*readerOver(bytes)));
  EXPECT_TRUE(first->isEqual(*FlatBuffersMemoryReader::create(bytes, true)));
  EXPECT_FALSE(first->isEqual(*readerOver(same)));
  auto copy = FlatBuffersMemoryReader::create(bytes, false);
  EXPECT_FALSE(copy->isEqual(*FlatBuffersMemoryReader::create(bytes, false)));
  EXPECT_FALSE(copy->isEqual(*first));
  auto file = FlatBuffersFileReader::create(nullptr);
  EXPECT_FALSE(first->isEqual(*file));
  EXPECT_FALSE(file->isEqual(*first));
}

TEST(ReaderCache, PoolHoldsObjectsByOffset) {
  auto cache = FlatBuffersReaderCache::create();
  EXPECT_TRUE(cache->objectPool().empty());
  const Bytes bytes = fromHex("00 00 00 00");
  auto reader = FlatBuffersMemoryReader::create(bytes, false, cache);
  EXPECT_EQ(reader->cache(), cache);
  auto object = std::make_shared<int>(5);
  reader->cache()->objectPool()[16] = object;
  EXPECT_EQ(std::any_cast<std::shared_ptr<int>>(cache->objectPool().at(16)), object);
  EXPECT_EQ(std::any_cast<std::shared_ptr<double>>(&cache->objectPool().at(16)), nullptr);
  EXPECT_EQ(readerOver(bytes)->cache(), nullptr);
}

// ---- navigation ---------------------------------------------------------------------------

TEST(Navigation, RootNeedsFourBytes) {
  const Bytes bytes = fromHex("14 00 00 00");
  for (std::int64_t size = 0; size < 4; ++size) {
    EXPECT_FALSE(FlatBuffersMemoryReader::create(bytes.data(), size)->rootObjectOffset()) << size;
  }
  EXPECT_EQ(readerOver(bytes)->rootObjectOffset(), 20);
  EXPECT_EQ(readerOver(fromHex("fe ff ff ff"))->rootObjectOffset(), -2);
}

struct DamageCase {
  const char* name;
  std::size_t at;  // where the patch goes in kTableWithStrings
  const char* patch;
  std::int16_t field0;
  std::int16_t field1;
  std::optional<std::string> field1Text;
};

class Navigation : public testing::TestWithParam<DamageCase> {};

TEST_P(Navigation, DamagedPartsReadAsAbsent) {
  const DamageCase& c = GetParam();
  Bytes bytes = fromHex(test::kTableWithStrings);
  const Bytes patch = fromHex(c.patch);
  std::copy(patch.begin(), patch.end(), bytes.begin() + static_cast<std::ptrdiff_t>(c.at));
  auto reader = readerOver(bytes);
  EXPECT_EQ(reader->fieldOffset(20, 0), c.field0);
  EXPECT_EQ(reader->fieldOffset(20, 1), c.field1);
  EXPECT_EQ(reader->get<std::uint32_t>(20, 0),
            c.field0 == 0 ? std::nullopt : std::optional<std::uint32_t>(42));
  EXPECT_EQ(text(reader->stringBuffer(reader->offset(20, 1))), c.field1Text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Navigation,
    testing::Values(
        DamageCase{"Intact", 0, "", 4, 8, "abc"},
        DamageCase{"EntryEqualToTableSize", 18, "0c 00", 4, 0, std::nullopt},
        DamageCase{"EntryAboveTableSize", 18, "10 00", 4, 0, std::nullopt},
        DamageCase{"NegativeEntry", 18, "ff ff", 4, 0, std::nullopt},
        DamageCase{"FieldBeyondAShortVTable", 12, "06 00", 4, 0, std::nullopt},
        DamageCase{"VTableWithoutEntries", 12, "04 00", 0, 0, std::nullopt},
        DamageCase{"NegativeVTableSize", 12, "fc ff", 0, 0, std::nullopt},
        DamageCase{"ReferenceZero", 28, "00 00 00 00", 4, 8, std::nullopt},
        DamageCase{"NegativeReferenceFollowedBackwards", 28, "e8 ff ff ff", 4, 8, "hi"},
        DamageCase{"ReferenceBeyondTheEnd", 28, "08 00 00 00", 4, 8, std::nullopt},
        DamageCase{"ReferenceLeavingThe32BitRange", 28, "ff ff ff 7f", 4, 8, std::nullopt},
        DamageCase{"StringRunsPastTheEnd", 32, "05 00 00 00", 4, 8, std::nullopt},
        DamageCase{"StringUpToTheEnd", 32, "04 00 00 00", 4, 8, std::string("abc\0", 4)},
        DamageCase{"NegativeStringLength", 32, "ff ff ff ff", 4, 8, std::nullopt},
        DamageCase{"VTableBeforeTheMessage", 20, "ff ff ff 7f", 0, 0, std::nullopt},
        DamageCase{"VTablePositionOverflows", 20, "00 00 00 80", 0, 0, std::nullopt},
        DamageCase{"VTableAtTheTable", 20, "00 00 00 00", 0, 0, std::nullopt}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(Navigation, DefaultsForAbsentFieldsAndBadIndexes) {
  const Bytes bytes = fromHex(test::kTableWithStrings);
  auto reader = readerOver(bytes);
  EXPECT_EQ(reader->get(20, 0, 7u), 42u);
  for (std::int64_t index : {std::int64_t{2}, std::int64_t{-1}, std::int64_t{16382}, kMax64,
                             std::numeric_limits<std::int64_t>::min()}) {
    SCOPED_TRACE(index);
    EXPECT_EQ(reader->fieldOffset(20, index), 0);
    EXPECT_EQ(reader->get(20, index, 7u), 7u);
    EXPECT_FALSE(reader->get<std::uint32_t>(20, index));
    EXPECT_FALSE(reader->offset(20, index));
  }
  // A table outside the message reads as empty.
  for (std::int32_t table : {-4, 40, std::numeric_limits<std::int32_t>::max()}) {
    EXPECT_EQ(reader->get(table, 0, 7u), 7u);
  }
  // The field's value runs past the end of a truncated copy.
  auto truncated = FlatBuffersMemoryReader::create(bytes.data(), 26);
  EXPECT_EQ(truncated->fieldOffset(20, 0), 4);
  EXPECT_EQ(truncated->get(20, 0, 7u), 7u);
  EXPECT_FALSE(truncated->stringBuffer(std::nullopt));
}

TEST(Navigation, EveryScalarTypeRoundTripsThroughTheBuilder) {
  const auto values = std::make_tuple(
      true, std::int8_t{-5}, std::uint8_t{200}, std::int16_t{-3000}, std::uint16_t{60000},
      std::int32_t{-2000000000}, std::uint32_t{4000000000u}, std::int64_t{-9000000000000000000},
      std::uint64_t{18000000000000000000u}, -42LL, 42ULL, 1.5f, -2.25);
  FlatBuffersBuilder builder(Options{});
  builder.startObject(std::tuple_size_v<decltype(values)>);
  std::int64_t index = 0;
  std::apply([&](auto... value) { (builder.insert(value, decltype(value){}, index++), ...); },
             values);
  builder.finish(builder.endObject(), std::nullopt);
  const Bytes bytes = builder.makeData();
  auto reader = readerOver(bytes);
  const std::int32_t root = reader->rootObjectOffset().value();
  index = 0;
  const auto check = [&](auto value) {
    EXPECT_EQ(reader->get<decltype(value)>(root, index), value) << "field " << index;
    ++index;
  };
  std::apply([&](auto... value) { (check(value), ...); }, values);
}

// ---- strings as text ----------------------------------------------------------------------

TEST(StringFromUTF8, AcceptsValidUTF8Only) {
  const std::pair<const char*, bool> cases[] = {{"", true},
                                                {"61 62 63", true},
                                                {"c3 a4", true},
                                                {"e2 82 ac", true},
                                                {"f0 9f 98 80", true},
                                                {"00", true},
                                                {"80", false},
                                                {"c3", false},
                                                {"e2 82", false},
                                                {"c0 80", false},
                                                {"e0 80 80", false},
                                                {"ed a0 80", false},
                                                {"f4 90 80 80", false},
                                                {"f8 88 80 80 80", false},
                                                {"ff", false},
                                                {"c3 28", false}};
  for (const auto& [hexText, valid] : cases) {
    SCOPED_TRACE(hexText);
    const Bytes bytes = fromHex(hexText);
    const auto result = stringFromUTF8(ByteView(bytes));
    ASSERT_EQ(result.has_value(), valid);
    if (valid) {
      EXPECT_EQ(*result, std::string(bytes.begin(), bytes.end()));
    }
  }
  EXPECT_FALSE(stringFromUTF8(std::nullopt));
}

}  // namespace
}  // namespace corvane
