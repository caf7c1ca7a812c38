#include "session/control_dispatch.h"

namespace corvane {

ControlDecision decideControlRequest(const _RequestPacket& request) {
  switch (request.code) {
    case kRequestHeartBeat:
      return {ControlAction::AnswerOk};
    case kRequestMirrorStart:
      return {ControlAction::MirrorOn};
    case kRequestMirrorStop:
      return {ControlAction::MirrorOff};
    case kRequestKeyFrame:
      return {ControlAction::KeyFrame};
    case kRequestUpdateFrameRate:
      return {ControlAction::UpdateFrameRate, static_cast<int8_t>(request.attach[0])};
    default:
      return {};
  }
}

ControlDecision decideControlResponse(const _ResponsePacket& response, int8_t locaIpByte) {
  // Packet offsets 8..15 are attach[0..7].
  switch (response.requestCode) {
    case kRequestMirrorStart:
      if (response.result == kControlResultOk) return {ControlAction::MirrorStartSuccess};
      return {ControlAction::SendStatusRequest};
    case kRequestMirrorStop:
      return {ControlAction::MirrorStopSuccess};
    case kRequestGetReceiverStatus: {
      const auto state = static_cast<int8_t>(response.attach[2]);  // byte 10
      const uint8_t owner = response.attach[3];                    // byte 11
      switch (state) {
        case 0:
          return {ControlAction::SendMirrorStart};
        case 1:
          if (owner == static_cast<uint8_t>(locaIpByte)) return {ControlAction::MirrorStartSuccess};
          return {ControlAction::SendMirrorStart};
        case 2:
          return {ControlAction::MirrorStartFailed, -1};
        case 3:
          return {ControlAction::MirrorStartFailed, -2};
        default:
          return {};
      }
    }
    case kRequestGetReceiverVersion:
      if (response.result != kControlResultOk) return {};
      return {ControlAction::ServerVersion, 0, responseVersionText(response)};
    case kRequestGetAuthentication:
      if (response.result == kControlResultOk && response.attach[0] == 1)
        return {ControlAction::AuthenticateType};
      return {};
    case kRequestAuthenticate:
    default:
      return {};
  }
}

ControlDecision decideControlCallback(const CallbackPacket& callback) {
  switch (callback.command) {
    case kCommandSetDeviceStatus:
      return {ControlAction::DeviceStatus, callback.attach[1]};  // byte 5, unsigned
    case kCommandSetKeyStatus:
      return {ControlAction::KeyStatus};
    default:
      return {};
  }
}

}  // namespace corvane
