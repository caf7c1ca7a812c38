// What the session controller reports to the connection screen.
//
// Calls arrive on the receiver link's threads (the socket delegate queue, a concurrent queue,
// or the heartbeat thread after a silent receiver); an implementation moves its own work to
// the main queue.
#pragma once

#include <string>

namespace corvane {

class MirrorChannelDelegate {
 public:
  virtual ~MirrorChannelDelegate() = default;

  virtual void onConnectToReceiverSuccess() = 0;
  // -1: the connection failed or was lost, or the receiver fell silent; -2: server time-out.
  virtual void onConnectToReceiverFailed(int code) = 0;
  virtual void onRequestMirrorOnSuccess() = 0;
  // The receiver refused the mirror start: -1 or -2, as the receiver link reports them.
  virtual void onRequestMirrorOnFailed(int code) = 0;
  virtual void onRequestMirrorOffSuccess() = 0;
  virtual void onRequestReceiverVersionSuccess(const std::string& version) = 0;
};

}  // namespace corvane
