// QueryReceiverDelegate: the listener of the UDP receiver query (the PIN screen). Runs on the
// QueryServerChannel's socket queue; the listener hops to the main thread itself.
#pragma once

#include "lookup/receiver_data.h"

namespace corvane {

class QueryReceiverDelegate {
 public:
  virtual ~QueryReceiverDelegate() = default;

  // One valid answer arrived.
  virtual void onFoundReceiver(const ReceiverData& receiver) = 0;
};

}  // namespace corvane
