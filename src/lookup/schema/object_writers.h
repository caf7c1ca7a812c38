// The object writers of the look-up schema: each writes one object (its present children
// first, then the table through its insert operation) and returns the table's offset. With
// uniqueTables an object already written by this builder (same object, not an equal one) is
// not written again: its first offset is returned.
//
// Threading: the builder's (one thread). Errors: the builder's FlatBuffersBuildException.
#pragma once

#include <cstdint>

#include "flatbuffers/builder.h"
#include "lookup/schema/tables.h"

namespace corvane::detail {

std::int32_t writeObject(FlatBuffersBuilder& builder, const CastCommand& object);
std::int32_t writeObject(FlatBuffersBuilder& builder, const RequestCmd& object);
std::int32_t writeObject(FlatBuffersBuilder& builder, const ResponseCmd& object);
std::int32_t writeObject(FlatBuffersBuilder& builder, const RequestPingData& object);
std::int32_t writeObject(FlatBuffersBuilder& builder, const ResponsePingData& object);
std::int32_t writeObject(FlatBuffersBuilder& builder, const OnlineRegisterRequestData& object);
std::int32_t writeObject(FlatBuffersBuilder& builder, const OnlineRegisterResponseData& object);
std::int32_t writeObject(FlatBuffersBuilder& builder, const QueryServerRequestData& object);
std::int32_t writeObject(FlatBuffersBuilder& builder, const QueryServerResponseData& object);

}  // namespace corvane::detail
