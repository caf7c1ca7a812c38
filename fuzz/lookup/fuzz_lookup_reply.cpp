// Feeds arbitrary bytes to the PIN-server reply decoder as a reply body.
//
// Checked: fewer than 4 bytes decode to nothing; otherwise decoding gives nothing exactly when
// the message would decode past its budget (a string list of more than 32 elements, or more
// text than the message has bytes, counted through the zero-copy views); the decoded graph
// encodes and decodes back to an equal graph (with and without forced defaults; with unique
// strings unless the shared strings make the text outgrow the new message), and encoding it
// twice gives the same bytes; the zero-copy view agrees with the decoded objects
// on which unions are present and on the status; the reply judgement follows from the decoded
// message; the frame header parser refuses exactly the lengths above 64 KiB.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "../fuzz_check.h"
#include "flatbuffers/errors.h"
#include "flatbuffers/memory_reader.h"
#include "flatbuffers/reader_cache.h"
#include "lookup/lookup_exchange.h"
#include "lookup/schema/direct.h"
#include "lookup/schema/object_decoders.h"
#include "lookup/schema/tables.h"

namespace {

using namespace corvane;

bool same(const std::shared_ptr<RequestCmd>& a, const std::shared_ptr<RequestCmd>& b) {
  return a->mac() == b->mac();
}
bool same(const std::shared_ptr<ResponseCmd>& a, const std::shared_ptr<ResponseCmd>& b) {
  // A status byte that names no case is written as NONE.
  return a->statusCode().value_or(StatusCode::NONE) == b->statusCode().value_or(StatusCode::NONE);
}
bool same(const std::shared_ptr<RequestPingData>&, const std::shared_ptr<RequestPingData>&) {
  return true;
}
bool same(const std::shared_ptr<ResponsePingData>&, const std::shared_ptr<ResponsePingData>&) {
  return true;
}
bool same(const std::shared_ptr<OnlineRegisterRequestData>& a,
          const std::shared_ptr<OnlineRegisterRequestData>& b) {
  return a->name() == b->name() && a->corvaneVersion() == b->corvaneVersion() &&
         a->ipList() == b->ipList();
}
bool same(const std::shared_ptr<OnlineRegisterResponseData>& a,
          const std::shared_ptr<OnlineRegisterResponseData>& b) {
  return a->pin() == b->pin();
}
bool same(const std::shared_ptr<QueryServerRequestData>& a,
          const std::shared_ptr<QueryServerRequestData>& b) {
  return a->pin() == b->pin();
}
bool same(const std::shared_ptr<QueryServerResponseData>& a,
          const std::shared_ptr<QueryServerResponseData>& b) {
  return a->ipList() == b->ipList() && a->name() == b->name() &&
         a->corvaneVersion() == b->corvaneVersion();
}

template <class Union>
bool sameUnion(const std::optional<Union>& a, const std::optional<Union>& b) {
  if (a.has_value() != b.has_value()) return false;
  if (!a) return true;
  if (a->tag() != b->tag()) return false;
  return std::visit(
      [&](const auto& left) {
        using Pointer = std::decay_t<decltype(left)>;
        const auto& right = std::get<Pointer>(b->value());
        return left != nullptr && right != nullptr && same(left, right);
      },
      a->value());
}

bool same(const CastCommand& a, const CastCommand& b) {
  return sameUnion(a.cmd(), b.cmd()) && sameUnion(a.data(), b.data());
}

// The text of a decoded graph, each string counted at every place it stands.
std::size_t textOf(const std::optional<std::string>& s) { return s ? s->size() : 0; }
std::size_t textOf(const std::vector<std::string>& list) {
  std::size_t n = 0;
  for (const auto& s : list) n += s.size();
  return n;
}
std::size_t textOf(const CastCommand& command) {
  std::size_t n = 0;
  if (command.cmd()) {
    if (const auto r = command.cmd()->requestCmd()) n += textOf(r->mac());
  }
  if (const auto& data = command.data()) {
    if (const auto o = data->get<OnlineRegisterRequestData>())
      n += textOf(o->name()) + textOf(o->corvaneVersion()) + textOf(o->ipList());
    if (const auto o = data->get<OnlineRegisterResponseData>()) n += textOf(o->pin());
    if (const auto o = data->get<QueryServerRequestData>()) n += textOf(o->pin());
    if (const auto o = data->get<QueryServerResponseData>())
      n += textOf(o->name()) + textOf(o->corvaneVersion()) + textOf(o->ipList());
  }
  return n;
}

void checkRoundTrip(const CastCommand& decoded, bool forceDefaults, bool uniqueStrings) {
  const FlatBuffersBuilderOptions options(1, uniqueStrings, true, true, forceDefaults, false);
  std::vector<std::uint8_t> encoded;
  try {
    encoded = decoded.makeData(options);
  } catch (const FlatBuffersBuildException&) {
    return;  // graphs too large for one message cannot come from a decoded input
  }
  FUZZ_CHECK(encoded == decoded.makeData(options));
  const auto again = CastCommand::from(encoded);
  if (again == nullptr) {
    // Only strings written once for several places can make the text outgrow the message.
    FUZZ_CHECK(uniqueStrings && textOf(decoded) > encoded.size());
    return;
  }
  FUZZ_CHECK(same(decoded, *again));
}

// What the decoders would take from the message, read through the views.
struct Usage {
  std::size_t text = 0;
  bool longList = false;
};
using View = FlatBuffersMemoryReader;
void use(Usage& usage, const std::optional<ByteView>& bytes) {
  if (bytes) usage.text += bytes->size();
}
void use(Usage& usage, const FlatBuffersStringVector<View>& list) {
  if (list.count() > detail::DecodeBudget::kMaxListElements) {
    usage.longList = true;
    return;
  }
  for (const auto& element : list) use(usage, element);
}

bool overBudget(std::span<const std::uint8_t> body) {
  const auto reader = FlatBuffersMemoryReader::create(body, true, FlatBuffersReaderCache::create());
  const auto view = CastCommand::Direct<View>::create(reader, reader->rootObjectOffset());
  Usage usage;
  if (!view) return false;
  if (const auto cmd = view->cmd()) {
    if (const auto* r = std::get_if<RequestCmd::Direct<View>>(&cmd->value())) use(usage, r->mac());
  }
  if (const auto data = view->data()) {
    const auto& v = data->value();
    if (const auto* a = std::get_if<OnlineRegisterRequestData::Direct<View>>(&v)) {
      use(usage, a->name());
      use(usage, a->corvaneVersion());
      use(usage, a->ipList());
    }
    if (const auto* b = std::get_if<OnlineRegisterResponseData::Direct<View>>(&v))
      use(usage, b->pin());
    if (const auto* c = std::get_if<QueryServerRequestData::Direct<View>>(&v)) use(usage, c->pin());
    if (const auto* d = std::get_if<QueryServerResponseData::Direct<View>>(&v)) {
      use(usage, d->ipList());
      use(usage, d->name());
      use(usage, d->corvaneVersion());
    }
  }
  return usage.longList || usage.text > body.size();
}

void checkView(std::span<const std::uint8_t> body, const CastCommand& decoded) {
  const auto reader = FlatBuffersMemoryReader::create(body, true, FlatBuffersReaderCache::create());
  const auto view =
      CastCommand::Direct<FlatBuffersMemoryReader>::create(reader, reader->rootObjectOffset());
  FUZZ_CHECK(view.has_value());
  const auto cmd = view->cmd();
  FUZZ_CHECK(cmd.has_value() == decoded.cmd().has_value());
  if (cmd) {
    FUZZ_CHECK(cmd->tag() == decoded.cmd()->tag());
    if (const auto* response =
            std::get_if<ResponseCmd::Direct<FlatBuffersMemoryReader>>(&cmd->value())) {
      FUZZ_CHECK(response->statusCode() == decoded.cmd()->responseCmd()->statusCode());
    }
  }
  const auto data = view->data();
  FUZZ_CHECK(data.has_value() == decoded.data().has_value());
  if (data) FUZZ_CHECK(data->tag() == decoded.data()->tag());
}

void checkVerdict(std::span<const std::uint8_t> body, const std::shared_ptr<CastCommand>& decoded) {
  const ReplyVerdict verdict = judgeReply(body, "000000");
  const auto response = decoded && decoded->cmd() ? decoded->cmd()->responseCmd() : nullptr;
  const auto status = response ? response->statusCode() : std::nullopt;
  const auto data =
      decoded && decoded->data() ? decoded->data()->get<QueryServerResponseData>() : nullptr;
  const bool resolved = status == StatusCode::OK && data != nullptr;
  const bool notFound = status && *status != StatusCode::OK;
  FUZZ_CHECK((verdict.outcome == ReplyVerdict::Outcome::Resolved) == resolved);
  FUZZ_CHECK((verdict.outcome == ReplyVerdict::Outcome::NotFound) == notFound);
  FUZZ_CHECK(verdict.receiver.has_value() == resolved);
  if (resolved) {
    FUZZ_CHECK(verdict.receiver->ipList == data->ipList());
    FUZZ_CHECK(verdict.receiver->name == data->name().value_or(""));
    FUZZ_CHECK(verdict.receiver->version == data->corvaneVersion().value_or(""));
    FUZZ_CHECK(verdict.receiver->pincode == "000000");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::span<const std::uint8_t> body(bytes, size);
  const auto decoded = CastCommand::from(body);
  FUZZ_CHECK((decoded == nullptr) == (size < 4 || overBudget(body)));
  checkVerdict(body, decoded);
  if (decoded != nullptr) {
    for (const bool forceDefaults : {false, true}) {
      for (const bool uniqueStrings : {true, false})
        checkRoundTrip(*decoded, forceDefaults, uniqueStrings);
    }
    checkView(body, *decoded);
  }
  const FrameHeader header = parseFrameHeader(body);
  FUZZ_CHECK((header.status == FrameStatus::NeedMore) == (size < 4));
  if (size >= 4) {
    FUZZ_CHECK((header.status == FrameStatus::Error) == (header.length > kMaxReplyBodyLength));
    const auto written = frameHeader(header.length);
    FUZZ_CHECK(std::equal(written.begin(), written.end(), bytes));
  }
  return 0;
}
