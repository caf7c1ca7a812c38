// One queued read: read what is available, exactly `readLength` bytes, or up to and
// including the terminator `term`; into the caller's buffer or the packet's own.
// Created on the caller's thread, then used only on the socket queue.
//
// Growing the buffer throws std::bad_alloc / std::length_error when memory runs out; the
// socket turns that into an error that closes the connection.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sockets/gcd_async_packet.h"

namespace corvane {

class GCDAsyncSocketPreBuffer;

class GCDAsyncReadPacket : public GCDAsyncPacket {
 public:
  // `d` is the caller's buffer or nullptr for an own buffer; `s` the offset in the caller's
  // buffer; `m` the cap (0 = none); `t` the time-out; `l` the exact length (0 = not a
  // length read); `e` the terminator (empty = not a terminator read); `i` the tag.
  GCDAsyncReadPacket(std::shared_ptr<std::vector<uint8_t>> d, uint64_t s, uint64_t m, double t,
                     uint64_t l, std::vector<uint8_t> e, long i);

  // Grows the buffer so that at least `bytesToRead` bytes fit after startOffset + bytesDone.
  void ensureCapacityForAdditionalDataOfLength(uint64_t bytesToRead);
  // Length to read for a non-terminator read given `bytesAvailable` (> 0).
  uint64_t readLengthForNonTermWithHint(uint64_t bytesAvailable) const;
  // Length to read for a terminator read given `bytesAvailable`; tells whether the bytes
  // must go to the pre-buffer because the packet buffer lacks room.
  uint64_t readLengthForTermWithHint(uint64_t bytesAvailable, bool* shouldPreBufferPtr) const;
  // Length to read from an encrypted stream, `defaultValue` unless the read has a length.
  uint64_t optimalReadLengthWithDefault(uint64_t defaultValue, bool* shouldPreBufferPtr) const;
  // How many pre-buffer bytes to take: up to and including the terminator when it is found
  // (windows may straddle the packet data and the pre-buffer), else all allowed bytes.
  uint64_t readLengthForTermWithPreBuffer(const GCDAsyncSocketPreBuffer& preBuffer,
                                          bool* foundPtr) const;
  // After `numBytes` were appended at bytesDone: -1 when the terminator is not in them,
  // else the number of appended bytes that follow the terminator.
  int64_t searchForTermAfterPreBuffering(int64_t numBytes) const;

  bool isLengthRead() const { return readLength > 0; }
  bool isTermRead() const { return !term.empty(); }

  std::shared_ptr<std::vector<uint8_t>> buffer;
  uint64_t startOffset;
  uint64_t bytesDone;
  uint64_t maxLength;
  double timeout;
  uint64_t readLength;
  std::vector<uint8_t> term;
  bool bufferOwner;
  uint64_t originalBufferLength;
  long tag;
};

}  // namespace corvane
