// The display-sleep assertion: the in-process record, and the screen saver's inhibit request
// on a private session bus served by a stand-in screen saver.
#include "platform/power/power.h"

#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvane::platform::power {
namespace {

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);  // NOLINT(concurrency-mt-unsafe)
    if (old != nullptr) old_ = old;
    had_ = old != nullptr;
    if (value != nullptr) {
      setenv(name, value, 1);  // NOLINT(concurrency-mt-unsafe)
    } else {
      unsetenv(name);  // NOLINT(concurrency-mt-unsafe)
    }
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_, old_.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    } else {
      unsetenv(name_);  // NOLINT(concurrency-mt-unsafe)
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

// A session bus of the test's own: dbus-daemon started with --fork, killed at the end.
class PrivateBus {
 public:
  PrivateBus() {
    FILE* out = popen("dbus-daemon --session --fork --print-address=1 --print-pid=1 2>&1", "r");
    if (out == nullptr) return;
    char line[512];
    if (fgets(line, sizeof line, out) != nullptr) address_ = trim(line);
    if (fgets(line, sizeof line, out) != nullptr) pid_ = atoi(line);
    pclose(out);
    if (address_.rfind("unix:", 0) != 0) address_.clear();
  }
  ~PrivateBus() {
    if (pid_ > 0) kill(pid_, SIGTERM);
  }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;
  const std::string& address() const { return address_; }

 private:
  static std::string trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
  }
  std::string address_;
  int pid_ = 0;
};

// Owns org.freedesktop.ScreenSaver on the bus and records Inhibit / UnInhibit calls.
class FakeScreenSaver {
 public:
  explicit FakeScreenSaver(const std::string& address) {
    DBusError error;
    dbus_error_init(&error);
    connection_ = dbus_connection_open_private(address.c_str(), &error);
    if (connection_ == nullptr || dbus_bus_register(connection_, &error) == 0) {
      dbus_error_free(&error);
      return;
    }
    const int owned = dbus_bus_request_name(connection_, "org.freedesktop.ScreenSaver",
                                            DBUS_NAME_FLAG_DO_NOT_QUEUE, &error);
    dbus_error_free(&error);
    if (owned != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) return;
    ready_ = true;
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeScreenSaver() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
    if (connection_ != nullptr) {
      dbus_connection_close(connection_);
      dbus_connection_unref(connection_);
    }
  }
  FakeScreenSaver(const FakeScreenSaver&) = delete;
  FakeScreenSaver& operator=(const FakeScreenSaver&) = delete;

  bool ready() const { return ready_; }
  std::vector<std::string> calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  void serve() {
    while (running_) {
      dbus_connection_read_write(connection_, 20);
      while (DBusMessage* m = dbus_connection_pop_message(connection_)) {
        handle(m);
        dbus_message_unref(m);
      }
    }
  }
  void handle(DBusMessage* m) {
    if (dbus_message_is_method_call(m, "org.freedesktop.ScreenSaver", "Inhibit")) {
      const char* app = nullptr;
      const char* reason = nullptr;
      dbus_message_get_args(m, nullptr, DBUS_TYPE_STRING, &app, DBUS_TYPE_STRING, &reason,
                            DBUS_TYPE_INVALID);
      record("Inhibit " + std::string(app ? app : "") + " / " + (reason ? reason : ""));
      DBusMessage* reply = dbus_message_new_method_return(m);
      dbus_uint32_t cookie = 4711;
      dbus_message_append_args(reply, DBUS_TYPE_UINT32, &cookie, DBUS_TYPE_INVALID);
      dbus_connection_send(connection_, reply, nullptr);
      dbus_message_unref(reply);
    } else if (dbus_message_is_method_call(m, "org.freedesktop.ScreenSaver", "UnInhibit")) {
      dbus_uint32_t cookie = 0;
      dbus_message_get_args(m, nullptr, DBUS_TYPE_UINT32, &cookie, DBUS_TYPE_INVALID);
      record("UnInhibit " + std::to_string(cookie));
      DBusMessage* reply = dbus_message_new_method_return(m);
      dbus_connection_send(connection_, reply, nullptr);
      dbus_message_unref(reply);
    }
  }
  void record(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }

