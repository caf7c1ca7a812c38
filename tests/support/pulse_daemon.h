// A PulseAudio daemon of a test's own: user mode, its own configuration, runtime folder and
// socket in a fresh temporary folder, stopped (and the folder removed) at the end. Client
// programs (pactl, paplay) run against it with PULSE_SERVER pointing at its socket.
//
// The daemon daemonises itself and its launcher returns once the daemon is ready; stopping
// sends SIGTERM and waits for the end through a process descriptor (SIGKILL after 5 s). A
// test process that dies without stopping it leaves it at most 20 s: the daemon ends once it
// has had no client for that long (tests keep a client connected while they run).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/foundation/file_utils.h"

extern char** environ;

namespace corvane::test {

struct PulseCommandResult {
  int exitCode = -1;
  std::string output;  // standard output and standard error
};

class PulseDaemon {
 public:
  // `config` holds the daemon's configuration lines after the native protocol module.
  explicit PulseDaemon(const std::string& config) {
    std::string pattern = "/tmp/corvane-pulse-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      failure_ = "no temporary folder";
      return;
    }
    folder_ = pattern;
    socket_ = folder_ + "/native";
    const std::string file = folder_ + "/daemon.pa";
    {
      std::ofstream out(file);
      out << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << socket_ << "\n"
          << config;
    }
    auto started = run({"pulseaudio", "-n", "-F", file, "--daemonize=yes", "--exit-idle-time=20",
                        "--disallow-exit", "--use-pid-file=yes", "--log-target=file:" + folder_ +
                                                                     "/daemon.log"});
    std::ifstream pidFile(folder_ + "/pid");
    pidFile >> pid_;
    if (started.exitCode != 0 || pid_ <= 0) {
      failure_ = "the PulseAudio daemon did not start (exit " + std::to_string(started.exitCode) +
                 "): " + started.output + readLog();
      pid_ = 0;
    }
  }

  ~PulseDaemon() {
    stop();
    if (!folder_.empty()) platform::files::remove(folder_);
  }
  // Ends the daemon (a test may do it early, to see clients survive the server's end).
  void stop() {
    if (pid_ <= 0) return;
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    kill(pid_, SIGTERM);
    if (fd >= 0) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 5000) == 0) kill(pid_, SIGKILL);
      close(fd);
    }
    pid_ = 0;
  }
  PulseDaemon(const PulseDaemon&) = delete;
  PulseDaemon& operator=(const PulseDaemon&) = delete;

  bool running() const { return pid_ > 0; }
  // Why it is not running.
  const std::string& failure() const { return failure_; }
  std::string server() const { return "unix:" + socket_; }
  const std::string& folder() const { return folder_; }

  // Runs a program (no shell) against this daemon and collects its output.
  PulseCommandResult run(const std::vector<std::string>& argv) const {
    PulseCommandResult result;
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      if (entry.rfind("PULSE_", 0) == 0 || entry.rfind("HOME=", 0) == 0 ||
          entry.rfind("XDG_RUNTIME_DIR=", 0) == 0) {
        continue;
      }
      env.push_back(entry);
    }
    env.push_back("HOME=" + folder_);
    env.push_back("XDG_RUNTIME_DIR=" + folder_);
    env.push_back("PULSE_RUNTIME_PATH=" + folder_);
    env.push_back("PULSE_SERVER=" + server());
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);

    const std::string outPath = folder_ + "/command.out";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t child = 0;
    const int spawned =
        posix_spawnp(&child, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      result.output = "cannot run " + argv[0];
      return result;
    }
    int status = 0;
    if (waitpid(child, &status, 0) == child && WIFEXITED(status)) {
      result.exitCode = WEXITSTATUS(status);
    }
    std::ifstream in(outPath, std::ios::binary);
    result.output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return result;
  }

  PulseCommandResult pactl(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {"pactl"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv);
  }
  // The output of a pactl command with the trailing newline removed ("" on failure).
  std::string pactlText(const std::vector<std::string>& args) const {
    auto r = pactl(args);
    if (r.exitCode != 0) return "";
    while (!r.output.empty() && (r.output.back() == '\n' || r.output.back() == '\r')) {
      r.output.pop_back();
    }
    return r.output;
  }

 private:
  std::string readLog() const {
    std::ifstream in(folder_ + "/daemon.log");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::string folder_;
  std::string socket_;
  std::string failure_;
  pid_t pid_ = 0;
};

// The configuration of a desktop with speakers and a microphone, both the defaults.
inline const char* kSpeakersAndMicrophone =
    "load-module module-null-sink sink_name=speakers rate=48000 "
    "sink_properties=\"device.description='Speakers'\"\n"
    "load-module module-null-source source_name=mic channels=1 rate=48000 "
    "description=Microphone\n"
    "set-default-sink speakers\n"
    "set-default-source mic\n";

}  // namespace corvane::test
