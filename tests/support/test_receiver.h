// A receiver of the project's own, playing the other end of the receiver link for tests and
// for a person mirroring on one machine. Written on plain POSIX sockets and one poll() thread,
// independent of the sender's socket and packet code, so that it is a true peer.
//
// It listens on the four TCP ports (touch, control, audio, video) of one address, answers the
// sender's control requests, sends the receiver's requests and callbacks on command, can fall
// silent, pause reading or close a connection, and parses the media connections' packets into
// an H.264 file and an MP3 file with counts and timestamps.
//
// Threads: all socket work runs on the receiver's own I/O thread (named "test-receiver"). Every public member may be
// called from any thread; `onEvent` runs on the I/O thread and must not call back into the
// receiver. Beside the four listeners the I/O loop answers the UDP receiver query (port 11105
// of the same address): each one-byte datagram 0x01 gets the answer with the receiver's
// address, name and version.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace corvane::test {

enum class Channel : int { Touch = 0, Control = 1, Audio = 2, Video = 3 };
inline constexpr int kChannelCount = 4;
const char* channelName(Channel channel);

struct ReceiverPorts {
  uint16_t touch = 11101;
  uint16_t control = 11102;
  uint16_t audio = 11103;
  uint16_t video = 11104;
  uint16_t query = 11105;  // UDP
  uint16_t& operator[](Channel c);
  uint16_t operator[](Channel c) const;
};

struct TestReceiverOptions {
  std::string address = "127.0.0.1";
  ReceiverPorts ports;                              // 0 picks a free port
  uint8_t addressByte = 200;                        // byte 0 of the receiver's packets
  uint8_t typeByte = 4;                             // byte 1 of the receiver's packets
  std::string name = "Corvane Test Receiver";       // answered to the UDP query
  std::string videoFile;                            // the H.264 stream is written here when set
  std::string audioFile;                            // the MP3 stream is written here when set
  int receiveBufferSize = 0;                        // SO_RCVBUF of accepted connections when > 0
  bool keepMediaRecords = true;  // false: media packets are only counted (long runs)
  std::function<void(const std::string&)> onEvent;  // one line per event, on the I/O thread
};

using SteadyClock = std::chrono::steady_clock;

// One packet read on the control connection, unscrambled.
struct ControlRecord {
  std::array<uint8_t, 16> plain{};
  SteadyClock::time_point at;
  int8_t kind() const { return static_cast<int8_t>(plain[2]); }
  int8_t code() const { return static_cast<int8_t>(plain[3]); }
};

// One media packet read on the video or audio connection.
struct MediaRecord {
  uint32_t length = 0;
  uint32_t words[5] = {};  // video only
  uint32_t timestamp = 0;
  size_t payloadSize = 0;
  uint64_t payloadHash = 0;  // fnv1a of the payload
  // Wall-clock time when the packet's last byte had been read (the media timestamps count
  // wall-clock milliseconds, so latencies are measured on the same clock).
  std::chrono::system_clock::time_point arrivedAt;
};

struct ChannelStats {
  int accepted = 0;  // connections accepted so far
  int open = 0;      // connections open now
  int closed = 0;    // connections that ended (by the sender or on command)
  uint64_t bytesIn = 0;
  uint64_t bytesOut = 0;
  SteadyClock::time_point lastSentAt{};  // when bytes last went out to the sender
};

struct ReceiverState {
  std::array<ChannelStats, kChannelCount> channels{};
  std::vector<ControlRecord> control;  // every packet the sender sent, in order
  std::vector<MediaRecord> video;
  std::vector<MediaRecord> audio;
  uint64_t videoPackets = 0;  // media packets parsed, also when records are not kept
  uint64_t audioPackets = 0;
  std::string senderName;              // requests 15 and 16
  std::optional<std::string> pinCode;  // request 35
  std::vector<std::string> errors;     // malformed media streams
  int heartbeatsAnswered = 0;
  std::vector<std::vector<uint8_t>> queries;  // datagrams received on the query port (first 4096)
  int queriesAnswered = 0;
  bool mirroring = false;   // after an accepted start request
  uint8_t mirrorOwner = 0;  // address byte of that request

  const ChannelStats& operator[](Channel c) const { return channels[static_cast<std::size_t>(c)]; }
  // Packets of one kind and code from the sender.
  size_t count(int8_t kind, int8_t code) const;
  std::vector<ControlRecord> requests(int8_t code) const;
};

class TestReceiver {
 public:
  explicit TestReceiver(TestReceiverOptions options = {});
  ~TestReceiver();
  TestReceiver(const TestReceiver&) = delete;
  TestReceiver& operator=(const TestReceiver&) = delete;

  // Binds and listens on the four ports, then starts the I/O thread.
  bool start(std::string* error = nullptr);
  // A started receiver on a loopback address 127.x.y.z that no other process uses for these
  // ports, so that parallel test runs never collide; `options.address` is replaced.
  static std::unique_ptr<TestReceiver> startOnFreeLoopbackAddress(TestReceiverOptions options,
                                                                  std::string* error = nullptr);
  // Closes every connection and listener and joins the I/O thread. Idempotent.
  void stop();

