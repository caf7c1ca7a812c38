// The look-up messages written with the builder exactly as the schema code drives it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flatbuffers/builder.h"
#include "flatbuffers/memory_reader.h"
#include "flatbuffers/sample_messages.h"
#include "flatbuffers/test_bytes.h"
#include "flatbuffers/utf8.h"
#include "flatbuffers/vectors.h"

namespace corvane {
namespace {

using test::Bytes;
using test::fromHex;
using test::hex;

// The options of the PIN-server client.
FlatBuffersBuilderOptions lookupOptions() {
  return FlatBuffersBuilderOptions(1, true, true, true, false, false);
}

Bytes buildLookupRequest(std::string_view pin) {
  FlatBuffersBuilder builder(lookupOptions());
  // RequestCmd without mac
  builder.startObject(1);
  const std::int32_t request = builder.endObject();
  // QueryServerRequestData { pin }
  const std::int32_t pinString = builder.insert(std::optional<std::string_view>(pin));
  builder.startObject(1);
  builder.insert(pinString, 0);
  const std::int32_t query = builder.endObject();
  // CastCommand: scalars first in slot order, then the references
  builder.startObject(4);
  builder.insert(std::int8_t{1}, std::int8_t{0}, 0);
  builder.insert(std::int8_t{5}, std::int8_t{0}, 2);
  builder.insert(request, 1);
  builder.insert(query, 3);
  const std::int32_t root = builder.endObject();
  builder.finish(root, std::nullopt);
  return builder.makeData();
}

TEST(LookupRequest, MatchesTheSixtyFourByteLayout) {
  const Bytes body = buildLookupRequest("123456");
  EXPECT_EQ(body.size(), 64u);
  EXPECT_EQ(hex(body), hex(fromHex(test::kLookupRequest)));
}

TEST(LookupRequest, ReadsBack) {
  const Bytes body = buildLookupRequest("123456");
  auto reader = FlatBuffersMemoryReader::create(body, false);
  const std::int32_t root = reader->rootObjectOffset().value();
  EXPECT_EQ(root, 16);
  EXPECT_EQ(reader->get(root, 0, std::int8_t{0}), 1);
  EXPECT_EQ(reader->get(root, 2, std::int8_t{0}), 5);
  const auto request = reader->offset(root, 1);
  const auto query = reader->offset(root, 3);
  EXPECT_EQ(request, 60);
  EXPECT_EQ(query, 36);
  EXPECT_FALSE(reader->offset(request.value(), 0));  // mac absent
  EXPECT_EQ(stringFromUTF8(reader->stringBuffer(reader->offset(query.value(), 0))), "123456");
}

TEST(LookupResponse, StringListRoundTripsInOrder) {
  // CastCommand { ResponseCmd { statusCode OK }, QueryServerResponseData { ipList, name,
  // corvaneVersion } }, written as the schema writes it.
  const std::vector<std::string> ipList = {"192.168.1.20", "10.0.0.7", "172.16.5.1"};
  FlatBuffersBuilder builder(lookupOptions());
  builder.startObject(1);
  builder.insert(std::int8_t{1}, std::int8_t{0}, 0);
  const std::int32_t response = builder.endObject();

  std::vector<std::int32_t> written;
  for (auto ip = ipList.rbegin(); ip != ipList.rend(); ++ip) {
    written.push_back(builder.insert(std::optional<std::string_view>(*ip)));
  }
  builder.startVector(static_cast<std::int64_t>(written.size()), 4);
  for (std::int32_t offset : written) {
    builder.insertOffset(offset);
  }
  const std::int32_t list = builder.endVector();
  const std::int32_t name = builder.insert(std::optional<std::string_view>("Living room"));
  const std::int32_t version = builder.insert(std::optional<std::string_view>("1.2.3"));
  builder.startObject(3);
  builder.insert(list, 0);
  builder.insert(name, 1);
  builder.insert(version, 2);
  const std::int32_t data = builder.endObject();

  builder.startObject(4);
  builder.insert(std::int8_t{2}, std::int8_t{0}, 0);
  builder.insert(std::int8_t{6}, std::int8_t{0}, 2);
  builder.insert(response, 1);
  builder.insert(data, 3);
  builder.finish(builder.endObject(), std::nullopt);
  const Bytes bytes = builder.makeData();

  auto reader = FlatBuffersMemoryReader::create(bytes, false);
  const std::int32_t root = reader->rootObjectOffset().value();
  EXPECT_EQ(reader->get(root, 0, std::int8_t{0}), 2);
  EXPECT_EQ(reader->get(reader->offset(root, 1).value(), 0, std::int8_t{0}), 1);
  const std::int32_t table = reader->offset(root, 3).value();
  FlatBuffersStringVector<FlatBuffersMemoryReader> ips(reader, reader->offset(table, 0));
  std::vector<std::string> read;
  for (const auto& ip : ips) {
    read.push_back(stringFromUTF8(ip).value_or("<absent>"));
  }
  EXPECT_EQ(read, ipList);
  EXPECT_EQ(stringFromUTF8(reader->stringBuffer(reader->offset(table, 1))), "Living room");
  EXPECT_EQ(stringFromUTF8(reader->stringBuffer(reader->offset(table, 2))), "1.2.3");
}

}  // namespace
}  // namespace corvane
