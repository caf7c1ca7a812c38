// A further channel class to a receiver; nothing in the system uses it. `connect` starts one
// thread on `connectToReceiver`, which does nothing; the other operations are empty.
//
// Thread-safety: call from one thread (the owner's). The connect thread is joined when the
// channel is destroyed.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace corvane {

// The channel's delegate protocol; it has no operations.
class NetChannelDelegate {
 public:
  virtual ~NetChannelDelegate() = default;
};

class NetChannel {
 public:
  NetChannel();
  ~NetChannel();
  NetChannel(const NetChannel&) = delete;
  NetChannel& operator=(const NetChannel&) = delete;

  // Remembers host and port; the first call starts the connect thread and sets connected.
  void connect(const std::string& host, int32_t port);
  void disconnect() {}
  void sendData(const void* /*data*/, size_t /*length*/) {}
  void startConnectionThread() {}
  void stopConnectionThread() {}
  void connectToReceiver() {}

  bool isConnected() const { return mConnected.load(std::memory_order_relaxed); }
  std::weak_ptr<NetChannelDelegate> delegate() const { return delegate_; }
  void setDelegate(std::weak_ptr<NetChannelDelegate> d) { delegate_ = std::move(d); }

 private:
  std::string mHost;
  int32_t mPort = 0;
  std::atomic<bool> mConnected{false};
  std::thread connectThread;
  std::weak_ptr<NetChannelDelegate> delegate_;
};

}  // namespace corvane
