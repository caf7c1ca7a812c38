// Child processes for the application's tests: a command run to its end with its output, and
// a long-running program started with its own environment and stopped at the end.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace corvane::test {

struct CommandResult {
  int exitCode = -1;   // -1 when it could not run or was killed
  std::string output;  // standard output and standard error together
};

// Runs `argv` (searched on PATH) and waits for it, at most `timeout` (then it is killed).
CommandResult runCommand(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Whether `name` is an executable on PATH.
bool haveProgram(const std::string& name);

// A program running in the background with the given environment ("NAME=value" entries),
// its standard output and error going to `logFile`. Stopped (SIGTERM, then SIGKILL) when the
// object goes.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
               const std::string& logFile);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool isRunning() const { return pid_ > 0; }
  // The process id while it runs (until `stop`), else -1.
  pid_t pid() const { return pid_; }
  // Sends SIGTERM and waits up to `timeout` for the end, then kills it; answers the exit
  // status as waitpid reports it, or -1.
  int stop(std::chrono::milliseconds timeout = std::chrono::seconds(5));

 private:
  pid_t pid_ = -1;
};

}  // namespace corvane::test
