#include "sockets/gcd_async_read_packet.h"

#include <algorithm>
#include <cstring>

#include "sockets/gcd_async_socket_pre_buffer.h"

namespace corvane {

namespace {
// An own buffer for a length read is reserved up to this size at once and grows with the
// bytes that actually arrive beyond it, so a huge requested length costs nothing up front.
constexpr uint64_t kInitialOwnBufferReserve = uint64_t{64} * 1024;
}  // namespace

GCDAsyncReadPacket::GCDAsyncReadPacket(std::shared_ptr<std::vector<uint8_t>> d, uint64_t s,
                                       uint64_t m, double t, uint64_t l, std::vector<uint8_t> e,
                                       long i)
    : bytesDone(0), maxLength(m), timeout(t), readLength(l), term(std::move(e)), tag(i) {
  if (d) {
    buffer = std::move(d);
    startOffset = s;
    bufferOwner = false;
    originalBufferLength = buffer->size();
  } else {
    buffer = std::make_shared<std::vector<uint8_t>>();
    if (readLength > 0) buffer->reserve(std::min(readLength, kInitialOwnBufferReserve));
    startOffset = 0;
    bufferOwner = true;
    originalBufferLength = 0;
  }
}

void GCDAsyncReadPacket::ensureCapacityForAdditionalDataOfLength(uint64_t bytesToRead) {
  const uint64_t needed = startOffset + bytesDone + bytesToRead;
  if (needed > buffer->size()) buffer->resize(needed);
}

uint64_t GCDAsyncReadPacket::readLengthForNonTermWithHint(uint64_t bytesAvailable) const {
  if (readLength > 0) {
    // Read a specific length of data.
    return std::min(bytesAvailable, readLength - std::min(readLength, bytesDone));
  }
  // Read all available data, up to the cap.
  uint64_t result = bytesAvailable;
  if (maxLength > 0) result = std::min(result, maxLength - std::min(maxLength, bytesDone));
  return result;
}

uint64_t GCDAsyncReadPacket::readLengthForTermWithHint(uint64_t bytesAvailable,
                                                       bool* shouldPreBufferPtr) const {
  uint64_t result = bytesAvailable;
  if (maxLength > 0) result = std::min(result, maxLength - std::min(maxLength, bytesDone));
  // Pre-buffer unless the packet buffer already has room: reading an unknown amount into
  // the pre-buffer first avoids over-allocating the packet buffer.
  const uint64_t used = startOffset + bytesDone;
  const uint64_t space = buffer->size() > used ? buffer->size() - used : 0;
  if (shouldPreBufferPtr != nullptr) *shouldPreBufferPtr = space < result;
  return result;
}

uint64_t GCDAsyncReadPacket::optimalReadLengthWithDefault(uint64_t defaultValue,
                                                          bool* shouldPreBufferPtr) const {
  if (readLength > 0) {
    if (shouldPreBufferPtr != nullptr) *shouldPreBufferPtr = false;
    return readLength - std::min(readLength, bytesDone);
  }
  uint64_t result = defaultValue;
  if (maxLength > 0) result = std::min(result, maxLength - std::min(maxLength, bytesDone));
  const uint64_t used = startOffset + bytesDone;
  const uint64_t space = buffer->size() > used ? buffer->size() - used : 0;
  if (shouldPreBufferPtr != nullptr) *shouldPreBufferPtr = space < result;
  return result;
}

uint64_t GCDAsyncReadPacket::readLengthForTermWithPreBuffer(
    const GCDAsyncSocketPreBuffer& preBuffer, bool* foundPtr) const {
  const uint64_t termLength = term.size();
  const uint64_t preBufferLength = preBuffer.availableBytes();
  if (foundPtr != nullptr) *foundPtr = false;

  if (bytesDone + preBufferLength < termLength) {
    // Not enough data for a full match.
    return preBufferLength;
  }

  uint64_t maxPreBufferLength = preBufferLength;
  if (maxLength > 0) {
    maxPreBufferLength = std::min(maxPreBufferLength, maxLength - std::min(maxLength, bytesDone));
  }

  // Windows start up to termLength - 1 bytes back in the packet data, so a terminator that
  // straddles the packet data and the pre-buffer is found.
  const uint8_t* termBuf = term.data();
  uint64_t bufLen = std::min(bytesDone, termLength - 1);
  const uint8_t* buf = buffer->data() + startOffset + bytesDone - bufLen;
  uint64_t preLen = termLength - bufLen;
  const uint8_t* pre = preBuffer.readBuffer();

  const int64_t loopCount =
      static_cast<int64_t>(bufLen + maxPreBufferLength) - static_cast<int64_t>(termLength) + 1;
  uint8_t seqStack[64];
  std::vector<uint8_t> seqHeap;
  uint8_t* seq = seqStack;
  if (termLength > sizeof seqStack) {
    seqHeap.resize(termLength);
    seq = seqHeap.data();
  }

  for (int64_t i = 0; i < loopCount; ++i) {
    if (bufLen > 0) {
      // The window straddles the packet data and the pre-buffer: assemble it.
      std::memcpy(seq, buf, bufLen);
      std::memcpy(seq + bufLen, pre, preLen);
      if (std::memcmp(seq, termBuf, termLength) == 0) {
        if (foundPtr != nullptr) *foundPtr = true;
        return preLen;
      }
      ++buf;
      --bufLen;
      ++preLen;
    } else {
      if (std::memcmp(pre, termBuf, termLength) == 0) {
        const uint64_t preOffset = static_cast<uint64_t>(pre - preBuffer.readBuffer());
        if (foundPtr != nullptr) *foundPtr = true;
        return preOffset + termLength;
      }
      ++pre;
    }
  }
  // No match: take everything allowed; the terminator was not in it.
  return maxPreBufferLength;
}

int64_t GCDAsyncReadPacket::searchForTermAfterPreBuffering(int64_t numBytes) const {
  const uint64_t termLength = term.size();
  const uint8_t* buff = buffer->data() + startOffset;
  const uint64_t total = bytesDone + static_cast<uint64_t>(numBytes);
  // Only windows that end within the new bytes: earlier ones were searched already.
  uint64_t i = bytesDone >= termLength ? bytesDone - termLength + 1 : 0;
  while (i + termLength <= total) {
    if (std::memcmp(buff + i, term.data(), termLength) == 0) {
      return static_cast<int64_t>(total - (i + termLength));
    }
    ++i;
  }
  return -1;
}

}  // namespace corvane
