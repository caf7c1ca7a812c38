#include "lookup/receiver_answer.h"

#include <cstddef>
#include <optional>

#include "flatbuffers/utf8.h"

namespace corvane {

ReceiverAnswer parseReceiverAnswer(std::span<const std::uint8_t> datagram) {
  ReceiverAnswer answer;
  const std::size_t n = datagram.size();
  if (n == 0) {
    answer.status = ReceiverAnswer::Status::Empty;
    return answer;
  }
  answer.code = datagram[0];
  if (answer.code != kReceiverAnswerCode) {
    answer.status = ReceiverAnswer::Status::UnknownCode;
    return answer;
  }
  answer.status = ReceiverAnswer::Status::TooShort;
  if (n < 2) {
    return answer;
  }
  // Every length is one byte, so these sums cannot overflow.
  const std::size_t l1 = datagram[1];
  if (l1 < 4 || n < 3 + l1) {
    return answer;
  }
  const std::size_t l2 = datagram[2 + l1];
  if (n < 7 + l1 + l2) {
    return answer;
  }
  const std::size_t l3 = datagram[6 + l1 + l2];
  if (l3 > 0 && n < 10 + l1 + l2 + l3) {
    return answer;
  }
  const auto name = stringFromUTF8(datagram.subspan(6 + l1, l2));
  const auto version = l3 > 0 ? stringFromUTF8(datagram.subspan(10 + l1 + l2, l3))
                              : std::optional<std::string>(std::string());
  if (!name || !version) {
    answer.status = ReceiverAnswer::Status::InvalidText;
    return answer;
  }
  for (std::size_t i = 0; i < 4; ++i) {
    if (i > 0) {
      answer.localIp += '.';
    }
    answer.localIp += std::to_string(datagram[2 + i]);
  }
  answer.name = *name;
  answer.version = *version;
  answer.status = ReceiverAnswer::Status::Done;
  return answer;
}

}  // namespace corvane
