// Feeds arbitrary bytes to the parser of the receiver's UDP answer.
//
// Checked: the outcome follows from the lengths alone as laid down (empty, other code, too
// short, text not UTF-8, done); a parsed answer holds exactly the bytes of its fields; writing
// a parsed answer back in the plain layout parses to the same fields.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "../fuzz_check.h"
#include "flatbuffers/utf8.h"
#include "lookup/receiver_answer.h"

namespace {

using namespace corvane;
using Status = ReceiverAnswer::Status;

Status expectedStatus(std::span<const std::uint8_t> b) {
  const std::size_t n = b.size();
  if (n == 0) return Status::Empty;
  if (b[0] != 2) return Status::UnknownCode;
  if (n < 2) return Status::TooShort;
  const std::size_t l1 = b[1];
  if (l1 < 4 || n < 3 + l1) return Status::TooShort;
  const std::size_t l2 = b[2 + l1];
  if (n < 7 + l1 + l2) return Status::TooShort;
  const std::size_t l3 = b[6 + l1 + l2];
  if (l3 > 0 && n < 10 + l1 + l2 + l3) return Status::TooShort;
  const bool nameOk = stringFromUTF8(b.subspan(6 + l1, l2)).has_value();
  const bool versionOk = l3 == 0 || stringFromUTF8(b.subspan(10 + l1 + l2, l3)).has_value();
  return nameOk && versionOk ? Status::Done : Status::InvalidText;
}

std::string octetsText(std::span<const std::uint8_t> octets) {
  return std::to_string(octets[0]) + "." + std::to_string(octets[1]) + "." +
         std::to_string(octets[2]) + "." + std::to_string(octets[3]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::span<const std::uint8_t> datagram(bytes, size);
  const ReceiverAnswer answer = parseReceiverAnswer(datagram);
  FUZZ_CHECK(answer.status == expectedStatus(datagram));
  if (size > 0) FUZZ_CHECK(answer.code == bytes[0]);
  if (answer.status != Status::Done) return 0;

  const std::size_t l1 = bytes[1];
  const std::size_t l2 = bytes[2 + l1];
  FUZZ_CHECK(answer.localIp == octetsText(datagram.subspan(2, 4)));
  FUZZ_CHECK(answer.name == std::string(reinterpret_cast<const char*>(bytes + 6 + l1), l2));
  FUZZ_CHECK(answer.name.size() <= 255 && answer.version.size() <= 255);

  std::vector<std::uint8_t> plain = {2, 4};
  plain.insert(plain.end(), bytes + 2, bytes + 6);
  for (const std::string* text : {&answer.name, &answer.version}) {
    plain.insert(plain.end(), {static_cast<std::uint8_t>(text->size()), 0, 0, 0});
    plain.insert(plain.end(), text->begin(), text->end());
  }
  const ReceiverAnswer again = parseReceiverAnswer(plain);
  FUZZ_CHECK(again.status == Status::Done);
  FUZZ_CHECK(again.localIp == answer.localIp && again.name == answer.name &&
             again.version == answer.version);
  return 0;
}
