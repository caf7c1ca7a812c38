// File reader over real temporary files: bounds, the range cache and navigation.
#include "flatbuffers/file_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "flatbuffers/memory_reader.h"
#include "flatbuffers/sample_messages.h"
#include "flatbuffers/test_bytes.h"
#include "flatbuffers/utf8.h"
#include "flatbuffers/vectors.h"

namespace corvane {
namespace {

using test::Bytes;
using test::fromHex;

std::shared_ptr<std::FILE> temporaryFile(const Bytes& bytes) {
  std::shared_ptr<std::FILE> file(std::tmpfile(), &std::fclose);
  if (file) {
    // Unbuffered, so that every read and write reaches the file itself.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    std::fwrite(bytes.data(), 1, bytes.size(), file.get());
    std::fflush(file.get());
  }
  return file;
}

void overwrite(std::FILE* file, long offset, const Bytes& bytes) {
  std::fseek(file, offset, SEEK_SET);
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fflush(file);
}

class FileReaderTest : public testing::Test {
 protected:
  void SetUp() override {
    file_ = temporaryFile(fromHex("01 02 03 04 05 06 07 08"));
    ASSERT_TRUE(file_) << "no temporary file could be created";
    reader_ = FlatBuffersFileReader::create(file_);
  }

  std::shared_ptr<std::FILE> file_;
  std::shared_ptr<FlatBuffersFileReader> reader_;
};

TEST_F(FileReaderTest, ReadsInsideTheFileOnly) {
  EXPECT_EQ(reader_->fileSize(), 8u);
  EXPECT_EQ(reader_->scalar<std::uint32_t>(4).value(), 0x08070605u);
  EXPECT_EQ(reader_->scalar<std::uint32_t>(5).error(), FlatBuffersReaderError::outOfBufferBounds);
  EXPECT_FALSE(reader_->scalar<std::uint8_t>(-1));
  EXPECT_FALSE(reader_->scalar<std::uint8_t>(std::numeric_limits<std::int64_t>::max()));
  EXPECT_EQ(reader_->bytes(-1, 2).error(), FlatBuffersReaderError::outOfBufferBounds);
  EXPECT_FALSE(reader_->bytes(2, -1));
  EXPECT_FALSE(reader_->bytes(1, 8));
  EXPECT_EQ(reader_->bytes(8, 0)->size(), 0u);
  const auto middle = reader_->bytes(2, 3);
  ASSERT_TRUE(middle);
  EXPECT_EQ(Bytes(middle->begin(), middle->end()), fromHex("03 04 05"));
}

TEST_F(FileReaderTest, CachesEachRangeByOffsetAndLength) {
  EXPECT_EQ(reader_->scalar<std::uint8_t>(0).value(), 0x01);
  overwrite(file_.get(), 0, fromHex("aa bb"));
  // Range (0, 1) is cached; range (0, 2) is a different key and read afresh.
  EXPECT_EQ(reader_->scalar<std::uint8_t>(0).value(), 0x01);
  EXPECT_EQ(reader_->bytes(0, 1)->front(), 0x01);
  EXPECT_EQ(reader_->scalar<std::uint16_t>(0).value(), 0xbbaa);
  reader_->clearDataCache();
  EXPECT_EQ(reader_->scalar<std::uint8_t>(0).value(), 0xaa);
}

TEST(FileReader, ViewsStayValidWhileTheCacheGrows) {
  Bytes bytes(4096);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 7);
  }
  auto file = temporaryFile(bytes);
  ASSERT_TRUE(file) << "no temporary file could be created";
  auto reader = FlatBuffersFileReader::create(file);
  // A short range (kept inside its cache entry) and a long one (kept in a block of its own).
  const ByteView shortView = reader->bytes(100, 4).value();
  const ByteView longView = reader->bytes(1000, 600).value();
  // Thousands of further ranges make the cache grow and rehash many times.
  for (std::int64_t offset = 0; offset + 8 <= 4096; ++offset) {
    ASSERT_EQ(reader->scalar<std::uint8_t>(offset).value(),
              bytes[static_cast<std::size_t>(offset)]);
    ASSERT_TRUE(reader->scalar<std::uint64_t>(offset));
    ASSERT_TRUE(reader->bytes(offset, 3));
  }
  EXPECT_EQ(Bytes(shortView.begin(), shortView.end()),
            Bytes(bytes.begin() + 100, bytes.begin() + 104));
  EXPECT_EQ(Bytes(longView.begin(), longView.end()),
            Bytes(bytes.begin() + 1000, bytes.begin() + 1600));
  // A cached range is returned as the same bytes, not read again.
  EXPECT_EQ(reader->bytes(1000, 600)->data(), longView.data());
  EXPECT_EQ(reader->bytes(100, 4)->data(), shortView.data());
}

