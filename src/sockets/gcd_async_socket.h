// Asynchronous TCP socket (client, server and Unix-domain), built on dispatch queues.
//
// Every request returns at once. The work runs on the socket queue (one private serial
// queue per socket unless the owner gives one), and every outcome is reported through the
// delegate (GCDAsyncSocketDelegate), asynchronously on the delegate queue.
//
// Queues and threads:
// - All state is touched only on the socket queue. Public calls run inline when the caller
//   is already on the socket queue (or on a queue marked with markSocketQueueTargetQueue),
//   otherwise they are submitted to it: synchronously for getters, connects, accepts,
//   `disconnect` and `performBlock`; asynchronously for setters, reads, writes and the
//   delayed disconnects. Every public member may be called from any thread.
// - Name look-up and the blocking connect() run on the global default-priority queue and
//   hold the socket weakly.
// - Members documented "socket queue only" must be called on the socket queue.
//
// Ownership: create with `create(...)`; the socket holds its delegate weakly and its
// delegate queue and socket queue strongly. Destroying the last reference closes the
// socket (the disconnect callback, if any, then gets a nullptr socket).
//
// Buffers: a write's bytes are shared, not copied; a caller's read buffer is written on
// the socket queue until the read completes, and must be left alone until then.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/error.h"
#include "platform/secure_transport/secure_transport.h"
#include "sockets/gcd_async_packet.h"
#include "sockets/gcd_async_socket_delegate.h"
#include "sockets/gcd_async_socket_error.h"
#include "sockets/gcd_async_socket_pre_buffer.h"
#include "sockets/gcd_async_special_packet.h"
#include "sockets/shared_data.h"

namespace corvane {

class GCDAsyncReadPacket;
class GCDAsyncWritePacket;

class GCDAsyncSocket : public std::enable_shared_from_this<GCDAsyncSocket> {
 public:
  using QueuePtr = platform::dispatch::QueuePtr;
  using SourcePtr = platform::dispatch::SourcePtr;
  using Error = platform::Error;
  using Bytes = std::vector<uint8_t>;
  using BufferPtr = std::shared_ptr<std::vector<uint8_t>>;
  using SocketPtr = std::shared_ptr<GCDAsyncSocket>;
  using DelegatePtr = std::shared_ptr<GCDAsyncSocketDelegate>;
  using WeakDelegate = std::weak_ptr<GCDAsyncSocketDelegate>;

  // `flags` bits (cleared by every close).
  enum Flags : uint32_t {
    begun = 0x1,                     // a connect or accept was begun
    established = 0x2,               // the connection is established
    ioRefused = 0x4,                 // no new reads or writes are accepted
    readTimeoutPending = 0x8,        // a read time-out is being put to the delegate
    writeTimeoutPending = 0x10,      // a write time-out is being put to the delegate
    closeWhenReadsDone = 0x20,       // close when the read queue drains
    closeWhenWritesDone = 0x40,      // close when the write queue drains
    writable = 0x80,                 // the descriptor is known writable
    readSourcePaused = 0x100,        // the read source is suspended
    writeSourcePaused = 0x200,       // the write source is suspended
    tlsRequested = 0x400,            // a TLS start is queued
    tlsReadSideReady = 0x800,        // the read side reached the TLS request
    tlsWriteSideReady = 0x1000,      // the write side reached the TLS request
    secured = 0x2000,                // TLS is established
    peerEOF = 0x4000,                // end of stream was read
    halfClosed = 0x8000,             // EOF read, pre-buffer drained, still writable
    tearingDown = 0x10000,           // the object is being destroyed
    sslWriteWaitsForPeer = 0x20000,  // an encrypted write waits for a handshake to read
  };
  // `config` bits (survive close).
  enum Config : uint16_t {
    noIPv4 = 0x1,
    noIPv6 = 0x2,
    favourIPv6 = 0x4,
    keepOpenOnEOF = 0x8,
  };