  const std::string& address() const { return options_.address; }
  ReceiverPorts ports() const;  // the bound ports

  // Behaviour (takes effect for the next packet).
  void setAnswerHeartbeats(bool answer);
  // Silent: sends nothing on its own (no answers of any kind); it still reads.
  void setSilent(bool silent);
  void setMirrorStartResult(uint8_t result);  // default 1
  void setMirrorStopResult(uint8_t result);   // default 1
  // Answer of the status request: byte 10 state, byte 11 owner. Unset: 1 and the owner while
  // mirroring, else 0.
  void setStatusAnswer(std::optional<std::pair<int8_t, uint8_t>> answer);
  // Up to 8 bytes on the link, up to 255 in the query answer; default "1.0.0".
  void setVersion(std::string version);
  void setAuthenticationType(uint8_t result, uint8_t type);  // default 1, 1
  // Pauses or resumes reading the channel's connections (the sender's writes then back up).
  void setReading(Channel channel, bool reading);
  // Reads the channel's connections at about `bytesPerSecond` on average (0: as fast as the
  // bytes come).
  void setReadRate(Channel channel, double bytesPerSecond);

  // The receiver's own packets, on the newest control connection; false when none is open.
  bool sendRequest(uint8_t code, std::array<uint8_t, 12> attach = {});
  bool sendHeartbeat() { return sendRequest(0); }
  bool requestMirrorOn() { return sendRequest(1); }
  bool requestMirrorOff() { return sendRequest(2); }
  bool requestKeyFrame() { return sendRequest(24); }
  bool requestFrameRate(int8_t fps) { return sendRequest(38, {static_cast<uint8_t>(fps)}); }
  bool sendCallback(uint8_t command, uint8_t deviceStatus = 0);
  bool sendDeviceStatus(uint8_t status) { return sendCallback(128, status); }
  bool sendKeyStatus() { return sendCallback(129); }
  // Any 16 plain bytes, scrambled before sending.
  bool sendPacket(const std::array<uint8_t, 16>& plain);
  // Bytes as they stand, on the newest connection of a channel.
  bool sendRaw(Channel channel, std::vector<uint8_t> bytes);
  // Closes the newest connection of a channel; `reset` sends a TCP reset instead of a FIN.
  bool closeConnection(Channel channel, bool reset = false);

  ReceiverState snapshot() const;
  // Waits until `pred` holds for the state (checked under the receiver's lock, after every
  // change) or `seconds` pass; returns the last result of `pred`.
  bool waitFor(const std::function<bool(const ReceiverState&)>& pred, double seconds) const;

  // Scrambling with the link's key (its own inverse).
  static void scramble(uint8_t* packet16);
  // The answer to the UDP query: code 2, the IPv4 address (0.0.0.0 for other text), then name
  // and version (up to 255 bytes each) after 4-byte little-endian length fields.
  static std::vector<uint8_t> queryAnswer(const std::string& address, const std::string& name,
                                          const std::string& version);

 private:
  struct Conn;
  void run();
  void wake();
  void event(const std::string& line);
  bool enqueue(Channel channel, std::vector<uint8_t> bytes);
  void enqueueLocked(Conn& conn, std::vector<uint8_t> bytes);
  Conn* newestLocked(Channel channel);
  void acceptOn(Channel channel);
  void readFrom(Conn& conn);
  void writeTo(Conn& conn);
  void closeConn(Conn& conn, const std::string& why);
  void onControlPacket(Conn& conn, const std::array<uint8_t, 16>& plain);
  void onMediaBytes(Conn& conn);
  void answerQueries();
  void sendResponseLocked(Conn& conn, const std::array<uint8_t, 16>& request, uint8_t result,
                          const std::array<uint8_t, 8>& attach);

  TestReceiverOptions options_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  ReceiverState state_;
  std::vector<std::unique_ptr<Conn>> conns_;
  std::array<int, kChannelCount> listeners_{-1, -1, -1, -1};
  ReceiverPorts bound_;
  int wakeFd_ = -1;
  int queryFd_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  bool started_ = false;
  int nextConnId_ = 1;

  // Behaviour.
  bool answerHeartbeats_ = true;
  bool silent_ = false;
  uint8_t mirrorStartResult_ = 1;
  uint8_t mirrorStopResult_ = 1;
  std::optional<std::pair<int8_t, uint8_t>> statusAnswer_;
  std::string version_ = "1.0.0";
  uint8_t authResult_ = 1;
  uint8_t authType_ = 1;
  std::array<bool, kChannelCount> reading_{true, true, true, true};
  std::array<double, kChannelCount> readRate_{0, 0, 0, 0};

  std::FILE* videoOut_ = nullptr;
  std::FILE* audioOut_ = nullptr;
};

}  // namespace corvane::test
