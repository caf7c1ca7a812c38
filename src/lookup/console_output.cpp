#include "lookup/console_output.h"

#include <unistd.h>

#include <mutex>
#include <string>

namespace corvane {
namespace {

struct PrintState {
  std::mutex mutex;
  PrintSink sink = nullptr;
  void* context = nullptr;
};

PrintState& printState() {
  static PrintState state;
  return state;
}

}  // namespace

void printLine(std::string_view text) {
  PrintState& state = printState();
  const std::lock_guard<std::mutex> lock(state.mutex);
  if (state.sink != nullptr) {
    state.sink(text, state.context);
    return;
  }
  std::string line(text);
  line += '\n';
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t written = ::write(STDOUT_FILENO, rest.data(), rest.size());
    if (written <= 0) {
      return;
    }
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
}

void setPrintSink(PrintSink sink, void* context) {
  PrintState& state = printState();
  const std::lock_guard<std::mutex> lock(state.mutex);
  state.sink = sink;
  state.context = context;
}

std::string errorText(const std::optional<platform::Error>& error) {
  if (!error) {
    return "(null)";
  }
  return "Error Domain=" + error->domain + " Code=" + std::to_string(error->code) + " \"" +
         error->description + "\"";
}

}  // namespace corvane
