// The asynchronous datagram socket. All state lives on one private serial queue (the
// socket queue); every outcome is reported to the delegate, asynchronously, on the delegate
// queue. The socket holds up to two descriptors, one IPv4 and one IPv6, created lazily (by
// bind, port reuse, broadcast, connect or the first send); binding or connecting may leave
// one family inactive.
//
// Threads: every public member may be called from any thread. Getters run synchronously
// on the socket queue, setters and send/receive requests asynchronously on it; both run
// inline when the caller is already on the socket queue (or on a queue marked with
// `markSocketQueueTargetQueue`). Operations with an error out-parameter run synchronously
// on the socket queue. Filters run on their own queues, resolution on the global
// default-priority queue.
//
// Ownership: create with `create(...)`; the socket holds its delegate weakly, its delegate
// queue, filter queues and socket queue strongly. Destroying the socket closes it (a close
// callback then gets a nullptr socket).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <any>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/error.h"
#include "sockets/gcd_async_udp_send_packet.h"
#include "sockets/gcd_async_udp_socket_delegate.h"
#include "sockets/gcd_async_udp_socket_error.h"
#include "sockets/gcd_async_udp_socket_types.h"
#include "sockets/shared_data.h"

namespace corvane {

class GCDAsyncUdpSocket : public std::enable_shared_from_this<GCDAsyncUdpSocket> {
 public:
  using QueuePtr = platform::dispatch::QueuePtr;
  using Error = platform::Error;
  using DelegatePtr = std::shared_ptr<GCDAsyncUdpSocketDelegate>;
  using WeakDelegate = std::weak_ptr<GCDAsyncUdpSocketDelegate>;
  using Address = GCDAsyncUdpAddress;

  // `init`, `initWithSocketQueue:`, `initWithDelegate:delegateQueue:` and
  // `initWithDelegate:delegateQueue:socketQueue:`. Without a socket queue, or with a
  // concurrent one, a new serial queue labelled "GCDAsyncUdpSocket" is made.
  static std::shared_ptr<GCDAsyncUdpSocket> create();
  static std::shared_ptr<GCDAsyncUdpSocket> create(QueuePtr sq);
  static std::shared_ptr<GCDAsyncUdpSocket> create(WeakDelegate aDelegate, QueuePtr dq);
  static std::shared_ptr<GCDAsyncUdpSocket> create(WeakDelegate aDelegate, QueuePtr dq,
                                                   QueuePtr sq);
  ~GCDAsyncUdpSocket();

  GCDAsyncUdpSocket(const GCDAsyncUdpSocket&) = delete;
  GCDAsyncUdpSocket& operator=(const GCDAsyncUdpSocket&) = delete;

  // ---- delegate set-up (plain setters asynchronous, synchronous ones wait)
  DelegatePtr delegate();
  void setDelegate(WeakDelegate newDelegate);
  void synchronouslySetDelegate(WeakDelegate newDelegate);
  QueuePtr delegateQueue();
  void setDelegateQueue(QueuePtr newDelegateQueue);
  void synchronouslySetDelegateQueue(QueuePtr newDelegateQueue);
  void getDelegate(DelegatePtr* delegatePtr, QueuePtr* delegateQueuePtr);
  void setDelegate(WeakDelegate newDelegate, QueuePtr newDelegateQueue);
  void synchronouslySetDelegate(WeakDelegate newDelegate, QueuePtr newDelegateQueue);

  // ---- options
  bool isIPv4Enabled();
  void setIPv4Enabled(bool flag);
  bool isIPv6Enabled();
  void setIPv6Enabled(bool flag);
  bool isIPv4Preferred();
  bool isIPv6Preferred();
  bool isIPVersionNeutral();
  void setPreferIPv4();
  void setPreferIPv6();
  void setIPVersionNeutral();
  uint16_t maxReceiveIPv4BufferSize();
  void setMaxReceiveIPv4BufferSize(uint16_t max);
  uint32_t maxReceiveIPv6BufferSize();
  void setMaxReceiveIPv6BufferSize(uint32_t max);
  uint16_t maxSendBufferSize();
  void setMaxSendBufferSize(uint16_t max);
  std::any userData();
  void setUserData(std::any arbitraryUserData);

  // ---- local and peer names (empty / 0 when unknown)
  Address localAddress();
  std::string localHost();
  uint16_t localPort();
  Address localAddress_IPv4();
  std::string localHost_IPv4();
  uint16_t localPort_IPv4();
  Address localAddress_IPv6();
  std::string localHost_IPv6();
  uint16_t localPort_IPv6();
  Address connectedAddress();
  std::string connectedHost();
  uint16_t connectedPort();
  bool isConnected();
  bool isClosed();
  bool isIPv4();
  bool isIPv6();

