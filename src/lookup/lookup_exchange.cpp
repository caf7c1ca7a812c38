#include "lookup/lookup_exchange.h"

#include <utility>

#include "lookup/schema/tables.h"

namespace corvane {

FlatBuffersBuilderOptions lookupRequestOptions() {
  return FlatBuffersBuilderOptions(1, true, true, true, false, false);
}

std::vector<std::uint8_t> makeLookupRequest(const std::optional<std::string>& pin) {
  const auto command =
      CastCommand::create(CmdType::withRequestCmd(RequestCmd::create()),
                          CommandData::withQueryServerRequestData(QueryServerRequestData::create(pin)));
  return command->makeData(lookupRequestOptions());
}

std::array<std::uint8_t, 4> frameHeader(std::uint32_t length) {
  return {static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
          static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
}

FrameHeader parseFrameHeader(std::span<const std::uint8_t> bytes, std::uint32_t maxLength) {
  if (bytes.size() < 4) {
    return {FrameStatus::NeedMore, 0};
  }
  const std::uint32_t length = (static_cast<std::uint32_t>(bytes[0]) << 24) |
                               (static_cast<std::uint32_t>(bytes[1]) << 16) |
                               (static_cast<std::uint32_t>(bytes[2]) << 8) |
                               static_cast<std::uint32_t>(bytes[3]);
  return {length > maxLength ? FrameStatus::Error : FrameStatus::Done, length};
}

ReplyVerdict judgeReply(std::span<const std::uint8_t> body, const std::string& pincode) {
  ReplyVerdict verdict;
  const auto command = CastCommand::from(body);
  if (command == nullptr || !command->cmd()) {
    return verdict;
  }
  if (command->cmd()->requestCmd() != nullptr) {
    verdict.logLines.emplace_back("got request from server");
    return verdict;
  }
  const auto response = command->cmd()->responseCmd();
  if (response == nullptr) {
    return verdict;
  }
  verdict.logLines.emplace_back("got response from server");
  const auto status = response->statusCode();
  if (!status) {
    return verdict;
  }
  if (*status == StatusCode::OK) {
    verdict.logLines.emplace_back("server response OK");
    const auto data =
        command->data() ? command->data()->get<QueryServerResponseData>() : nullptr;
    if (data != nullptr) {
      verdict.outcome = ReplyVerdict::Outcome::Resolved;
      verdict.receiver = ReceiverObject{data->name().value_or(""),
                                        data->corvaneVersion().value_or(""), data->ipList(),
                                        pincode};
    }
    return verdict;
  }
  verdict.logLines.emplace_back("unable to find receiver by pincode");
  verdict.outcome = ReplyVerdict::Outcome::NotFound;
  return verdict;
}

}  // namespace corvane
