// ReceiverObject: a receiver as the look-up server describes it (name, software version, IPv4
// addresses) with the PIN it was found by. Plain value; usable from any thread.
#pragma once

#include <string>
#include <vector>

namespace corvane {

struct ReceiverObject {
  std::string name;                 // "" when the server sent none
  std::string version;              // "" when the server sent none
  std::vector<std::string> ipList;  // in the server's order; empty when it sent none
  std::string pincode;              // the PIN of the look-up

  bool operator==(const ReceiverObject&) const = default;
};

}  // namespace corvane
