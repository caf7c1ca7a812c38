// Prints the machine's own IPv4 address as getLocalIP answers it ("none" without one); the
// local-address test runs it inside a private network namespace.
#include <cstdio>

#include "lookup/network_utilities.h"
#include "platform/log/log.h"

namespace {
void dropLine(std::string_view /*line*/, void* /*context*/) {}
}  // namespace

int main() {
  corvane::platform::log::setSink(dropLine, nullptr);
  const auto ip = corvane::NetworkUtilities::sharedInstance()->getLocalIP();
  std::printf("%s\n", ip ? ip->c_str() : "none");
  return 0;
}
