#include "process_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

extern char** environ;  // NOLINT: POSIX's own declaration

namespace corvane::test {

namespace {

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (auto& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

// Waits for `pid` to end within `timeout`; answers its status, or -1 when it did not end.
int waitForExit(pid_t pid, std::chrono::milliseconds timeout) {
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd >= 0) {
    pollfd entry{fd, POLLIN, 0};
    (void)poll(&entry, 1, static_cast<int>(timeout.count()));
    close(fd);
  }
  int status = 0;
  const pid_t done = waitpid(pid, &status, fd >= 0 ? WNOHANG : 0);
  return done == pid ? status : -1;
}

}  // namespace

CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  CommandResult result;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  std::vector<std::string> args = argv;
  auto argp = pointers(args);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (rc != 0) {
    close(pipeFds[0]);
    result.output = std::string("cannot run ") + argv[0] + ": " + std::strerror(rc);
    return result;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[4096];
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd entry{pipeFds[0], POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    result.output.append(buffer, static_cast<std::size_t>(n));
  }
  close(pipeFds[0]);
  int status = waitForExit(pid, std::chrono::milliseconds(100));
  if (status == -1) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    result.output += "\n(killed after the time-out)";
    return result;
  }
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

bool haveProgram(const std::string& name) {
  return runCommand({"sh", "-c", "command -v " + name}).exitCode == 0;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& environment, const std::string& logFile) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<std::string> args = argv;
  std::vector<std::string> env = environment;
  auto argp = pointers(args);
  auto envp = pointers(env);
  if (posix_spawn(&pid_, argp[0], &actions, nullptr, argp.data(), envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() { stop(); }

int ChildProcess::stop(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = waitForExit(pid_, timeout);
  if (status == -1) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    status = -1;
  }
  pid_ = -1;
  return status;
}

}  // namespace corvane::test
