#include "platform/audio/audio_hardware.h"

#include <mutex>

#include "platform/audio/linux/pulse_audio_hardware.h"
#include "platform/audio/sim/sim_audio_hardware.h"
#include "platform/foundation/process_info.h"
#include "platform/log/log.h"

namespace corvane::platform::audio {

namespace {
struct Selection {
  std::mutex mutex;
  std::shared_ptr<AudioHardware> hardware;
};
Selection& selection() {
  static Selection s;
  return s;
}
}  // namespace

std::shared_ptr<AudioHardware> systemHardware() {
  Selection& s = selection();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.hardware) {
    // The sound server when one answers, else the in-process model.
    std::string failure;
    s.hardware = PulseAudioHardware::create("", ProcessInfo::systemRoot(), &failure);
    if (!s.hardware) {
      log::nslog("audio: no sound server answered (%s)", failure.c_str());
      s.hardware = SimAudioHardware::create(ProcessInfo::systemRoot());
    }
    log::nslog("audio: using the %s audio hardware", s.hardware->backendName().c_str());
  }
  return s.hardware;
}

void setSystemHardware(std::shared_ptr<AudioHardware> hardware) {
  Selection& s = selection();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.hardware = std::move(hardware);
}

}  // namespace corvane::platform::audio
