#include "lookup/schema/object_writers.h"

#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "flatbuffers/errors.h"
#include "lookup/schema/table_inserts.h"

namespace corvane::detail {
namespace {

// Runs `write` unless uniqueTables is on and this very object was written before.
template <class T, class Write>
std::int32_t writeShared(FlatBuffersBuilder& builder, const T& object, Write write) {
  const void* identity = &object;
  const bool unique = builder.options().uniqueTables();
  if (unique) {
    const auto found = builder.cache().find(identity);
    if (found != builder.cache().end()) {
      return found->second;
    }
  }
  const std::int32_t offset = write();
  if (unique) {
    builder.cache()[identity] = offset;
  }
  return offset;
}

OptionalOffset writeString(FlatBuffersBuilder& builder, const std::optional<std::string>& text) {
  if (!text) {
    return std::nullopt;
  }
  return builder.insert(std::optional<std::string_view>(*text));
}

// The strings last to first, then the vector of their offsets in the order written; an empty
// list is not written.
OptionalOffset writeStringVector(FlatBuffersBuilder& builder, const std::vector<std::string>& list) {
  if (list.empty()) {
    return std::nullopt;
  }
  std::vector<std::int32_t> written;
  written.reserve(list.size());
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    written.push_back(builder.insert(std::optional<std::string_view>(*it)));
  }
  builder.startVector(static_cast<std::int64_t>(written.size()), 4);
  for (const std::int32_t offset : written) {
    builder.insertOffset(offset);
  }
  builder.endVector();
  if (builder.cursor() > std::numeric_limits<std::int32_t>::max()) {
    throw FlatBuffersBuildException(FlatBuffersBuildError::offsetIsTooBig);
  }
  return static_cast<std::int32_t>(builder.cursor());
}

// A union case's object, written by its own writer; absent for a case without an object.
template <class Variant>
OptionalOffset writeCase(FlatBuffersBuilder& builder, const Variant& value) {
  return std::visit(
      [&builder](const auto& object) -> OptionalOffset {
        if (object == nullptr) {
          return std::nullopt;
        }
        return writeObject(builder, *object);
      },
      value);
}

}  // namespace

std::int32_t writeObject(FlatBuffersBuilder& builder, const CastCommand& object) {
  return writeShared(builder, object, [&] {
    OptionalOffset cmd;
    std::int8_t cmdType = 0;
    if (object.cmd()) {
      cmd = writeCase(builder, object.cmd()->value());
      cmdType = cmd ? static_cast<std::int8_t>(object.cmd()->tag()) : std::int8_t{0};
    }
    OptionalOffset data;
    std::int8_t dataType = 0;
    if (object.data()) {
      data = writeCase(builder, object.data()->value());
      dataType = data ? static_cast<std::int8_t>(object.data()->tag()) : std::int8_t{0};
    }
    return insertCastCommand(builder, cmdType, cmd, dataType, data).offset;
  });
}

std::int32_t writeObject(FlatBuffersBuilder& builder, const RequestCmd& object) {
  return writeShared(builder, object, [&] {
    const OptionalOffset mac = writeString(builder, object.mac());
    return insertRequestCmd(builder, mac).offset;
  });
}

std::int32_t writeObject(FlatBuffersBuilder& builder, const ResponseCmd& object) {
  return writeShared(builder, object, [&] {
    return insertResponseCmd(builder, object.statusCode().value_or(StatusCode::NONE)).offset;
  });
}

std::int32_t writeObject(FlatBuffersBuilder& builder, const RequestPingData& object) {
  return writeShared(builder, object, [&] { return insertRequestPingData(builder).offset; });
}

std::int32_t writeObject(FlatBuffersBuilder& builder, const ResponsePingData& object) {
  return writeShared(builder, object, [&] { return insertResponsePingData(builder).offset; });
}

std::int32_t writeObject(FlatBuffersBuilder& builder, const OnlineRegisterRequestData& object) {
  return writeShared(builder, object, [&] {
    const OptionalOffset name = writeString(builder, object.name());
    const OptionalOffset version = writeString(builder, object.corvaneVersion());
    const OptionalOffset ipList = writeStringVector(builder, object.ipList());
    return insertOnlineRegisterRequestData(builder, name, version, ipList).offset;
  });
}

std::int32_t writeObject(FlatBuffersBuilder& builder, const OnlineRegisterResponseData& object) {
  return writeShared(builder, object, [&] {
    const OptionalOffset pin = writeString(builder, object.pin());
    return insertOnlineRegisterResponseData(builder, pin).offset;
  });
}

std::int32_t writeObject(FlatBuffersBuilder& builder, const QueryServerRequestData& object) {
  return writeShared(builder, object, [&] {
    const OptionalOffset pin = writeString(builder, object.pin());
    return insertQueryServerRequestData(builder, pin).offset;
  });
}

std::int32_t writeObject(FlatBuffersBuilder& builder, const QueryServerResponseData& object) {
  return writeShared(builder, object, [&] {
    const OptionalOffset ipList = writeStringVector(builder, object.ipList());
    const OptionalOffset name = writeString(builder, object.name());
    const OptionalOffset version = writeString(builder, object.corvaneVersion());
    return insertQueryServerResponseData(builder, ipList, name, version).offset;
  });
}

}  // namespace corvane::detail
