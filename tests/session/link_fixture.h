// Shared pieces of the receiver-link tests: a recording delegate, a log capture and a
// fixture that runs a link against the test receiver on a free loopback address.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/log/log.h"
#include "session/net_stream.h"
#include "support/test_receiver.h"

namespace corvane::testing {

using Clock = std::chrono::steady_clock;

inline Clock::time_point deadlineAfter(double seconds) {
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// One delegate call.
struct LinkEvent {
  LinkEvent(std::string name_, int value_ = 0, std::optional<std::string> text_ = std::nullopt,
            Clock::time_point at_ = {})
      : name(std::move(name_)), value(value_), text(std::move(text_)), at(at_) {}
  std::string name;
  int value = 0;
  std::optional<std::string> text;
  Clock::time_point at;
  bool operator==(const LinkEvent& o) const {
    return name == o.name && value == o.value && text == o.text;
  }
};

inline std::ostream& operator<<(std::ostream& os, const LinkEvent& e) {
  os << e.name << "(" << e.value;
  if (e.text) os << ", \"" << *e.text << "\"";
  return os << ")";
}

class RecordingDelegate : public NetStreamDelegate {
 public:
  void onConnectSuccess() override { add("onConnectSuccess"); }
  void onConnectFailed() override { add("onConnectFailed"); }
  void onServerTimeout() override { add("onServerTimeout"); }
  void onRequestMirrorStartSuccess() override { add("onRequestMirrorStartSuccess"); }
  void onRequestMirrorStartFailed(int code) override { add("onRequestMirrorStartFailed", code); }
  void onRequestMirrorStopSuccess() override { add("onRequestMirrorStopSuccess"); }
  void onServerRequestMirrorOn() override { add("onServerRequestMirrorOn"); }
  void onServerRequestMirrorOff() override { add("onServerRequestMirrorOff"); }
  void onServerRequsstUpdateFrameRate(int fps) override {
    add("onServerRequsstUpdateFrameRate", fps);
  }
  void onServerRequestKeyFrame() override { add("onServerRequestKeyFrame"); }
  void onServerRequestKeyStatus() override { add("onServerRequestKeyStatus"); }
  void onServerRequestDeviceStatus(int status) override {
    add("onServerRequestDeviceStatus", status);
  }
  void onServerResponseAuthenticateType() override { add("onServerResponseAuthenticateType"); }
  void onServerResponseVersion(const std::optional<std::string>& v) override {
    add("onServerResponseVersion", 0, v);
  }

  std::vector<LinkEvent> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  size_t count(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (const auto& e : events_) n += e.name == name;
    return n;
  }
  // Waits until `name` has been called at least `n` times.
  bool waitFor(const std::string& name, size_t n = 1, double seconds = 5.0) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_until(lock, deadlineAfter(seconds), [&] {
      size_t k = 0;
      for (const auto& e : events_) k += e.name == name;
      return k >= n;
    });
  }
  bool waitForCount(size_t n, double seconds = 5.0) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_until(lock, deadlineAfter(seconds), [&] { return events_.size() >= n; });
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
  }

 private:
  void add(std::string name, int value = 0, std::optional<std::string> text = std::nullopt) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({std::move(name), value, std::move(text), Clock::now()});
    cv_.notify_all();
  }
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<LinkEvent> events_;
};

// Captures the console log lines while it lives.
class LogCapture {
 public:
  LogCapture() { platform::log::setSink(&LogCapture::sink, this); }
  ~LogCapture() { platform::log::setSink(nullptr, nullptr); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Lines whose text (after the prefix) ends with `text`.
  size_t count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return countLocked(text);
  }
  // Every line so far, for failure messages.
  std::string all() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    for (const auto& l : lines_) out += l + "\n";
    return out;
  }
  bool waitFor(const std::string& text, size_t n = 1, double seconds = 5.0) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_until(lock, deadlineAfter(seconds), [&] { return countLocked(text) >= n; });
  }

 private:
  static void sink(std::string_view line, void* context) {
    auto* self = static_cast<LogCapture*>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->lines_.emplace_back(line);
    self->cv_.notify_all();
  }
  size_t countLocked(const std::string& text) const {
    size_t n = 0;
    for (const auto& l : lines_)
      n += l.size() >= text.size() + 1 &&
           l.compare(l.size() - text.size(), text.size(), text) == 0 &&
           l[l.size() - text.size() - 1] == ' ';
    return n;
  }
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<std::string> lines_;
};

class LinkTest : public ::testing::Test {
 protected:
  static constexpr int8_t kOwnByte = 37;

  void SetUp() override { startReceiver({}); }

  void startReceiver(test::TestReceiverOptions options) {
    link_.reset();
    receiver_.reset();
    options.addressByte = 0x2A;
    options.typeByte = 7;
    std::string error;
    receiver_ = test::TestReceiver::startOnFreeLoopbackAddress(std::move(options), &error);
    ASSERT_NE(receiver_, nullptr) << error;
    link_ = NetStream::create();
    delegate_ = std::make_shared<RecordingDelegate>();
    link_->setDelegate(delegate_);
    link_->setLocaIpByte(kOwnByte);
  }

  void TearDown() override {
    if (link_) link_->disconnect();
    link_.reset();
    receiver_.reset();
  }

  bool allOpen(int open, double seconds = 5.0) {
    return receiver_->waitFor(
        [open](const test::ReceiverState& s) {
          for (const auto& c : s.channels)
            if (c.open != open) return false;
          return true;
        },
        seconds);
  }

  // Connects and waits for the control connection and all four connections at the receiver.
  void connectAndWait() {
    const size_t successes = delegate_->count("onConnectSuccess");
    link_->connect(receiver_->address());
    ASSERT_TRUE(delegate_->waitFor("onConnectSuccess", successes + 1)) << log_.all();
    ASSERT_TRUE(allOpen(1)) << log_.all();
  }

  // Packets the sender sent other than heartbeats.
  std::vector<std::array<uint8_t, 16>> nonHeartbeats(const test::ReceiverState& s) const {
    std::vector<std::array<uint8_t, 16>> out;
    for (const auto& r : s.control)
      if (!(r.kind() == 1 && r.code() == 0)) out.push_back(r.plain);
    return out;
  }

  LogCapture log_;
  std::unique_ptr<test::TestReceiver> receiver_;
  std::shared_ptr<NetStream> link_;
  std::shared_ptr<RecordingDelegate> delegate_;
};

}  // namespace corvane::testing
