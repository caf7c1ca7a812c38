#include "platform/log/log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

namespace corvane::platform::log {
namespace {

// The lock, the sink and the program name are never destroyed: detached threads and
// queue workers may still log while the process runs its exit handlers.
std::mutex& sinkMutex() {
  static auto* m = new std::mutex();
  return *m;
}
Sink g_sink = nullptr;
void* g_context = nullptr;

const std::string& processName() {
  // The program's short name (argv[0] without its folder), as the console shows it.
  static const std::string* name = [] {
    const char* shortName = program_invocation_short_name;
    return new std::string(shortName != nullptr && shortName[0] != '\0' ? shortName : "corvane");
  }();
  return *name;
}

std::string prefix() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t secs = system_clock::to_time_t(now);
  auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  localtime_r(&secs, &tm);
  char stamp[64];
  std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &tm);
  char ids[96];
  std::snprintf(ids, sizeof(ids), ".%03d ", static_cast<int>(ms));
  std::string out = stamp;
  out += ids;
  out += processName();
  std::snprintf(ids, sizeof(ids), "[%d:%lx] ", static_cast<int>(getpid()),
                static_cast<unsigned long>(syscall(SYS_gettid)));
  out += ids;
  return out;
}

void emit(std::string line) {
  if (line.empty() || line.back() != '\n') line.push_back('\n');
  std::lock_guard<std::mutex> lock(sinkMutex());
  if (g_sink != nullptr) {
    g_sink(std::string_view(line.data(), line.size() - 1), g_context);
    return;
  }
  // One write per line so that lines of different threads never interleave.
  size_t off = 0;
  while (off < line.size()) {
    ssize_t n = ::write(STDERR_FILENO, line.data() + off, line.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // standard error closed or full: the line is dropped
    off += static_cast<size_t>(n);
  }
}

}  // namespace

void vnslog(const char* format, va_list args) {
  if (format == nullptr) return;
  va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (needed > 0) {
    std::vector<char> buf(static_cast<size_t>(needed) + 1);
    std::vsnprintf(buf.data(), buf.size(), format, args);
    text.assign(buf.data(), static_cast<size_t>(needed));
  }
  emit(prefix() + text);
}

void nslog(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vnslog(format, args);
  va_end(args);
}

void debug(std::string_view text) { emit(prefix() + "<debug> " + std::string(text)); }

void error(std::string_view text) { emit(prefix() + "<error> " + std::string(text)); }

void setSink(Sink sink, void* context) {
  std::lock_guard<std::mutex> lock(sinkMutex());
  g_sink = sink;
  g_context = context;
}

}  // namespace corvane::platform::log
