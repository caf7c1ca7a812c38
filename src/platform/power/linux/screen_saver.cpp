#include "platform/power/linux/screen_saver.h"

#include <dbus/dbus.h>

#include <cstdlib>
#include <string>

#include "platform/log/log.h"

namespace corvane::platform::power::detail {
namespace {

constexpr const char* kService = "org.freedesktop.ScreenSaver";
constexpr const char* kPath = "/org/freedesktop/ScreenSaver";
constexpr const char* kInterface = "org.freedesktop.ScreenSaver";

// One private connection, kept open: the screen saver drops a process's requests when its
// connection closes. Reopened when the session bus address changes or the bus went away.
struct Bus {
  DBusConnection* connection = nullptr;
  std::string address;
};

Bus& bus() {
  static Bus instance;
  return instance;
}

void closeBus() {
  Bus& b = bus();
  if (b.connection != nullptr) {
    dbus_connection_close(b.connection);
    dbus_connection_unref(b.connection);
    b.connection = nullptr;
  }
  b.address.clear();
}

DBusConnection* connection() {
  const char* env = std::getenv("DBUS_SESSION_BUS_ADDRESS");  // NOLINT(concurrency-mt-unsafe)
  const std::string address = env != nullptr ? env : "";
  Bus& b = bus();
  if (b.connection != nullptr &&
      (address != b.address || !dbus_connection_get_is_connected(b.connection))) {
    closeBus();
  }
  if (b.connection != nullptr || address.empty()) {
    return b.connection;
  }
  static const bool threadsReady = dbus_threads_init_default() != 0;
  (void)threadsReady;
  DBusError error;
  dbus_error_init(&error);
  DBusConnection* c = dbus_connection_open_private(address.c_str(), &error);
  if (c != nullptr && dbus_bus_register(c, &error) == 0) {
    dbus_connection_close(c);
    dbus_connection_unref(c);
    c = nullptr;
  }
  if (c == nullptr) {
    log::nslog("screen saver: no session bus (%s)", error.message ? error.message : "unknown");
    dbus_error_free(&error);
    return nullptr;
  }
  dbus_connection_set_exit_on_disconnect(c, FALSE);
  b.connection = c;
  b.address = address;
  return c;
}

// Sends `message` (consumed) and waits for the reply; nullptr on any failure.
DBusMessage* call(DBusMessage* message, int timeoutMs) {
  DBusConnection* c = connection();
  if (c == nullptr || message == nullptr) {
    if (message != nullptr) dbus_message_unref(message);
    return nullptr;
  }
  DBusError error;
  dbus_error_init(&error);
  DBusMessage* reply = dbus_connection_send_with_reply_and_block(c, message, timeoutMs, &error);
  dbus_message_unref(message);
  if (reply == nullptr) {
    log::nslog("screen saver: %s", error.message ? error.message : "no reply");
    dbus_error_free(&error);
  }
  return reply;
}

}  // namespace

std::optional<uint32_t> screenSaverInhibit(const std::string& application,
                                           const std::string& reason, int timeoutMs) {
  DBusMessage* message = dbus_message_new_method_call(kService, kPath, kInterface, "Inhibit");
  if (message == nullptr) return std::nullopt;
  const char* app = application.c_str();
  const char* why = reason.c_str();
  if (dbus_message_append_args(message, DBUS_TYPE_STRING, &app, DBUS_TYPE_STRING, &why,
                               DBUS_TYPE_INVALID) == 0) {
    dbus_message_unref(message);
    return std::nullopt;
  }
  DBusMessage* reply = call(message, timeoutMs);
  if (reply == nullptr) return std::nullopt;
  dbus_uint32_t cookie = 0;
  DBusError error;
  dbus_error_init(&error);
  const bool ok =
      dbus_message_get_args(reply, &error, DBUS_TYPE_UINT32, &cookie, DBUS_TYPE_INVALID) != 0;
  dbus_message_unref(reply);
  if (!ok) {
    log::nslog("screen saver: unexpected Inhibit reply (%s)", error.message);
    dbus_error_free(&error);
    return std::nullopt;
  }
  return cookie;
}

bool screenSaverUnInhibit(uint32_t cookie, int timeoutMs) {
  DBusMessage* message = dbus_message_new_method_call(kService, kPath, kInterface, "UnInhibit");
  if (message == nullptr) return false;
  dbus_uint32_t value = cookie;
  if (dbus_message_append_args(message, DBUS_TYPE_UINT32, &value, DBUS_TYPE_INVALID) == 0) {
    dbus_message_unref(message);
    return false;
  }
  DBusMessage* reply = call(message, timeoutMs);
  if (reply == nullptr) return false;
  dbus_message_unref(reply);
  return true;
}

}  // namespace corvane::platform::power::detail
