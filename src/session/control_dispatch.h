// The decision each incoming control packet leads to: pure functions over an unscrambled
// packet. The receiver link carries the decision out (answers, new requests, delegate calls).
// Safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "session/control_packet.h"

namespace corvane {

enum class ControlAction {
  None,                // ignored
  AnswerOk,            // answer the request with result 1, no attachment (heartbeat)
  MirrorOn,            // delegate onServerRequestMirrorOn
  MirrorOff,           // delegate onServerRequestMirrorOff
  KeyFrame,            // delegate onServerRequestKeyFrame
  UpdateFrameRate,     // delegate onServerRequsstUpdateFrameRate: value
  MirrorStartSuccess,  // delegate onRequestMirrorStartSuccess
  MirrorStartFailed,   // delegate onRequestMirrorStartFailed: value
  MirrorStopSuccess,   // delegate onRequestMirrorStopSuccess
  SendStatusRequest,   // send request 9
  SendMirrorStart,     // send request 1
  ServerVersion,       // delegate onServerResponseVersion: text
  AuthenticateType,    // delegate onServerResponseAuthenticateType
  DeviceStatus,        // delegate onServerRequestDeviceStatus: value
  KeyStatus,           // delegate onServerRequestKeyStatus
};

struct ControlDecision {
  ControlDecision() = default;
  ControlDecision(ControlAction action_, int value_ = 0,
                  std::optional<std::string> text_ = std::nullopt)
      : action(action_), value(value_), text(std::move(text_)) {}

  ControlAction action = ControlAction::None;
  int value = 0;                    // frame rate, failure code or device status
  std::optional<std::string> text;  // version text (absent when not valid UTF-8)

  bool operator==(const ControlDecision&) const = default;
};

// Requests from the receiver, on byte 3.
ControlDecision decideControlRequest(const _RequestPacket& request);

// Responses, on byte 6 (the answered request code). `locaIpByte` is the link's own address
// byte, against which a status answer's byte 11 is compared.
ControlDecision decideControlResponse(const _ResponsePacket& response, int8_t locaIpByte);

// Callbacks, on byte 3 (unsigned).
ControlDecision decideControlCallback(const CallbackPacket& callback);

}  // namespace corvane
