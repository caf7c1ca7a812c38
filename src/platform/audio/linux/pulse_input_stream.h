// A record stream from one PulseAudio source, named explicitly (never a default alias, so
// the capture cannot slide onto another source), as interleaved float32 little-endian,
// 44,100 Hz, two channels: the server converts whatever the source runs at. The stream may
// not be moved: when its source goes away the capture ends instead of following the server
// to another source.
//
// The main loop thread copies each fragment and posts it to the capture thread, which calls
// the handler with `kEncoderInputFormat`. Threads: `open` and `stop` from any thread other
// than the main loop's; the handler on the capture thread. Ownership: the stream holds the
// connection and the capture thread while it exists.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/audio/audio_hardware.h"
#include "platform/audio/linux/callback_thread.h"
#include "platform/audio/linux/pulse_connection.h"

namespace corvane::platform::audio::detail {

class PulseInputStream : public AudioInputStream {
 public:
  // About 23 ms per fragment.
  static constexpr std::uint32_t kFragmentFrames = 1024;

  // nullptr (and `status`, may be null, set) when the server refuses the stream.
  static std::unique_ptr<PulseInputStream> open(std::shared_ptr<PulseConnection> connection,
                                                std::shared_ptr<CallbackThread> captureThread,
                                                std::uint64_t key, const std::string& source,
                                                AudioHardware::InputHandler handler,
                                                OSStatus* status);
  ~PulseInputStream() override;
  PulseInputStream(const PulseInputStream&) = delete;
  PulseInputStream& operator=(const PulseInputStream&) = delete;

  void stop() override;

 private:
  struct State;
  PulseInputStream(std::shared_ptr<PulseConnection> connection,
                   std::shared_ptr<CallbackThread> captureThread, std::uint64_t key);
  static void onRead(pa_stream* stream, std::size_t length, void* state);
  static void onState(pa_stream* stream, void* state);

  const std::shared_ptr<PulseConnection> connection_;
  const std::shared_ptr<CallbackThread> captureThread_;
  const std::uint64_t key_;
  std::unique_ptr<State> state_;
  pa_stream* stream_ = nullptr;  // under the main loop lock
};

}  // namespace corvane::platform::audio::detail
