// The sender's link to one receiver: four TCP connections (control 11102, video 11104,
// audio 11103, touch 11101), the heartbeat on the control connection, the control protocol,
// and media writes with at most 10 in flight per media connection.
//
// Threads:
// - `connect`, `disconnect`, the request methods and the properties may be called from any
//   thread (the session controller calls them from the main thread and from the socket
//   delegate queue).
// - `sendVideoData` / `sendAudioData` run on the caller's thread (the session's media
//   thread) and may block it for up to 3.0 s / 10.0 s waiting for a free slot.
// - Socket callbacks (and so `onReceiveControlData` and the handlers) run on the global
//   high-priority concurrent queue; control reads (of at most 64 KiB) are serialised by
//   arming one read at a time.
//   Every control connection has a generation of its own (a new one at each `connect`, and
//   when `disconnect` or an error ends it); its reads carry it as their tag. A chunk whose
//   connection has ended is not handled, a chunk handled when its connection ends handles
//   no further packet, and neither arms a read: so the control packets of one connection
//   reach the delegate one at a time and in their order, even when a delegate call of the
//   previous connection is still running.
// - The heartbeat runs on a thread of its own and may call `onConnectFailed` there.
// Ownership: made with `create`; the link owns its sockets and gates and holds its delegate
// weakly. The heartbeat thread holds the link weakly and ends within one round after the
// link is gone.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "platform/dispatch/dispatch.h"
#include "session/control_packet.h"
#include "session/mouse_event.h"
#include "session/net_stream_delegate.h"
#include "session/no_data_queue.h"
#include "sockets/gcd_async_socket.h"
#include "sockets/gcd_async_socket_delegate.h"

namespace corvane {

inline constexpr uint16_t kTouchPort = 11101;
inline constexpr uint16_t kControlPort = 11102;
inline constexpr uint16_t kAudioPort = 11103;
inline constexpr uint16_t kVideoPort = 11104;

class NetStream : public GCDAsyncSocketDelegate, public std::enable_shared_from_this<NetStream> {
 public:
  static std::shared_ptr<NetStream> create();
  ~NetStream() override;
  NetStream(const NetStream&) = delete;
  NetStream& operator=(const NetStream&) = delete;

  // Connecting and closing. A control connection that cannot even be started (an empty
  // host) is reported as `onConnectFailed`, posted to the control socket's queue.
  void connect(const std::string& host);
  void disconnect();

  // Media writes: the wire part of a media packet. The bytes are copied; the caller may free
  // them on return. Dropped with a log line when no slot comes in time, and at once (one
  // log line until the next `connect`) while the media connection is closed: when it ends,
  // the slots of its unfinished writes are freed.
  void sendVideoData(const uint8_t* data, int32_t length);
  void sendAudioData(const uint8_t* data, int32_t length);

  // Heartbeat. `sendHeartBeat` is the heartbeat thread's body.
  void startPingThread();
  void stopPingThread();
  void sendHeartBeat();
  // The wall clock in milliseconds. Nothing measures intervals with it: the silence check
  // uses `steadyMilliSeconds`.
  static uint64_t getCurentMilliSeconds();
  // A steady clock in milliseconds (from an arbitrary start): the receiver's silence.
  static uint64_t steadyMilliSeconds();

  // The control connection of `generation` is up: reports it, then arms its first read.
  void onControlSocketConnected(uint64_t generation);
  void onVideoSocketCOnnected() {}

  // Sending side of the control protocol (none reports an outcome). While 16384 control
  // writes are still waiting in the socket (a receiver that does not read), further packets
  // are dropped with a log line.
  void sendControlData(uint8_t type, uint8_t requestCode, const uint8_t* attach12);
  void sendResponse(uint8_t result, const _RequestPacket& request, const uint8_t* attach8);
  void sendOkResonseFor(const _RequestPacket& request, const uint8_t* attach8);
  void sendFailedResponseFor(const _RequestPacket& request, const uint8_t* attach8);

  // The sender's requests.
  void requestMirrorStart();
  void requestMirrorStop();
  void requestGetReceiverStatus();
  void requestGetReceiverVersion();
  void requestReceiverVersion();
  void setSenderName(const std::string& name);
  void requestSyncClientType();
  void requestGetAuthentication();
  void requestMouseAlone(bool on);
  void requestMouseEvent(const MouseEvent& event);
  void requestAuthenPinCode(const std::string& pin);
  // Requests whose bodies are empty: they send nothing.
  void requestAuthenticate(const std::string& /*code*/) {}
  void requestSyncClientCode() {}
  void setTouchMode(int /*mode*/) {}
  void requestGetRotationDegree() {}
  void setTouchScreenEnabled(bool /*enabled*/) {}
  void requestSyncClientVersion(const std::string& /*version*/) {}
  void requestGetReceiverName() {}

