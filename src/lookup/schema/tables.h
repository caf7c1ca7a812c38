// The object classes of the look-up messages: one class per table of the schema, and the two
// unions (CmdType, CommandData) whose cases hold the object of their table. The root table is
// CastCommand, which encodes a whole object graph (makeData) and decodes a whole message (from).
//
// Every field is optional (absent) unless stated, and settable after creation. Objects have
// reference identity (std::shared_ptr); one object may be reachable from several places of a
// graph. Each class also has a zero-copy view, `Direct<R>`, over a reader of type R (see
// lookup/schema/direct.h).
//
// Threading: none inside; an object graph is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "flatbuffers/builder_options.h"
#include "flatbuffers/reader.h"
#include "lookup/schema/status_code.h"

namespace corvane {

class RequestCmd;
class ResponseCmd;
class RequestPingData;
class ResponsePingData;
class OnlineRegisterRequestData;
class OnlineRegisterResponseData;
class QueryServerRequestData;
class QueryServerResponseData;

// Union CmdType: tag 1 withRequestCmd, tag 2 withResponseCmd (0 is "none": an absent field).
class CmdType {
 public:
  using Value = std::variant<std::shared_ptr<RequestCmd>, std::shared_ptr<ResponseCmd>>;

  static CmdType withRequestCmd(std::shared_ptr<RequestCmd> value) {
    return CmdType(Value(std::in_place_index<0>, std::move(value)));
  }
  static CmdType withResponseCmd(std::shared_ptr<ResponseCmd> value) {
    return CmdType(Value(std::in_place_index<1>, std::move(value)));
  }

  // The stored tag of the case: 1 or 2.
  std::uint8_t tag() const { return static_cast<std::uint8_t>(value_.index() + 1); }
  const Value& value() const { return value_; }
  // The case's object, or nullptr when the value holds the other case.
  std::shared_ptr<RequestCmd> requestCmd() const;
  std::shared_ptr<ResponseCmd> responseCmd() const;

  template <FlatBuffersReader R>
  class Direct;

 private:
  explicit CmdType(Value value) : value_(std::move(value)) {}
  Value value_;
};

// Union CommandData: tags 1 to 6 in the order of the cases below.
class CommandData {
 public:
  using Value = std::variant<std::shared_ptr<RequestPingData>, std::shared_ptr<ResponsePingData>,
                             std::shared_ptr<OnlineRegisterRequestData>,
                             std::shared_ptr<OnlineRegisterResponseData>,
                             std::shared_ptr<QueryServerRequestData>,
                             std::shared_ptr<QueryServerResponseData>>;

  static CommandData withRequestPingData(std::shared_ptr<RequestPingData> value) {
    return CommandData(Value(std::in_place_index<0>, std::move(value)));
  }
  static CommandData withResponsePingData(std::shared_ptr<ResponsePingData> value) {
    return CommandData(Value(std::in_place_index<1>, std::move(value)));
  }
  static CommandData withOnlineRegisterRequestData(
      std::shared_ptr<OnlineRegisterRequestData> value) {
    return CommandData(Value(std::in_place_index<2>, std::move(value)));
  }
  static CommandData withOnlineRegisterResponseData(
      std::shared_ptr<OnlineRegisterResponseData> value) {
    return CommandData(Value(std::in_place_index<3>, std::move(value)));
  }
  static CommandData withQueryServerRequestData(std::shared_ptr<QueryServerRequestData> value) {
    return CommandData(Value(std::in_place_index<4>, std::move(value)));
  }
  static CommandData withQueryServerResponseData(std::shared_ptr<QueryServerResponseData> value) {
    return CommandData(Value(std::in_place_index<5>, std::move(value)));
  }

  // The stored tag of the case: 1 to 6.
  std::uint8_t tag() const { return static_cast<std::uint8_t>(value_.index() + 1); }
  const Value& value() const { return value_; }
  // The case's object, or nullptr when the value holds another case.
  template <class T>
  std::shared_ptr<T> get() const {
    const auto* object = std::get_if<std::shared_ptr<T>>(&value_);
    return object != nullptr ? *object : nullptr;
  }

