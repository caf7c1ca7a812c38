// corvane-test-lookup-server: runs the test look-up server so that a person can type a PIN into
// the application on one machine. PINs come from the command line; every event is printed;
// Ctrl-C ends it.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_lookup_server.h"

using corvane::StatusCode;
using corvane::test::LookupAnswer;
using corvane::test::LookupServerOptions;
using corvane::test::TestLookupServer;

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: corvane-test-lookup-server [options]\n"
               "  --address A                    address to listen on (default 127.0.0.1)\n"
               "  --port P                       TCP port (default 10022)\n"
               "  --found PIN NAME VERSION IPS   a known PIN; IPS: comma-separated addresses\n"
               "  --not-found PIN STATUS         a PIN answered with status 0, 2 or 3\n"
               "Unknown PINs are answered with status 3 (FAILED_NOT_EXIT).\n"
               "example: --found 123456 \"Living room\" 1.0.0 127.0.0.1\n");
}

std::vector<std::string> splitList(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  std::string part;
  while (std::getline(in, part, ',')) {
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

std::mutex g_print;

void say(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_print);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  LookupServerOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        usage();
        std::exit(2);  // NOLINT(concurrency-mt-unsafe): before any thread starts
      }
      return argv[++i];
    };
    if (a == "--address") {
      options.address = value();
    } else if (a == "--port") {
      const long port = std::strtol(value().c_str(), nullptr, 10);
      if (port < 0 || port > 65535) {
        usage();
        return 2;
      }
      options.port = static_cast<uint16_t>(port);
    } else if (a == "--found") {
      const std::string pin = value();
      const std::string name = value();
      const std::string version = value();
      options.pins[pin] = LookupAnswer::found(splitList(value()), name, version);
    } else if (a == "--not-found") {
      const std::string pin = value();
      const long status = std::strtol(value().c_str(), nullptr, 10);
      if (status != 0 && status != 2 && status != 3) {
        usage();
        return 2;
      }
      options.pins[pin] = LookupAnswer::notFound(static_cast<StatusCode>(status));
    } else {
      usage();
      return a == "--help" || a == "-h" ? 0 : 2;
    }
  }
  options.onEvent = say;

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  TestLookupServer server(options);
  std::string error;
  if (!server.start(&error)) {
    std::fprintf(stderr, "corvane-test-lookup-server: %s\n", error.c_str());
    return 1;
  }
  say("listening on " + server.address() + ":" + std::to_string(server.port()) + " with " +
      std::to_string(options.pins.size()) + " PIN(s); set the user-defaults string "
      "\"pinserver.host\" to " + server.address() + " if it is not localhost");
  int sig = 0;
  sigwait(&signals, &sig);
  server.stop();
  const auto state = server.snapshot();
  say("requests: " + std::to_string(state.requests.size()) + ", replies written: " +
      std::to_string(state.repliesWritten));
  return 0;
}