  // ---- Creation (init, initWithSocketQueue:, initWithDelegate:delegateQueue:,
  // initWithDelegate:delegateQueue:socketQueue:) ----
  static std::shared_ptr<GCDAsyncSocket> create();
  static std::shared_ptr<GCDAsyncSocket> create(QueuePtr sq);
  static std::shared_ptr<GCDAsyncSocket> create(WeakDelegate aDelegate, QueuePtr dq);
  static std::shared_ptr<GCDAsyncSocket> create(WeakDelegate aDelegate, QueuePtr dq, QueuePtr sq);

  // Wraps an already connected IPv4 or IPv6 descriptor (the socket takes it over). Returns
  // nullptr with code 8 when the descriptor has no peer or is of another family.
  static std::shared_ptr<GCDAsyncSocket> socketFromConnectedSocketFD(int socketFD, QueuePtr sq,
                                                                     Error* error);
  static std::shared_ptr<GCDAsyncSocket> socketFromConnectedSocketFD(int socketFD,
                                                                     WeakDelegate aDelegate,
                                                                     QueuePtr dq, Error* error);
  static std::shared_ptr<GCDAsyncSocket> socketFromConnectedSocketFD(int socketFD,
                                                                     WeakDelegate aDelegate,
                                                                     QueuePtr dq, QueuePtr sq,
                                                                     Error* error);

  ~GCDAsyncSocket();
  GCDAsyncSocket(const GCDAsyncSocket&) = delete;
  GCDAsyncSocket& operator=(const GCDAsyncSocket&) = delete;

  // ---- Delegate set-up ----
  DelegatePtr delegate() const;
  void setDelegate(WeakDelegate newDelegate);
  void synchronouslySetDelegate(WeakDelegate newDelegate);
  QueuePtr delegateQueue() const;
  void setDelegateQueue(QueuePtr newDelegateQueue);
  void synchronouslySetDelegateQueue(QueuePtr newDelegateQueue);
  void getDelegate(DelegatePtr* delegatePtr, QueuePtr* delegateQueuePtr) const;
  void setDelegate(WeakDelegate newDelegate, QueuePtr newDelegateQueue);
  void synchronouslySetDelegate(WeakDelegate newDelegate, QueuePtr newDelegateQueue);

  // ---- Configuration ----
  bool isIPv4Enabled() const;
  void setIPv4Enabled(bool flag);
  bool isIPv6Enabled() const;
  void setIPv6Enabled(bool flag);
  bool isIPv4PreferredOverIPv6() const;
  void setIPv4PreferredOverIPv6(bool flag);
  double alternateAddressDelay() const;
  void setAlternateAddressDelay(double delay);
  std::shared_ptr<void> userData() const;
  void setUserData(std::shared_ptr<void> arbitraryUserData);
  bool autoDisconnectOnClosedReadStream() const;
  void setAutoDisconnectOnClosedReadStream(bool flag);

  // ---- Accepting ----
  bool acceptOnPort(uint16_t port, Error* errPtr);
  // `inInterface`: "" = all interfaces, "localhost"/"loopback", an interface name or a
  // numeric address; port 0 lets the system choose (both families share it).
  bool acceptOnInterface(const std::string& inInterface, uint16_t port, Error* errPtr);
  // `url`: a file URL ("file:///tmp/socket") or a plain path.
  bool acceptOnUrl(const std::string& url, Error* errPtr);

  // ---- Connecting (the outcome comes through the delegate) ----
  bool connectToHost(const std::string& host, uint16_t port, Error* errPtr);
  bool connectToHost(const std::string& host, uint16_t port, double timeout, Error* errPtr);
  // `inInterface`: local interface to bind ("" = none), optionally "name:port".
  // `timeout` < 0: none.
  bool connectToHost(const std::string& inHost, uint16_t port, const std::string& inInterface,
                     double timeout, Error* errPtr);
  bool connectToAddress(const Bytes& remoteAddr, Error* errPtr);
  bool connectToAddress(const Bytes& remoteAddr, double timeout, Error* errPtr);
  bool connectToAddress(const Bytes& inRemoteAddr, const std::string& inInterface, double timeout,
                        Error* errPtr);
  bool connectToUrl(const std::string& url, double timeout, Error* errPtr);

