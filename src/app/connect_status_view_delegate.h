// The connection screen tells the main window controller that its session has ended and the
// screen has closed. May be called on any thread; the implementer hops to the main queue.
#pragma once

namespace corvane {

class ConnectStatusViewDelegate {
 public:
  virtual ~ConnectStatusViewDelegate() = default;
  virtual void onConnectStatusViewClosed() = 0;
};

}  // namespace corvane
