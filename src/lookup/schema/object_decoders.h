// The decoders of the look-up schema: each turns the table at an offset of a message back into
// an object, through any FlatBuffersReader. With a reader cache, a table offset decoded twice
// as the same table type yields the same object (the pool entry is made before any field is
// read); an entry of another type under the same offset is replaced. Read failures count as
// absent fields: strings that are absent or not valid UTF-8 stay absent, unreadable vector
// elements are skipped, an unknown union tag or a missing reference leaves the union absent.
// The objects keep no reference to the reader.
//
// Every decode runs against a DecodeBudget, so that a small message cannot decode into a large
// graph: a string list longer than the budget's element bound, or text beyond its total (each
// string counted at every place it is read from, shared or not), spends the budget. A spent
// budget reads nothing more, and its caller drops the whole result as unusable.
//
// Threading: the reader's (one thread at a time). Never throws.
#pragma once

#include <any>
#include <cstddef>
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

class DecodeBudget {
 public:
  // Elements of one string list that a message may decode to.
  static constexpr std::int64_t kMaxListElements = 32;

  explicit DecodeBudget(std::size_t textLimit, std::int64_t listLimit = kMaxListElements)
      : textLeft_(textLimit), listLimit_(listLimit) {}

  // Takes `bytes` of decoded text; false (and spent from now on) when they do not fit.
  bool takeText(std::size_t bytes) {
    if (spent_ || bytes > textLeft_) {
      spent_ = true;
      return false;
    }
    textLeft_ -= bytes;
    return true;
  }
  // Admits a list of `count` elements; false (and spent) above the element bound.
  bool takeList(std::int64_t count) {
    if (spent_ || count > listLimit_) {
      spent_ = true;
      return false;
    }
    return true;
  }
  bool spent() const { return spent_; }

 private:
  std::size_t textLeft_;
  std::int64_t listLimit_;
  bool spent_ = false;
};

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

// A string's bytes, if the budget takes them (checked before anything is copied).
inline std::optional<std::string> takeString(std::optional<ByteView> bytes, DecodeBudget& budget) {
  if (!bytes || !budget.takeText(bytes->size())) {
    return std::nullopt;
  }
  return stringFromUTF8(bytes);
}

template <FlatBuffersReader R>
std::optional<std::string> readString(const R& reader, std::int32_t table, std::int64_t slot,
                                      DecodeBudget& budget) {
  return takeString(reader.stringBuffer(reader.offset(table, slot)), budget);
}

