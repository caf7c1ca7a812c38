// Vector views and the reader's vector operations over hand-written vectors.
#include "flatbuffers/vectors.h"

#include <gtest/gtest.h>

#include <ranges>
#include <string>
#include <vector>

#include "flatbuffers/memory_reader.h"
#include "flatbuffers/test_bytes.h"
#include "flatbuffers/utf8.h"

namespace corvane {

// A status enumeration stored as a signed byte, as the schema's enumerations are: only a signed
// 8-bit scalar of 0 to 3 names a case.
enum class TestStatus : std::int8_t { none = 0, ok = 1, failed = 2, failedNotExit = 3 };

template <>
struct FlatBuffersEnumTraits<TestStatus> {
  template <Scalar T>
  static std::optional<TestStatus> fromScalar(T value) {
    if constexpr (std::is_same_v<T, std::int8_t>) {
      if (value >= 0 && value <= 3) {
        return static_cast<TestStatus>(value);
      }
    }
    return std::nullopt;
  }
};

namespace {

using test::Bytes;
using test::fromHex;
using Reader = FlatBuffersMemoryReader;

// A table view of the kind the schema generates: the table's first field as a 32-bit number.
struct TestTable {
  std::shared_ptr<Reader> reader;
  std::int32_t offset = 0;

  static std::optional<TestTable> create(std::shared_ptr<Reader> reader,
                                         std::optional<std::int32_t> offset) {
    if (!offset) {
      return std::nullopt;
    }
    return TestTable{std::move(reader), *offset};
  }
  std::int32_t value() const { return reader->get(offset, 0, std::int32_t{-1}); }
};

static_assert(FlatBuffersEnum<TestStatus>);
static_assert(FlatBuffersDirectAccess<TestTable, Reader>);
static_assert(!FlatBuffersEnum<int>);
static_assert(std::ranges::random_access_range<FlatBuffersStringVector<Reader>>);
static_assert(std::ranges::sized_range<FlatBuffersStringVector<Reader>>);
static_assert(std::ranges::random_access_range<FlatBuffersScalarVector<double, Reader>>);
static_assert(
    std::ranges::random_access_range<FlatBuffersEnumVector<std::int8_t, Reader, TestStatus>>);
static_assert(std::ranges::random_access_range<FlatBuffersTableVector<TestTable, Reader>>);

std::shared_ptr<Reader> readerOver(const Bytes& bytes) {
  return Reader::create(bytes.data(), static_cast<std::int64_t>(bytes.size()));
}

// Three string elements; the middle one holds 0.
constexpr const char* kStrings =
    "03 00 00 00 "              //  0 count 3
    "0c 00 00 00 "              //  4 element 0: 12 ahead, at 16
    "00 00 00 00 "              //  8 element 1: absent
    "0c 00 00 00 "              // 12 element 2: 12 ahead, at 24
    "02 00 00 00 61 62 00 00 "  // 16 "ab"
    "01 00 00 00 63 00 00 00";  // 24 "c"

TEST(ReaderVectors, ElementOffsetsAndBounds) {
  const Bytes bytes = fromHex(kStrings);
  auto reader = readerOver(bytes);
  EXPECT_EQ(reader->vectorElementCount(0), 3);
  EXPECT_EQ(reader->vectorElementCount(std::nullopt), 0);
  EXPECT_EQ(reader->vectorElementCount(30), 0);
  EXPECT_EQ(reader->vectorElementOffset(0, 0), 16);
  EXPECT_EQ(reader->vectorElementOffset(0, 1), std::nullopt);
  EXPECT_EQ(reader->vectorElementOffset(0, 2), 24);
  EXPECT_EQ(reader->vectorElementOffset(0, 3), std::nullopt);
  EXPECT_EQ(reader->vectorElementOffset(0, -1), std::nullopt);
  EXPECT_EQ(reader->vectorElementOffset(std::nullopt, 0), std::nullopt);
  EXPECT_EQ(reader->vectorElementScalar<std::int32_t>(0, 2), 12);
  EXPECT_EQ(reader->vectorElementScalar<std::int32_t>(0, 3), std::nullopt);
  EXPECT_EQ(reader->vectorElementScalar<std::int32_t>(0, -1), std::nullopt);
}

TEST(StringVector, IteratesInOrderWithAbsentElements) {
  const Bytes bytes = fromHex(kStrings);
  FlatBuffersStringVector<Reader> strings(readerOver(bytes), 0);
  EXPECT_EQ(strings.count(), 3);
  EXPECT_EQ(strings.startIndex(), 0);
  EXPECT_EQ(strings.endIndex(), 3);
  std::vector<std::optional<std::string>> seen;
  for (const auto& element : strings) {
    seen.push_back(stringFromUTF8(element));
  }
  EXPECT_EQ(seen, (std::vector<std::optional<std::string>>{"ab", std::nullopt, "c"}));
  EXPECT_FALSE(strings[3]);
  EXPECT_FALSE(strings[-1]);
  EXPECT_EQ(stringFromUTF8(*(strings.begin() + 2)), "c");
  EXPECT_EQ(strings.end() - strings.begin(), 3);
  EXPECT_EQ(std::ranges::distance(strings), 3);
  EXPECT_EQ(stringFromUTF8(strings.begin()[0]), "ab");
}

TEST(ScalarAndEnumVectors, ReadStoredValues) {
  const Bytes bytes = fromHex("04 00 00 00 | 01 02 03 7f");
  auto reader = readerOver(bytes);
  FlatBuffersScalarVector<std::uint8_t, Reader> values(reader, 0);
  EXPECT_EQ(std::vector<std::optional<std::uint8_t>>(values.begin(), values.end()),
            (std::vector<std::optional<std::uint8_t>>{1, 2, 3, 127}));

  FlatBuffersEnumVector<std::int8_t, Reader, TestStatus> statuses(reader, 0);
  EXPECT_EQ(std::vector<std::optional<TestStatus>>(statuses.begin(), statuses.end()),
            (std::vector<std::optional<TestStatus>>{TestStatus::ok, TestStatus::failed,
                                                    TestStatus::failedNotExit, std::nullopt}));
  // The same bytes as unsigned numbers name no case.
  FlatBuffersEnumVector<std::uint8_t, Reader, TestStatus> unsignedStatuses(reader, 0);
  for (const auto& status : unsignedStatuses) {
    EXPECT_FALSE(status);
  }
}

TEST(TableVector, CreatesViewsAtTheElementTargets) {
  const Bytes bytes = fromHex(
      "02 00 00 00 | 10 00 00 00 | 14 00 00 00 "  // two tables, at 20 and 28
      "06 00 08 00 04 00 00 00 "                  // 12 their shared vtable
      "08 00 00 00 07 00 00 00 "                  // 20 table: field 0 = 7
      "10 00 00 00 09 00 00 00");                 // 28 table: field 0 = 9
  FlatBuffersTableVector<TestTable, Reader> tables(readerOver(bytes), 0);
  std::vector<std::int32_t> values;
  for (const auto& table : tables) {
    ASSERT_TRUE(table);
    values.push_back(table->value());
  }
  EXPECT_EQ(values, (std::vector<std::int32_t>{7, 9}));
  EXPECT_FALSE(tables[2]);
}

struct CountCase {
  const char* name;
  const char* bytes;
  std::optional<std::int32_t> myOffset;
  std::int64_t byteElements;  // count() of a 1-byte scalar view
  std::int64_t stringElements;
};

// A reader that does not tell its size, so that the views find the end of the message by
// reading single bytes. Counts those reads.
class SizelessReader final : public FlatBuffersReaderExtension<SizelessReader> {
 public:
  explicit SizelessReader(const Bytes& bytes) : inner_(readerOver(bytes)) {}