TEST(FileReader, VectorCountIsCutToTheFile) {
  // A count of 2^31 - 1 in front of two string elements.
  const Bytes bytes = fromHex("ff ff ff 7f 08 00 00 00 00 00 00 00 01 00 00 00 7a 00 00 00");
  auto file = temporaryFile(bytes);
  ASSERT_TRUE(file) << "no temporary file could be created";
  FlatBuffersStringVector<FlatBuffersFileReader> strings(FlatBuffersFileReader::create(file), 0);
  EXPECT_EQ(strings.count(), 4);
  EXPECT_EQ(stringFromUTF8(strings[0]), "z");
  EXPECT_FALSE(strings[1]);
  EXPECT_EQ(strings.reader()->vectorElementCount(0), 0x7fffffff);
}

TEST_F(FileReaderTest, AFileThatShrankYieldsNoRange) {
  ASSERT_EQ(ftruncate(fileno(file_.get()), 2), 0);
  EXPECT_EQ(reader_->fileSize(), 8u);
  EXPECT_FALSE(reader_->scalar<std::uint32_t>(4));
  EXPECT_EQ(reader_->scalar<std::uint16_t>(0).value(), 0x0201);
}

TEST_F(FileReaderTest, IsEqualForTheSameHandleOnly) {
  EXPECT_TRUE(reader_->isEqual(*FlatBuffersFileReader::create(file_)));
  auto other = temporaryFile(fromHex("01 02 03 04 05 06 07 08"));
  ASSERT_TRUE(other);
  EXPECT_FALSE(reader_->isEqual(*FlatBuffersFileReader::create(other)));
}

TEST(FileReader, NullHandleIsAnEmptyFile) {
  auto reader = FlatBuffersFileReader::create(nullptr);
  EXPECT_EQ(reader->fileSize(), 0u);
  EXPECT_FALSE(reader->rootObjectOffset());
  EXPECT_FALSE(reader->scalar<std::uint8_t>(0));
}

TEST(FileReader, NavigatesLikeTheMemoryReader) {
  const Bytes bytes = fromHex(test::kLookupRequest);
  auto file = temporaryFile(bytes);
  ASSERT_TRUE(file) << "no temporary file could be created";
  auto fromFile = FlatBuffersFileReader::create(file, FlatBuffersReaderCache::create());
  auto fromMemory = FlatBuffersMemoryReader::create(bytes, true);
  const std::int32_t root = fromFile->rootObjectOffset().value();
  EXPECT_EQ(root, fromMemory->rootObjectOffset());
  for (std::int64_t index = -1; index <= 4; ++index) {
    SCOPED_TRACE(index);
    EXPECT_EQ(fromFile->fieldOffset(root, index), fromMemory->fieldOffset(root, index));
    EXPECT_EQ(fromFile->get<std::int8_t>(root, index), fromMemory->get<std::int8_t>(root, index));
    EXPECT_EQ(fromFile->offset(root, index), fromMemory->offset(root, index));
  }
  const auto data = fromFile->offset(root, 3);
  EXPECT_EQ(stringFromUTF8(fromFile->stringBuffer(fromFile->offset(data.value(), 0))), "123456");
}

TEST(DataCacheKey, EqualOnBothFieldsHashedOnTheOffset) {
  const DataCacheKey a{16, 4};
  const DataCacheKey b{16, 2};
  EXPECT_NE(a, b);
  EXPECT_EQ(a, (DataCacheKey{16, 4}));
  EXPECT_EQ(DataCacheKeyHash{}(a), DataCacheKeyHash{}(b));
}

}  // namespace
}  // namespace corvane