  template <FlatBuffersReader R>
  class Direct;

 private:
  explicit CommandData(Value value) : value_(std::move(value)) {}
  Value value_;
};

class CastCommand {
 public:
  CastCommand() = default;
  CastCommand(std::optional<CmdType> cmd, std::optional<CommandData> data)
      : cmd_(std::move(cmd)), data_(std::move(data)) {}
  static std::shared_ptr<CastCommand> create(std::optional<CmdType> cmd = std::nullopt,
                                             std::optional<CommandData> data = std::nullopt) {
    return std::make_shared<CastCommand>(std::move(cmd), std::move(data));
  }

  const std::optional<CmdType>& cmd() const { return cmd_; }
  void setCmd(std::optional<CmdType> cmd) { cmd_ = std::move(cmd); }
  const std::optional<CommandData>& data() const { return data_; }
  void setData(std::optional<CommandData> data) { data_ = std::move(data); }

  // Decodes a whole message from a private copy of `data`; nothing for fewer than 4 bytes.
  // Damaged fields read as absent; never throws. Nothing either for a message that would
  // decode to more than it holds: a string list of more than 32 elements, or more decoded text
  // in all than `data` has bytes (a string counted at every place it is read from).
  static std::shared_ptr<CastCommand> from(std::span<const std::uint8_t> data);
  // Encodes the graph rooted here with a fresh builder (no file identifier). Throws
  // FlatBuffersBuildException.
  std::vector<std::uint8_t> makeData(const FlatBuffersBuilderOptions& options) const;

  template <FlatBuffersReader R>
  class Direct;

 private:
  std::optional<CmdType> cmd_;
  std::optional<CommandData> data_;
};

class RequestCmd {
 public:
  RequestCmd() = default;
  explicit RequestCmd(std::optional<std::string> mac) : mac_(std::move(mac)) {}
  static std::shared_ptr<RequestCmd> create(std::optional<std::string> mac = std::nullopt) {
    return std::make_shared<RequestCmd>(std::move(mac));
  }

  const std::optional<std::string>& mac() const { return mac_; }
  void setMac(std::optional<std::string> mac) { mac_ = std::move(mac); }

  template <FlatBuffersReader R>
  class Direct;

 private:
  std::optional<std::string> mac_;
};

class ResponseCmd {
 public:
  ResponseCmd() = default;
  explicit ResponseCmd(std::optional<StatusCode> statusCode) : statusCode_(statusCode) {}
  static std::shared_ptr<ResponseCmd> create(std::optional<StatusCode> statusCode = std::nullopt) {
    return std::make_shared<ResponseCmd>(statusCode);
  }

  // Absent only after decoding a status byte that names no case.
  std::optional<StatusCode> statusCode() const { return statusCode_; }
  void setStatusCode(std::optional<StatusCode> statusCode) { statusCode_ = statusCode; }

  template <FlatBuffersReader R>
  class Direct;

 private:
  std::optional<StatusCode> statusCode_;
};

class RequestPingData {
 public:
  static std::shared_ptr<RequestPingData> create() { return std::make_shared<RequestPingData>(); }

  template <FlatBuffersReader R>
  class Direct;
};

class ResponsePingData {
 public:
  static std::shared_ptr<ResponsePingData> create() {
    return std::make_shared<ResponsePingData>();
  }

  template <FlatBuffersReader R>
  class Direct;
};

class OnlineRegisterRequestData {
 public:
  OnlineRegisterRequestData() = default;
  OnlineRegisterRequestData(std::optional<std::string> name,
                            std::optional<std::string> corvaneVersion,
                            std::vector<std::string> ipList)
      : name_(std::move(name)), corvaneVersion_(std::move(corvaneVersion)), ipList_(std::move(ipList)) {}
  static std::shared_ptr<OnlineRegisterRequestData> create(
      std::optional<std::string> name = std::nullopt,
      std::optional<std::string> corvaneVersion = std::nullopt,
      std::vector<std::string> ipList = {}) {
    return std::make_shared<OnlineRegisterRequestData>(std::move(name), std::move(corvaneVersion),
                                                       std::move(ipList));
  }

