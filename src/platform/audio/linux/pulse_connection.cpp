#include "platform/audio/linux/pulse_connection.h"

#include <pulse/rtclock.h>

namespace corvane::platform::audio::detail {

namespace {

std::string text(const char* s) { return s == nullptr ? std::string() : std::string(s); }

PulseSampleSpec specOf(const pa_sample_spec& s) {
  return {s.format, s.rate, static_cast<std::uint32_t>(s.channels)};
}

template <class Port>
void readPorts(Port** ports, std::uint32_t count, const Port* active,
               std::vector<std::string>* names, std::string* activeName) {
  for (std::uint32_t i = 0; ports != nullptr && i < count; ++i) {
    if (ports[i] != nullptr) names->push_back(text(ports[i]->name));
  }
  if (active != nullptr) *activeName = text(active->name);
}

// The answer of one request, filled by its callbacks on the main loop thread.
struct Answer {
  pa_threaded_mainloop* mainloop = nullptr;
  bool ok = false;
  std::uint32_t index = PA_INVALID_INDEX;
  PulseServerState* state = nullptr;
};

void onSuccess(pa_context*, int success, void* userdata) {
  auto* a = static_cast<Answer*>(userdata);
  a->ok = success != 0;
  pa_threaded_mainloop_signal(a->mainloop, 0);
}

void onIndex(pa_context*, std::uint32_t index, void* userdata) {
  auto* a = static_cast<Answer*>(userdata);
  a->index = index;
  a->ok = index != PA_INVALID_INDEX;
  pa_threaded_mainloop_signal(a->mainloop, 0);
}

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
  auto* a = static_cast<Answer*>(userdata);
  if (info != nullptr) {
    a->state->defaultSink = text(info->default_sink_name);
    a->state->defaultSource = text(info->default_source_name);
    a->ok = true;
  }
  pa_threaded_mainloop_signal(a->mainloop, 0);
}

void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
  auto* a = static_cast<Answer*>(userdata);
  if (eol != 0) {
    a->ok = eol > 0;
  } else if (info != nullptr) {
    PulseSink sink;
    sink.index = info->index;
    sink.name = text(info->name);
    sink.description = text(info->description);
    sink.driver = text(info->driver);
    sink.ownerModule = info->owner_module;
    sink.monitorSource = text(info->monitor_source_name);
    sink.spec = specOf(info->sample_spec);
    sink.hardware = (info->flags & PA_SINK_HARDWARE) != 0;
    readPorts(info->ports, info->n_ports, info->active_port, &sink.ports, &sink.activePort);
    a->state->sinks.push_back(std::move(sink));
  }
  pa_threaded_mainloop_signal(a->mainloop, 0);
}

void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto* a = static_cast<Answer*>(userdata);
  if (eol != 0) {
    a->ok = eol > 0;
  } else if (info != nullptr) {
    PulseSource source;
    source.index = info->index;
    source.name = text(info->name);
    source.description = text(info->description);
    source.monitorOfSink = info->monitor_of_sink;
    source.spec = specOf(info->sample_spec);
    source.hardware = (info->flags & PA_SOURCE_HARDWARE) != 0;
    readPorts(info->ports, info->n_ports, info->active_port, &source.ports, &source.activePort);
    a->state->sources.push_back(std::move(source));
  }
  pa_threaded_mainloop_signal(a->mainloop, 0);
}

struct Deadline {
  pa_threaded_mainloop* mainloop = nullptr;
  bool passed = false;
};

void onDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
  auto* d = static_cast<Deadline*>(userdata);
  d->passed = true;
  pa_threaded_mainloop_signal(d->mainloop, 0);
}

// Holds the main loop lock for a scope.
class Locked {
 public:
  explicit Locked(pa_threaded_mainloop* m) : m_(m) { pa_threaded_mainloop_lock(m_); }
  ~Locked() { pa_threaded_mainloop_unlock(m_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  pa_threaded_mainloop* m_;
};

}  // namespace

std::shared_ptr<PulseConnection> PulseConnection::create(const std::string& server,
                                                         EventHandler onEvent,
                                                         std::string* failure) {
  std::shared_ptr<PulseConnection> connection(new PulseConnection());
  if (!connection->start(server, std::move(onEvent), failure)) return nullptr;
  return connection;
}

bool PulseConnection::start(const std::string& server, EventHandler onEvent,
                            std::string* failure) {
  auto fail = [failure](const std::string& why) {
    if (failure != nullptr) *failure = why;
    return false;
  };
  onEvent_ = std::move(onEvent);
  mainloop_ = pa_threaded_mainloop_new();
  if (mainloop_ == nullptr) return fail("no main loop");
  pa_threaded_mainloop_set_name(mainloop_, "pulse-client");
  context_ = pa_context_new(pa_threaded_mainloop_get_api(mainloop_), "Corvane Sender");
  if (context_ == nullptr) return fail("no context");
  pa_context_set_state_callback(context_, &PulseConnection::onContextState, this);
  pa_context_set_subscribe_callback(context_, &PulseConnection::onSubscription, this);
  if (pa_threaded_mainloop_start(mainloop_) < 0) return fail("the main loop did not start");

  Locked lock(mainloop_);
  if (pa_context_connect(context_, server.empty() ? nullptr : server.c_str(),
                         PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return fail(pa_strerror(pa_context_errno(context_)));
  }
  const bool ready = waitLocked(
      [this] {
        const auto s = pa_context_get_state(context_);
        return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
      },
      kConnectTimeout);
  if (!ready) return fail("the sound server did not answer in time");
  if (pa_context_get_state(context_) != PA_CONTEXT_READY) {
    return fail(pa_strerror(pa_context_errno(context_)));
  }
  Answer answer{mainloop_};
  pa_operation* op = pa_context_subscribe(
      context_,
      static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE |
                                          PA_SUBSCRIPTION_MASK_SERVER),
      &onSuccess, &answer);
  if (op == nullptr) return fail("the subscription was refused");
  waitLocked([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; }, kRequestTimeout);
  pa_operation_unref(op);
  if (!answer.ok) return fail("the subscription was refused");
  return true;
}

PulseConnection::~PulseConnection() {
  if (mainloop_ != nullptr) {
    {
      Locked lock(mainloop_);
      if (context_ != nullptr) {
        pa_context_set_subscribe_callback(context_, nullptr, nullptr);
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
      }
    }
    pa_threaded_mainloop_stop(mainloop_);
    pa_threaded_mainloop_free(mainloop_);
  }
}

void PulseConnection::onContextState(pa_context* context, void* self) {
  auto* connection = static_cast<PulseConnection*>(self);
  pa_threaded_mainloop_signal(connection->mainloop_, 0);
  if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) && connection->onEvent_) {
    connection->onEvent_();
  }
}