  // ---- binding and connecting
  bool bindToPort(uint16_t port, Error* errPtr);
  // `interface`: a name ("eth0"), a numeric address, "localhost"/"loopback", or none (all).
  bool bindToPort(uint16_t port, const std::optional<std::string>& interface, Error* errPtr);
  bool bindToAddress(const Address& localAddr, Error* errPtr);
  // The outcome of a connect comes through the delegate; false only for a refused request.
  bool connectToHost(const std::optional<std::string>& host, uint16_t port, Error* errPtr);
  bool connectToAddress(const Address& remoteAddr, Error* errPtr);

  // ---- multicast, reuse, broadcast
  bool joinMulticastGroup(const std::string& group, Error* errPtr);
  bool joinMulticastGroup(const std::string& group, const std::optional<std::string>& interface,
                          Error* errPtr);
  bool leaveMulticastGroup(const std::string& group, Error* errPtr);
  bool leaveMulticastGroup(const std::string& group, const std::optional<std::string>& interface,
                           Error* errPtr);
  bool enableReusePort(bool flag, Error* errPtr);
  bool enableBroadcast(bool flag, Error* errPtr);

  // ---- sending (an empty datagram is ignored)
  void sendData(SharedData data, long tag);
  // Connected socket: to the peer.
  void sendData(SharedData data, double timeout, long tag);
  void sendData(SharedData data, const std::string& host, uint16_t port, double timeout, long tag);
  void sendData(SharedData data, const Address& remoteAddr, double timeout, long tag);
  void setSendFilter(GCDAsyncUdpSocketSendFilterBlock filterBlock, QueuePtr filterQueue);
  void setSendFilter(GCDAsyncUdpSocketSendFilterBlock filterBlock, QueuePtr filterQueue,
                     bool isAsynchronous);

  // ---- receiving
  bool receiveOnce(Error* errPtr);
  bool beginReceiving(Error* errPtr);
  void pauseReceiving();
  void setReceiveFilter(GCDAsyncUdpSocketReceiveFilterBlock filterBlock, QueuePtr filterQueue);
  void setReceiveFilter(GCDAsyncUdpSocketReceiveFilterBlock filterBlock, QueuePtr filterQueue,
                        bool isAsynchronous);
  void applicationWillEnterForeground();

  // ---- closing
  void close();
  void closeAfterSending();

  // ---- queue utilities
  void markSocketQueueTargetQueue(const QueuePtr& socketNewTargetQueue);
  void unmarkSocketQueueTargetQueue(const QueuePtr& socketOldTargetQueue);
  void performBlock(const platform::dispatch::Block& block);
  // The descriptors; only meaningful on the socket queue (else -1).
  int socketFD();
  int socket4FD();
  int socket6FD();

  // ---- address helpers (any thread)
  static std::string hostFromSockaddr4(const struct sockaddr_in* pSockaddr4);
  static std::string hostFromSockaddr6(const struct sockaddr_in6* pSockaddr6);
  static uint16_t portFromSockaddr4(const struct sockaddr_in* pSockaddr4);
  static uint16_t portFromSockaddr6(const struct sockaddr_in6* pSockaddr6);
  // Numeric host text of an IPv4 (>= 16 bytes) or IPv6 (>= 28 bytes) address, else none.
  static std::optional<std::string> hostFromAddress(const Address& address);
  static uint16_t portFromAddress(const Address& address);
  // AF_INET, AF_INET6 or AF_UNSPEC.
  static int familyFromAddress(const Address& address);
  static bool isIPv4Address(const Address& address);
  static bool isIPv6Address(const Address& address);
  static bool getHost(std::string* hostPtr, uint16_t* portPtr, const Address& address);
  static bool getHost(std::string* hostPtr, uint16_t* portPtr, int* afPtr, const Address& address);

 private:
  GCDAsyncUdpSocket(WeakDelegate aDelegate, QueuePtr dq, QueuePtr sq);

  // `flags` bits.
  enum : uint32_t {
    socketsMade = 0x1,
    bound = 0x2,
    connectPending = 0x4,
    peerFixed = 0x8,
    receiveOneShot = 0x10,
    receiveStream = 0x20,
    ipv4Inactive = 0x40,
    ipv6Inactive = 0x80,
    send4Paused = 0x100,
    send6Paused = 0x200,
    receive4Paused = 0x400,
    receive6Paused = 0x800,
    ipv4Writable = 0x1000,
    ipv6Writable = 0x2000,
    ioRefused = 0x4000,
    closeWhenSent = 0x8000,
    alternateFamily = 0x10000,
  };
  // `config` bits.
  enum : uint16_t {
    noIPv4 = 0x1,
    noIPv6 = 0x2,
    favourIPv4 = 0x4,
    favourIPv6 = 0x8,
  };

