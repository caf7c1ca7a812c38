// PincodeDelegate: what a PIN-server look-up reports to its listener (the PIN screen). Every
// operation runs on the PincodeChannel's socket queue; the listener hops to the main thread
// itself for screen work.
#pragma once

#include "lookup/receiver_object.h"

namespace corvane {

class PincodeDelegate {
 public:
  virtual ~PincodeDelegate() = default;

  // The connection to the look-up server is up (the request is about to be sent).
  virtual void onConnectPinServerSuccess() = 0;
  // The connection failed or was lost with an error (connect failure or time-out, reset, read
  // or write error, the server closing early).
  virtual void onConnectServerFailed() = 0;
  // The server knows the PIN.
  virtual void onPincodeResolved(const ReceiverObject& receiver) = 0;
  // The server answered with status NONE, FAILED or FAILED_NOT_EXIT.
  virtual void onReceiverNotFound() = 0;
};

}  // namespace corvane
