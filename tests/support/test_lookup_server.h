// A look-up server of the project's own for tests and for a person running the application on
// one machine. It listens on TCP (port 10022 by default) of one address, reads framed requests
// (4-byte big-endian length, then a CastCommand message), decodes them with the project's
// schema code and answers from a table of PINs: found (an address list, name and version), not
// found (each status, or no status at all), or one of the misbehaviours the client must
// survive (raw bytes, a reply cut into segments, no answer, closing early).
//
// Threads: all socket work runs on the server's own I/O thread (plain POSIX sockets and poll,
// independent of the sender's socket classes). Every public member may be called from any
// thread; `onEvent` runs on the I/O thread and must not call back into the server.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "lookup/schema/status_code.h"

namespace corvane::test {

// How the server answers one request.
struct LookupAnswer {
  // A well-formed reply: CastCommand { ResponseCmd { status }, QueryServerResponseData? }.
  std::optional<std::int8_t> status;  // raw status byte; absent: no status field at all
  bool forceDefaults = false;         // write a status equal to 0 explicitly
  bool withData = false;              // carry a QueryServerResponseData
  std::vector<std::string> ipList;
  std::optional<std::string> name;
  std::optional<std::string> version;

  // Misbehaviour.
  std::optional<std::vector<std::uint8_t>> raw;  // written as it stands instead of the reply
  std::vector<std::size_t> cuts;  // the reply is written in pieces cut here, a gap apart
  bool silent = false;            // never answers; the connection stays open
  bool closeAfterReply = false;   // closes once the reply is written (else the client closes)

  static LookupAnswer found(std::vector<std::string> ipList, std::optional<std::string> name,
                            std::optional<std::string> version);
  static LookupAnswer notFound(StatusCode status);
  static LookupAnswer withoutStatus();
  static LookupAnswer rawBytes(std::vector<std::uint8_t> bytes, bool closeAfterReply);
  static LookupAnswer neverAnswers();

  // The bytes written for a request: the framed reply, or `raw`.
  std::vector<std::uint8_t> reply() const;
};

struct LookupServerOptions {
  std::string address = "127.0.0.1";
  std::uint16_t port = 10022;  // 0 picks a free port
  std::map<std::string, LookupAnswer> pins;
  LookupAnswer unknownPin = LookupAnswer::notFound(StatusCode::FAILED_NOT_EXIT);
  std::chrono::milliseconds segmentGap{150};         // between the pieces of a cut reply
  bool closeOnAccept = false;  // every connection is closed as soon as it is accepted
  std::function<void(const std::string&)> onEvent;  // one line per event, on the I/O thread
};

struct LookupServerState {
  int accepted = 0;        // connections accepted so far
  int open = 0;            // connections open now
  int closedByClient = 0;  // connections the client ended (FIN or reset)
  std::vector<std::vector<std::uint8_t>> requests;  // every complete request, header included
  std::vector<std::optional<std::string>> pins;     // per request: the PIN, if it decoded
  int repliesWritten = 0;                           // replies written completely
  std::vector<std::string> errors;                  // malformed requests
};

class TestLookupServer {
 public:
  explicit TestLookupServer(LookupServerOptions options = {});
  ~TestLookupServer();
  TestLookupServer(const TestLookupServer&) = delete;
  TestLookupServer& operator=(const TestLookupServer&) = delete;

  // Binds and listens, then starts the I/O thread.
  bool start(std::string* error = nullptr);
  // A started server on a loopback address 127.x.y.z where the port is free, so that parallel
  // test runs never collide; `options.address` is replaced.
  static std::unique_ptr<TestLookupServer> startOnFreeLoopbackAddress(LookupServerOptions options,
                                                                      std::string* error = nullptr);
  // Closes every connection and the listener and joins the I/O thread. Idempotent.
  void stop();

  const std::string& address() const { return options_.address; }
  std::uint16_t port() const { return port_; }

  // Changes the answer for one PIN (takes effect for the next request).
  void setAnswer(const std::string& pin, LookupAnswer answer);

  LookupServerState snapshot() const;
  // Waits until `pred` holds for the state (checked after every change) or `seconds` pass;
  // returns the last result of `pred`.
  bool waitFor(const std::function<bool(const LookupServerState&)>& pred, double seconds) const;

 private:
  struct Conn;
  void run();
  void wake();
  void event(const std::string& line);
  void acceptAll();
  void readFrom(Conn& conn);
  void onRequest(Conn& conn, std::vector<std::uint8_t> frame);
  void writePending(Conn& conn, std::chrono::steady_clock::time_point now);
  void closeConn(Conn& conn, const std::string& why);

  LookupServerOptions options_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  LookupServerState state_;
  std::vector<std::unique_ptr<Conn>> conns_;
  int listener_ = -1;
  int wakeFd_ = -1;
  std::uint16_t port_ = 0;
  bool stopping_ = false;
  bool started_ = false;
  int nextConnId_ = 1;
  std::thread thread_;
};

}  // namespace corvane::test