  // ---- Closing ----
  void disconnect();
  void disconnectAfterReading();
  void disconnectAfterWriting();
  void disconnectAfterReadingAndWriting();

  // ---- State ----
  bool isDisconnected() const;
  bool isConnected() const;
  std::string connectedHost() const;
  uint16_t connectedPort() const;
  std::string connectedUrl() const;
  std::string localHost() const;
  uint16_t localPort() const;
  Bytes connectedAddress() const;
  Bytes localAddress() const;
  bool isIPv4() const;
  bool isIPv6() const;
  bool isSecure() const;

  // Per-family accessors: socket queue only (they do not switch queues).
  std::string connectedHost4() const;
  std::string connectedHost6() const;
  uint16_t connectedPort4() const;
  uint16_t connectedPort6() const;
  std::string localHost4() const;
  std::string localHost6() const;
  uint16_t localPort4() const;
  uint16_t localPort6() const;

  // ---- Reading (refused requests are dropped silently) ----
  void readDataWithTimeout(double timeout, long tag);
  void readDataWithTimeout(double timeout, BufferPtr buffer, uint64_t offset, long tag);
  void readDataWithTimeout(double timeout, BufferPtr buffer, uint64_t offset, uint64_t length,
                           long tag);
  void readDataToLength(uint64_t length, double timeout, long tag);
  void readDataToLength(uint64_t length, double timeout, BufferPtr buffer, uint64_t offset,
                        long tag);
  void readDataToData(const Bytes& data, double timeout, long tag);
  void readDataToData(const Bytes& data, double timeout, uint64_t length, long tag);
  void readDataToData(const Bytes& data, double timeout, BufferPtr buffer, uint64_t offset,
                      long tag);
  void readDataToData(const Bytes& data, double timeout, BufferPtr buffer, uint64_t offset,
                      uint64_t maxLength, long tag);
  // Progress of the current read: bytesDone / total (1.0 when the length is unknown); NaN
  // and zeros without a current read.
  float progressOfReadReturningTag(long* tagPtr, uint64_t* donePtr, uint64_t* totalPtr) const;

  // ---- Writing ----
  // An empty buffer is ignored. The bytes are shared, not copied.
  void writeData(SharedData data, double timeout, long tag);
  float progressOfWriteReturningTag(long* tagPtr, uint64_t* donePtr, uint64_t* totalPtr) const;

  // ---- TLS ----
  // Upgrades the connection to TLS once every read and write queued before has finished
  // (settings: see GCDAsyncSocketTLSSettings). Ignored unless a connect or accept was begun,
  // and when TLS was already requested or new requests are refused. Success is reported by
  // socketDidSecure; every failure closes the socket with its error.
  void startTLS(GCDAsyncSocketTLSSettings tlsSettings = {});

  // ---- Queue utilities ----
  void markSocketQueueTargetQueue(const QueuePtr& socketNewTargetQueue);
  void unmarkSocketQueueTargetQueue(const QueuePtr& socketOldTargetQueue);
  // Runs `block` synchronously on the socket queue (inline when already there).
  void performBlock(const std::function<void()>& block);
  // Socket queue only; -1 elsewhere.
  int socketFD() const;
  int socket4FD() const;
  int socket6FD() const;
  // The TLS session (nullptr before TLS starts). Socket queue only.
  std::shared_ptr<platform::secure_transport::SSLContext> sslContext() const;