  // Receiving side (socket delegate queue, one chunk at a time). `onReceiveControlData`
  // handles a chunk of the current control connection and then arms its next read.
  void onReceiveControlData(std::span<const uint8_t> data);
  void handleControlRequest(const _RequestPacket& request);
  void handleControlResponse(const _ResponsePacket& response);
  void handleControlCallback(const CallbackPacket& callback);
  void handleResponseMirrorStart(const _ResponsePacket& response);
  void handleResponseMirrorStop(const _ResponsePacket& response);
  void handleResponseGetReceiverStatus(const _ResponsePacket& response);
  void handleResponseGetReceiverVersion(const _ResponsePacket& response);
  void handleResponseGetAuthenticateType(const _ResponsePacket& response);
  void handleResponseAuthenticate(const _ResponsePacket& /*response*/) {}

  // Properties.
  int8_t locaIpByte() const { return locaIpByte_.load(std::memory_order_relaxed); }
  void setLocaIpByte(int8_t value) { locaIpByte_.store(value, std::memory_order_relaxed); }
  std::shared_ptr<NetStreamDelegate> delegate() const;
  void setDelegate(std::weak_ptr<NetStreamDelegate> delegate);
  bool isConnected() const { return connected.load(std::memory_order_relaxed); }

  // GCDAsyncSocketDelegate.
  void socketDidConnectToHost(const SocketPtr& sock, const std::string& host,
                              uint16_t port) override;
  void socketDidReadData(const SocketPtr& sock, const SharedData& data, long tag) override;
  void socketDidDisconnect(const SocketPtr& sock,
                           const std::optional<platform::Error>& err) override;
  std::optional<double> socketShouldTimeoutWriteWithTag(const SocketPtr& sock, long tag,
                                                        double elapsed, uint64_t length) override;
  void socketDidWriteDataWithTag(const SocketPtr& sock, long tag) override;

 private:
  NetStream();
  void init();
  static void heartbeatLoop(const std::weak_ptr<NetStream>& weak, uint64_t generation);
  bool heartbeatRunning(uint64_t generation) const;
  void perform(const struct ControlDecision& decision, const _RequestPacket* request);
  // The control connection of `generation` is still the current one.
  bool isCurrentControl(uint64_t generation) const;
  // The control connection is up: true (with its generation) for the first report of the
  // current connection, false for a late report of an ended one or a repeated one.
  bool beginControlConnection(uint64_t* generation);
  void receiveControlChunk(std::span<const uint8_t> data, uint64_t generation);
  // Arms the next read of the connection of `generation`, unless it has ended.
  void armControlRead(uint64_t generation);
  // The control socket has closed: stops the heartbeat unless a newer connection owns it.
  // True when an error ended the current connection, whose other connections are then
  // closed; the caller reports it unless a `connect` has come since `endedGeneration`.
  bool endControlConnection(bool error, uint64_t* endedGeneration);
  void writeControl(ControlPacketBytes packet, long tag);
  // One media connection with its in-flight gate. `closed` is set when the connection has
  // ended (or before the first connect) and cleared by `connect`; it changes only under
  // `mediaMutex_`.
  struct MediaConnection {
    std::shared_ptr<GCDAsyncSocket> socket;
    std::shared_ptr<NoDataQueue> gate;
    double slotWait = 0;
    long tag = 0;
    const char* refusal = "";
    const char* closedDrop = "";
    std::atomic<bool> closed{true};
    std::atomic<bool> dropLogged{false};  // one drop line per closed period
    void open();
    void close();
  };
  void sendMedia(MediaConnection& media, const uint8_t* data, int32_t length);
  void mediaConnectionEnded(MediaConnection& media);

  std::shared_ptr<GCDAsyncSocket> controlSocket;
  std::shared_ptr<GCDAsyncSocket> videoSocket;
  std::shared_ptr<GCDAsyncSocket> audioSocket;
  std::shared_ptr<GCDAsyncSocket> touchSocket;
  platform::dispatch::QueuePtr controlSocketQueue;
  platform::dispatch::QueuePtr socketQueue;
  std::shared_ptr<NoDataQueue> videoNoDataQueue;
  std::shared_ptr<NoDataQueue> audioSignalQueue;
  // Held by `connect`, `disconnect` and the control connection's start and end for their
  // whole step, so that none of them sees another half done. Taken before `mediaMutex_`
  // and `controlBufMutex_`; no delegate call is made under it.
  std::mutex controlMutex_;
  std::atomic<bool> connected{false};
  std::atomic<uint64_t> controlGeneration_{0};  // changed under controlMutex_
  bool controlUp_ = false;  // the current connection's start was handled; controlMutex_
  std::atomic<bool> pingThreadRunning{false};
  // Each heartbeat thread runs only while its own generation is the current one, so a
  // thread that has not yet seen a stop never runs beside its successor.
  std::atomic<uint64_t> pingGeneration{0};
  std::mutex mediaMutex_;  // orders media writes against the connections' ends and starts
  MediaConnection video_;
  MediaConnection audio_;
  std::mutex controlBufMutex_;
  ControlPacketBytes controlBuf{};
  int32_t controlBufLen = 0;
  // Control writes handed to the socket and not yet complete (bounded, see writeControl).
  std::atomic<int64_t> controlWritesPending{0};
  std::atomic<bool> controlDropLogged{false};
  std::atomic<uint64_t> lastTimeReceiverActive{0};  // steady milliseconds
  std::atomic<int8_t> locaIpByte_{1};
  mutable std::mutex delegateMutex_;
  std::weak_ptr<NetStreamDelegate> delegate_;
};

}  // namespace corvane
