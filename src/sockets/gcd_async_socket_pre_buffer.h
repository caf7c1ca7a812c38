// A growable linear byte buffer with a read and a write position: bytes received from a
// socket that the current read did not consume yet.
//
// Invariant: storage start <= read position <= write position <= storage end. The storage
// only grows (by exactly the shortfall); data is never moved to the front while growing,
// and both positions return to the start once everything written has been read.
//
// Not thread-safe: owned by one socket and used only on its socket queue.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane {

class GCDAsyncSocketPreBuffer {
 public:
  explicit GCDAsyncSocketPreBuffer(size_t numBytes);
  ~GCDAsyncSocketPreBuffer();
  GCDAsyncSocketPreBuffer(const GCDAsyncSocketPreBuffer&) = delete;
  GCDAsyncSocketPreBuffer& operator=(const GCDAsyncSocketPreBuffer&) = delete;

  // Makes room for `numBytes` more bytes at the write position. Throws std::bad_alloc when
  // the storage cannot grow; nothing is changed then.
  void ensureCapacityForWrite(size_t numBytes);

  size_t availableBytes() const { return writePointer - readPointer; }
  uint8_t* readBuffer() const { return preBuffer + readPointer; }
  void getReadBuffer(uint8_t** bufferPtr, size_t* availableBytesPtr) const;
  void didRead(size_t bytesRead);

  size_t availableSpace() const { return preBufferSize - writePointer; }
  uint8_t* writeBuffer() const { return preBuffer + writePointer; }
  void getWriteBuffer(uint8_t** bufferPtr, size_t* availableSpacePtr) const;
  void didWrite(size_t bytesWritten);

  void reset();

  size_t capacity() const { return preBufferSize; }

 private:
  uint8_t* preBuffer;
  size_t preBufferSize;
  // Offsets from the storage start.
  size_t readPointer;
  size_t writePointer;
};

}  // namespace corvane
