// One insert operation per table of the look-up schema: writes the table itself through a
// FlatBuffersBuilder from its already written children (offsets) and its scalars, and returns
// the table's offset with, per slot, the builder position at which the field was written
// (absent for a field not written). Scalars go first in slot order (skipped when equal to their
// default 0 unless forceDefaults is on), then the present references in slot order.
//
// Threading: the builder's (one thread). Errors: the builder's FlatBuffersBuildException.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "flatbuffers/builder.h"
#include "lookup/schema/status_code.h"

namespace corvane {

struct TableInsertResult {
  std::int32_t offset = 0;
  std::vector<std::optional<std::int64_t>> positions;
};

using OptionalOffset = std::optional<std::int32_t>;

TableInsertResult insertCastCommand(FlatBuffersBuilder& builder, std::int8_t cmd_type,
                                    OptionalOffset cmd, std::int8_t data_type, OptionalOffset data);
TableInsertResult insertRequestCmd(FlatBuffersBuilder& builder, OptionalOffset mac);
TableInsertResult insertResponseCmd(FlatBuffersBuilder& builder, StatusCode statusCode);
TableInsertResult insertRequestPingData(FlatBuffersBuilder& builder);
TableInsertResult insertResponsePingData(FlatBuffersBuilder& builder);
TableInsertResult insertOnlineRegisterRequestData(FlatBuffersBuilder& builder, OptionalOffset name,
                                                  OptionalOffset corvaneVersion,
                                                  OptionalOffset ipList);
TableInsertResult insertOnlineRegisterResponseData(FlatBuffersBuilder& builder, OptionalOffset pin);
TableInsertResult insertQueryServerRequestData(FlatBuffersBuilder& builder, OptionalOffset pin);
TableInsertResult insertQueryServerResponseData(FlatBuffersBuilder& builder, OptionalOffset ipList,
                                                OptionalOffset name, OptionalOffset corvaneVersion);

}  // namespace corvane