template <FlatBuffersReader R>
std::vector<std::string> readStringList(const std::shared_ptr<R>& reader, std::int32_t table,
                                        std::int64_t slot, DecodeBudget& budget) {
  std::vector<std::string> list;
  const FlatBuffersStringVector<R> vector(reader, reader->offset(table, slot));
  if (!budget.takeList(vector.count())) {
    return list;
  }
  for (const auto& element : vector) {
    if (auto text = takeString(element, budget)) {
      list.push_back(std::move(*text));
    }
    if (budget.spent()) {
      return {};
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
                                             std::optional<std::int32_t> offset,
                                             DecodeBudget& budget) {
  return decodeTable<RequestCmd>(reader, offset, [&](RequestCmd& object, std::int32_t at) {
    object.setMac(readString(*reader, at, 0, budget));
  });
}

template <FlatBuffersReader R>
std::shared_ptr<ResponseCmd> decodeResponseCmd(const std::shared_ptr<R>& reader,
                                               std::optional<std::int32_t> offset,
                                               DecodeBudget& /*budget*/) {
  return decodeTable<ResponseCmd>(reader, offset, [&](ResponseCmd& object, std::int32_t at) {
    object.setStatusCode(readStatusCode(*reader, at, 0));
  });
}

template <FlatBuffersReader R>
std::shared_ptr<RequestPingData> decodeRequestPingData(const std::shared_ptr<R>& reader,
                                                       std::optional<std::int32_t> offset,
                                                       DecodeBudget& /*budget*/) {
  return decodeTable<RequestPingData>(reader, offset, [](RequestPingData&, std::int32_t) {});
}

template <FlatBuffersReader R>
std::shared_ptr<ResponsePingData> decodeResponsePingData(const std::shared_ptr<R>& reader,
                                                         std::optional<std::int32_t> offset,
                                                         DecodeBudget& /*budget*/) {
  return decodeTable<ResponsePingData>(reader, offset, [](ResponsePingData&, std::int32_t) {});
}

template <FlatBuffersReader R>
std::shared_ptr<OnlineRegisterRequestData> decodeOnlineRegisterRequestData(
    const std::shared_ptr<R>& reader, std::optional<std::int32_t> offset, DecodeBudget& budget) {
  return decodeTable<OnlineRegisterRequestData>(
      reader, offset, [&](OnlineRegisterRequestData& object, std::int32_t at) {
        object.setName(readString(*reader, at, 0, budget));
        object.setCorvaneVersion(readString(*reader, at, 1, budget));
        object.setIpList(readStringList(reader, at, 2, budget));
      });
}

template <FlatBuffersReader R>
std::shared_ptr<OnlineRegisterResponseData> decodeOnlineRegisterResponseData(
    const std::shared_ptr<R>& reader, std::optional<std::int32_t> offset, DecodeBudget& budget) {
  return decodeTable<OnlineRegisterResponseData>(
      reader, offset, [&](OnlineRegisterResponseData& object, std::int32_t at) {
        object.setPin(readString(*reader, at, 0, budget));
      });
}

template <FlatBuffersReader R>
std::shared_ptr<QueryServerRequestData> decodeQueryServerRequestData(
    const std::shared_ptr<R>& reader, std::optional<std::int32_t> offset, DecodeBudget& budget) {
  return decodeTable<QueryServerRequestData>(reader, offset,
                                             [&](QueryServerRequestData& object, std::int32_t at) {
                                               object.setPin(readString(*reader, at, 0, budget));
                                             });
}

template <FlatBuffersReader R>
std::shared_ptr<QueryServerResponseData> decodeQueryServerResponseData(
    const std::shared_ptr<R>& reader, std::optional<std::int32_t> offset, DecodeBudget& budget) {
  return decodeTable<QueryServerResponseData>(
      reader, offset, [&](QueryServerResponseData& object, std::int32_t at) {
        object.setIpList(readStringList(reader, at, 0, budget));
        object.setName(readString(*reader, at, 1, budget));
        object.setCorvaneVersion(readString(*reader, at, 2, budget));
      });
}

template <FlatBuffersReader R>
std::optional<CmdType> decodeCmdType(const std::shared_ptr<R>& reader, const UnionSlot& slot,
                                     DecodeBudget& budget) {
  if (!slot.reference) {
    return std::nullopt;
  }
  switch (slot.tag) {
    case 1:
      return CmdType::withRequestCmd(decodeRequestCmd(reader, slot.reference, budget));
    case 2:
      return CmdType::withResponseCmd(decodeResponseCmd(reader, slot.reference, budget));
    default:
      return std::nullopt;
  }
}

template <FlatBuffersReader R>
std::optional<CommandData> decodeCommandData(const std::shared_ptr<R>& reader,
                                             const UnionSlot& slot, DecodeBudget& budget) {
  if (!slot.reference) {
    return std::nullopt;
  }
  switch (slot.tag) {
    case 1:
      return CommandData::withRequestPingData(
          decodeRequestPingData(reader, slot.reference, budget));
    case 2:
      return CommandData::withResponsePingData(
          decodeResponsePingData(reader, slot.reference, budget));
    case 3:
      return CommandData::withOnlineRegisterRequestData(
          decodeOnlineRegisterRequestData(reader, slot.reference, budget));
    case 4:
      return CommandData::withOnlineRegisterResponseData(
          decodeOnlineRegisterResponseData(reader, slot.reference, budget));
    case 5:
      return CommandData::withQueryServerRequestData(
          decodeQueryServerRequestData(reader, slot.reference, budget));
    case 6:
      return CommandData::withQueryServerResponseData(
          decodeQueryServerResponseData(reader, slot.reference, budget));
    default:
      return std::nullopt;
  }
}

template <FlatBuffersReader R>
std::shared_ptr<CastCommand> decodeCastCommand(const std::shared_ptr<R>& reader,
                                               std::optional<std::int32_t> offset,
                                               DecodeBudget& budget) {
  return decodeTable<CastCommand>(reader, offset, [&](CastCommand& object, std::int32_t at) {
    object.setCmd(decodeCmdType(reader, readUnion(*reader, at, 0), budget));
    object.setData(decodeCommandData(reader, readUnion(*reader, at, 2), budget));
  });
}

}  // namespace corvane::detail
