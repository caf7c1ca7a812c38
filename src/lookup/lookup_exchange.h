// The PIN-server exchange as pure functions: the request message, the 4-byte frame header, and
// how a reply body is judged. The client (PincodeChannel) and the test look-up server use them.
//
// Framing, both directions: a 4-byte big-endian unsigned body length, then the body, a message
// whose root is a CastCommand (no file identifier).
//
// Pure; usable from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "flatbuffers/builder_options.h"
#include "lookup/receiver_object.h"

namespace corvane {

inline constexpr std::uint16_t kPinServerPort = 10022;
// User-defaults key of the look-up server's host name; "localhost" when absent.
inline constexpr const char* kPinServerHostKey = "pinserver.host";
inline constexpr const char* kDefaultPinServerHost = "localhost";
// Longest reply body the client accepts; a longer header closes the connection.
inline constexpr std::uint32_t kMaxReplyBodyLength = 64 * 1024;

// The builder options of the request: initial capacity 1, unique strings, tables and vtables,
// no forced defaults, no terminating zeros.
FlatBuffersBuilderOptions lookupRequestOptions();

// The request body: CastCommand { RequestCmd without mac, QueryServerRequestData { pin } }
// (pin absent when `pin` is). Throws FlatBuffersBuildException.
std::vector<std::uint8_t> makeLookupRequest(const std::optional<std::string>& pin);

// The frame header of a body of `length` bytes.
std::array<std::uint8_t, 4> frameHeader(std::uint32_t length);

enum class FrameStatus { NeedMore, Done, Error };

struct FrameHeader {
  FrameStatus status = FrameStatus::NeedMore;
  std::uint32_t length = 0;  // the body length read (also when it is refused)
};

// Reads the header from the first 4 bytes: NeedMore with fewer, Error for a length above
// `maxLength`, else Done.
FrameHeader parseFrameHeader(std::span<const std::uint8_t> bytes,
                             std::uint32_t maxLength = kMaxReplyBodyLength);

// What the client makes of a reply body.
struct ReplyVerdict {
  enum class Outcome { Nothing, Resolved, NotFound };
  Outcome outcome = Outcome::Nothing;
  std::vector<std::string> logLines;       // in order
  std::optional<ReceiverObject> receiver;  // with Resolved
};

// Judges a reply body (first matching case):
//   not a readable message (also one that would decode to
//   more than it holds, see CastCommand::from), or no cmd  -> nothing, no line
//   cmd a RequestCmd                                        -> "got request from server"
//   ResponseCmd OK with QueryServerResponseData             -> Resolved
//   ResponseCmd OK, other or no data                        -> nothing
//   ResponseCmd NONE (also absent), FAILED, FAILED_NOT_EXIT -> NotFound
//   ResponseCmd with a status byte naming no case           -> nothing
// Every ResponseCmd logs "got response from server", then "server response OK" or "unable to
// find receiver by pincode" where those apply. `pincode` goes into the ReceiverObject.
ReplyVerdict judgeReply(std::span<const std::uint8_t> body, const std::string& pincode);

}  // namespace corvane