void PulseConnection::onSubscription(pa_context*, pa_subscription_event_type_t, std::uint32_t,
                                     void* self) {
  auto* connection = static_cast<PulseConnection*>(self);
  if (connection->onEvent_) connection->onEvent_();
}

bool PulseConnection::contextUsableLocked() const {
  return context_ != nullptr && pa_context_get_state(context_) == PA_CONTEXT_READY;
}

bool PulseConnection::waitLocked(const std::function<bool()>& done,
                                 std::chrono::milliseconds timeout) {
  if (done()) return true;
  Deadline deadline{mainloop_};
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
  pa_time_event* timer =
      pa_context_rttime_new(context_, pa_rtclock_now() + static_cast<pa_usec_t>(micros),
                            &onDeadline, &deadline);
  bool answered = false;
  for (;;) {
    if (done()) {
      answered = true;
      break;
    }
    const auto state = pa_context_get_state(context_);
    if (deadline.passed || timer == nullptr || !PA_CONTEXT_IS_GOOD(state)) break;
    pa_threaded_mainloop_wait(mainloop_);
  }
  if (timer != nullptr) pa_threaded_mainloop_get_api(mainloop_)->time_free(timer);
  return answered;
}

bool PulseConnection::request(const std::function<pa_operation*()>& issue) {
  Locked lock(mainloop_);
  if (!contextUsableLocked()) return false;
  pa_operation* op = issue();
  if (op == nullptr) return false;
  const bool finished = waitLocked(
      [op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; }, kRequestTimeout);
  if (!finished) pa_operation_cancel(op);
  const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
  pa_operation_unref(op);
  return finished && done;
}

bool PulseConnection::isConnected() {
  Locked lock(mainloop_);
  return contextUsableLocked();
}

std::string PulseConnection::serverName() {
  Locked lock(mainloop_);
  return context_ == nullptr ? std::string() : text(pa_context_get_server(context_));
}

bool PulseConnection::readState(PulseServerState* state) {
  if (state == nullptr) return false;
  PulseServerState fresh;
  Answer server{mainloop_, false, PA_INVALID_INDEX, &fresh};
  Answer sinks{mainloop_, false, PA_INVALID_INDEX, &fresh};
  Answer sources{mainloop_, false, PA_INVALID_INDEX, &fresh};
  const bool ok =
      request([&] { return pa_context_get_server_info(context_, &onServerInfo, &server); }) &&
      server.ok &&
      request([&] { return pa_context_get_sink_info_list(context_, &onSinkInfo, &sinks); }) &&
      sinks.ok &&
      request([&] { return pa_context_get_source_info_list(context_, &onSourceInfo, &sources); }) &&
      sources.ok;
  if (ok) *state = std::move(fresh);
  return ok;
}

bool PulseConnection::setDefaultSink(const std::string& name) {
  Answer answer{mainloop_};
  return request([&] {
           return pa_context_set_default_sink(context_, name.c_str(), &onSuccess, &answer);
         }) &&
         answer.ok;
}

bool PulseConnection::setDefaultSource(const std::string& name) {
  Answer answer{mainloop_};
  return request([&] {
           return pa_context_set_default_source(context_, name.c_str(), &onSuccess, &answer);
         }) &&
         answer.ok;
}

bool PulseConnection::setSinkPort(const std::string& sink, const std::string& port) {
  Answer answer{mainloop_};
  return request([&] {
           return pa_context_set_sink_port_by_name(context_, sink.c_str(), port.c_str(),
                                                   &onSuccess, &answer);
         }) &&
         answer.ok;
}

bool PulseConnection::setSourcePort(const std::string& source, const std::string& port) {
  Answer answer{mainloop_};
  return request([&] {
           return pa_context_set_source_port_by_name(context_, source.c_str(), port.c_str(),
                                                     &onSuccess, &answer);
         }) &&
         answer.ok;
}

std::optional<std::uint32_t> PulseConnection::loadModule(const std::string& name,
                                                         const std::string& arguments) {
  Answer answer{mainloop_};
  const bool ok = request([&] {
    return pa_context_load_module(context_, name.c_str(), arguments.c_str(), &onIndex, &answer);
  });
  if (!ok || !answer.ok) return std::nullopt;
  return answer.index;
}

bool PulseConnection::unloadModule(std::uint32_t index) {
  Answer answer{mainloop_};
  return request([&] {
           return pa_context_unload_module(context_, index, &onSuccess, &answer);
         }) &&
         answer.ok;
}

}  // namespace corvane::platform::audio::detail