  const std::optional<std::string>& name() const { return name_; }
  void setName(std::optional<std::string> name) { name_ = std::move(name); }
  const std::optional<std::string>& corvaneVersion() const { return corvaneVersion_; }
  void setCorvaneVersion(std::optional<std::string> version) { corvaneVersion_ = std::move(version); }
  const std::vector<std::string>& ipList() const { return ipList_; }
  void setIpList(std::vector<std::string> ipList) { ipList_ = std::move(ipList); }

  template <FlatBuffersReader R>
  class Direct;

 private:
  std::optional<std::string> name_;
  std::optional<std::string> corvaneVersion_;
  std::vector<std::string> ipList_;
};

class OnlineRegisterResponseData {
 public:
  OnlineRegisterResponseData() = default;
  explicit OnlineRegisterResponseData(std::optional<std::string> pin) : pin_(std::move(pin)) {}
  static std::shared_ptr<OnlineRegisterResponseData> create(
      std::optional<std::string> pin = std::nullopt) {
    return std::make_shared<OnlineRegisterResponseData>(std::move(pin));
  }

  const std::optional<std::string>& pin() const { return pin_; }
  void setPin(std::optional<std::string> pin) { pin_ = std::move(pin); }

  template <FlatBuffersReader R>
  class Direct;

 private:
  std::optional<std::string> pin_;
};

class QueryServerRequestData {
 public:
  QueryServerRequestData() = default;
  explicit QueryServerRequestData(std::optional<std::string> pin) : pin_(std::move(pin)) {}
  static std::shared_ptr<QueryServerRequestData> create(
      std::optional<std::string> pin = std::nullopt) {
    return std::make_shared<QueryServerRequestData>(std::move(pin));
  }

  const std::optional<std::string>& pin() const { return pin_; }
  void setPin(std::optional<std::string> pin) { pin_ = std::move(pin); }

  template <FlatBuffersReader R>
  class Direct;

 private:
  std::optional<std::string> pin_;
};

class QueryServerResponseData {
 public:
  QueryServerResponseData() = default;
  QueryServerResponseData(std::vector<std::string> ipList, std::optional<std::string> name,
                          std::optional<std::string> corvaneVersion)
      : ipList_(std::move(ipList)), name_(std::move(name)), corvaneVersion_(std::move(corvaneVersion)) {}
  static std::shared_ptr<QueryServerResponseData> create(
      std::vector<std::string> ipList = {}, std::optional<std::string> name = std::nullopt,
      std::optional<std::string> corvaneVersion = std::nullopt) {
    return std::make_shared<QueryServerResponseData>(std::move(ipList), std::move(name),
                                                     std::move(corvaneVersion));
  }

  const std::vector<std::string>& ipList() const { return ipList_; }
  void setIpList(std::vector<std::string> ipList) { ipList_ = std::move(ipList); }
  const std::optional<std::string>& name() const { return name_; }
  void setName(std::optional<std::string> name) { name_ = std::move(name); }
  const std::optional<std::string>& corvaneVersion() const { return corvaneVersion_; }
  void setCorvaneVersion(std::optional<std::string> version) { corvaneVersion_ = std::move(version); }

  template <FlatBuffersReader R>
  class Direct;

 private:
  std::vector<std::string> ipList_;
  std::optional<std::string> name_;
  std::optional<std::string> corvaneVersion_;
};

inline std::shared_ptr<RequestCmd> CmdType::requestCmd() const {
  const auto* object = std::get_if<0>(&value_);
  return object != nullptr ? *object : nullptr;
}

inline std::shared_ptr<ResponseCmd> CmdType::responseCmd() const {
  const auto* object = std::get_if<1>(&value_);
  return object != nullptr ? *object : nullptr;
}

}  // namespace corvane
