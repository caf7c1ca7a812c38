#include "session/net_channel.h"

namespace corvane {

NetChannel::NetChannel() { mConnected = false; }

NetChannel::~NetChannel() {
  if (connectThread.joinable()) connectThread.join();
}

void NetChannel::connect(const std::string& host, int32_t port) {
  mHost = host;
  mPort = port;
  if (connectThread.joinable()) return;  // started once
  connectThread = std::thread([this] { connectToReceiver(); });
  mConnected = true;
}

}  // namespace corvane
