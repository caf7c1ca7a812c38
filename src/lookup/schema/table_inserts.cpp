#include "lookup/schema/table_inserts.h"

#include <cstddef>
#include <initializer_list>
#include <utility>

namespace corvane {
namespace {

// A table being written: its slots, in the order the insert operations must follow.
class TableWriter {
 public:
  TableWriter(FlatBuffersBuilder& builder, std::size_t slotCount)
      : builder_(builder), result_{0, std::vector<std::optional<std::int64_t>>(slotCount)} {
    builder_.startObject(static_cast<std::int64_t>(slotCount));
  }

  void scalar(std::int8_t value, std::size_t slot) {
    result_.positions[slot] = builder_.insert(value, std::int8_t{0}, static_cast<std::int64_t>(slot));
  }

  void reference(OptionalOffset offset, std::size_t slot) {
    if (offset) {
      result_.positions[slot] = builder_.insert(*offset, static_cast<std::int64_t>(slot));
    }
  }

  TableInsertResult end() {
    result_.offset = builder_.endObject();
    return std::move(result_);
  }

 private:
  FlatBuffersBuilder& builder_;
  TableInsertResult result_;
};

}  // namespace

TableInsertResult insertCastCommand(FlatBuffersBuilder& builder, std::int8_t cmd_type,
                                    OptionalOffset cmd, std::int8_t data_type,
                                    OptionalOffset data) {
  TableWriter table(builder, 4);
  table.scalar(cmd_type, 0);
  table.scalar(data_type, 2);
  table.reference(cmd, 1);
  table.reference(data, 3);
  return table.end();
}

TableInsertResult insertRequestCmd(FlatBuffersBuilder& builder, OptionalOffset mac) {
  TableWriter table(builder, 1);
  table.reference(mac, 0);
  return table.end();
}

TableInsertResult insertResponseCmd(FlatBuffersBuilder& builder, StatusCode statusCode) {
  TableWriter table(builder, 1);
  table.scalar(rawValue(statusCode), 0);
  return table.end();
}

TableInsertResult insertRequestPingData(FlatBuffersBuilder& builder) {
  return TableWriter(builder, 0).end();
}

TableInsertResult insertResponsePingData(FlatBuffersBuilder& builder) {
  return TableWriter(builder, 0).end();
}

TableInsertResult insertOnlineRegisterRequestData(FlatBuffersBuilder& builder, OptionalOffset name,
                                                  OptionalOffset corvaneVersion,
                                                  OptionalOffset ipList) {
  TableWriter table(builder, 3);
  table.reference(name, 0);
  table.reference(corvaneVersion, 1);
  table.reference(ipList, 2);
  return table.end();
}

TableInsertResult insertOnlineRegisterResponseData(FlatBuffersBuilder& builder,
                                                   OptionalOffset pin) {
  TableWriter table(builder, 1);
  table.reference(pin, 0);
  return table.end();
}

TableInsertResult insertQueryServerRequestData(FlatBuffersBuilder& builder, OptionalOffset pin) {
  TableWriter table(builder, 1);
  table.reference(pin, 0);
  return table.end();
}

TableInsertResult insertQueryServerResponseData(FlatBuffersBuilder& builder, OptionalOffset ipList,
                                                OptionalOffset name,
                                                OptionalOffset corvaneVersion) {
  TableWriter table(builder, 3);
  table.reference(ipList, 0);
  table.reference(name, 1);
  table.reference(corvaneVersion, 2);
  return table.end();
}

}  // namespace corvane
