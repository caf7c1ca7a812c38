#include "sockets/gcd_async_socket_pre_buffer.h"

#include <cstdlib>
#include <new>

namespace corvane {

GCDAsyncSocketPreBuffer::GCDAsyncSocketPreBuffer(size_t numBytes)
    : preBuffer(static_cast<uint8_t*>(std::malloc(numBytes > 0 ? numBytes : 1))),
      preBufferSize(numBytes),
      readPointer(0),
      writePointer(0) {
  if (preBuffer == nullptr) throw std::bad_alloc();
}

GCDAsyncSocketPreBuffer::~GCDAsyncSocketPreBuffer() { std::free(preBuffer); }

void GCDAsyncSocketPreBuffer::ensureCapacityForWrite(size_t numBytes) {
  const size_t space = availableSpace();
  if (numBytes <= space) return;
  const size_t additional = numBytes - space;
  const size_t newSize = preBufferSize + additional;
  if (newSize < preBufferSize) throw std::bad_alloc();  // overflow
  auto* grown = static_cast<uint8_t*>(std::realloc(preBuffer, newSize));
  if (grown == nullptr) throw std::bad_alloc();
  preBuffer = grown;
  preBufferSize = newSize;
}

void GCDAsyncSocketPreBuffer::getReadBuffer(uint8_t** bufferPtr, size_t* availableBytesPtr) const {
  if (bufferPtr != nullptr) *bufferPtr = readBuffer();
  if (availableBytesPtr != nullptr) *availableBytesPtr = availableBytes();
}

void GCDAsyncSocketPreBuffer::didRead(size_t bytesRead) {
  readPointer += bytesRead < availableBytes() ? bytesRead : availableBytes();
  if (readPointer == writePointer) {
    // Everything written has been read: start again at the front.
    readPointer = 0;
    writePointer = 0;
  }
}

void GCDAsyncSocketPreBuffer::getWriteBuffer(uint8_t** bufferPtr, size_t* availableSpacePtr) const {
  if (bufferPtr != nullptr) *bufferPtr = writeBuffer();
  if (availableSpacePtr != nullptr) *availableSpacePtr = availableSpace();
}

void GCDAsyncSocketPreBuffer::didWrite(size_t bytesWritten) {
  writePointer += bytesWritten < availableSpace() ? bytesWritten : availableSpace();
}

void GCDAsyncSocketPreBuffer::reset() {
  readPointer = 0;
  writePointer = 0;
}

}  // namespace corvane
