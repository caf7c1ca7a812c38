// GCDAsyncSocket: TLS. The start request travels through both queues as a marker; once both
// reached it the session is set up from the settings and the handshake runs on the socket's
// own descriptor reads and writes. Reading and writing on the secured socket decrypt and
// encrypt through the same session.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <type_traits>

#include "sockets/gcd_async_read_packet.h"
#include "sockets/gcd_async_socket.h"
#include "sockets/gcd_async_socket_private.h"
#include "sockets/gcd_async_special_packet.h"
#include "sockets/gcd_async_write_packet.h"

namespace corvane {

namespace st = platform::secure_transport;
using Errors = GCDAsyncSocketErrors;

namespace {

constexpr size_t kSSLPreBufferCapacity = 4096;
constexpr size_t kSSLMaxBytesToWrite = 32768;

const std::any* settingFor(const GCDAsyncSocketTLSSettings& settings, const char* key) {
  auto it = settings.find(key);
  return it == settings.end() ? nullptr : &it->second;
}

template <class T>
const T* valueOf(const std::any* value) {
  return value != nullptr ? std::any_cast<T>(value) : nullptr;
}

bool boolSetting(const GCDAsyncSocketTLSSettings& settings, const char* key) {
  const bool* value = valueOf<bool>(settingFor(settings, key));
  return value != nullptr && *value;
}

// A protocol version given as SSLProtocol or as a plain integer.
std::optional<st::SSLProtocol> protocolValue(const std::any* value) {
  if (const auto* p = valueOf<st::SSLProtocol>(value)) return *p;
  if (const auto* i = valueOf<int>(value)) return static_cast<st::SSLProtocol>(*i);
  if (const auto* l = valueOf<long>(value)) {
    if (*l >= INT32_MIN && *l <= INT32_MAX) return static_cast<st::SSLProtocol>(*l);
  }
  return std::nullopt;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Request and start

void GCDAsyncSocket::startTLS(GCDAsyncSocketTLSSettings tlsSettings) {
  auto packet = std::make_shared<GCDAsyncSpecialPacket>(std::move(tlsSettings));
  socketQueue->async([self = shared_from_this(), packet = std::move(packet)] {
    const uint32_t f = self->flags;
    if ((f & begun) == 0 || (f & ioRefused) != 0 || (f & tlsRequested) != 0) return;
    self->readQueue.push_back(packet);
    self->writeQueue.push_back(packet);
    self->flags |= tlsRequested;
    self->maybeDequeueRead();
    self->maybeDequeueWrite();
  });
}

void GCDAsyncSocket::maybeStartTLS() {
  if ((flags & tlsReadSideReady) != 0 && (flags & tlsWriteSideReady) != 0) ssl_startTLS();
}

void GCDAsyncSocket::ssl_startTLS() {
  const auto* tlsPacket = dynamic_cast<const GCDAsyncSpecialPacket*>(currentRead.get());
  if (tlsPacket == nullptr) {
    closeWithError(Errors::otherError("Logic error"));
    return;
  }
  // Keep the settings alive whatever happens to the queues meanwhile.
  const auto packetRef = currentRead;
  const GCDAsyncSocketTLSSettings& tlsSettings = tlsPacket->tlsSettings;
  const bool isServer = boolSetting(tlsSettings, st::kCFStreamSSLIsServer);

  sslContext_ = st::SSLContext::create(
      isServer ? st::SSLProtocolSide::kSSLServerSide : st::SSLProtocolSide::kSSLClientSide,
      st::SSLConnectionType::kSSLStreamType);
  if (!sslContext_) {
    closeWithError(Errors::otherError("Error in SSLCreateContext"));
    return;
  }
  if (sslContext_->setIOFuncs(&SSLReadFunction, &SSLWriteFunction) != st::noErr) {
    closeWithError(Errors::otherError("Error in SSLSetIOFuncs"));
    return;
  }
  if (sslContext_->setConnection(this) != st::noErr) {
    closeWithError(Errors::otherError("Error in SSLSetConnection"));
    return;
  }
  if (boolSetting(tlsSettings, GCDAsyncSocketManuallyEvaluateTrust)) {
    if (isServer) {
      closeWithError(
          Errors::otherError("Manual trust validation is not supported for server sockets"));
      return;
    }
    if (sslContext_->setSessionOption(st::SSLSessionOption::kSSLSessionOptionBreakOnServerAuth,
                                      true) != st::noErr) {
      closeWithError(Errors::otherError("Error in SSLSetSessionOption"));
      return;
    }
  }
  std::optional<Error> failure;
  if (!ssl_applySettings(tlsSettings, &failure)) {
    closeWithError(failure);
    return;
  }

  // Bytes already received belong to the handshake.
  sslPreBuffer = std::make_unique<GCDAsyncSocketPreBuffer>(kSSLPreBufferCapacity);
  const size_t preBufferLength = preBuffer.availableBytes();
  if (preBufferLength > 0) {
    try {
      sslPreBuffer->ensureCapacityForWrite(preBufferLength);
    } catch (const std::bad_alloc&) {
      closeWithError(Errors::errnoError(ENOMEM));
      return;
    }
    std::memcpy(sslPreBuffer->writeBuffer(), preBuffer.readBuffer(), preBufferLength);
    preBuffer.didRead(preBufferLength);
    sslPreBuffer->didWrite(preBufferLength);
  }
  sslErrCode = 0;
  lastSSLHandshakeError = 0;
  ssl_continueSSLHandshake();
}

bool GCDAsyncSocket::ssl_applySettings(const GCDAsyncSocketTLSSettings& tlsSettings,
                                       std::optional<Error>* failure) {
  auto fail = [failure](const char* text) {
    *failure = Errors::otherError(text);
    return false;
  };
  st::SSLContext& ctx = *sslContext_;

  if (const std::any* value = settingFor(tlsSettings, st::kCFStreamSSLPeerName)) {
    std::optional<std::string> peerName;
    if (const auto* text = valueOf<std::string>(value)) peerName = *text;
    if (const auto* literal = valueOf<const char*>(value); literal != nullptr && *literal) {
      peerName = std::string(*literal);
    }
    if (!peerName) return fail("Invalid value for kCFStreamSSLPeerName.");
    if (ctx.setPeerDomainName(*peerName) != st::noErr) {
      return fail("Error in SSLSetPeerDomainName");
    }
  }
  if (const std::any* value = settingFor(tlsSettings, st::kCFStreamSSLCertificates)) {
    const auto* certificates = valueOf<st::SecItemList>(value);
    if (certificates == nullptr) return fail("Invalid value for kCFStreamSSLCertificates.");
    if (ctx.setCertificate(*certificates) != st::noErr) return fail("Error in SSLSetCertificate");
  }
  if (const std::any* value = settingFor(tlsSettings, GCDAsyncSocketSSLPeerID)) {
    const auto* peerID = valueOf<Bytes>(value);
    if (peerID == nullptr) return fail("Invalid value for GCDAsyncSocketSSLPeerID.");
    if (ctx.setPeerID(*peerID) != st::noErr) return fail("Error in SSLSetPeerID");
  }
  if (const std::any* value = settingFor(tlsSettings, GCDAsyncSocketSSLProtocolVersionMin)) {
    const auto version = protocolValue(value);
    if (!version) return fail("Invalid value for GCDAsyncSocketSSLProtocolVersionMin.");
    if (ctx.setProtocolVersionMin(*version) != st::noErr) {
      return fail("Error in SSLSetProtocolVersionMin");
    }
  }
  if (const std::any* value = settingFor(tlsSettings, GCDAsyncSocketSSLProtocolVersionMax)) {
    const auto version = protocolValue(value);
    if (!version) return fail("Invalid value for GCDAsyncSocketSSLProtocolVersionMax.");
    if (ctx.setProtocolVersionMax(*version) != st::noErr) {
      return fail("Error in SSLSetProtocolVersionMax");
    }
  }
  if (const std::any* value = settingFor(tlsSettings, GCDAsyncSocketSSLSessionOptionFalseStart)) {
    const auto* on = valueOf<bool>(value);
    if (on == nullptr) return fail("Invalid value for GCDAsyncSocketSSLSessionOptionFalseStart.");
    if (ctx.setSessionOption(st::SSLSessionOption::kSSLSessionOptionFalseStart, *on) != st::noErr) {
      return fail("Error in SSLSetSessionOption (kSSLSessionOptionFalseStart)");
    }
  }
  if (const std::any* value =
          settingFor(tlsSettings, GCDAsyncSocketSSLSessionOptionSendOneByteRecord)) {
    const auto* on = valueOf<bool>(value);
    if (on == nullptr) {
      return fail("Invalid value for GCDAsyncSocketSSLSessionOptionSendOneByteRecord.");
    }
    if (ctx.setSessionOption(st::SSLSessionOption::kSSLSessionOptionSendOneByteRecord, *on) !=
        st::noErr) {
      return fail("Error in SSLSetSessionOption (kSSLSessionOptionSendOneByteRecord)");
    }
  }
  if (const std::any* value = settingFor(tlsSettings, GCDAsyncSocketSSLCipherSuites)) {
    const auto* ciphers = valueOf<std::vector<uint16_t>>(value);
    if (ciphers == nullptr) return fail("Invalid value for GCDAsyncSocketSSLCipherSuites.");
    if (ctx.setEnabledCiphers(*ciphers) != st::noErr) return fail("Error in SSLSetEnabledCiphers");
  }
  if (const std::any* value = settingFor(tlsSettings, GCDAsyncSocketSSLDiffieHellmanParameters)) {
    const auto* params = valueOf<Bytes>(value);
    if (params == nullptr) {
      return fail("Invalid value for GCDAsyncSocketSSLDiffieHellmanParameters.");
    }
    if (ctx.setDiffieHellmanParams(*params) != st::noErr) {
      return fail("Error in SSLSetDiffieHellmanParams");
    }
  }

  // Options of the stream layer this socket does not offer.
  static const char* const kRefusedKeys[] = {
      st::kCFStreamSSLAllowsAnyRoot, st::kCFStreamSSLAllowsExpiredRoots,
      st::kCFStreamSSLValidatesCertificateChain, st::kCFStreamSSLAllowsExpiredCertificates,
      st::kCFStreamSSLLevel};
  for (const char* key : kRefusedKeys) {
    if (settingFor(tlsSettings, key) != nullptr) {
      *failure = Errors::otherError(std::string("Security option unavailable - ") + key);
      return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// Handshake

void GCDAsyncSocket::ssl_continueSSLHandshake() {
  const st::OSStatus status = sslContext_->handshake();
  lastSSLHandshakeError = status;

  if (status == st::noErr) {
    flags &= ~(tlsReadSideReady | tlsWriteSideReady);
    flags |= secured;  // tlsRequested stays set: a second startTLS is refused
    notifyDelegate(
        [](GCDAsyncSocketDelegate& d, const SocketPtr& sock) { d.socketDidSecure(sock); });
    endCurrentRead();
    endCurrentWrite();
    maybeDequeueRead();
    maybeDequeueWrite();
    return;
  }
  if (status == st::errSSLPeerAuthCompleted) {
    std::shared_ptr<st::SecTrust> trust;
    const st::OSStatus copied = sslContext_->copyPeerTrust(&trust);
    if (copied != st::noErr) {
      closeWithError(Errors::sslError(copied));
      return;
    }
    const int aStateIndex = stateIndex;
    std::weak_ptr<GCDAsyncSocket> weakSelf = weak_from_this();
    QueuePtr sq = socketQueue;
    std::function<void(bool)> completionHandler = [weakSelf, sq, aStateIndex](bool shouldTrust) {
      sq->async([weakSelf, aStateIndex, shouldTrust] {
        if (auto strongSelf = weakSelf.lock()) {
          strongSelf->ssl_shouldTrustPeer(shouldTrust, aStateIndex);
        }
      });
    };
    static constexpr const char* kNotImplemented =
        "GCDAsyncSocketManuallyEvaluateTrust specified in tlsSettings, but delegate doesn't "
        "implement socket:shouldTrustPeer:";
    const QueuePtr dq = delegateQueue_;
    DelegatePtr theDelegate = delegate_.lock();
    if (!dq || !theDelegate) {
      closeWithError(Errors::otherError(kNotImplemented));
      return;
    }
    auto self = shared_from_this();
    dq->async([self, theDelegate, trust, completionHandler, aStateIndex, sq] {
      if (theDelegate->socketDidReceiveTrust(self, trust, completionHandler)) return;
      sq->async([self, aStateIndex] {
        if (self->stateIndex == aStateIndex)
          self->closeWithError(Errors::otherError(kNotImplemented));
      });
    });
    return;
  }
  if (status == st::errSSLWouldBlock) return;  // continued when the descriptor is ready
  closeWithError(Errors::sslError(status));
}

void GCDAsyncSocket::ssl_shouldTrustPeer(bool shouldTrust, int aStateIndex) {
  if (aStateIndex != stateIndex) return;  // closed meanwhile, or already answered
  ++stateIndex;
  if (shouldTrust) {
    ssl_continueSSLHandshake();
  } else {
    closeWithError(Errors::sslError(st::errSSLPeerBadCert));
  }
}

// ---------------------------------------------------------------------------------------
// The session's I/O

st::OSStatus GCDAsyncSocket::SSLReadFunction(st::SSLConnectionRef connection, void* data,
                                             size_t* dataLength) {
  auto* sock = const_cast<GCDAsyncSocket*>(static_cast<const GCDAsyncSocket*>(connection));
  return sock->sslReadWithBuffer(data, dataLength);
}

st::OSStatus GCDAsyncSocket::SSLWriteFunction(st::SSLConnectionRef connection, const void* data,
                                              size_t* dataLength) {
  auto* sock = const_cast<GCDAsyncSocket*>(static_cast<const GCDAsyncSocket*>(connection));
  return sock->sslWriteWithBuffer(data, dataLength);
}

st::OSStatus GCDAsyncSocket::sslReadWithBuffer(void* buffer, size_t* bufferLength) {
  if (socketFDBytesAvailable == 0 && sslPreBuffer->availableBytes() == 0) {
    resumeReadSource();
    *bufferLength = 0;
    return st::errSSLWouldBlock;
  }
  auto* out = static_cast<uint8_t*>(buffer);
  const size_t totalBytesRequested = *bufferLength;
  size_t totalBytesLeftToBeRead = totalBytesRequested;
  size_t bytesRead = 0;

  // From the TLS pre-buffer first.
  const size_t sslPreBufferLength = sslPreBuffer->availableBytes();
  if (sslPreBufferLength > 0) {
    const size_t bytesToCopy = std::min(sslPreBufferLength, totalBytesLeftToBeRead);
    std::memcpy(out, sslPreBuffer->readBuffer(), bytesToCopy);
    sslPreBuffer->didRead(bytesToCopy);
    bytesRead += bytesToCopy;
    totalBytesLeftToBeRead -= bytesToCopy;
  }

  // Then from the descriptor.
  bool done = totalBytesLeftToBeRead == 0;
  bool socketError = false;
  if (!done && socketFDBytesAvailable > 0) {
    const int socketFD = connectedDescriptor();
    bool readIntoPreBuffer = false;
    size_t bytesToRead = totalBytesLeftToBeRead;
    uint8_t* target = out + bytesRead;
    if (socketFDBytesAvailable > totalBytesLeftToBeRead) {
      // More than needed: take all of it, keep the rest for the next call.
      try {
        sslPreBuffer->ensureCapacityForWrite(socketFDBytesAvailable);
        readIntoPreBuffer = true;
        bytesToRead = socketFDBytesAvailable;
        target = sslPreBuffer->writeBuffer();
      } catch (const std::bad_alloc&) {
        readIntoPreBuffer = false;  // read only what was asked for
      }
    }
    const ssize_t result = ::read(socketFD, target, bytesToRead);
    if (result < 0) {
      const int err = errno;
      if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR) socketError = true;
      socketFDBytesAvailable = 0;
    } else if (result == 0) {
      socketError = true;  // end of stream
      socketFDBytesAvailable = 0;
    } else {
      const auto bytesReadFromSocket = static_cast<size_t>(result);
      socketFDBytesAvailable = socketFDBytesAvailable > bytesReadFromSocket
                                   ? socketFDBytesAvailable - bytesReadFromSocket
                                   : 0;
      if (readIntoPreBuffer) {
        sslPreBuffer->didWrite(bytesReadFromSocket);
        const size_t bytesToCopy = std::min(totalBytesLeftToBeRead, bytesReadFromSocket);
        std::memcpy(out + bytesRead, sslPreBuffer->readBuffer(), bytesToCopy);
        sslPreBuffer->didRead(bytesToCopy);
        bytesRead += bytesToCopy;
        totalBytesLeftToBeRead -= bytesToCopy;
      } else {
        bytesRead += bytesReadFromSocket;
        totalBytesLeftToBeRead -= bytesReadFromSocket;
      }
      done = totalBytesLeftToBeRead == 0;
    }
  }
  *bufferLength = bytesRead;
  if (done) return st::noErr;
  if (socketError) return st::errSSLClosedAbort;
  return st::errSSLWouldBlock;
}

st::OSStatus GCDAsyncSocket::sslWriteWithBuffer(const void* buffer, size_t* bufferLength) {
  if ((flags & writable) == 0) {
    resumeWriteSource();
    *bufferLength = 0;
    return st::errSSLWouldBlock;
  }
  const size_t bytesToWrite = *bufferLength;
  const ssize_t result = ::send(connectedDescriptor(), buffer, bytesToWrite, MSG_NOSIGNAL);
  if (result <= 0) {
    const int err = errno;
    const bool wouldBlock = result == 0 || err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
    // The descriptor is full: wait for the write source, which also continues a handshake
    // that waits for these bytes to go out.
    flags &= ~writable;
    resumeWriteSource();
    *bufferLength = 0;
    return wouldBlock ? st::errSSLWouldBlock : st::errSSLClosedAbort;
  }
  *bufferLength = static_cast<size_t>(result);
  return *bufferLength == bytesToWrite ? st::noErr : st::errSSLWouldBlock;
}

// ---------------------------------------------------------------------------------------
// Encrypted reading and writing

void GCDAsyncSocket::continueWriteWaitingForPeer() {
  if ((flags & sslWriteWaitsForPeer) == 0) return;
  flags &= ~sslWriteWaitsForPeer;
  doWriteData();
  // The write's handshake may have taken application data on the way: a read waiting for the
  // descriptor gets it now.
  size_t buffered = 0;
  if (currentRead && sslContext_ && sslContext_->getBufferedReadSize(&buffered) == st::noErr &&
      buffered > 0) {
    doReadData();
  }
}

void GCDAsyncSocket::flushSSLBuffers() {
  if (!sslContext_ || preBuffer.availableBytes() > 0) return;
  auto estimate = [this] {
    size_t buffered = 0;
    sslContext_->getBufferedReadSize(&buffered);
    return socketFDBytesAvailable + (sslPreBuffer ? sslPreBuffer->availableBytes() : 0) + buffered;
  };
  for (uint64_t estimatedBytesAvailable = estimate(); estimatedBytesAvailable > 0;
       estimatedBytesAvailable = estimate()) {
    try {
      preBuffer.ensureCapacityForWrite(estimatedBytesAvailable);
    } catch (const std::bad_alloc&) {
      return;
    }
    size_t bytesRead = 0;
    const st::OSStatus result =
        sslContext_->read(preBuffer.writeBuffer(), estimatedBytesAvailable, &bytesRead);
    if (bytesRead > 0) preBuffer.didWrite(bytesRead);
    if (result != st::noErr) break;
  }
}

uint64_t GCDAsyncSocket::readDecrypted(uint8_t* buffer, uint64_t length, bool* waiting,
                                       bool* socketEOF, std::optional<Error>* error) {
  uint64_t bytesRead = 0;
  st::OSStatus result = st::noErr;
  do {
    size_t loopBytesRead = 0;
    result = sslContext_->read(buffer + bytesRead, length - bytesRead, &loopBytesRead);
    bytesRead += loopBytesRead;
  } while (result == st::noErr && bytesRead < length);
  if (result == st::errSSLWouldBlock) {
    *waiting = true;
  } else if (result == st::errSSLClosedGraceful || result == st::errSSLClosedAbort) {
    // The peer ended the stream: what was read still counts.
    *socketEOF = true;
    sslErrCode = result;
  } else if (result != st::noErr) {
    *error = Errors::sslError(result);
  }
  return bytesRead;
}

uint64_t GCDAsyncSocket::writeEncrypted(const GCDAsyncWritePacket& packet, bool* waiting,
                                        bool* waitingForPeer, std::optional<Error>* error) {
  uint64_t bytesWritten = 0;
  bool hasNewDataToWrite = true;
  if (sslWriteCachedLength > 0) {
    // A chunk handed over earlier has not been sent completely yet: send the rest first.
    size_t processed = 0;
    const st::OSStatus result = sslContext_->write(nullptr, 0, &processed);
    if (result == st::noErr) {
      bytesWritten = sslWriteCachedLength;
      sslWriteCachedLength = 0;
      if (packet.buffer.size() == packet.bytesDone + bytesWritten) hasNewDataToWrite = false;
    } else {
      if (result == st::errSSLWouldBlock) {
        *waiting = true;
      } else {
        *error = Errors::sslError(result);
      }
      hasNewDataToWrite = false;
    }
  }
  if (!hasNewDataToWrite) return bytesWritten;

  const uint8_t* buffer = packet.buffer.data() + packet.bytesDone + bytesWritten;
  uint64_t bytesRemaining = packet.buffer.size() - packet.bytesDone - bytesWritten;
  while (bytesRemaining > 0) {
    const size_t sslBytesToWrite =
        static_cast<size_t>(std::min<uint64_t>(bytesRemaining, kSSLMaxBytesToWrite));
    size_t sslBytesWritten = 0;
    const st::OSStatus result = sslContext_->write(buffer, sslBytesToWrite, &sslBytesWritten);
    if (result == st::noErr) {
      buffer += sslBytesWritten;
      bytesWritten += sslBytesWritten;
      bytesRemaining -= sslBytesWritten;
    } else {
      if (result == st::errSSLWouldBlock && sslBytesWritten == sslBytesToWrite) {
        // The session took the chunk and sends it once the descriptor drains.
        *waiting = true;
        sslWriteCachedLength = sslBytesToWrite;
      } else if (result == st::errSSLWouldBlock) {
        // Not taken: the same chunk is handed over again later. Either earlier records wait
        // for room on the descriptor (which then is no longer writable), or a handshake the
        // peer asked for waits for the peer's messages.
        if ((flags & writable) != 0 && (flags & peerEOF) != 0) {
          // The peer ended its stream: the handshake the write waits for cannot finish.
          *error = Errors::sslError(st::errSSLClosedAbort);
        } else if ((flags & writable) != 0) {
          *waitingForPeer = true;
        } else {
          *waiting = true;
        }
      } else {
        *error = Errors::sslError(result);
      }
      break;
    }
  }
  return bytesWritten;
}

}  // namespace corvane
