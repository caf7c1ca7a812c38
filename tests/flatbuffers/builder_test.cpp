// Builder: exact bytes for growth, padding, vtables, strings, vectors, finishing and every error.
#include "flatbuffers/builder.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>

#include "flatbuffers/test_bytes.h"

namespace corvane {
namespace {

using test::Bytes;
using test::fromHex;
using test::hex;
using test::Options;
using Step = std::function<void(FlatBuffersBuilder&)>;

std::string expected(std::string_view text) { return hex(fromHex(text)); }

void emptyTable(FlatBuffersBuilder& builder) {
  builder.startObject(0);
  builder.endObject();
}

// ---- growth -------------------------------------------------------------------------------

struct GrowthCase {
  const char* name;
  std::int64_t initialCapacity;
  std::vector<int> writeSizes;  // 1: the byte aa, 4: the 32-bit value 0x44332211
  std::int64_t capacity;
  const char* bytes;
};

class BuilderGrowth : public testing::TestWithParam<GrowthCase> {};

TEST_P(BuilderGrowth, DoublesUntilMoreThanTheWriteIsFree) {
  const GrowthCase& c = GetParam();
  FlatBuffersBuilder builder(Options{.initialCapacity = c.initialCapacity});
  for (int size : c.writeSizes) {
    if (size == 1) {
      builder.insert(std::uint8_t{0xaa});
    } else {
      builder.insert(std::uint32_t{0x44332211});
    }
  }
  EXPECT_EQ(builder.capacity(), c.capacity);
  EXPECT_EQ(hex(builder.makeData()), expected(c.bytes));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BuilderGrowth,
    testing::Values(
        GrowthCase{"OneByteStartDoublesToEight", 1, {4}, 8, "11 22 33 44"},
        GrowthCase{"FreeEqualToWriteGrows", 4, {4}, 8, "11 22 33 44"},
        GrowthCase{"FreeAboveWriteStays", 5, {4}, 5, "11 22 33 44"},
        GrowthCase{"SecondExactFitGrows", 8, {4, 4}, 16, "11 22 33 44 11 22 33 44"},
        GrowthCase{"OneByteWrites", 2, {1, 1}, 4, "aa aa"},
        GrowthCase{"BytesMoveToTheEndOfTheNewAllocation", 3, {1, 4}, 12, "11 22 33 44 00 00 00 aa"},
        GrowthCase{"CapacityBelowOneIsOne", 0, {4}, 8, "11 22 33 44"},
        GrowthCase{"NegativeCapacityIsOne", -5, {1}, 2, "aa"}),
    [](const auto& test) { return std::string(test.param.name); });

// ---- scalar padding and minalign ----------------------------------------------------------

struct PaddingCase {
  const char* name;
  Step write;
  std::int64_t minalign;
  const char* bytes;
};

class BuilderPadding : public testing::TestWithParam<PaddingCase> {};

TEST_P(BuilderPadding, AlignsEachScalarToItsSizeWithZeroBytes) {
  FlatBuffersBuilder builder(Options{});
  GetParam().write(builder);
  EXPECT_EQ(builder.minalign(), GetParam().minalign);
  EXPECT_EQ(hex(builder.makeData()), expected(GetParam().bytes));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BuilderPadding,
    testing::Values(PaddingCase{"SingleByte", [](auto& b) { b.insert(std::uint8_t{7}); }, 1, "07"},
                    PaddingCase{"ByteThen16Bit",
                                [](auto& b) {
                                  b.insert(std::uint8_t{1});
                                  b.insert(std::uint16_t{0x0203});
                                },
                                2, "03 02 | 00 | 01"},
                    PaddingCase{"ByteThen32Bit",
                                [](auto& b) {
                                  b.insert(std::uint8_t{1});
                                  b.insert(std::uint32_t{0x0a0b0c0d});
                                },
                                4, "0d 0c 0b 0a | 00 00 00 | 01"},
                    PaddingCase{"BoolThenFloat",
                                [](auto& b) {
                                  b.insert(true);
                                  b.insert(1.0f);
                                },
                                4, "00 00 80 3f | 00 00 00 | 01"},
                    PaddingCase{"ByteThenDouble",
                                [](auto& b) {
                                  b.insert(std::uint8_t{1});
                                  b.insert(1.0);
                                },
                                8, "00 00 00 00 00 00 f0 3f | 00 00 00 00 00 00 00 | 01"},
                    PaddingCase{"Int16ThenInt64",
                                [](auto& b) {
                                  b.insert(std::int16_t{-2});
                                  b.insert(std::int64_t{-1});
                                },
                                8, "ff ff ff ff ff ff ff ff | 00 00 00 00 00 00 | fe ff"},
                    PaddingCase{"LongLongAndUnsignedLongLong",
                                [](auto& b) {
                                  b.insert(static_cast<unsigned long long>(0x0102030405060708ull));
                                  b.insert(-2LL);
                                },
                                8, "fe ff ff ff ff ff ff ff | 08 07 06 05 04 03 02 01"}),
    [](const auto& test) { return std::string(test.param.name); });

// ---- tables and vtables -------------------------------------------------------------------

TEST(BuilderTable, EmptyTableHasVTableOfSizeAndTableSizeOnly) {
  FlatBuffersBuilder builder(Options{});
  builder.startObject(0);
  EXPECT_EQ(builder.objectStart(), 0);
  EXPECT_EQ(builder.endObject(), 4);
  EXPECT_EQ(builder.objectStart(), -1);
  // vtable [4, 4], then the table whose slot holds the vtable's length 4
  EXPECT_EQ(hex(builder.makeData()), expected("04 00 04 00 | 04 00 00 00"));
}

TEST(BuilderTable, DefaultValuesAreSkippedUnlessForced) {
  for (bool force : {false, true}) {
    SCOPED_TRACE(force ? "forceDefaults" : "defaults skipped");
    FlatBuffersBuilder builder(Options{.forceDefaults = force});
    builder.startObject(3);
    EXPECT_EQ(builder.insert(std::uint8_t{1}, std::uint8_t{0}, 0), 1);
    const auto skipped = builder.insert(std::int16_t{5}, std::int16_t{5}, 1);
    EXPECT_EQ(builder.insert(std::int32_t{0x01020304}, std::int32_t{0}, 2), 8);
    EXPECT_EQ(builder.endObject(), 12);
    if (!force) {
      EXPECT_FALSE(skipped.has_value());
      EXPECT_EQ(builder.currentVTable(), (std::vector<std::int32_t>{1, 0, 8}));
      // vtable: size 10, table 12, fields at 11, absent, 4
      EXPECT_EQ(hex(builder.makeData()),
                expected("0a 00 0c 00 0b 00 00 00 04 00 | 0a 00 00 00 | 04 03 02 01 | 00 00 00 "
                         "| 01"));
    } else {
      EXPECT_EQ(skipped, 4);
      EXPECT_EQ(hex(builder.makeData()),
                expected("0a 00 0c 00 0b 00 08 00 04 00 | 0a 00 00 00 | 04 03 02 01 | 05 00 | "
                         "00 | 01"));
    }
  }
}

void twoTablesOfTwoWords(FlatBuffersBuilder& builder, std::int32_t& first, std::int32_t& second) {
  builder.startObject(2);
  builder.insert(std::uint32_t{0x11}, std::uint32_t{0}, 0);
  builder.insert(std::uint32_t{0x22}, std::uint32_t{0}, 1);
  first = builder.endObject();
  builder.startObject(2);
  builder.insert(std::uint32_t{0x33}, std::uint32_t{0}, 0);
  builder.insert(std::uint32_t{0x44}, std::uint32_t{0}, 1);
  second = builder.endObject();
}

TEST(BuilderTable, IdenticalVTablesAreSharedThroughANegativeSlot) {
  FlatBuffersBuilder builder(Options{.uniqueVTables = true});
  std::int32_t first = 0;
  std::int32_t second = 0;
  twoTablesOfTwoWords(builder, first, second);
  EXPECT_EQ(first, 12);
  EXPECT_EQ(second, 32);
  EXPECT_EQ(builder.vTableOffsets(), std::vector<std::int32_t>{20});
  // The second table's slot is -12: its vtable is the first one's, 12 bytes after it.
  EXPECT_EQ(hex(builder.makeData()),
            expected("f4 ff ff ff | 44 00 00 00 | 33 00 00 00 | 08 00 0c 00 08 00 04 00 | 08 00 "
                     "00 00 | 22 00 00 00 | 11 00 00 00"));
}

TEST(BuilderTable, WithoutUniqueVTablesEveryTableHasItsOwn) {
  FlatBuffersBuilder builder(Options{});
  std::int32_t first = 0;
  std::int32_t second = 0;
  twoTablesOfTwoWords(builder, first, second);
  EXPECT_EQ(second, 32);
  EXPECT_TRUE(builder.vTableOffsets().empty());
  EXPECT_EQ(hex(builder.makeData()),
            expected("08 00 0c 00 08 00 04 00 | 08 00 00 00 | 44 00 00 00 | 33 00 00 00 | 08 00 "
                     "0c 00 08 00 04 00 | 08 00 00 00 | 22 00 00 00 | 11 00 00 00"));
}

TEST(BuilderTable, VTablesOfDifferentSizesAreNotCompared) {
  // The second vtable (10 bytes) is longer than everything after the first one (8 bytes); only
  // vtables of equal size may be compared byte for byte.
  FlatBuffersBuilder builder(Options{.uniqueVTables = true});
  emptyTable(builder);
  builder.startObject(3);
  EXPECT_EQ(builder.endObject(), 12);
  EXPECT_EQ(builder.vTableOffsets(), (std::vector<std::int32_t>{8, 22}));
  EXPECT_EQ(hex(builder.makeData()),
            expected("0a 00 04 00 00 00 00 00 00 00 | 0a 00 00 00 | 04 00 04 00 | 04 00 00 00"));
}

TEST(BuilderTable, PaddingOverADroppedVTableIsZero) {
  FlatBuffersBuilder builder(Options{.uniqueVTables = true});
  std::int32_t first = 0;
  std::int32_t second = 0;
  twoTablesOfTwoWords(builder, first, second);
  // The dropped vtable's bytes still lie in front of the message; the padding replaces them.
  builder.insert(std::uint8_t{0x55});
  builder.insert(std::uint32_t{0x66});
  const Bytes bytes = builder.makeData();
  ASSERT_EQ(bytes.size(), 40u);
  EXPECT_EQ(hex(Bytes(bytes.begin(), bytes.begin() + 8)), expected("66 00 00 00 | 00 00 00 | 55"));
}

TEST(BuilderTable, LargestTableFitsAndOneMoreWordIsRefused) {
  for (int content : {32760, 32764}) {
    SCOPED_TRACE(content);
    FlatBuffersBuilder builder(Options{});
    builder.startObject(1);
    for (int i = 0; i < content; ++i) {
      builder.insert(std::uint8_t{1});
    }
    if (content == 32760) {
      EXPECT_EQ(builder.endObject(), 32764);  // table size 32764 fits a signed 16-bit field
    } else {
      try {
        builder.endObject();
        ADD_FAILURE() << "a table of 32768 bytes was accepted";
      } catch (const FlatBuffersBuildException& e) {
        EXPECT_EQ(e.error(), FlatBuffersBuildError::offsetIsTooBig);
      }
    }
  }
}

// ---- strings ------------------------------------------------------------------------------

struct StringCase {
  const char* name;
  bool nullTerminated;
  std::string_view text;
  const char* bytes;
};

class BuilderString : public testing::TestWithParam<StringCase> {};

TEST_P(BuilderString, LengthThenBytesPaddedToFour) {
  const StringCase& c = GetParam();
  FlatBuffersBuilder builder(Options{.nullTerminatedUTF8 = c.nullTerminated});
  const std::int32_t offset = builder.insert(std::optional<std::string_view>(c.text));
  EXPECT_EQ(offset, builder.cursor());
  EXPECT_EQ(hex(builder.makeData()), expected(c.bytes));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BuilderString,
    testing::Values(StringCase{"TwoBytes", false, "ab", "02 00 00 00 | 61 62 | 00 00"},
                    StringCase{"FourBytes", false, "abcd", "04 00 00 00 | 61 62 63 64"},
                    StringCase{"FourBytesNullTerminated", true, "abcd",
                               "04 00 00 00 | 61 62 63 64 | 00 | 00 00 00"},
                    StringCase{"Empty", false, "", "00 00 00 00"},
                    StringCase{"EmptyNullTerminated", true, "", "00 00 00 00 | 00 | 00 00 00"},
                    StringCase{"LengthCountsUTF8Bytes", false, "\xc3\xa4",
                               "02 00 00 00 | c3 a4 | 00 00"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(BuilderString, UniqueStringsAreStoredOnce) {
  for (bool unique : {true, false}) {
    SCOPED_TRACE(unique ? "uniqueStrings" : "no uniqueStrings");
    FlatBuffersBuilder builder(Options{.uniqueStrings = unique});
    const std::int32_t first = builder.insert(std::optional<std::string_view>("ab"));
    const std::int32_t second = builder.insert(std::optional<std::string_view>("ab"));
    EXPECT_EQ(first, 8);
    if (unique) {
      EXPECT_EQ(second, 8);
      EXPECT_EQ(hex(builder.makeData()), expected("02 00 00 00 61 62 00 00"));
      EXPECT_EQ(builder.insert(std::optional<std::string_view>("cd")), 16);
    } else {
      EXPECT_EQ(second, 16);
      EXPECT_EQ(hex(builder.makeData()),
                expected("02 00 00 00 61 62 00 00 02 00 00 00 61 62 00 00"));
    }
  }
}

TEST(BuilderString, AbsentStringReturnsZeroAndWritesNothing) {
  FlatBuffersBuilder builder(Options{});
  builder.insert(std::uint8_t{9});
  EXPECT_EQ(builder.insert(std::optional<std::string_view>()), 0);
  EXPECT_EQ(builder.cursor(), 1);
}

// ---- vectors and references ---------------------------------------------------------------

TEST(BuilderVector, ElementWrittenLastIsElementZero) {
  FlatBuffersBuilder builder(Options{});
  builder.startVector(3, 2);
  EXPECT_EQ(builder.vectorNumElems(), 3);
  EXPECT_EQ(builder.cursor(), 2);  // padded so that the count lands on a multiple of 4
  builder.insert(std::uint16_t{1});
  builder.insert(std::uint16_t{2});
  builder.insert(std::uint16_t{3});
  EXPECT_EQ(builder.endVector(), 12);
  EXPECT_EQ(builder.vectorNumElems(), -1);
  EXPECT_EQ(builder.minalign(), 4);
  EXPECT_EQ(hex(builder.makeData()), expected("03 00 00 00 | 03 00 02 00 01 00 | 00 00"));
}

TEST(BuilderVector, SingleByteElement) {
  FlatBuffersBuilder builder(Options{});
  builder.startVector(1, 1);
  builder.insert(std::uint8_t{7});
  EXPECT_EQ(builder.endVector(), 8);
  EXPECT_EQ(hex(builder.makeData()), expected("01 00 00 00 | 07 | 00 00 00"));
}

TEST(BuilderVector, StringVectorAsTheSchemaWritesIt) {
  // Strings last to first, then their offsets in the order written.
  FlatBuffersBuilder builder(Options{});
  const std::int32_t yz = builder.insert(std::optional<std::string_view>("yz"));
  const std::int32_t x = builder.insert(std::optional<std::string_view>("x"));
  builder.startVector(2, 4);
  builder.insertOffset(yz);
  builder.insertOffset(x);
  EXPECT_EQ(builder.endVector(), 28);
  // element 0 (at 4) points 8 ahead to "x", element 1 (at 8) 12 ahead to "yz"
  EXPECT_EQ(hex(builder.makeData()),
            expected("02 00 00 00 | 08 00 00 00 | 0c 00 00 00 | 01 00 00 00 78 00 00 00 | 02 00 "
                     "00 00 79 7a 00 00"));
}

TEST(BuilderReference, AbsentAndZeroOffsetsWriteZero) {
  FlatBuffersBuilder builder(Options{});
  builder.insert(std::uint8_t{1});
  EXPECT_EQ(builder.insertOffset(std::nullopt), 8);
  EXPECT_EQ(builder.insertOffset(0), 12);
  EXPECT_EQ(hex(builder.makeData()), expected("00 00 00 00 | 00 00 00 00 | 00 00 00 | 01"));
}

TEST(BuilderReference, UpdateWritesABackwardReference) {
  FlatBuffersBuilder builder(Options{});
  builder.startObject(1);
  builder.insert(std::uint32_t{0});  // placeholder, patched below
  const std::int64_t slot = builder.insertCurrentOffsetAsProperty(0);
  EXPECT_EQ(slot, 4);
  const std::int32_t table = builder.endObject();
  const std::int32_t text = builder.insert(std::optional<std::string_view>("hi"));
  builder.update(text, slot);
  builder.finish(table, std::nullopt);
  // The field (at 20) holds -16: the string lies before it, at 4.
  EXPECT_EQ(hex(builder.makeData()),
            expected("10 00 00 00 | 02 00 00 00 68 69 | 06 00 08 00 04 00 | 06 00 00 00 | f0 ff "
                     "ff ff"));
}

// ---- finish -------------------------------------------------------------------------------

struct FinishCase {
  const char* name;
  bool doubleField;
  std::optional<std::string_view> identifier;
  const char* bytes;
};

class BuilderFinish : public testing::TestWithParam<FinishCase> {};

TEST_P(BuilderFinish, RootOffsetIdentifierAndPaddingToMinalign) {
  const FinishCase& c = GetParam();
  FlatBuffersBuilder builder(Options{});
  builder.startObject(c.doubleField ? 1 : 0);
  if (c.doubleField) {
    builder.insert(1.0, 0.0, 0);
  }
  const std::int32_t root = builder.endObject();
  builder.finish(root, c.identifier);
  const Bytes bytes = builder.makeData();
  EXPECT_EQ(hex(bytes), expected(c.bytes));
  EXPECT_EQ(static_cast<std::int64_t>(bytes.size()) % builder.minalign(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BuilderFinish,
    testing::Values(
        FinishCase{"NoIdentifier", false, std::nullopt, "08 00 00 00 | 04 00 04 00 | 04 00 00 00"},
        FinishCase{"Identifier", false, "ABCD",
                   "0c 00 00 00 | 41 42 43 44 | 04 00 04 00 | 04 00 00 00"},
        FinishCase{"IdentifierOfFourUTF8Bytes", false,
                   "\xc3\xa4"
                   "bc",
                   "0c 00 00 00 | c3 a4 62 63 | 04 00 04 00 | 04 00 00 00"},
        FinishCase{"PaddedToEight", true, std::nullopt,
                   "0c 00 00 00 | 00 00 | 06 00 0c 00 04 00 | 06 00 00 00 | 00 00 00 00 00 00 f0 "
                   "3f"},
        FinishCase{"IdentifierPaddedToEight", true, "ABCD",
                   "14 00 00 00 | 41 42 43 44 | 00 00 00 00 00 00 | 06 00 0c 00 04 00 | 06 00 00 "
                   "00 | 00 00 00 00 00 00 f0 3f"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(BuilderFinish, MakeDataChangesNothing) {
  FlatBuffersBuilder builder(Options{});
  emptyTable(builder);
  builder.finish(4, std::nullopt);
  const std::int64_t cursor = builder.cursor();
  EXPECT_EQ(builder.makeData(), builder.makeData());
  EXPECT_EQ(builder.cursor(), cursor);
}

// ---- errors, in the order each operation checks them --------------------------------------

struct ErrorCase {
  const char* name;
  Step setUp;
  Step call;
  FlatBuffersBuildError error;
  std::int64_t cursorAfter;  // -1: unchanged by the failing call
};

class BuilderErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(BuilderErrors, ThrowsTheCase) {
  const ErrorCase& c = GetParam();
  FlatBuffersBuilder builder(Options{});
  c.setUp(builder);
  const std::int64_t before = builder.cursor();
  try {
    c.call(builder);
    ADD_FAILURE() << "no error thrown";
  } catch (const FlatBuffersBuildException& e) {
    EXPECT_EQ(e.error(), c.error) << e.what();
  }
  EXPECT_EQ(builder.cursor(), c.cursorAfter < 0 ? before : c.cursorAfter);
}

const Step nothing = [](FlatBuffersBuilder&) {};
const Step openTable = [](FlatBuffersBuilder& b) { b.startObject(1); };
const Step openVector = [](FlatBuffersBuilder& b) { b.startVector(1, 4); };
const Step oneWord = [](FlatBuffersBuilder& b) { b.insert(std::uint32_t{1}); };
using E = FlatBuffersBuildError;
constexpr auto kTooFar = std::numeric_limits<std::int64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Cases, BuilderErrors,
    testing::Values(ErrorCase{"StartObjectInTable", openTable, [](auto& b) { b.startObject(1); },
                              E::objectIsNotClosed, -1},
                    ErrorCase{"StartObjectInVector", openVector, [](auto& b) { b.startObject(1); },
                              E::objectIsNotClosed, -1},
                    ErrorCase{"StartObjectNegativeCount", nothing,
                              [](auto& b) { b.startObject(-1); }, E::propertyIndexIsInvalid, -1},
                    ErrorCase{"StartObjectTooManyFields", nothing,
                              [](auto& b) { b.startObject(16382); }, E::propertyIndexIsInvalid, -1},
                    ErrorCase{"ScalarFieldWithoutTable", nothing,
                              [](auto& b) { b.insert(std::uint8_t{1}, std::uint8_t{0}, 0); },
                              E::noOpenObject, -1},
                    ErrorCase{"ScalarFieldWithoutTableBadIndex", nothing,
                              [](auto& b) { b.insert(std::uint8_t{1}, std::uint8_t{0}, 5); },
                              E::noOpenObject, -1},
                    ErrorCase{"ScalarFieldNegativeIndex", openTable,
                              [](auto& b) { b.insert(std::uint8_t{1}, std::uint8_t{0}, -1); },
                              E::propertyIndexIsInvalid, -1},
                    ErrorCase{"ScalarFieldIndexEqualToCount", openTable,
                              [](auto& b) { b.insert(std::uint8_t{1}, std::uint8_t{0}, 1); },
                              E::propertyIndexIsInvalid, -1},
                    ErrorCase{"ScalarFieldAfterEndObject",
                              [](auto& b) {
                                b.startObject(1);
                                b.endObject();
                              },
                              [](auto& b) { b.insert(std::uint8_t{1}, std::uint8_t{0}, 0); },
                              E::noOpenObject, -1},
                    ErrorCase{"ReferenceFieldWithoutTable", nothing,
                              [](auto& b) { b.insert(0, 0); }, E::noOpenObject, -1},
                    ErrorCase{"ReferenceFieldBadIndexBeforeOffset", openTable,
                              [](auto& b) { b.insert(1000, 1); }, E::propertyIndexIsInvalid, -1},
                    ErrorCase{"ReferenceFieldOffsetBeyondCursor", openTable,
                              [](auto& b) { b.insert(1, 0); }, E::offsetIsTooBig, -1},
                    ErrorCase{"CurrentOffsetWithoutTable", nothing,
                              [](auto& b) { b.insertCurrentOffsetAsProperty(0); }, E::noOpenObject,
                              -1},
                    ErrorCase{"CurrentOffsetBadIndex", openTable,
                              [](auto& b) { b.insertCurrentOffsetAsProperty(1); },
                              E::propertyIndexIsInvalid, -1},
                    ErrorCase{"EndObjectWithoutTable", nothing, [](auto& b) { b.endObject(); },
                              E::noOpenObject, -1},
                    ErrorCase{"StartVectorInTableAfterPadding",
                              [](auto& b) {
                                b.startObject(1);
                                b.insert(std::uint8_t{1}, std::uint8_t{0}, 0);
                              },
                              [](auto& b) { b.startVector(1, 4); }, E::objectIsNotClosed, 4},
                    ErrorCase{"StartVectorInVectorAfterPadding", openVector,
                              [](auto& b) { b.startVector(2, 1); }, E::objectIsNotClosed, 2},
                    ErrorCase{"StartVectorNegativeCount", nothing,
                              [](auto& b) { b.startVector(-1, 4); }, E::offsetIsTooBig, -1},
                    ErrorCase{"StartVectorOf2GiB", nothing,
                              [](auto& b) { b.startVector(std::int64_t{1} << 29, 4); },
                              E::offsetIsTooBig, -1},
                    ErrorCase{"OffsetBeyondCursor", oneWord, [](auto& b) { b.insertOffset(5); },
                              E::offsetIsTooBig, -1},
                    ErrorCase{"NegativeOffset", oneWord, [](auto& b) { b.insertOffset(-1); },
                              E::offsetIsTooBig, -1},
                    ErrorCase{"StringInTable", openTable,
                              [](auto& b) { b.insert(std::optional<std::string_view>("a")); },
                              E::objectIsNotClosed, -1},
                    ErrorCase{"AbsentStringInTable", openTable,
                              [](auto& b) { b.insert(std::optional<std::string_view>()); },
                              E::objectIsNotClosed, -1},
                    ErrorCase{"StringInVector", openVector,
                              [](auto& b) { b.insert(std::optional<std::string_view>("a")); },
                              E::objectIsNotClosed, -1},
                    ErrorCase{"UpdateOffsetBeyondCursor", oneWord, [](auto& b) { b.update(5, 4); },
                              E::offsetIsTooBig, -1},
                    ErrorCase{"UpdateBothBeyondCursor", oneWord,
                              [](auto& b) { b.update(5, kTooFar); }, E::offsetIsTooBig, -1},
                    ErrorCase{"UpdateCursorBeyondCursor", oneWord, [](auto& b) { b.update(0, 8); },
                              E::cursorIsInvalid, -1},
                    ErrorCase{"UpdateCursorWithoutSlot", oneWord, [](auto& b) { b.update(0, 0); },
                              E::cursorIsInvalid, -1},
                    ErrorCase{"FinishOffsetBeyondCursorBeforeOpenTable", openTable,
                              [](auto& b) { b.finish(4, std::nullopt); }, E::offsetIsTooBig, -1},
                    ErrorCase{"FinishInTable",
                              [](auto& b) {
                                emptyTable(b);
                                b.startObject(0);
                              },
                              [](auto& b) { b.finish(4, std::nullopt); }, E::objectIsNotClosed, -1},
                    ErrorCase{"FinishInVector",
                              [](auto& b) {
                                emptyTable(b);
                                b.startVector(0, 4);
                              },
                              [](auto& b) { b.finish(4, std::nullopt); }, E::objectIsNotClosed, -1},
                    ErrorCase{"ThreeByteIdentifierAfterPadding",
                              [](auto& b) {
                                emptyTable(b);
                                b.insert(std::uint8_t{1});
                              },
                              [](auto& b) { b.finish(4, "ABC"); }, E::badFileIdentifier, 12},
                    ErrorCase{"FiveByteIdentifierAfterPadding",
                              [](auto& b) {
                                emptyTable(b);
                                b.insert(std::uint8_t{1});
                              },
                              [](auto& b) { b.finish(4, "ABCDE"); }, E::badFileIdentifier, 12},
                    ErrorCase{"FourCharactersOfFiveBytes", emptyTable,
                              [](auto& b) {
                                b.finish(4,
                                         "\xc3\xa4"
                                         "bcd");
                              },
                              E::badFileIdentifier, -1}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(BuilderErrors, CasesAreNumberedInOrderAndNamed) {
  const std::pair<FlatBuffersBuildError, const char*> cases[] = {
      {E::objectIsNotClosed, "objectIsNotClosed"},
      {E::noOpenObject, "noOpenObject"},
      {E::propertyIndexIsInvalid, "propertyIndexIsInvalid"},
      {E::offsetIsTooBig, "offsetIsTooBig"},
      {E::cursorIsInvalid, "cursorIsInvalid"},
      {E::badFileIdentifier, "badFileIdentifier"},
      {E::unsupportedType, "unsupportedType"},
      {E::couldNotPerformLateBinding, "couldNotPerformLateBinding"}};
  long code = 0;
  for (const auto& [error, name] : cases) {
    EXPECT_EQ(static_cast<long>(error), code);
    EXPECT_EQ(caseName(error), name);
    EXPECT_EQ(toError(error), platform::Error("FlatBuffersBuildError", code, name));
    EXPECT_EQ(std::string(FlatBuffersBuildException(error).what()),
              std::string("FlatBuffersBuildError.") + name);
    ++code;
  }
  EXPECT_EQ(toError(FlatBuffersReaderError::outOfBufferBounds),
            platform::Error("FlatBuffersReaderError", 0, "outOfBufferBounds"));
  EXPECT_EQ(toError(FlatBuffersReaderError::canNotSetProperty).code, 1);
}

}  // namespace
}  // namespace corvane
