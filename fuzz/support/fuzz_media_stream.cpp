// Feeds arbitrary bytes to the test receiver's media-packet framer as a video or an audio
// connection would deliver them: appended in chunks of any size, with every complete packet
// taken off the front, as the receiver does.
//
// Input layout: byte 0 picks the kind (even: video, odd: audio); byte 1 gives the number n
// (0..16) of chunk-length bytes that follow; those lengths (0..255 each, used in turn) cut the
// rest of the input, the stream, into arrivals.
//
// Checked against a reading of the framing written here: a packet is a BE32 length L followed
// by L bytes (video: five BE32 words, a BE32 timestamp, then L - 24 payload bytes; audio: a
// BE32 timestamp, then L - 4); a length below the header or above the limit is an error, and
// fewer bytes than the packet are "need more". The packets (fields, payload bytes, payload
// pointer inside the given span), the error and the bytes left over do not depend on the cut.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "../fuzz_check.h"
#include "support/media_stream.h"

namespace {

using namespace corvane::test;

std::uint32_t be32(const std::uint8_t* p) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = (v << 8) | p[i];
  return v;
}

struct Packet {
  std::uint32_t length = 0;
  std::uint32_t words[5] = {};
  std::uint32_t timestamp = 0;
  std::vector<std::uint8_t> payload;
  bool operator==(const Packet& o) const {
    return length == o.length && std::equal(words, words + 5, o.words) &&
           timestamp == o.timestamp && payload == o.payload;
  }
};

struct Outcome {
  std::vector<Packet> packets;
  bool error = false;
  std::size_t left = 0;  // bytes kept waiting for more (0 after an error)
  bool operator==(const Outcome& o) const {
    return packets == o.packets && error == o.error && left == o.left;
  }
};

// One call of the framer, checked against the reading above.
ParseResult parseChecked(MediaKind kind, std::span<const std::uint8_t> bytes, Packet* packet) {
  MediaPacketView view;
  view.length = 0xDEADBEEF;
  ParseResult r = parseMediaPacket(kind, bytes, &view);
  const std::size_t header = kind == MediaKind::Video ? 24 : 4;
  if (bytes.size() < 4) {
    FUZZ_CHECK(r.status == ParseStatus::NeedMore && view.length == 0xDEADBEEF);
    return r;
  }
  const std::uint32_t length = be32(bytes.data());
  if (length < header || length > kMaxMediaPacketLength) {
    FUZZ_CHECK(r.status == ParseStatus::Error && !r.error.empty() && view.length == 0xDEADBEEF);
    return r;
  }
  if (bytes.size() - 4 < length) {
    FUZZ_CHECK(r.status == ParseStatus::NeedMore && view.length == 0xDEADBEEF);
    return r;
  }
  FUZZ_CHECK(r.status == ParseStatus::Done && r.consumed == std::size_t{4} + length);
  FUZZ_CHECK(view.length == length);
  const std::uint8_t* p = bytes.data() + 4;
  if (kind == MediaKind::Video) {
    for (std::uint32_t w : view.words) {
      FUZZ_CHECK(w == be32(p));
      p += 4;
    }
  } else {
    for (std::uint32_t w : view.words) FUZZ_CHECK(w == 0);
  }
  FUZZ_CHECK(view.timestamp == be32(p));
  p += 4;
  FUZZ_CHECK(view.payload.data() == p && view.payload.size() == length - header);
  packet->length = view.length;
  std::copy(std::begin(view.words), std::end(view.words), packet->words);
  packet->timestamp = view.timestamp;
  packet->payload.assign(view.payload.begin(), view.payload.end());
  // The same bytes without a place for the view give the same answer.
  const ParseResult bare = parseMediaPacket(kind, bytes, nullptr);
  FUZZ_CHECK(bare.status == r.status && bare.consumed == r.consumed);
  return r;
}

// The receiver's loop: append an arrival, take every complete packet off the front.
template <class Cut>
Outcome frame(MediaKind kind, std::span<const std::uint8_t> stream, Cut&& cut) {
  Outcome out;
  std::vector<std::uint8_t> in;
  std::size_t pos = 0;
  while (pos < stream.size() && !out.error) {
    const std::size_t take = std::min(cut(), stream.size() - pos);
    in.insert(in.end(), stream.begin() + static_cast<std::ptrdiff_t>(pos),
              stream.begin() + static_cast<std::ptrdiff_t>(pos + take));
    pos += take;
    std::size_t offset = 0;
    for (;;) {
      Packet packet;
      const auto r = parseChecked(kind, std::span<const std::uint8_t>(in).subspan(offset), &packet);
      if (r.status == ParseStatus::NeedMore) break;
      if (r.status == ParseStatus::Error) {
        out.error = true;
        in.clear();
        offset = 0;
        break;
      }
      out.packets.push_back(std::move(packet));
      offset += r.consumed;
    }
    in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(offset));
  }
  out.left = in.size();
  return out;
}

// Past this many bytes the byte-at-a-time run is left out (it costs a parse per byte).
constexpr std::size_t kMaxBytewiseStream = 4096;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const MediaKind kind = data[0] % 2 == 0 ? MediaKind::Video : MediaKind::Audio;
  const std::size_t n = std::min<std::size_t>(data[1] % 17, size - 2);
  const std::span<const std::uint8_t> cuts(data + 2, n);
  const std::span<const std::uint8_t> stream(data + 2 + n, size - 2 - n);

  std::size_t next = 0;
  const Outcome fuzzed = frame(kind, stream, [&]() -> std::size_t {
    if (cuts.empty()) return std::numeric_limits<std::size_t>::max();
    // A zero cut is an empty arrival; the next one takes at least a byte.
    std::size_t take = cuts[next++ % cuts.size()];
    if (take == 0) take = std::max<std::size_t>(cuts[next++ % cuts.size()], 1);
    return take;
  });
  const Outcome whole =
      frame(kind, stream, [] { return std::numeric_limits<std::size_t>::max(); });
  FUZZ_CHECK(fuzzed == whole);
  if (stream.size() <= kMaxBytewiseStream) {
    FUZZ_CHECK(frame(kind, stream, [] { return std::size_t{1}; }) == whole);
  }
  // An error keeps nothing.
  FUZZ_CHECK(!whole.error || whole.left == 0);

  // The empty span and the hash agree with their definitions.
  FUZZ_CHECK(parseMediaPacket(kind, {}, nullptr).status == ParseStatus::NeedMore);
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (std::uint8_t b : stream) h = (h ^ b) * 0x100000001b3ull;
  FUZZ_CHECK(fnv1a(stream) == h);
  return 0;
}
