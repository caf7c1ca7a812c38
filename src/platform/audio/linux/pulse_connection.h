// One client connection to a PulseAudio sound server over libpulse's threaded main loop:
// reading the sinks, sources and the server's defaults, setting the defaults and the active
// ports, loading and unloading modules, and the server's change events.
//
// Every request waits for the server's answer, at most `kRequestTimeout`; a connection whose
// server has gone answers every later request with failure. The main loop's own thread runs
// libpulse's callbacks; the event handler is called there and must only hand the event on
// (post it), never call back into this connection.
//
// Threads: every member except `create` may be called from any thread other than the main
// loop's own. Ownership: the destructor disconnects and ends the main loop thread; record
// streams (pulse_input_stream.h) hold the connection while they exist.
#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvane::platform::audio::detail {

struct PulseSampleSpec {
  pa_sample_format_t format = PA_SAMPLE_INVALID;
  std::uint32_t rate = 0;
  std::uint32_t channels = 0;
};

struct PulseSink {
  std::uint32_t index = PA_INVALID_INDEX;
  std::string name;
  std::string description;
  std::string driver;  // the module file that made it ("module-null-sink.c", ...)
  std::uint32_t ownerModule = PA_INVALID_INDEX;
  std::string monitorSource;
  PulseSampleSpec spec;
  bool hardware = false;
  std::vector<std::string> ports;
  std::string activePort;
};

struct PulseSource {
  std::uint32_t index = PA_INVALID_INDEX;
  std::string name;
  std::string description;
  std::uint32_t monitorOfSink = PA_INVALID_INDEX;  // PA_INVALID_INDEX: not a monitor
  PulseSampleSpec spec;
  bool hardware = false;
  std::vector<std::string> ports;
  std::string activePort;
};

struct PulseServerState {
  std::string defaultSink;
  std::string defaultSource;
  std::vector<PulseSink> sinks;      // in the server's order
  std::vector<PulseSource> sources;  // in the server's order, monitors included
};

class PulseConnection : public std::enable_shared_from_this<PulseConnection> {
 public:
  using EventHandler = std::function<void()>;
  static constexpr std::chrono::milliseconds kConnectTimeout{2000};
  static constexpr std::chrono::milliseconds kRequestTimeout{5000};

  // Connects to `server` ("" for the user's default server; no server is ever started).
  // nullptr, with the reason in `failure` (may be null), when no server answers.
  // `onEvent` runs on the main loop thread after each change of a sink, a source or
  // the server's defaults, and when the connection fails.
  static std::shared_ptr<PulseConnection> create(const std::string& server,
                                                 EventHandler onEvent, std::string* failure);
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  bool isConnected();
  // The server's name for the connection ("/path/native").
  std::string serverName();

  bool readState(PulseServerState* state);
  bool setDefaultSink(const std::string& name);
  bool setDefaultSource(const std::string& name);
  bool setSinkPort(const std::string& sink, const std::string& port);
  bool setSourcePort(const std::string& source, const std::string& port);
  // The new module's index, std::nullopt when the server refused it.
  std::optional<std::uint32_t> loadModule(const std::string& name, const std::string& arguments);
  bool unloadModule(std::uint32_t index);

  // For record streams: the main loop (lock it around every libpulse call) and context.
  pa_threaded_mainloop* mainloop() const { return mainloop_; }
  pa_context* context() const { return context_; }
  // With the main loop locked: waits until `done` answers true, the connection fails or
  // `timeout` passes; true when `done` answered true.
  bool waitLocked(const std::function<bool()>& done, std::chrono::milliseconds timeout);

 private:
  PulseConnection() = default;
  bool start(const std::string& server, EventHandler onEvent, std::string* failure);
  // Runs one request: `issue` starts it (with the main loop locked) and answers its
  // operation; the request's callbacks record the answer and signal the main loop.
  bool request(const std::function<pa_operation*()>& issue);
  bool contextUsableLocked() const;

  static void onContextState(pa_context* context, void* self);
  static void onSubscription(pa_context* context, pa_subscription_event_type_t type,
                             std::uint32_t index, void* self);

  pa_threaded_mainloop* mainloop_ = nullptr;
  pa_context* context_ = nullptr;
  EventHandler onEvent_;  // main loop thread only after start
};

}  // namespace corvane::platform::audio::detail
