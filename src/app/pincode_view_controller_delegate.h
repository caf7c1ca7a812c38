// The PIN screen tells the main window controller that a receiver was found. Called on the
// query channel's queue; the implementer hops to the main queue itself.
#pragma once

namespace corvane {

struct ReceiverObject;

class PincodeViewControllerDelegate {
 public:
  virtual ~PincodeViewControllerDelegate() = default;
  virtual void onFindReceiverSuccess(const ReceiverObject& receiver) = 0;
};

}  // namespace corvane
