#include "platform/audio/linux/pulse_input_stream.h"

#include <cstring>
#include <vector>

#include "platform/log/log.h"

namespace corvane::platform::audio::detail {

// What the main loop's callbacks reach; lives as long as the stream object.
struct PulseInputStream::State {
  pa_threaded_mainloop* mainloop = nullptr;
  std::shared_ptr<CallbackThread> captureThread;
  std::uint64_t key = 0;
  std::shared_ptr<AudioHardware::InputHandler> handler;
  std::string source;
  bool failedLogged = false;
};

std::unique_ptr<PulseInputStream> PulseInputStream::open(
    std::shared_ptr<PulseConnection> connection, std::shared_ptr<CallbackThread> captureThread,
    std::uint64_t key, const std::string& source, AudioHardware::InputHandler handler,
    OSStatus* status) {
  auto fail = [status](OSStatus s) -> std::unique_ptr<PulseInputStream> {
    if (status != nullptr) *status = s;
    return nullptr;
  };
  if (!connection || !captureThread || !handler || source.empty()) {
    return fail(kAudioHardwareIllegalOperationError);
  }
  std::unique_ptr<PulseInputStream> self(
      new PulseInputStream(std::move(connection), std::move(captureThread), key));
  self->state_->handler = std::make_shared<AudioHardware::InputHandler>(std::move(handler));
  self->state_->source = source;

  pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, 44100, 2};
  pa_channel_map map;
  pa_channel_map_init_stereo(&map);
  pa_buffer_attr attr;
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.tlength = static_cast<std::uint32_t>(-1);
  attr.prebuf = static_cast<std::uint32_t>(-1);
  attr.minreq = static_cast<std::uint32_t>(-1);
  attr.fragsize = kFragmentFrames * 8;

  pa_threaded_mainloop* mainloop = self->connection_->mainloop();
  pa_threaded_mainloop_lock(mainloop);
  OSStatus result = noErr;
  pa_context* context = self->connection_->context();
  if (context == nullptr || pa_context_get_state(context) != PA_CONTEXT_READY) {
    result = kAudioHardwareNotRunningError;
  } else {
    self->stream_ = pa_stream_new(context, "Corvane Sender capture", &spec, &map);
    if (self->stream_ == nullptr) result = kAudioHardwareUnspecifiedError;
  }
  if (result == noErr) {
    pa_stream_set_state_callback(self->stream_, &PulseInputStream::onState, self->state_.get());
    pa_stream_set_read_callback(self->stream_, &PulseInputStream::onRead, self->state_.get());
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(self->stream_, source.c_str(), &attr, flags) < 0) {
      result = kAudioHardwareBadDeviceError;
    } else {
      pa_stream* stream = self->stream_;
      const bool settled = self->connection_->waitLocked(
          [stream] {
            const auto s = pa_stream_get_state(stream);
            return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
          },
          PulseConnection::kRequestTimeout);
      if (!settled || pa_stream_get_state(stream) != PA_STREAM_READY) {
        result = kAudioHardwareBadDeviceError;
      }
    }
  }
  pa_threaded_mainloop_unlock(mainloop);
  if (result != noErr) return fail(result);  // the destructor releases the stream
  if (status != nullptr) *status = noErr;
  return self;
}

PulseInputStream::PulseInputStream(std::shared_ptr<PulseConnection> connection,
                                   std::shared_ptr<CallbackThread> captureThread,
                                   std::uint64_t key)
    : connection_(std::move(connection)),
      captureThread_(std::move(captureThread)),
      key_(key),
      state_(std::make_unique<State>()) {
  state_->mainloop = connection_->mainloop();
  state_->captureThread = captureThread_;
  state_->key = key_;
}

PulseInputStream::~PulseInputStream() { stop(); }

void PulseInputStream::stop() {
  pa_threaded_mainloop* mainloop = connection_->mainloop();
  pa_threaded_mainloop_lock(mainloop);
  if (stream_ != nullptr) {
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
  }
  pa_threaded_mainloop_unlock(mainloop);
  // No fragment is posted any more; withdraw those queued and wait for a running one.
  captureThread_->cancel(key_);
}

void PulseInputStream::onRead(pa_stream* stream, std::size_t, void* userdata) {
  auto* state = static_cast<State*>(userdata);
  for (;;) {
    const void* data = nullptr;
    std::size_t length = 0;
    if (pa_stream_peek(stream, &data, &length) < 0 || length == 0) return;
    const std::size_t whole = length - length % kEncoderInputFormat.mBytesPerFrame;
    if (data != nullptr && whole > 0) {  // a hole (data == nullptr) carries no sound
      const auto* bytes = static_cast<const std::uint8_t*>(data);
      auto chunk = std::make_shared<std::vector<std::uint8_t>>(bytes, bytes + whole);
      state->captureThread->post(state->key, [handler = state->handler, chunk] {
        (*handler)(kEncoderInputFormat, chunk->data(), chunk->size());
      });
    }
    pa_stream_drop(stream);
  }
}

void PulseInputStream::onState(pa_stream* stream, void* userdata) {
  auto* state = static_cast<State*>(userdata);
  pa_threaded_mainloop_signal(state->mainloop, 0);
  const auto s = pa_stream_get_state(stream);
  if (s == PA_STREAM_FAILED && !state->failedLogged) {
    state->failedLogged = true;
    log::nslog("audio: capture from %s ended: %s", state->source.c_str(),
               pa_strerror(pa_context_errno(pa_stream_get_context(stream))));
  }
}

}  // namespace corvane::platform::audio::detail