  using ResolveCompletion =
      std::function<void(std::vector<Address> addresses, std::optional<Error> error)>;

  // Runs `f` on the socket queue and waits (inline when already there).
  template <class F>
  void runSync(F&& f);
  // Runs `f` on the socket queue without waiting (inline when already there).
  void runAsync(platform::dispatch::Block f);
  bool isOnSocketQueue() const;
  // The value `get` returns on the socket queue (inline when already there).
  template <class Get>
  auto syncValue(Get&& get);
  // Runs `request` synchronously on the socket queue (inline when already there). It
  // returns false with its error set on failure; the error then goes to `*errPtr` if given.
  template <class Request>
  bool runRequest(Error* errPtr, Request&& request);
  // Sets `setBits` and clears `clearBits` of `config`, asynchronously on the socket queue.
  void changeConfig(uint16_t setBits, uint16_t clearBits);
  // Stores (or, with an empty block, removes) a send or receive filter, asynchronously on
  // the socket queue.
  template <class FilterBlock>
  void storeFilter(FilterBlock filterBlock, QueuePtr filterQueue, bool isAsynchronous,
                   FilterBlock GCDAsyncUdpSocket::*blockField,
                   QueuePtr GCDAsyncUdpSocket::*queueField, bool GCDAsyncUdpSocket::*asyncField);

  // Delegate notifications (socket queue).
  template <class F>
  void notifyDelegate(F f);
  void notifyDidConnectToAddress(const Address& address);
  void notifyDidNotConnect(const Error& error);
  void notifyDidSendDataWithTag(long tag);
  void notifyDidNotSendDataWithTag(long tag, const Error& error);
  void notifyDidReceiveData(const SharedData& data, const Address& address, std::any context);
  void notifyDidClose(const std::optional<Error>& error);

  // Set-up (socket queue).
  bool preOp(Error* errPtr);
  bool preBind(Error* errPtr);     // preOp, then neither bound nor connected
  bool preConnect(Error* errPtr);  // preOp, then not connected and a family enabled
  bool createSockets(Error* errPtr);
  bool createSocket4(bool useIPv4, bool useIPv6, Error* errPtr);
  int createSocketForFamily(int domain, Error* errPtr);
  void setupSendAndReceiveSources(bool ipv4);
  void convertIntefaceDescription(const std::optional<std::string>& interfaceDescription,
                                  uint16_t port, Address* interfaceAddr4Ptr,
                                  Address* interfaceAddr6Ptr,
                                  unsigned int* interfaceIndex6Ptr = nullptr);
  bool performMulticastRequest(bool join, const std::string& group,
                               const std::optional<std::string>& interface, Error* errPtr);
  void maybeConnect();

  // Closing (socket queue).
  void closeWithError(const std::optional<Error>& error);
  void closeSockets();
  void closeSocket4();
  void closeSocket6();
  void closeSocketOfFamily(bool ipv4);

  // Sources (socket queue).
  // Suspend or resume the source of the IPv4 (`ipv4`) or IPv6 descriptor, at most once.
  void suspendSendSource(bool ipv4);
  void resumeSendSource(bool ipv4);
  void suspendReceiveSource(bool ipv4);
  void resumeReceiveSource(bool ipv4);
  void sendSourceEvent(bool ipv4, const platform::dispatch::Source* source);
  void receiveSourceEvent(bool ipv4, const platform::dispatch::Source* source);

  // Local / peer name caches (socket queue).
  void maybeUpdateCachedLocalAddressInfo(bool ipv4);
  // Any thread: on the socket queue, `field4` or `field6` of the local name of the IPv4 or
  // IPv6 descriptor (`family` AF_INET / AF_INET6; AF_UNSPEC: IPv4 when it exists), cached
  // first if need be.
  template <class T>
  T localInfo(int family, T GCDAsyncUdpSocket::*field4, T GCDAsyncUdpSocket::*field6);

  // Sending (socket queue, except resolution).
  void asyncResolveHost(const std::optional<std::string>& host, uint16_t port,
                        ResolveCompletion completionBlock);
  bool getAddress(Address* addressPtr, int* familyPtr, Error* errorPtr,
                  const std::vector<Address>& addresses);
  void maybeDequeueSend();
  void dequeueSendOnce();
  void doPreSend();
  void doSend();
  void setupSendTimerWithTimeout(double timeout);
  void doSendTimeout();
  void endCurrentSend();
  void enqueueSendPacket(std::shared_ptr<GCDAsyncUdpSendPacket> packet);

