// ReceiverData: a receiver as it describes itself in its answer to the UDP query. Plain value;
// usable from any thread.
#pragma once

#include <string>

namespace corvane {

struct ReceiverData {
  std::string name;      // the receiver's name from the answer
  std::string version;   // its software version from the answer
  std::string localIp;   // the IPv4 address the answer holds, dotted decimal
  std::string serverIp;  // the numeric host the answer datagram came from

  bool operator==(const ReceiverData&) const = default;
};

}  // namespace corvane
