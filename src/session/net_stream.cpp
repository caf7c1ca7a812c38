#include "session/net_stream.h"

#include <sys/time.h>

#include <chrono>
#include <thread>

#include "platform/log/log.h"
#include "session/control_dispatch.h"

namespace corvane {

using platform::log::nslog;

namespace {

constexpr double kConnectTimeout = 2.0;
constexpr double kControlWriteTimeout = 3.0;
constexpr double kMediaWriteTimeout = 5.0;
constexpr double kVideoSlotWait = 3.0;
constexpr double kAudioSlotWait = 10.0;
constexpr double kSlotFreeWait = 0.1;
constexpr double kWriteTimeoutExtension = 10.0;
constexpr int64_t kMediaWritesInFlight = 10;
constexpr uint64_t kReceiverSilenceMs = 5001;
// Control packets waiting in the control socket beyond this many are dropped: a receiver that
// keeps sending requests but never reads its answers would otherwise grow the queue forever.
constexpr int64_t kControlWritesPendingLimit = 16384;
constexpr auto kHeartbeatInterval = std::chrono::milliseconds(300);
// Control bytes read at most at once (4096 packets): a receiver that sends megabytes in a
// burst is handled in chunks that take a moment each, and the silence clock, refreshed at
// every read, never sees the link's own work on a huge chunk as the receiver's silence.
constexpr uint64_t kControlReadMax = uint64_t{64} * 1024;

}  // namespace

std::shared_ptr<NetStream> NetStream::create() {
  std::shared_ptr<NetStream> stream(new NetStream());
  stream->init();
  return stream;
}

NetStream::NetStream() = default;

void NetStream::init() {
  controlSocketQueue = platform::dispatch::Queue::global(platform::dispatch::Priority::High);
  socketQueue = platform::dispatch::Queue::global(platform::dispatch::Priority::High);
  const std::weak_ptr<GCDAsyncSocketDelegate> self = weak_from_this();
  controlSocket = GCDAsyncSocket::create(self, controlSocketQueue);
  videoSocket = GCDAsyncSocket::create(self, socketQueue);
  audioSocket = GCDAsyncSocket::create(self, socketQueue);
  touchSocket = GCDAsyncSocket::create(self, socketQueue);
  videoNoDataQueue = NoDataQueue::create(kMediaWritesInFlight);
  audioSignalQueue = NoDataQueue::create(kMediaWritesInFlight);
  video_.socket = videoSocket;
  video_.gate = videoNoDataQueue;
  video_.slotWait = kVideoSlotWait;
  video_.tag = kTagVideoData;
  video_.refusal = "unable to send video data.";
  video_.closedDrop = "video connection closed: video data dropped until the next connect";
  audio_.socket = audioSocket;
  audio_.gate = audioSignalQueue;
  audio_.slotWait = kAudioSlotWait;
  audio_.tag = kTagAudioData;
  audio_.refusal = "unable to send audio data========";
  audio_.closedDrop = "audio connection closed: audio data dropped until the next connect";
  setLocaIpByte(1);
}

NetStream::~NetStream() {
  pingThreadRunning = false;
  ++pingGeneration;
}

std::shared_ptr<NetStreamDelegate> NetStream::delegate() const {
  std::lock_guard<std::mutex> lock(delegateMutex_);
  return delegate_.lock();
}

void NetStream::setDelegate(std::weak_ptr<NetStreamDelegate> delegate) {
  std::lock_guard<std::mutex> lock(delegateMutex_);
  delegate_ = std::move(delegate);
}

// ---- connecting and closing ----

void NetStream::connect(const std::string& host) {
  nslog("receiver addr = %s, last byte=%d", host.c_str(),
        static_cast<int>(static_cast<uint8_t>(locaIpByte())));
  std::unique_lock<std::mutex> lock(controlMutex_);
  if (connected) return;
  connected = true;
  // A new generation: whatever the previous control connection still has under way
  // (a chunk being handled, a late report) is no longer handled.
  ++controlGeneration_;
  controlUp_ = false;
  // A partial control packet left by the previous connection would put every packet of this
  // one out of step. Its control writes were discarded with it.
  {
    std::lock_guard<std::mutex> bufLock(controlBufMutex_);
    controlBuf.fill(0);
    controlBufLen = 0;
  }
  controlWritesPending = 0;
  controlDropLogged = false;
  platform::Error error;
  if (!controlSocket->connectToHost(host, kControlPort, kConnectTimeout, &error)) {
    // Without a control connection attempt nothing would ever be reported and the link would
    // refuse every later connect: report the failure as a failed connection.
    nslog("control socket connect refused: %s", error.description.c_str());
    connected = false;
    ++controlGeneration_;
    lock.unlock();
    controlSocketQueue->async([weak = weak_from_this()] {
      if (auto self = weak.lock())
        if (auto d = self->delegate()) d->onConnectFailed();
    });
    return;
  }
  {
    // Held while the media connections start, so that a late disconnect report of their
    // previous connection cannot mark the new one closed.
    std::lock_guard<std::mutex> mediaLock(mediaMutex_);
    // Writes of an earlier connection that never completed would otherwise hold their slots
    // for good, and every later media write would wait and be dropped.
    video_.open();
    audio_.open();
    // The other connections' refusals are neither read nor reported.
    videoSocket->connectToHost(host, kVideoPort, kConnectTimeout, nullptr);
    audioSocket->connectToHost(host, kAudioPort, kConnectTimeout, nullptr);
  }
  touchSocket->connectToHost(host, kTouchPort, kConnectTimeout, nullptr);
}

void NetStream::disconnect() {
  std::lock_guard<std::mutex> lock(controlMutex_);
  if (!connected) return;
  connected = false;
  ++controlGeneration_;
  // The control socket's disconnect callback stops the heartbeat too; stopping it here as
  // well keeps a callback that arrives after the next `connect` from having to.
  stopPingThread();
  {
    std::lock_guard<std::mutex> mediaLock(mediaMutex_);
    video_.close();
    audio_.close();
  }
  controlSocket->disconnect();
  videoSocket->disconnect();
  audioSocket->disconnect();
  touchSocket->disconnect();
}

bool NetStream::isCurrentControl(uint64_t generation) const {
  return connected.load() && controlGeneration_.load() == generation;
}

bool NetStream::beginControlConnection(uint64_t* generation) {
  std::lock_guard<std::mutex> lock(controlMutex_);
  // The report of a connection that has ended since (a `disconnect` and `connect` in
  // between) finds the socket on a newer connection that is not up yet, or already started.
  if (!connected || controlUp_ || !controlSocket->isConnected()) return false;
  controlUp_ = true;
  *generation = controlGeneration_.load();
  startPingThread();
  return true;
}

void NetStream::onControlSocketConnected(uint64_t generation) {
  if (auto d = delegate()) d->onConnectSuccess();
  armControlRead(generation);
}

void NetStream::armControlRead(uint64_t generation) {
  std::lock_guard<std::mutex> lock(controlMutex_);
  // Under the lock: a `disconnect` cannot come between the check and the read, so a read of
  // an ended connection never lands on the next one. The generation rides as the tag.
  if (!isCurrentControl(generation)) return;
  // The chunk has been handled: the receiver's silence counts from here, not from the
  // moment the chunk was read, so that a link busy with a long chunk does not take the
  // receiver for silent.
  lastTimeReceiverActive = steadyMilliSeconds();
  controlSocket->readDataWithTimeout(-1, nullptr, 0, kControlReadMax,
                                     static_cast<long>(generation));
}

// ---- media writes ----

void NetStream::MediaConnection::open() {
  closed = false;
  dropLogged = false;
  gate->reset();
}

void NetStream::MediaConnection::close() {
  closed = true;
  gate->reset();
}

void NetStream::sendMedia(MediaConnection& media, const uint8_t* data, int32_t length) {
  // An empty write never completes, so it would hold its slot for good.
  if (data == nullptr || length <= 0) {
    nslog("media data ignored: %d bytes", static_cast<int>(length));
    return;
  }
  // A closed connection completes no write: its writes are dropped at once instead of
  // holding slots and blocking the caller for the whole slot wait.
  if (!media.closed) {
    if (!media.gate->put(media.slotWait)) {
      nslog("%s", media.refusal);
      return;
    }
    std::lock_guard<std::mutex> lock(mediaMutex_);
    if (!media.closed) {
      media.socket->writeData(SharedData::copy(data, static_cast<size_t>(length)),
                              kMediaWriteTimeout, media.tag);
      return;
    }
    // Closed while waiting for the slot: give it back.
    media.gate->take(0);
  }
  if (!media.dropLogged.exchange(true)) nslog("%s", media.closedDrop);
}

void NetStream::sendVideoData(const uint8_t* data, int32_t length) {
  sendMedia(video_, data, length);
}

void NetStream::sendAudioData(const uint8_t* data, int32_t length) {
  sendMedia(audio_, data, length);
}

// ---- heartbeat ----

uint64_t NetStream::getCurentMilliSeconds() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
}