  DBusConnection* connection_ = nullptr;
  bool ready_ = false;
  std::atomic<bool> running_{true};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

TEST(PowerAssertion, RecordedWithoutABusAndReleasedOnce) {
  ScopedEnv noBus("DBUS_SESSION_BUS_ADDRESS", nullptr);
  AssertionID id = 0;
  ASSERT_EQ(createAssertionWithName(kAssertionTypePreventUserIdleDisplaySleep, kAssertionLevelOn,
                                    "Screen Mirroring", &id),
            kReturnSuccess);
  EXPECT_NE(id, 0u);
  auto held = activeAssertions();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].id, id);
  EXPECT_EQ(held[0].type, "PreventUserIdleDisplaySleep");
  EXPECT_EQ(held[0].level, 255u);
  EXPECT_EQ(held[0].name, "Screen Mirroring");
  EXPECT_FALSE(held[0].screenSaverInhibited);

  EXPECT_EQ(releaseAssertion(id), kReturnSuccess);
  EXPECT_TRUE(activeAssertions().empty());
  EXPECT_EQ(releaseAssertion(id), kReturnNotFound);
}

TEST(PowerAssertion, BadArgumentsAreRefused) {
  AssertionID id = 0;
  EXPECT_EQ(createAssertionWithName("", kAssertionLevelOn, "x", &id), kReturnBadArgument);
  EXPECT_EQ(createAssertionWithName(kAssertionTypePreventUserIdleDisplaySleep, kAssertionLevelOn,
                                    "", &id),
            kReturnBadArgument);
  EXPECT_EQ(createAssertionWithName(kAssertionTypePreventUserIdleDisplaySleep, kAssertionLevelOn,
                                    "x", nullptr),
            kReturnBadArgument);
  EXPECT_TRUE(activeAssertions().empty());
}

TEST(PowerAssertion, DisplaySleepAssertionInhibitsTheScreenSaverUntilReleased) {
  PrivateBus bus;
  ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
  FakeScreenSaver saver(bus.address());
  ASSERT_TRUE(saver.ready());
  ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str());

  AssertionID id = 0;
  ASSERT_EQ(createAssertionWithName(kAssertionTypePreventUserIdleDisplaySleep, kAssertionLevelOn,
                                    "Screen Mirroring", &id),
            kReturnSuccess);
  auto held = activeAssertions();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_TRUE(held[0].screenSaverInhibited);
  EXPECT_EQ(saver.calls(), std::vector<std::string>{"Inhibit Corvane Sender / Screen Mirroring"});

  // Another type, or the level off, asks nothing of the screen saver.
  AssertionID other = 0;
  ASSERT_EQ(createAssertionWithName("PreventUserIdleSystemSleep", kAssertionLevelOn, "x", &other),
            kReturnSuccess);
  EXPECT_EQ(releaseAssertion(other), kReturnSuccess);

  EXPECT_EQ(releaseAssertion(id), kReturnSuccess);
  EXPECT_EQ(saver.calls(), (std::vector<std::string>{"Inhibit Corvane Sender / Screen Mirroring",
                                                     "UnInhibit 4711"}));
}

TEST(PowerAssertion, ABusWithoutAScreenSaverOnlyRecords) {
  PrivateBus bus;
  ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
  ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str());
  AssertionID id = 0;
  ASSERT_EQ(createAssertionWithName(kAssertionTypePreventUserIdleDisplaySleep, kAssertionLevelOn,
                                    "Screen Mirroring", &id),
            kReturnSuccess);
  ASSERT_EQ(activeAssertions().size(), 1u);
  EXPECT_FALSE(activeAssertions()[0].screenSaverInhibited);
  EXPECT_EQ(releaseAssertion(id), kReturnSuccess);
}

}  // namespace
}  // namespace corvane::platform::power