  std::shared_ptr<FlatBuffersReaderCache> cache() const { return nullptr; }
  template <Scalar T>
  FlatBuffersReadResult<T> scalar(std::int64_t offset) const {
    ++reads;
    return inner_->scalar<T>(offset);
  }
  FlatBuffersReadResult<ByteView> bytes(std::int64_t offset, std::int64_t length) const {
    return inner_->bytes(offset, length);
  }
  template <class Other>
  bool isEqual(const Other&) const {
    return false;
  }

  mutable int reads = 0;

 private:
  std::shared_ptr<Reader> inner_;
};

static_assert(FlatBuffersReader<SizelessReader>);

class VectorCount : public testing::TestWithParam<CountCase> {};

// The same checks over a reader that knows its size and one that does not.
template <class R>
void checkCount(const CountCase& c, std::shared_ptr<R> reader) {
  FlatBuffersScalarVector<std::uint8_t, R> values(reader, c.myOffset);
  FlatBuffersStringVector<R> strings(reader, c.myOffset);
  EXPECT_EQ(values.count(), c.byteElements);
  EXPECT_EQ(strings.count(), c.stringElements);
  EXPECT_EQ(values.empty(), c.byteElements == 0);
  std::int64_t visited = 0;
  for (const auto& value : values) {
    EXPECT_TRUE(value);  // every position below count() lies inside the message
    ++visited;
  }
  EXPECT_EQ(visited, c.byteElements);
  EXPECT_FALSE(values[values.count()]);
}

TEST_P(VectorCount, CountAndIterationStayInsideTheMessage) {
  const CountCase& c = GetParam();
  const Bytes bytes = fromHex(c.bytes);
  {
    SCOPED_TRACE("memory reader");
    checkCount(c, readerOver(bytes));
  }
  {
    SCOPED_TRACE("reader without a size");
    auto sizeless = std::make_shared<SizelessReader>(bytes);
    checkCount(c, sizeless);
    // Finding the end takes a search, not a read per stored element.
    EXPECT_LT(sizeless->reads, 200);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VectorCount,
    testing::Values(CountCase{"AbsentVector", "01 00 00 00 05", std::nullopt, 0, 0},
                    CountCase{"CountWordOutsideTheMessage", "01 00 00 00 05 06 07 08", 6, 0, 0},
                    CountCase{"NegativeOffset", "01 00 00 00 05 06 07 08", -4, 0, 0},
                    CountCase{"NegativeCount", "ff ff ff ff 05 06 07 08", 0, 0, 0},
                    CountCase{"EmptyVector", "00 00 00 00", 0, 0, 0},
                    CountCase{"CountThatFits", "02 00 00 00 05 06 07 08", 0, 2, 1},
                    CountCase{"HugeCountIsCutToTheMessage", "ff ff ff 7f 05 06 07 08 09", 0, 5, 1},
                    CountCase{"CountPastTheEnd", "05 00 00 00 05 06 07 08", 0, 4, 1}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(VectorViews, KeepTheirReaderAlive) {
  auto reader = Reader::create(fromHex(kStrings), false);
  FlatBuffersStringVector<Reader> strings(reader, 0);
  reader.reset();
  EXPECT_EQ(stringFromUTF8(strings[0]), "ab");
}

TEST(VectorViews, NullReaderIsEmpty) {
  FlatBuffersScalarVector<std::int32_t, Reader> values(nullptr, 0);
  EXPECT_EQ(values.count(), 0);
  EXPECT_FALSE(values[0]);
}

}  // namespace
}  // namespace corvane