  // ---- Class operations ----
  // Resolves `host` to raw socket addresses with `port` ("localhost"/"loopback" without the
  // resolver: 127.0.0.1 then ::1). Empty result with `errPtr` set on failure.
  static std::vector<Bytes> lookupHost(const std::string& host, uint16_t port, Error* errPtr);
  static std::string hostFromSockaddr4(const struct sockaddr_in* pSockaddr4);
  static std::string hostFromSockaddr6(const struct sockaddr_in6* pSockaddr6);
  static uint16_t portFromSockaddr4(const struct sockaddr_in* pSockaddr4);
  static uint16_t portFromSockaddr6(const struct sockaddr_in6* pSockaddr6);
  static std::string urlFromSockaddrUN(const struct sockaddr_un* pSockaddr);
  static std::string hostFromAddress(const Bytes& address);
  static uint16_t portFromAddress(const Bytes& address);
  static bool isIPv4Address(const Bytes& address);
  static bool isIPv6Address(const Bytes& address);
  static bool getHost(std::string* hostPtr, uint16_t* portPtr, const Bytes& address);
  static bool getHost(std::string* hostPtr, uint16_t* portPtr, sa_family_t* afPtr,
                      const Bytes& address);
  static Bytes CRLFData();
  static Bytes CRData();
  static Bytes LFData();
  static Bytes ZeroData();

  // The path of a file URL ("file:///p" or "file://host/p"), or `url` itself when it is a
  // plain path.
  static std::string pathFromUrl(const std::string& url);

 private:
  GCDAsyncSocket(WeakDelegate aDelegate, QueuePtr dq, QueuePtr sq);

  // Queue helpers.
  bool isOnSocketQueue() const;
  void runSync(const std::function<void()>& block) const;
  void runAsyncOrInline(std::function<void()> block);
  // The value `get` returns on the socket queue (inline when already there).
  template <class Get>
  auto syncValue(Get&& get) const;
  // Runs `request` synchronously on the socket queue (inline when already there). It
  // returns false with its error set on failure; the error then goes to `*errPtr` if given.
  template <class Request>
  bool runRequest(Error* errPtr, Request&& request);
  // Sets (`on`) or clears a `config` bit, asynchronously on the socket queue.
  void setConfigBit(uint16_t bit, bool on);
  template <class F>
  void notifyDelegate(F&& call);
  // Socket queue: a time-out timer in `*timer` (none for a negative time-out) that runs
  // `onTimeout` unless it has been replaced or dropped meanwhile.
  void startTimeoutTimer(SourcePtr GCDAsyncSocket::*timer, double timeout,
                         void (GCDAsyncSocket::*onTimeout)());
  // Socket queue: puts a read or write time-out to the delegate (`ask` runs on the delegate
  // queue) and hands the extension granted (0 without a delegate) to `withExtension` on the
  // socket queue, together with the packet it concerns.
  template <class Ask>
  void askForTimeoutExtension(const std::shared_ptr<GCDAsyncPacket>& packet, Ask ask,
                              void (GCDAsyncSocket::*withExtension)(const GCDAsyncPacket*, double));
  // Socket queue: the checks every connect and accept starts with, in the caller's words
  // (`action` "connect" or "accept"); false with the error when one fails.
  bool checkDelegateFor(const char* action, Error* errPtr) const;
  bool checkDisconnectedFor(const char* action, Error* errPtr) const;

  // Connecting (socket queue).
  bool preConnectWithInterface(const std::string& interface, Error* errPtr);
  bool preConnectWithUnixAddress(const Bytes& address, Error* errPtr);
  void lookupDidSucceed(int aStateIndex, Bytes address4, Bytes address6);
  void lookupDidFail(int aStateIndex, const Error& error);
  int createSocket(int family, const Bytes& connectInterface, Error* errPtr);
  bool connectWithAddress4(Bytes address4, Bytes address6, Error* errPtr);
  bool connectWithAddressUN(const Bytes& address, Error* errPtr);
  void connectSocket(int socketFD, const Bytes& address, int aStateIndex);
  // Runs the blocking connect() of `connectFD` (a duplicate, closed afterwards) on the global
  // queue and hands its result and errno to `finished` on the socket queue, unless the
  // socket is gone by then.
  void connectInBackground(int connectFD, Bytes address,
                           std::function<void(GCDAsyncSocket&, int result, int err)> finished);
  void connectAttemptFinished(int socketFD, int result, int err, int aStateIndex);
  void closeSocket(int socketFD);
  void closeUnusedSocket(int usedSocketFD);
  void didConnect(int aStateIndex);
  void didNotConnect(int aStateIndex, const Error& error);
  void startConnectTimeout(double timeout);
  void endConnectTimeout();
  void doConnectTimeout();
  static void getInterfaceAddress4(Bytes* interfaceAddr4Ptr, Bytes* interfaceAddr6Ptr,
                                   const std::string& interfaceDescription, uint16_t port);
  // The Unix-domain address of a file URL; empty when the URL is unusable.
  static Bytes unixAddressFromUrl(const std::string& url);