  // Receiving (socket queue, except startReceiving: any thread).
  // Switches to receive mode `mode` (receiveOneShot or receiveStream) and starts receiving.
  bool startReceiving(uint32_t mode, Error* errPtr);
  // The receive step, on the socket queue.
  void doReceive();
  void doReceiveEOF();
  // What one recvfrom() gave.
  struct ReceivedDatagram {
    enum class Outcome { datagram, ignored, waiting, failed, endOfStream };
    Outcome outcome = Outcome::ignored;
    SharedData data;
    Address address;
    std::optional<Error> error;
  };
  // How a datagram reached the delegate: told, dropped (by the filter), or still with the
  // asynchronous filter.
  enum class Delivery { notified, ignored, filtering };
  // Not receiving, or nothing reported: the sources are set to wait; true to stop.
  bool receiveStepMustWait();
  // The family to read from next (true: IPv4).
  bool chooseReceiveFamily();
  ReceivedDatagram receiveDatagram(bool ipv4);
  Delivery deliverDatagram(const SharedData& data, const Address& address);
  void filterAsynchronously(const GCDAsyncUdpSocketReceiveFilterBlock& filterBlock,
                            const SharedData& data, const Address& address);

  // ---- state; every field below is touched only on the socket queue
  WeakDelegate delegate_;
  QueuePtr delegateQueue_;

  GCDAsyncUdpSocketReceiveFilterBlock receiveFilterBlock_;
  QueuePtr receiveFilterQueue_;
  bool receiveFilterAsync_ = false;

  GCDAsyncUdpSocketSendFilterBlock sendFilterBlock_;
  QueuePtr sendFilterQueue_;
  bool sendFilterAsync_ = false;

  uint32_t flags_ = 0;
  uint16_t config_ = 0;

  uint16_t max4ReceiveSize_ = 65535;
  uint32_t max6ReceiveSize_ = 65535;
  uint16_t maxSendSize_ = 65535;

  int socket4FD_ = -1;
  int socket6FD_ = -1;

  QueuePtr socketQueue_;

  platform::dispatch::SourcePtr send4Source_;
  platform::dispatch::SourcePtr send6Source_;
  platform::dispatch::SourcePtr receive4Source_;
  platform::dispatch::SourcePtr receive6Source_;
  platform::dispatch::SourcePtr sendTimer_;

  std::shared_ptr<GCDAsyncUdpPacket> currentSend_;
  std::deque<std::shared_ptr<GCDAsyncUdpPacket>> sendQueue_;

  uint64_t socket4FDBytesAvailable_ = 0;
  uint64_t socket6FDBytesAvailable_ = 0;

  uint32_t pendingFilterOperations_ = 0;

  Address cachedLocalAddress4_;
  std::string cachedLocalHost4_;
  uint16_t cachedLocalPort4_ = 0;

  Address cachedLocalAddress6_;
  std::string cachedLocalHost6_;
  uint16_t cachedLocalPort6_ = 0;

  Address cachedConnectedAddress_;
  std::string cachedConnectedHost_;
  uint16_t cachedConnectedPort_ = 0;
  int cachedConnectedFamily_ = 0;

  // Its address is the queue-specific key; the value is the socket itself.
  const char IsOnSocketQueueOrTargetQueueKey = 0;

  std::any userData_;

  // Serving the send queue runs as a loop rather than by recursion, so that a long queue
  // of packets that finish at once cannot grow the stack.
  bool dequeueActive_ = false;
  bool dequeueAgain_ = false;
};

template <class F>
void GCDAsyncUdpSocket::runSync(F&& f) {
  if (isOnSocketQueue()) {
    f();
  } else {
    socketQueue_->sync([&f] { f(); });
  }
}

template <class Get>
auto GCDAsyncUdpSocket::syncValue(Get&& get) {
  std::decay_t<decltype(get())> result{};
  runSync([&] { result = get(); });
  return result;
}

template <class Request>
bool GCDAsyncUdpSocket::runRequest(Error* errPtr, Request&& request) {
  Error err;
  const bool ok = syncValue([&] { return request(&err); });
  if (!ok && errPtr != nullptr) *errPtr = std::move(err);
  return ok;
}

template <class FilterBlock>
void GCDAsyncUdpSocket::storeFilter(FilterBlock filterBlock, QueuePtr filterQueue,
                                    bool isAsynchronous, FilterBlock GCDAsyncUdpSocket::*blockField,
                                    QueuePtr GCDAsyncUdpSocket::*queueField,
                                    bool GCDAsyncUdpSocket::*asyncField) {
  if (!filterBlock) {
    filterQueue = nullptr;
    isAsynchronous = false;
  }
  auto self = shared_from_this();
  runAsync([self, filterBlock = std::move(filterBlock), filterQueue = std::move(filterQueue),
            isAsynchronous, blockField, queueField, asyncField] {
    self.get()->*blockField = filterBlock;
    self.get()->*queueField = filterQueue;
    self.get()->*asyncField = isAsynchronous;
  });
}

}  // namespace corvane