uint64_t NetStream::steadyMilliSeconds() {
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

void NetStream::startPingThread() {
  // The previous thread is not waited for: the new generation makes it end at its next check.
  const uint64_t generation = ++pingGeneration;
  pingThreadRunning = true;
  lastTimeReceiverActive = steadyMilliSeconds();
  std::thread([weak = weak_from_this(), generation] { heartbeatLoop(weak, generation); }).detach();
}

void NetStream::stopPingThread() { pingThreadRunning = false; }

void NetStream::sendHeartBeat() {
  lastTimeReceiverActive = steadyMilliSeconds();
  heartbeatLoop(weak_from_this(), pingGeneration.load());
}

void NetStream::heartbeatLoop(const std::weak_ptr<NetStream>& weak, uint64_t generation) {
  for (;;) {
    {
      // The link is held only for one round, so dropping it ends the thread.
      auto self = weak.lock();
      if (!self) return;  // the link is gone; nothing of it may be touched
      if (!self->heartbeatRunning(generation)) {
        nslog("sendHeartBeat exit.");
        return;
      }
      self->sendControlData(kControlTypeByte, kRequestHeartBeat, nullptr);
    }
    std::this_thread::sleep_for(kHeartbeatInterval);
    auto self = weak.lock();
    if (!self) return;
    // Silence is measured on the steady clock, so that a step of the wall clock can neither
    // end a healthy session nor keep a dead one. The last read is taken before the present
    // moment: a read that lands in between cannot make the difference wrap.
    const uint64_t last = self->lastTimeReceiverActive.load();
    const uint64_t now = steadyMilliSeconds();
    if (now > last && now - last >= kReceiverSilenceMs) {
      // A stop or a newer heartbeat that came meanwhile wins.
      if (self->heartbeatRunning(generation)) {
        nslog("receiver timeout. going to disconnect.");
        if (auto d = self->delegate()) d->onConnectFailed();
      }
      nslog("sendHeartBeat exit.");
      return;
    }
  }
}

bool NetStream::heartbeatRunning(uint64_t generation) const {
  return pingThreadRunning.load() && pingGeneration.load() == generation;
}

// ---- sending side of the control protocol ----

void NetStream::writeControl(ControlPacketBytes packet, long tag) {
  if (controlWritesPending.fetch_add(1) >= kControlWritesPendingLimit) {
    controlWritesPending.fetch_sub(1);
    if (!controlDropLogged.exchange(true))
      nslog("control connection backed up: %lld writes pending; dropping control packets",
            static_cast<long long>(kControlWritesPendingLimit));
    return;
  }
  encode(packet);
  controlSocket->writeData(SharedData(std::vector<uint8_t>(packet.begin(), packet.end())),
                           kControlWriteTimeout, tag);
}

void NetStream::sendControlData(uint8_t type, uint8_t requestCode, const uint8_t* attach12) {
  const auto packet =
      makeRequestPacket(static_cast<uint8_t>(locaIpByte()), type, requestCode, attach12);
  writeControl(packetBytes(packet), kTagControlRequest);
}

void NetStream::sendResponse(uint8_t result, const _RequestPacket& request,
                             const uint8_t* attach8) {
  const auto packet =
      makeResponsePacket(static_cast<uint8_t>(locaIpByte()), result, request, attach8);
  writeControl(packetBytes(packet), kTagControlResponse);
}

void NetStream::sendOkResonseFor(const _RequestPacket& request, const uint8_t* attach8) {
  sendResponse(kControlResultOk, request, attach8);
}

void NetStream::sendFailedResponseFor(const _RequestPacket& request, const uint8_t* attach8) {
  sendResponse(kControlResultFailed, request, attach8);
}

void NetStream::requestMirrorStart() {
  nslog("requestMirrorStart");
  sendControlData(kControlTypeByte, kRequestMirrorStart, nullptr);
}

void NetStream::requestMirrorStop() {
  nslog("requestMirrorStop");
  sendControlData(kControlTypeByte, kRequestMirrorStop, nullptr);
}

void NetStream::requestGetReceiverStatus() {
  uint8_t attach[12] = {1};
  sendControlData(kControlTypeByte, kRequestGetReceiverStatus, attach);
}

void NetStream::requestGetReceiverVersion() {
  sendControlData(kControlTypeByte, kRequestGetReceiverVersion, nullptr);
}

void NetStream::requestReceiverVersion() { requestGetReceiverVersion(); }

void NetStream::setSenderName(const std::string& name) {
  nslog("setSenderName==%s", name.c_str());
  bool first = true;
  for (const auto& piece : senderNamePieces(name)) {
    sendControlData(kControlTypeByte,
                    static_cast<uint8_t>(first ? kRequestSenderNameFirst : kRequestSenderNameNext),
                    piece.data());
    first = false;
  }
}

void NetStream::requestSyncClientType() {
  uint8_t attach[12] = {3, 5};
  sendControlData(kControlTypeByte, kRequestSyncClientType, attach);
}

void NetStream::requestGetAuthentication() {
  sendControlData(kControlTypeByte, kRequestGetAuthentication, nullptr);
}

void NetStream::requestMouseAlone(bool on) {
  uint8_t attach[12] = {static_cast<uint8_t>(on ? 1 : 0)};
  sendControlData(kControlTypeByte, kRequestMouseAlone, attach);
}

void NetStream::requestMouseEvent(const MouseEvent& event) {
  const auto attach = mouseEventAttachment(event.type(), event.action(), event.x(), event.y());
  sendControlData(kControlTypeByte, kRequestMouseEvent, attach.data());
}

void NetStream::requestAuthenPinCode(const std::string& pin) {
  const auto attach = pinCodeAttachment(pin);
  if (!attach) {
    // A cut PIN could never authenticate; sending none is the clearer failure.
    nslog("PIN of %zu bytes does not fit the request; not sent", pin.size());
    return;
  }
  sendControlData(kControlTypeByte, kRequestAuthenPinCode, attach->data());
}

// ---- receiving side ----

void NetStream::onReceiveControlData(std::span<const uint8_t> data) {
  receiveControlChunk(data, controlGeneration_.load());
}

void NetStream::receiveControlChunk(std::span<const uint8_t> data, uint64_t generation) {
  std::vector<ControlPacketBytes> packets;
  {
    std::lock_guard<std::mutex> lock(controlBufMutex_);
    // A chunk of an ended connection: its bytes belong to no packet of the current one.
    if (controlGeneration_.load() != generation) return;
    lastTimeReceiverActive = steadyMilliSeconds();
    packets = reassembleControlData(controlBuf, controlBufLen, data);
  }
  for (const auto& packet : packets) {
    // The connection ended while an earlier packet was handled: nothing more of it.
    if (controlGeneration_.load() != generation) return;
    switch (static_cast<int8_t>(packet[2])) {
      case kControlKindRequest:
        handleControlRequest(packetFromBytes<_RequestPacket>(packet));
        break;
      case kControlKindResponse:
        handleControlResponse(packetFromBytes<_ResponsePacket>(packet));
        break;
      case kControlKindCallback:
        handleControlCallback(packetFromBytes<CallbackPacket>(packet));
        break;
      default:
        break;
    }
  }
  armControlRead(generation);
}

void NetStream::handleControlRequest(const _RequestPacket& request) {
  perform(decideControlRequest(request), &request);
}

void NetStream::handleControlResponse(const _ResponsePacket& response) {
  nslog("handleControlResponse");
  switch (response.requestCode) {
    case kRequestMirrorStart:
      return handleResponseMirrorStart(response);
    case kRequestMirrorStop:
      return handleResponseMirrorStop(response);
    case kRequestGetReceiverStatus:
      return handleResponseGetReceiverStatus(response);
    case kRequestGetReceiverVersion:
      return handleResponseGetReceiverVersion(response);
    case kRequestGetAuthentication:
      return handleResponseGetAuthenticateType(response);
    case kRequestAuthenticate:
      return handleResponseAuthenticate(response);
    default:
      return;
  }
}

void NetStream::handleResponseMirrorStart(const _ResponsePacket& response) {
  perform(decideControlResponse(response, locaIpByte()), nullptr);
}
void NetStream::handleResponseMirrorStop(const _ResponsePacket& response) {
  perform(decideControlResponse(response, locaIpByte()), nullptr);
}
void NetStream::handleResponseGetReceiverStatus(const _ResponsePacket& response) {
  perform(decideControlResponse(response, locaIpByte()), nullptr);
}
void NetStream::handleResponseGetReceiverVersion(const _ResponsePacket& response) {
  perform(decideControlResponse(response, locaIpByte()), nullptr);
}
void NetStream::handleResponseGetAuthenticateType(const _ResponsePacket& response) {
  perform(decideControlResponse(response, locaIpByte()), nullptr);
}

void NetStream::handleControlCallback(const CallbackPacket& callback) {
  nslog("handleControlCallback:%d", static_cast<int>(callback.command));
  if (callback.command == kCommandSetDeviceStatus) nslog("COMMAND_SET_DEVICE_STATUS");
  if (callback.command == kCommandSetKeyStatus) nslog("COMMAND_SET_KEY_STATUS");
  perform(decideControlCallback(callback), nullptr);
}

void NetStream::perform(const ControlDecision& decision, const _RequestPacket* request) {
  if (decision.action == ControlAction::None) return;
  if (decision.action == ControlAction::AnswerOk) {
    if (request != nullptr) sendOkResonseFor(*request, nullptr);
    return;
  }
  if (decision.action == ControlAction::SendStatusRequest) return requestGetReceiverStatus();
  if (decision.action == ControlAction::SendMirrorStart) return requestMirrorStart();
  auto d = delegate();
  if (!d) return;
  switch (decision.action) {
    case ControlAction::MirrorOn:
      return d->onServerRequestMirrorOn();
    case ControlAction::MirrorOff:
      return d->onServerRequestMirrorOff();
    case ControlAction::KeyFrame:
      return d->onServerRequestKeyFrame();
    case ControlAction::UpdateFrameRate:
      return d->onServerRequsstUpdateFrameRate(decision.value);
    case ControlAction::MirrorStartSuccess:
      return d->onRequestMirrorStartSuccess();
    case ControlAction::MirrorStartFailed:
      return d->onRequestMirrorStartFailed(decision.value);
    case ControlAction::MirrorStopSuccess:
      return d->onRequestMirrorStopSuccess();
    case ControlAction::ServerVersion:
      return d->onServerResponseVersion(decision.text);
    case ControlAction::AuthenticateType:
      return d->onServerResponseAuthenticateType();
    case ControlAction::DeviceStatus:
      return d->onServerRequestDeviceStatus(decision.value);
    case ControlAction::KeyStatus:
      return d->onServerRequestKeyStatus();
    default:
      return;
  }
}

// ---- socket callbacks (global high-priority queue) ----

void NetStream::socketDidConnectToHost(const SocketPtr& /*sock*/, const std::string& host,
                                       uint16_t port) {
  nslog("didConnectToHost:%s:%d", host.c_str(), static_cast<int>(port));
  switch (port) {
    case kTouchPort:
      nslog("touch socket connect to server");
      break;
    case kControlPort: {
      nslog("control socket connect to server");
      uint64_t generation = 0;
      if (!beginControlConnection(&generation)) {
        nslog("control connection ended before it was reported; ignored");
        break;
      }
      onControlSocketConnected(generation);
      break;
    }
    case kAudioPort:
      nslog("audio socket connect to server");
      break;
    case kVideoPort:
      nslog("video socket connect to server");
      onVideoSocketCOnnected();
      break;
    default:
      break;
  }
}

void NetStream::socketDidReadData(const SocketPtr& sock, const SharedData& data, long tag) {
  if (sock != nullptr && sock->connectedPort() == kControlPort)
    receiveControlChunk(data.span(), static_cast<uint64_t>(tag));
}

void NetStream::socketDidDisconnect(const SocketPtr& sock,
                                    const std::optional<platform::Error>& err) {
  nslog("socketDidDisconnect: %s", err ? err->description.c_str() : "(null)");
  // A socket being destroyed reports no reference (the link is then going away itself); it
  // counts as an unknown socket.
  if (sock != nullptr && sock == controlSocket) {
    nslog("control socket disconnected");
    uint64_t ended = 0;
    // A `connect` made since the end was decided starts a connection the report is not about.
    if (endControlConnection(err.has_value(), &ended) && controlGeneration_.load() == ended) {
      if (auto d = delegate()) d->onConnectFailed();
    }
  } else if (sock != nullptr && sock == videoSocket) {
    nslog("video socket disconnect");
    mediaConnectionEnded(video_);
  } else if (sock != nullptr && sock == audioSocket) {
    nslog("audio socket disconnect");
    mediaConnectionEnded(audio_);
  } else if (sock != nullptr && sock == touchSocket) {
    nslog("touch socket disconnected");
  } else {
    nslog("unknown socket disconnected.");
  }
}

bool NetStream::endControlConnection(bool error, uint64_t* endedGeneration) {
  // One step under the lock: a `disconnect` and `connect` cannot fall between the check and
  // the closing, so the sockets and heartbeat of a newer connection are never touched.
  std::lock_guard<std::mutex> lock(controlMutex_);
  // A new connection begun since this one closed owns the heartbeat and the other three
  // connections: leave them alone.
  if (!controlSocket->isDisconnected()) return false;
  stopPingThread();
  // Without an error it was a local `disconnect`; a connection already ended (by
  // `disconnect`, or by the report of an earlier error) is reported no more.
  if (!error || !connected) return false;
  connected = false;
  *endedGeneration = ++controlGeneration_;
  // Close the other three too, so that the next connect renews all four connections.
  videoSocket->disconnect();
  audioSocket->disconnect();
  touchSocket->disconnect();
  return true;
}

void NetStream::mediaConnectionEnded(MediaConnection& media) {
  std::lock_guard<std::mutex> lock(mediaMutex_);
  // A new connection begun since this one closed owns the slots: leave them alone.
  if (!media.socket->isDisconnected()) return;
  // The writes still held by the socket were discarded with the connection and will never
  // complete: free their slots, and drop later writes until the next connect.
  media.close();
}

std::optional<double> NetStream::socketShouldTimeoutWriteWithTag(const SocketPtr& /*sock*/,
                                                                 long tag, double elapsed,
                                                                 uint64_t length) {
  nslog("shouldTimeoutWriteWithTag, tag=%ld, elapsed=%f, bytesDone=%lu", tag, elapsed,
        static_cast<unsigned long>(length));
  return kWriteTimeoutExtension;
}

void NetStream::socketDidWriteDataWithTag(const SocketPtr& /*sock*/, long tag) {
  if (tag == kTagVideoData) {
    videoNoDataQueue->take(kSlotFreeWait);
  } else if (tag == kTagAudioData) {
    audioSignalQueue->take(kSlotFreeWait);
  } else if (tag == kTagControlRequest || tag == kTagControlResponse) {
    // A late completion of an earlier connection's write must not count below zero.
    int64_t n = controlWritesPending.load();
    while (n > 0 && !controlWritesPending.compare_exchange_weak(n, n - 1)) {
    }
    if (n <= kControlWritesPendingLimit / 2) controlDropLogged = false;
  }
}

}  // namespace corvane