  // Closing (socket queue).
  void closeWithError(const std::optional<Error>& error);
  // Undoes a request that failed inside its call, without a disconnect callback.
  void closeAfterFailedRequest();
  void maybeClose();

  // Accepting (socket queue).
  int createAcceptSocket(int domain, const Bytes& interfaceAddr, Error* errPtr);
  SourcePtr makeAcceptSource(int socketFD);
  bool doAccept(int parentSocketFD);

  // Reading (socket queue).
  void setupReadAndWriteSourcesForNewlyConnectedSocket(int socketFD);
  void suspendReadSource();
  void resumeReadSource();
  void suspendWriteSource();
  void resumeWriteSource();
  void enqueueRead(std::shared_ptr<GCDAsyncReadPacket> packet);
  void maybeDequeueRead();
  void dequeueNextRead();
  void doReadData();
  void doReadEOF();
  // One pass of the read step over the current read packet.
  struct ReadPass {
    bool done = false;        // the read is complete
    bool waiting = false;     // the descriptor has nothing more now
    bool socketEOF = false;   // the end of the stream was seen
    uint64_t bytesAdded = 0;  // bytes added to the packet in this pass
    std::optional<Error> error;
  };
  // The bytes a read can count on: the descriptor's, plus the session's on a secure socket.
  uint64_t estimateBytesAvailable() const;
  void readFromPreBuffer(GCDAsyncReadPacket& packet, ReadPass* pass);
  void readFromSocket(GCDAsyncReadPacket& packet, uint64_t estimatedBytesAvailable, ReadPass* pass);
  uint64_t readPlain(uint8_t* buffer, uint64_t bytesToRead, ReadPass* pass);
  // Counts `bytesRead` new bytes (in the pre-buffer or in place) into the packet.
  void takeBytesRead(GCDAsyncReadPacket& packet, uint64_t bytesRead, bool readIntoPreBuffer,
                     ReadPass* pass);
  void takeTermReadInPlace(GCDAsyncReadPacket& packet, uint64_t bytesRead, ReadPass* pass);
  void copyFromPreBuffer(GCDAsyncReadPacket& packet, uint64_t length, ReadPass* pass);
  static void addToPacket(GCDAsyncReadPacket& packet, uint64_t length, ReadPass* pass);
  static void checkTermReadCap(const GCDAsyncReadPacket& packet, ReadPass* pass);
  // Completes the read or reports partial progress, then closes, ends or waits.
  void finishReadPass(GCDAsyncReadPacket& packet, ReadPass* pass);
  void completeCurrentRead();
  void endCurrentRead();
  void setupReadTimerWithTimeout(double timeout);
  void doReadTimeout();
  void doReadTimeoutWithExtension(const GCDAsyncPacket* packet, double timeoutExtension);
  int connectedDescriptor() const;

  // Socket queue: the read source fired with `bytesAvailable` bytes reported.
  void handleReadEvent(uint64_t bytesAvailable, int socketFD);
  // Writing (socket queue).
  void maybeDequeueWrite();
  void doWriteData();
  void completeCurrentWrite();
  void endCurrentWrite();
  void setupWriteTimerWithTimeout(double timeout);
  void doWriteTimeout();
  void doWriteTimeoutWithExtension(const GCDAsyncPacket* packet, double timeoutExtension);

