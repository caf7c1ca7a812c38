// What the receiver link reports to its owner (the session controller).
//
// Calls arrive on the link's socket delegate queue (the global high-priority concurrent
// queue, so calls may overlap) or, for `onConnectFailed` after a silent receiver, on the
// link's heartbeat thread. An implementation moves its own work where it needs it.
// The calls for the control packets of one connection come one at a time, in the order the
// packets arrived; a call for a connection that has since ended may still be running beside
// them, but after it no further packet of that connection is reported.
#pragma once

#include <optional>
#include <string>

namespace corvane {

class NetStreamDelegate {
 public:
  virtual ~NetStreamDelegate() = default;

  // The control connection is up.
  virtual void onConnectSuccess() = 0;
  // The control connection failed or was lost, or the receiver fell silent.
  virtual void onConnectFailed() = 0;
  // Never sent by the link.
  virtual void onServerTimeout() = 0;
  virtual void onRequestMirrorStartSuccess() = 0;
  // -1 or -2: the receiver's two refusals.
  virtual void onRequestMirrorStartFailed(int code) = 0;
  virtual void onRequestMirrorStopSuccess() = 0;
  virtual void onServerRequestMirrorOn() = 0;
  virtual void onServerRequestMirrorOff() = 0;
  virtual void onServerRequsstUpdateFrameRate(int frameRate) = 0;
  virtual void onServerRequestKeyFrame() = 0;
  virtual void onServerRequestKeyStatus() = 0;
  virtual void onServerRequestDeviceStatus(int status) = 0;
  virtual void onServerResponseAuthenticateType() = 0;
  // The receiver's version text; empty when its bytes are not valid UTF-8.
  virtual void onServerResponseVersion(const std::optional<std::string>& version) = 0;
};

}  // namespace corvane
