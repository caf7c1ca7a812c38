// GCDAsyncSocket: the read and write sources, read requests, the read loop, end of stream
// and read time-outs.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <stdexcept>

#include "sockets/gcd_async_read_packet.h"
#include "sockets/gcd_async_socket.h"
#include "sockets/gcd_async_socket_private.h"
#include "sockets/gcd_async_special_packet.h"
#include "sockets/socket_source_support.h"

namespace corvane {

using platform::dispatch::Source;
using Errors = GCDAsyncSocketErrors;

// ---------------------------------------------------------------------------------------
// Sources

void GCDAsyncSocket::setupReadAndWriteSourcesForNewlyConnectedSocket(int socketFD) {
  readSource = Source::createRead(socketFD, socketQueue);
  writeSource = Source::createWrite(socketFD, socketQueue);

  std::weak_ptr<GCDAsyncSocket> weakSelf = weak_from_this();
  std::weak_ptr<Source> weakReadSource = readSource;
  std::weak_ptr<Source> weakWriteSource = writeSource;

  readSource->setEventHandler([weakSelf, weakReadSource, socketFD] {
    auto strongSelf = weakSelf.lock();
    auto source = weakReadSource.lock();
    if (!strongSelf || !source || strongSelf->readSource != source) return;
    strongSelf->handleReadEvent(source->data(), socketFD);
    // What was read may be the handshake messages a waiting encrypted write needs.
    strongSelf->continueWriteWaitingForPeer();
  });
  writeSource->setEventHandler([weakSelf, weakWriteSource] {
    auto strongSelf = weakSelf.lock();
    auto source = weakWriteSource.lock();
    if (!strongSelf || !source || strongSelf->writeSource != source) return;
    strongSelf->flags |= writable;
    strongSelf->doWriteData();
  });

  // The descriptor is closed once both sources are cancelled.
  detail::closeWhenBothCancelled(*readSource, *writeSource, socketFD);

  // The read source is live at once; the write source waits until a write would block.
  socketFDBytesAvailable = 0;
  flags &= ~readSourcePaused;
  readSource->resume();
  flags |= writable;
  flags |= writeSourcePaused;
}

void GCDAsyncSocket::handleReadEvent(uint64_t bytesAvailable, int socketFD) {
  socketFDBytesAvailable = bytesAvailable;
  if (socketFDBytesAvailable > 0) {
    doReadData();
    return;
  }
  // A count of 0 means the end of the stream only when the descriptor says so: a read that
  // ran between the event and this handler may have taken the bytes the event was for.
  uint8_t probe = 0;
  const ssize_t peeked = ::recv(socketFD, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
  if (peeked > 0) {
    socketFDBytesAvailable = static_cast<uint64_t>(peeked);
    doReadData();
  } else if (peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    return;  // nothing to read yet: the source fires again when bytes arrive
  } else {
    doReadEOF();
  }
}

void GCDAsyncSocket::suspendReadSource() {
  detail::suspendOnce(readSource, flags, readSourcePaused);
}

void GCDAsyncSocket::resumeReadSource() { detail::resumeOnce(readSource, flags, readSourcePaused); }

void GCDAsyncSocket::suspendWriteSource() {
  detail::suspendOnce(writeSource, flags, writeSourcePaused);
}

void GCDAsyncSocket::resumeWriteSource() {
  detail::resumeOnce(writeSource, flags, writeSourcePaused);
}

// ---------------------------------------------------------------------------------------
// Read requests

void GCDAsyncSocket::enqueueRead(std::shared_ptr<GCDAsyncReadPacket> packet) {
  socketQueue->async([self = shared_from_this(), packet = std::move(packet)] {
    if ((self->flags & begun) != 0 && (self->flags & ioRefused) == 0) {
      self->readQueue.push_back(packet);
      self->maybeDequeueRead();
    }
  });
}

void GCDAsyncSocket::readDataWithTimeout(double timeout, long tag) {
  readDataWithTimeout(timeout, nullptr, 0, 0, tag);
}

void GCDAsyncSocket::readDataWithTimeout(double timeout, BufferPtr buffer, uint64_t offset,
                                         long tag) {
  readDataWithTimeout(timeout, std::move(buffer), offset, 0, tag);
}

void GCDAsyncSocket::readDataWithTimeout(double timeout, BufferPtr buffer, uint64_t offset,
                                         uint64_t length, long tag) {
  const uint64_t bufferLength = buffer ? buffer->size() : 0;
  if (offset > bufferLength) return;
  enqueueRead(std::make_shared<GCDAsyncReadPacket>(std::move(buffer), offset, length, timeout, 0,
                                                   Bytes(), tag));
}

void GCDAsyncSocket::readDataToLength(uint64_t length, double timeout, long tag) {
  readDataToLength(length, timeout, nullptr, 0, tag);
}

void GCDAsyncSocket::readDataToLength(uint64_t length, double timeout, BufferPtr buffer,
                                      uint64_t offset, long tag) {
  if (length == 0) return;
  const uint64_t bufferLength = buffer ? buffer->size() : 0;
  if (offset > bufferLength) return;
  enqueueRead(std::make_shared<GCDAsyncReadPacket>(std::move(buffer), offset, 0, timeout, length,
                                                   Bytes(), tag));
}

void GCDAsyncSocket::readDataToData(const Bytes& data, double timeout, long tag) {
  readDataToData(data, timeout, nullptr, 0, 0, tag);
}

void GCDAsyncSocket::readDataToData(const Bytes& data, double timeout, uint64_t length, long tag) {
  readDataToData(data, timeout, nullptr, 0, length, tag);
}

void GCDAsyncSocket::readDataToData(const Bytes& data, double timeout, BufferPtr buffer,
                                    uint64_t offset, long tag) {
  readDataToData(data, timeout, std::move(buffer), offset, 0, tag);
}

void GCDAsyncSocket::readDataToData(const Bytes& data, double timeout, BufferPtr buffer,
                                    uint64_t offset, uint64_t maxLength, long tag) {
  if (data.empty()) return;
  const uint64_t bufferLength = buffer ? buffer->size() : 0;
  if (offset > bufferLength) return;
  if (maxLength > 0 && maxLength < data.size()) return;
  enqueueRead(std::make_shared<GCDAsyncReadPacket>(std::move(buffer), offset, maxLength, timeout, 0,
                                                   data, tag));
}

// ---------------------------------------------------------------------------------------
// Serving the read queue

void GCDAsyncSocket::maybeDequeueRead() {
  // A read completed while the queue is being served asks for one more turn of the loop
  // below instead of a nested call, so that any number of reads served by bytes already
  // here runs in constant stack depth.
  if (servingReadQueue) {
    readQueueServeAgain = true;
    return;
  }
  servingReadQueue = true;
  do {
    readQueueServeAgain = false;
    dequeueNextRead();
  } while (readQueueServeAgain);
  servingReadQueue = false;
}

void GCDAsyncSocket::dequeueNextRead() {
  if (currentRead || (flags & established) == 0) return;

  if (!readQueue.empty()) {
    currentRead = readQueue.front();
    readQueue.pop_front();
    if (dynamic_cast<GCDAsyncSpecialPacket*>(currentRead.get()) != nullptr) {
      // The TLS marker: the read side is ready for the handshake.
      flags |= tlsReadSideReady;
      maybeStartTLS();
    } else {
      setupReadTimerWithTimeout(static_cast<GCDAsyncReadPacket*>(currentRead.get())->timeout);
      doReadData();
    }
  } else if ((flags & closeWhenReadsDone) != 0) {
    if ((flags & closeWhenWritesDone) != 0) {
      if (writeQueue.empty() && !currentWrite) closeWithError(std::nullopt);
    } else {
      closeWithError(std::nullopt);
    }
  } else if ((flags & secured) != 0) {
    // Decrypt what the session holds; with nothing left the read source is resumed so that
    // a close by the peer is seen.
    flushSSLBuffers();
    if (preBuffer.availableBytes() == 0) resumeReadSource();
  }
}

void GCDAsyncSocket::doReadData() {
  auto* currentPacket = dynamic_cast<GCDAsyncReadPacket*>(currentRead.get());
  const bool isSpecial = currentRead && currentPacket == nullptr;
  const bool isSecure = (flags & secured) != 0;
  if ((!currentRead) || (flags & readTimeoutPending) != 0) {
    // Nobody wants the bytes now. A level-triggered source would fire again and again.
    if (isSecure) flushSSLBuffers();
    if (socketFDBytesAvailable > 0) suspendReadSource();
    return;
  }

  const uint64_t estimatedBytesAvailable = estimateBytesAvailable();
  if (estimatedBytesAvailable == 0 && preBuffer.availableBytes() == 0) {
    // Nothing to read: wait for the source.
    resumeReadSource();
    return;
  }

  if ((flags & tlsReadSideReady) != 0 || isSpecial) {
    // The handshake owns the descriptor until it completes; the handshake step that waits
    // for bytes goes on now.
    if ((flags & tlsReadSideReady) != 0 && (flags & tlsWriteSideReady) != 0 &&
        lastSSLHandshakeError == platform::secure_transport::errSSLWouldBlock) {
      ssl_continueSSLHandshake();
    } else {
      suspendReadSource();
    }
    return;
  }

  ReadPass pass;
  pass.socketEOF = (flags & peerEOF) != 0;
  try {
    if (preBuffer.availableBytes() > 0) readFromPreBuffer(*currentPacket, &pass);
    pass.waiting = !pass.done && !pass.error && !pass.socketEOF && estimatedBytesAvailable == 0;
    if (!pass.done && !pass.error && !pass.socketEOF && estimatedBytesAvailable > 0) {
      readFromSocket(*currentPacket, estimatedBytesAvailable, &pass);
    }
  } catch (const std::bad_alloc&) {
    pass.error = Errors::errnoError(ENOMEM);
  } catch (const std::length_error&) {
    pass.error = Errors::errnoError(ENOMEM);
  }
  finishReadPass(*currentPacket, &pass);
}

uint64_t GCDAsyncSocket::estimateBytesAvailable() const {
  uint64_t estimate = socketFDBytesAvailable;
  if ((flags & secured) != 0 && sslContext_) {
    size_t buffered = 0;
    sslContext_->getBufferedReadSize(&buffered);
    estimate += (sslPreBuffer ? sslPreBuffer->availableBytes() : 0) + buffered;
  }
  return estimate;
}

void GCDAsyncSocket::addToPacket(GCDAsyncReadPacket& packet, uint64_t length, ReadPass* pass) {
  packet.bytesDone += length;
  pass->bytesAdded += length;
}

void GCDAsyncSocket::copyFromPreBuffer(GCDAsyncReadPacket& packet, uint64_t length,
                                       ReadPass* pass) {
  packet.ensureCapacityForAdditionalDataOfLength(length);
  uint8_t* target = packet.buffer->data() + packet.startOffset + packet.bytesDone;
  if (length > 0) std::memcpy(target, preBuffer.readBuffer(), length);
  preBuffer.didRead(length);
  addToPacket(packet, length, pass);
}

void GCDAsyncSocket::readFromPreBuffer(GCDAsyncReadPacket& packet, ReadPass* pass) {
  uint64_t bytesToCopy;
  if (packet.isTermRead()) {
    bytesToCopy = packet.readLengthForTermWithPreBuffer(preBuffer, &pass->done);
  } else {
    bytesToCopy = packet.readLengthForNonTermWithHint(preBuffer.availableBytes());
  }
  copyFromPreBuffer(packet, bytesToCopy, pass);

  if (packet.isLengthRead()) {
    pass->done = packet.bytesDone == packet.readLength;
  } else if (packet.isTermRead()) {
    checkTermReadCap(packet, pass);
  } else {
    pass->done = packet.maxLength > 0 && packet.bytesDone == packet.maxLength;
  }
}

void GCDAsyncSocket::checkTermReadCap(const GCDAsyncReadPacket& packet, ReadPass* pass) {
  if (!pass->done && packet.maxLength > 0 && packet.bytesDone >= packet.maxLength) {
    pass->error = Errors::readMaxedOutError();
  }
}

void GCDAsyncSocket::readFromSocket(GCDAsyncReadPacket& packet, uint64_t estimatedBytesAvailable,
                                    ReadPass* pass) {
  const bool isSecure = (flags & secured) != 0;
  bool readIntoPreBuffer = false;
  uint64_t bytesToRead;
  if (isSecure) {
    // Decrypted records hold up to 16 KiB: read well beyond the estimate when it is big.
    uint64_t defaultReadLength = uint64_t{32} * 1024;
    if (estimatedBytesAvailable > defaultReadLength) {
      defaultReadLength = estimatedBytesAvailable + uint64_t{16} * 1024;
    }
    bytesToRead = packet.optimalReadLengthWithDefault(defaultReadLength, &readIntoPreBuffer);
  } else if (packet.isTermRead()) {
    bytesToRead = packet.readLengthForTermWithHint(estimatedBytesAvailable, &readIntoPreBuffer);
  } else {
    bytesToRead = packet.readLengthForNonTermWithHint(estimatedBytesAvailable);
  }

  uint8_t* buffer;
  if (readIntoPreBuffer) {
    preBuffer.ensureCapacityForWrite(bytesToRead);
    buffer = preBuffer.writeBuffer();
  } else {
    packet.ensureCapacityForAdditionalDataOfLength(bytesToRead);
    buffer = packet.buffer->data() + packet.startOffset + packet.bytesDone;
  }

  uint64_t bytesRead = 0;
  if (isSecure) {
    bytesRead = readDecrypted(buffer, bytesToRead, &pass->waiting, &pass->socketEOF, &pass->error);
  } else if (bytesToRead > 0) {
    bytesRead = readPlain(buffer, bytesToRead, pass);
  }
  if (bytesRead > 0) takeBytesRead(packet, bytesRead, readIntoPreBuffer, pass);
}

uint64_t GCDAsyncSocket::readPlain(uint8_t* buffer, uint64_t bytesToRead, ReadPass* pass) {
  const ssize_t result = ::read(connectedDescriptor(), buffer, bytesToRead);
  if (result < 0) {
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
      pass->waiting = true;
    } else {
      pass->error = Errors::errorWithErrno(err, "Error in read() function");
    }
    socketFDBytesAvailable = 0;
    return 0;
  }
  if (result == 0) {
    pass->socketEOF = true;
    socketFDBytesAvailable = 0;
    return 0;
  }
  const auto bytesRead = static_cast<uint64_t>(result);
  // Fewer bytes than asked for: the estimate was high and the descriptor is drained.
  if (bytesRead < bytesToRead || socketFDBytesAvailable <= bytesRead) {
    socketFDBytesAvailable = 0;
  } else {
    socketFDBytesAvailable -= bytesRead;
  }
  if (socketFDBytesAvailable == 0) pass->waiting = true;
  return bytesRead;
}

void GCDAsyncSocket::takeBytesRead(GCDAsyncReadPacket& packet, uint64_t bytesRead,
                                   bool readIntoPreBuffer, ReadPass* pass) {
  if (packet.isLengthRead()) {
    addToPacket(packet, bytesRead, pass);
    pass->done = packet.bytesDone == packet.readLength;
    return;
  }
  if (packet.isTermRead()) {
    if (readIntoPreBuffer) {
      // Take what belongs to this read out of the pre-buffer.
      preBuffer.didWrite(bytesRead);
      copyFromPreBuffer(packet, packet.readLengthForTermWithPreBuffer(preBuffer, &pass->done),
                        pass);
    } else {
      takeTermReadInPlace(packet, bytesRead, pass);
    }
    checkTermReadCap(packet, pass);
    return;
  }
  // Read whatever is available.
  if (readIntoPreBuffer) {
    preBuffer.didWrite(bytesRead);
    copyFromPreBuffer(packet, bytesRead, pass);
  } else {
    addToPacket(packet, bytesRead, pass);
  }
  pass->done = true;
}

void GCDAsyncSocket::takeTermReadInPlace(GCDAsyncReadPacket& packet, uint64_t bytesRead,
                                         ReadPass* pass) {
  // The bytes went straight into the packet: look for the terminator in them.
  const int64_t overflow = packet.searchForTermAfterPreBuffering(static_cast<int64_t>(bytesRead));
  if (overflow < 0) {
    addToPacket(packet, bytesRead, pass);
    pass->done = false;
    return;
  }
  // Bytes after the terminator belong to the next read: keep them.
  const uint64_t underflow = bytesRead - static_cast<uint64_t>(overflow);
  if (overflow > 0) {
    preBuffer.ensureCapacityForWrite(static_cast<uint64_t>(overflow));
    const uint8_t* overflowBuffer =
        packet.buffer->data() + packet.startOffset + packet.bytesDone + underflow;
    std::memcpy(preBuffer.writeBuffer(), overflowBuffer, static_cast<size_t>(overflow));
    preBuffer.didWrite(static_cast<uint64_t>(overflow));
  }
  addToPacket(packet, underflow, pass);
  pass->done = true;
}

void GCDAsyncSocket::finishReadPass(GCDAsyncReadPacket& packet, ReadPass* pass) {
  // An available read that got anything is done.
  if (!pass->done && !pass->error && !packet.isLengthRead() && !packet.isTermRead() &&
      pass->bytesAdded > 0) {
    pass->done = true;
  }

  if (pass->done) {
    completeCurrentRead();
    if (!pass->error && (!pass->socketEOF || preBuffer.availableBytes() > 0)) maybeDequeueRead();
  } else if (pass->bytesAdded > 0) {
    pass->waiting = true;
    const long theReadTag = packet.tag;
    const uint64_t added = pass->bytesAdded;
    notifyDelegate([added, theReadTag](GCDAsyncSocketDelegate& d, const SocketPtr& sock) {
      d.socketDidReadPartialDataOfLength(sock, added, theReadTag);
    });
  }

  if (pass->error) {
    closeWithError(pass->error);
  } else if (pass->socketEOF) {
    doReadEOF();
  } else if (pass->waiting) {
    resumeReadSource();
  }
}

void GCDAsyncSocket::doReadEOF() {
  flags |= peerEOF;
  if ((flags & secured) != 0) flushSSLBuffers();

  bool shouldDisconnect = false;
  std::optional<Error> error;
  if ((flags & tlsReadSideReady) != 0 || (flags & tlsWriteSideReady) != 0) {
    // End of stream during the TLS handshake.
    shouldDisconnect = true;
    error = Errors::sslError(-9806);
  } else if ((flags & halfClosed) != 0 || preBuffer.availableBytes() > 0) {
    // Already half-closed, or queued reads may still consume what was received before the
    // end: keep the connection.
    shouldDisconnect = false;
  } else if ((config & keepOpenOnEOF) != 0) {
    // Half-duplex: keep the connection while we can still write.
    pollfd pfd{};
    pfd.fd = connectedDescriptor();
    pfd.events = POLLOUT;
    ::poll(&pfd, 1, 0);
    if ((pfd.revents & POLLOUT) != 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0) {
      flags |= halfClosed;
      notifyDelegate([](GCDAsyncSocketDelegate& d, const SocketPtr& sock) {
        d.socketDidCloseReadStream(sock);
      });
    } else {
      shouldDisconnect = true;
    }
  } else {
    shouldDisconnect = true;
  }

  if (!shouldDisconnect) {
    suspendReadSource();
    return;
  }
  if (!error) {
    if (sslErrCode != 0 && sslErrCode != -9805) {
      error = Errors::sslError(sslErrCode);
    } else {
      error = Errors::connectionClosedError();
    }
  }
  closeWithError(error);
}

void GCDAsyncSocket::completeCurrentRead() {
  auto packet = std::static_pointer_cast<GCDAsyncReadPacket>(currentRead);
  SharedData result;
  if (packet->bufferOwner) {
    // Hand the own buffer over whole, cut to what was read.
    packet->buffer->resize(packet->bytesDone);
    result = SharedData(std::shared_ptr<const std::vector<uint8_t>>(packet->buffer));
  } else {
    // The caller's buffer: cut it back if reading grew it, and hand out a view.
    const uint64_t buffSize = packet->buffer->size();
    const uint64_t buffUsed = packet->startOffset + packet->bytesDone;
    if (buffSize > buffUsed && buffSize > packet->originalBufferLength) {
      packet->buffer->resize(std::max(buffUsed, packet->originalBufferLength));
    }
    result = SharedData(std::shared_ptr<const std::vector<uint8_t>>(packet->buffer),
                        packet->startOffset, packet->bytesDone);
  }
  const long tag = packet->tag;
  notifyDelegate([result, tag, packet](GCDAsyncSocketDelegate& d, const SocketPtr& sock) {
    d.socketDidReadData(sock, result, tag);
  });
  endCurrentRead();
}

void GCDAsyncSocket::endCurrentRead() {
  detail::cancelSource(readTimer);
  currentRead.reset();
}

// ---------------------------------------------------------------------------------------
// Read time-out

void GCDAsyncSocket::setupReadTimerWithTimeout(double timeout) {
  startTimeoutTimer(&GCDAsyncSocket::readTimer, timeout, &GCDAsyncSocket::doReadTimeout);
}

void GCDAsyncSocket::doReadTimeout() {
  // Pause reading while the delegate decides; doReadData does nothing meanwhile.
  flags |= readTimeoutPending;
  auto* packet = dynamic_cast<GCDAsyncReadPacket*>(currentRead.get());
  if (packet == nullptr) return;
  askForTimeoutExtension(
      currentRead,
      [tag = packet->tag, elapsed = packet->timeout, bytesDone = packet->bytesDone](
          GCDAsyncSocketDelegate& d, const SocketPtr& sock) {
        return d.socketShouldTimeoutReadWithTag(sock, tag, elapsed, bytesDone);
      },
      &GCDAsyncSocket::doReadTimeoutWithExtension);
}

void GCDAsyncSocket::doReadTimeoutWithExtension(const GCDAsyncPacket* packet,
                                                double timeoutExtension) {
  // The answer is for this very read only: a close (and maybe a new connection) meanwhile
  // makes it void.
  if (!currentRead || currentRead.get() != packet || (flags & readTimeoutPending) == 0) return;
  auto* readPacket = static_cast<GCDAsyncReadPacket*>(currentRead.get());
  if (timeoutExtension > 0.0) {
    readPacket->timeout += timeoutExtension;
    if (readTimer) readTimer->setTimer(timeoutExtension, platform::dispatch::kForever);
    flags &= ~readTimeoutPending;
    doReadData();
  } else {
    closeWithError(Errors::readTimeoutError());
  }
}

}  // namespace corvane