  // TLS (socket queue). A queue that reached the marker tries to start; both must have.
  void maybeStartTLS();
  void ssl_startTLS();
  // Applies the settings to the new session; false with the closing error on failure.
  bool ssl_applySettings(const GCDAsyncSocketTLSSettings& tlsSettings,
                         std::optional<Error>* failure);
  void ssl_continueSSLHandshake();
  void ssl_shouldTrustPeer(bool shouldTrust, int aStateIndex);
  void flushSSLBuffers();
  // The session's I/O functions: the descriptor, the TLS pre-buffer and the flags.
  platform::secure_transport::OSStatus sslReadWithBuffer(void* buffer, size_t* bufferLength);
  platform::secure_transport::OSStatus sslWriteWithBuffer(const void* buffer, size_t* bufferLength);
  static platform::secure_transport::OSStatus SSLReadFunction(
      platform::secure_transport::SSLConnectionRef connection, void* data, size_t* dataLength);
  static platform::secure_transport::OSStatus SSLWriteFunction(
      platform::secure_transport::SSLConnectionRef connection, const void* data,
      size_t* dataLength);
  // Socket queue, secure socket: decrypts into `buffer` (up to `length` bytes); sets the
  // closing status or error like a plain read would.
  uint64_t readDecrypted(uint8_t* buffer, uint64_t length, bool* waiting, bool* socketEOF,
                         std::optional<Error>* error);
  // Socket queue, secure socket: one encrypting pass over the rest of `packet`. `*waiting`:
  // the descriptor is full; `*waitingForPeer`: the session must first read the peer's
  // handshake messages (the write goes on after the next read event).
  uint64_t writeEncrypted(const GCDAsyncWritePacket& packet, bool* waiting, bool* waitingForPeer,
                          std::optional<Error>* error);
  // Socket queue: after a read event, continues a write that waited for the peer.
  void continueWriteWaitingForPeer();

  // ---- Fields (socket queue only, except where noted) ----
  uint32_t flags;
  uint16_t config;
  WeakDelegate delegate_;
  QueuePtr delegateQueue_;
  int socket4FD_;
  int socket6FD_;
  int socketUN;
  std::string socketUrl;
  int stateIndex;
  Bytes connectInterface4;
  Bytes connectInterface6;
  Bytes connectInterfaceUN;
  QueuePtr socketQueue;  // set at creation, never changed: readable from any thread
  SourcePtr accept4Source;
  SourcePtr accept6Source;
  SourcePtr acceptUNSource;
  SourcePtr connectTimer;
  SourcePtr readSource;
  SourcePtr writeSource;
  SourcePtr readTimer;
  SourcePtr writeTimer;
  std::deque<std::shared_ptr<GCDAsyncPacket>> readQueue;
  std::deque<std::shared_ptr<GCDAsyncPacket>> writeQueue;
  std::shared_ptr<GCDAsyncPacket> currentRead;
  std::shared_ptr<GCDAsyncPacket> currentWrite;
  uint64_t socketFDBytesAvailable;
  GCDAsyncSocketPreBuffer preBuffer;
  std::shared_ptr<platform::secure_transport::SSLContext> sslContext_;
  std::unique_ptr<GCDAsyncSocketPreBuffer> sslPreBuffer;
  uint64_t sslWriteCachedLength;
  int32_t sslErrCode;
  int32_t lastSSLHandshakeError;
  // Queue-specific key (its own address) marking code on the socket queue.
  void* IsOnSocketQueueOrTargetQueueKey;
  std::shared_ptr<void> userData_;
  double alternateAddressDelay_;
  // maybeDequeueRead's loop is running / was asked for another turn meanwhile.
  bool servingReadQueue = false;
  bool readQueueServeAgain = false;
};

}  // namespace corvane
