// GCDAsyncSocket: write requests, the write loop and write time-outs.
#include <sys/socket.h>

#include <cerrno>

#include "sockets/gcd_async_socket.h"
#include "sockets/gcd_async_socket_private.h"
#include "sockets/gcd_async_special_packet.h"
#include "sockets/gcd_async_write_packet.h"
#include "sockets/socket_source_support.h"

namespace corvane {

using Errors = GCDAsyncSocketErrors;

void GCDAsyncSocket::writeData(SharedData data, double timeout, long tag) {
  if (data.empty()) return;
  auto packet = std::make_shared<GCDAsyncWritePacket>(std::move(data), timeout, tag);
  socketQueue->async([self = shared_from_this(), packet = std::move(packet)] {
    if ((self->flags & begun) != 0 && (self->flags & ioRefused) == 0) {
      self->writeQueue.push_back(packet);
      self->maybeDequeueWrite();
    }
  });
}

void GCDAsyncSocket::maybeDequeueWrite() {
  if (currentWrite || (flags & established) == 0) return;

  if (!writeQueue.empty()) {
    currentWrite = writeQueue.front();
    writeQueue.pop_front();
    if (dynamic_cast<GCDAsyncSpecialPacket*>(currentWrite.get()) != nullptr) {
      // The TLS marker: the write side is ready for the handshake.
      flags |= tlsWriteSideReady;
      maybeStartTLS();
    } else {
      setupWriteTimerWithTimeout(static_cast<GCDAsyncWritePacket*>(currentWrite.get())->timeout);
      doWriteData();
    }
  } else if ((flags & closeWhenWritesDone) != 0) {
    if ((flags & closeWhenReadsDone) != 0) {
      if (readQueue.empty() && !currentRead) closeWithError(std::nullopt);
    } else {
      closeWithError(std::nullopt);
    }
  }
}

void GCDAsyncSocket::doWriteData() {
  if (!currentWrite || (flags & writeTimeoutPending) != 0) {
    // Nothing to send now; a level-triggered source would fire again and again.
    if ((flags & writable) != 0) suspendWriteSource();
    return;
  }
  if ((flags & writable) == 0) {
    resumeWriteSource();
    return;
  }
  auto* packet = dynamic_cast<GCDAsyncWritePacket*>(currentWrite.get());
  if ((flags & tlsWriteSideReady) != 0 || packet == nullptr) {
    // The handshake owns the descriptor until it completes; the handshake step that waits
    // for the descriptor goes on now.
    if ((flags & tlsWriteSideReady) != 0 && (flags & tlsReadSideReady) != 0 &&
        lastSSLHandshakeError == platform::secure_transport::errSSLWouldBlock) {
      ssl_continueSSLHandshake();
    } else {
      suspendWriteSource();
    }
    return;
  }

  bool waiting = false;
  bool waitingForPeer = false;
  std::optional<Error> error;
  uint64_t bytesWritten = 0;

  if ((flags & secured) != 0) {
    bytesWritten = writeEncrypted(*packet, &waiting, &waitingForPeer, &error);
  } else {
    const int socketFD = connectedDescriptor();
    const uint8_t* buffer = packet->buffer.data() + packet->bytesDone;
    const size_t bytesToWrite = packet->buffer.size() - packet->bytesDone;
    // MSG_NOSIGNAL: a peer's reset gives EPIPE here instead of killing the process.
    const ssize_t result = ::send(socketFD, buffer, bytesToWrite, MSG_NOSIGNAL);
    if (result < 0) {
      const int err = errno;
      if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
        waiting = true;
      } else {
        error = Errors::errorWithErrno(err, "Error in write() function");
      }
    } else {
      bytesWritten = static_cast<uint64_t>(result);
    }
  }

  if (waitingForPeer) {
    // The descriptor is writable, so its source would fire at once and again: the next read
    // event continues the write instead.
    flags |= sslWriteWaitsForPeer;
    suspendWriteSource();
  } else if (waiting) {
    flags &= ~writable;
    resumeWriteSource();
  }

  bool done = false;
  if (bytesWritten > 0) {
    packet->bytesDone += bytesWritten;
    done = packet->bytesDone == packet->buffer.size();
  }

  if (done) {
    completeCurrentWrite();
    if (!error) {
      // The next write starts in a new task, not inline.
      socketQueue->async([self = shared_from_this()] { self->maybeDequeueWrite(); });
    }
  } else {
    if (!waiting && !waitingForPeer && !error) {
      // The descriptor took only part of the data: wait until it can take more.
      flags &= ~writable;
      resumeWriteSource();
    }
    if (bytesWritten > 0) {
      const long tag = packet->tag;
      notifyDelegate([bytesWritten, tag](GCDAsyncSocketDelegate& d, const SocketPtr& sock) {
        d.socketDidWritePartialDataOfLength(sock, bytesWritten, tag);
      });
    }
  }

  if (error) closeWithError(error);
}

void GCDAsyncSocket::completeCurrentWrite() {
  const long tag = static_cast<GCDAsyncWritePacket*>(currentWrite.get())->tag;
  notifyDelegate([tag](GCDAsyncSocketDelegate& d, const SocketPtr& sock) {
    d.socketDidWriteDataWithTag(sock, tag);
  });
  endCurrentWrite();
}

void GCDAsyncSocket::endCurrentWrite() {
  detail::cancelSource(writeTimer);
  currentWrite.reset();
}

void GCDAsyncSocket::setupWriteTimerWithTimeout(double timeout) {
  startTimeoutTimer(&GCDAsyncSocket::writeTimer, timeout, &GCDAsyncSocket::doWriteTimeout);
}

void GCDAsyncSocket::doWriteTimeout() {
  // Pause writing while the delegate decides; doWriteData does nothing meanwhile.
  flags |= writeTimeoutPending;
  auto* packet = dynamic_cast<GCDAsyncWritePacket*>(currentWrite.get());
  if (packet == nullptr) return;
  askForTimeoutExtension(
      currentWrite,
      [tag = packet->tag, elapsed = packet->timeout, bytesDone = packet->bytesDone](
          GCDAsyncSocketDelegate& d, const SocketPtr& sock) {
        return d.socketShouldTimeoutWriteWithTag(sock, tag, elapsed, bytesDone);
      },
      &GCDAsyncSocket::doWriteTimeoutWithExtension);
}

void GCDAsyncSocket::doWriteTimeoutWithExtension(const GCDAsyncPacket* packet,
                                                 double timeoutExtension) {
  // The answer is for this very write only.
  if (!currentWrite || currentWrite.get() != packet || (flags & writeTimeoutPending) == 0) return;
  auto* writePacket = static_cast<GCDAsyncWritePacket*>(currentWrite.get());
  if (timeoutExtension > 0.0) {
    writePacket->timeout += timeoutExtension;
    if (writeTimer) writeTimer->setTimer(timeoutExtension, platform::dispatch::kForever);
    flags &= ~writeTimeoutPending;
    doWriteData();
  } else {
    closeWithError(Errors::writeTimeoutError());
  }
}

}  // namespace corvane
