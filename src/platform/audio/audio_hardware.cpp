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

std::shared_ptr<AudioHardware> chooseHardware(const std::string& server,
                                              const std::string& systemRoot) {
  std::string failure;
  std::shared_ptr<AudioHardware> hardware = PulseAudioHardware::create(server, systemRoot, &failure);
  if (!hardware) {
    log::nslog("audio: no sound server answered (%s)", failure.c_str());
    hardware = SimAudioHardware::create(systemRoot);
  }
  log::nslog("audio: using the %s audio hardware", hardware->backendName().c_str());
  return hardware;
}

std::shared_ptr<AudioHardware> systemHardware() {
  Selection& s = selection();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.hardware) s.hardware = chooseHardware("", ProcessInfo::systemRoot());
  return s.hardware;
}

void setSystemHardware(std::shared_ptr<AudioHardware> hardware) {
  Selection& s = selection();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.hardware = std::move(hardware);
}

}  // namespace corvane::platform::audio
