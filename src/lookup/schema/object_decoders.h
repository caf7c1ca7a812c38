// The decoders of the look-up schema: each turns the table at an offset of a message back into
// an object, through any FlatBuffersReader. With a reader cache, a table offset decoded twice
// as the same table type yields the same object (the pool entry is made before any field is
// read); an entry of another type under the same offset is replaced. Read failures count as
// absent fields: strings that are absent or not valid UTF-8 stay absent, unreadable vector
// elements are skipped, an unknown union tag or a missing reference leaves the union absent.
// The objects keep no reference to the reader.
//
// Threading: the reader's (one thread at a time). Never throws.
#pragma once

#include <any>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "flatbuffers/reader.h"
#include "flatbuffers/utf8.h"
#include "flatbuffers/vectors.h"
#include "lookup/schema/tables.h"

namespace corvane::detail {

// The pooled object of type T at `offset`, or a new one (stored in the pool) that `fill` sets.
template <class T, FlatBuffersReader R, class Fill>
std::shared_ptr<T> decodeTable(const std::shared_ptr<R>& reader, std::optional<std::int32_t> offset,
                               Fill fill) {
  if (reader == nullptr || !offset) {
    return nullptr;
  }
  const auto cache = reader->cache();
  if (cache != nullptr) {
    auto& pool = cache->objectPool();
    const auto found = pool.find(*offset);
    if (found != pool.end()) {
      if (const auto* object = std::any_cast<std::shared_ptr<T>>(&found->second)) {
        return *object;
      }
    }
  }
  auto object = std::make_shared<T>();
  if (cache != nullptr) {
    cache->objectPool()[*offset] = object;
  }
  fill(*object, *offset);
  return object;
}

template <FlatBuffersReader R>
std::optional<std::string> readString(const R& reader, std::int32_t table, std::int64_t slot) {
  return stringFromUTF8(reader.stringBuffer(reader.offset(table, slot)));
}

template <FlatBuffersReader R>
std::vector<std::string> readStringList(const std::shared_ptr<R>& reader, std::int32_t table,
                                        std::int64_t slot) {
  std::vector<std::string> list;
  const FlatBuffersStringVector<R> vector(reader, reader->offset(table, slot));
  for (const auto& element : vector) {
    if (auto text = stringFromUTF8(element)) {
      list.push_back(std::move(*text));
    }
  }
  return list;
}

// A status byte: absent or unreadable reads as NONE, a byte naming no case as absent.
template <FlatBuffersReader R>
std::optional<StatusCode> readStatusCode(const R& reader, std::int32_t table, std::int64_t slot) {
  const auto stored = reader.template get<std::int8_t>(table, slot);
  if (!stored) {
    return StatusCode::NONE;
  }
  return statusCodeFromRawValue(*stored);
}

// A union's stored tag (absent or unreadable: 0) and the reference in the next slot.
struct UnionSlot {
  std::uint8_t tag = 0;
  std::optional<std::int32_t> reference;
};

template <FlatBuffersReader R>
UnionSlot readUnion(const R& reader, std::int32_t table, std::int64_t tagSlot) {
  return {reader.get(table, tagSlot, std::uint8_t{0}), reader.offset(table, tagSlot + 1)};
}

template <FlatBuffersReader R>
std::shared_ptr<RequestCmd> decodeRequestCmd(const std::shared_ptr<R>& reader,
                                             std::optional<std::int32_t> offset) {
  return decodeTable<RequestCmd>(reader, offset, [&](RequestCmd& object, std::int32_t at) {
    object.setMac(readString(*reader, at, 0));
  });
}

template <FlatBuffersReader R>
std::shared_ptr<ResponseCmd> decodeResponseCmd(const std::shared_ptr<R>& reader,
                                               std::optional<std::int32_t> offset) {
  return decodeTable<ResponseCmd>(reader, offset, [&](ResponseCmd& object, std::int32_t at) {
    object.setStatusCode(readStatusCode(*reader, at, 0));
  });
}

template <FlatBuffersReader R>
std::shared_ptr<RequestPingData> decodeRequestPingData(const std::shared_ptr<R>& reader,
                                                       std::optional<std::int32_t> offset) {
  return decodeTable<RequestPingData>(reader, offset, [](RequestPingData&, std::int32_t) {});
}

template <FlatBuffersReader R>
std::shared_ptr<ResponsePingData> decodeResponsePingData(const std::shared_ptr<R>& reader,
                                                         std::optional<std::int32_t> offset) {
  return decodeTable<ResponsePingData>(reader, offset, [](ResponsePingData&, std::int32_t) {});
}

template <FlatBuffersReader R>
std::shared_ptr<OnlineRegisterRequestData> decodeOnlineRegisterRequestData(
    const std::shared_ptr<R>& reader, std::optional<std::int32_t> offset) {
  return decodeTable<OnlineRegisterRequestData>(
      reader, offset, [&](OnlineRegisterRequestData& object, std::int32_t at) {
        object.setName(readString(*reader, at, 0));
        object.setCorvaneVersion(readString(*reader, at, 1));
        object.setIpList(readStringList(reader, at, 2));
      });
}

template <FlatBuffersReader R>
std::shared_ptr<OnlineRegisterResponseData> decodeOnlineRegisterResponseData(
    const std::shared_ptr<R>& reader, std::optional<std::int32_t> offset) {
  return decodeTable<OnlineRegisterResponseData>(
      reader, offset, [&](OnlineRegisterResponseData& object, std::int32_t at) {
        object.setPin(readString(*reader, at, 0));
      });
}

template <FlatBuffersReader R>
std::shared_ptr<QueryServerRequestData> decodeQueryServerRequestData(
    const std::shared_ptr<R>& reader, std::optional<std::int32_t> offset) {
  return decodeTable<QueryServerRequestData>(
      reader, offset, [&](QueryServerRequestData& object, std::int32_t at) {
        object.setPin(readString(*reader, at, 0));
      });
}

template <FlatBuffersReader R>
std::shared_ptr<QueryServerResponseData> decodeQueryServerResponseData(
    const std::shared_ptr<R>& reader, std::optional<std::int32_t> offset) {
  return decodeTable<QueryServerResponseData>(
      reader, offset, [&](QueryServerResponseData& object, std::int32_t at) {
        object.setIpList(readStringList(reader, at, 0));
        object.setName(readString(*reader, at, 1));
        object.setCorvaneVersion(readString(*reader, at, 2));
      });
}

template <FlatBuffersReader R>
std::optional<CmdType> decodeCmdType(const std::shared_ptr<R>& reader, const UnionSlot& slot) {
  if (!slot.reference) {
    return std::nullopt;
  }
  switch (slot.tag) {
    case 1:
      return CmdType::withRequestCmd(decodeRequestCmd(reader, slot.reference));
    case 2:
      return CmdType::withResponseCmd(decodeResponseCmd(reader, slot.reference));
    default:
      return std::nullopt;
  }
}

template <FlatBuffersReader R>
std::optional<CommandData> decodeCommandData(const std::shared_ptr<R>& reader,
                                             const UnionSlot& slot) {
  if (!slot.reference) {
    return std::nullopt;
  }
  switch (slot.tag) {
    case 1:
      return CommandData::withRequestPingData(decodeRequestPingData(reader, slot.reference));
    case 2:
      return CommandData::withResponsePingData(decodeResponsePingData(reader, slot.reference));
    case 3:
      return CommandData::withOnlineRegisterRequestData(
          decodeOnlineRegisterRequestData(reader, slot.reference));
    case 4:
      return CommandData::withOnlineRegisterResponseData(
          decodeOnlineRegisterResponseData(reader, slot.reference));
    case 5:
      return CommandData::withQueryServerRequestData(
          decodeQueryServerRequestData(reader, slot.reference));
    case 6:
      return CommandData::withQueryServerResponseData(
          decodeQueryServerResponseData(reader, slot.reference));
    default:
      return std::nullopt;
  }
}

template <FlatBuffersReader R>
std::shared_ptr<CastCommand> decodeCastCommand(const std::shared_ptr<R>& reader,
                                               std::optional<std::int32_t> offset) {
  return decodeTable<CastCommand>(reader, offset, [&](CastCommand& object, std::int32_t at) {
    object.setCmd(decodeCmdType(reader, readUnion(*reader, at, 0)));
    object.setData(decodeCommandData(reader, readUnion(*reader, at, 2)));
  });
}

}  // namespace corvane::detail
