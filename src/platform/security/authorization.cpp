#include "platform/security/authorization.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX

namespace corvane::platform::security {

namespace {

// What the starter prints once the prompt program runs it as the administrator, right before
// it becomes the requested program.
constexpr char kStartedMarker = '\001';
// The starter's status when the program cannot be started (after consent was given).
constexpr int kCannotStart = 125;
// Run by the prompt program as "/bin/sh -c <starter> sh <folder> <program> <arguments...>":
// enters the folder (pkexec itself starts in the administrator's home), checks the program,
// reports that consent was given, and becomes the program.
constexpr const char* kStarter =
    "[ -z \"$1\" ] || cd -- \"$1\" 2>/dev/null || exit 125; shift; "
    "[ -f \"$1\" ] && [ -x \"$1\" ] || exit 125; printf '\\001'; exec \"$@\"";

// pkexec at its usual places; the PATH is not searched, so the elevation helper cannot be
// replaced through the environment.
const char* pkexecPath() {
  static const char* const kCandidates[] = {"/usr/bin/pkexec", "/bin/pkexec"};
  for (const char* candidate : kCandidates) {
    if (access(candidate, X_OK) == 0) return candidate;
  }
  return nullptr;
}

std::string currentDirectory() {
  std::vector<char> buffer(4096);
  if (::getcwd(buffer.data(), buffer.size()) == nullptr) return "";
  return buffer.data();
}

// Starts `argv` with standard input from /dev/null and standard output on a new pipe, in
// `workingDirectory` when not empty. errAuthorizationToolExecuteFailure when it cannot start.
OSStatus spawn(std::vector<char*>& argv, const char* workingDirectory, PrivilegedProcess* process) {
  int fds[2] = {-1, -1};
  if (pipe2(fds, O_CLOEXEC) != 0) return errAuthorizationToolExecuteFailure;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  if (workingDirectory != nullptr && workingDirectory[0] != '\0') {
    posix_spawn_file_actions_addchdir_np(&actions, workingDirectory);
  }
  // The child starts with no signal blocked and the ending signals at their defaults: the
  // application blocks those on its threads to read them itself, and a mask would outlive
  // the exec, leaving the privileged program deaf to SIGTERM, SIGINT and SIGHUP.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  sigset_t ending;
  sigemptyset(&ending);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&ending, signal);
  posix_spawnattr_setsigdefault(&attributes, &ending);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  argv.push_back(nullptr);
  const int rc = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return errAuthorizationToolExecuteFailure;
  }
  process->outputFd = fds[0];
  process->pid = pid;
  return errAuthorizationSuccess;
}

// Waits for the started marker on the child's output. Without it (the prompt program ended
// without starting anything) the child is reaped and its status tells why.
OSStatus awaitConsent(PrivilegedProcess* process) {
  for (;;) {
    char c = 0;
    const ssize_t n = ::read(process->outputFd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n == 1 && c == kStartedMarker) return errAuthorizationSuccess;
    if (n != 1) break;
  }
  close(process->outputFd);
  int status = 0;
  pid_t r = -1;
  do {
    r = ::waitpid(process->pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  process->outputFd = -1;
  process->pid = -1;
  if (r < 0 || !WIFEXITED(status)) return errAuthorizationToolExecuteFailure;
  switch (WEXITSTATUS(status)) {
    case ConsentPrompt::kDismissed:
      return errAuthorizationCanceled;
    case ConsentPrompt::kNotAuthorized:
      return errAuthorizationDenied;
    default:
      return errAuthorizationToolExecuteFailure;  // kCannotStart, or the prompt failed
  }
}

}  // namespace

std::optional<ConsentPrompt> ConsentPrompt::system() {
  if (geteuid() == 0) return ConsentPrompt{};
  if (const char* pkexec = pkexecPath()) return ConsentPrompt{pkexec};
  return std::nullopt;
}

std::shared_ptr<Authorization> Authorization::create(std::uint32_t /*flags*/, OSStatus* status) {
  if (status != nullptr) *status = errAuthorizationSuccess;
  return std::shared_ptr<Authorization>(new Authorization(ConsentPrompt::system()));
}

std::shared_ptr<Authorization> Authorization::create(std::uint32_t /*flags*/, OSStatus* status,
                                                     ConsentPrompt prompt) {
  if (status != nullptr) *status = errAuthorizationSuccess;
  return std::shared_ptr<Authorization>(new Authorization(std::move(prompt)));
}

OSStatus Authorization::copyRights(const std::vector<std::string>& rights, std::uint32_t flags) {
  for (const auto& right : rights) {
    if (right.empty()) return errAuthorizationInvalidSet;
  }
  if ((flags & kAuthorizationFlagExtendRights) != 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& right : rights) rights_.insert(right);
  }
  return errAuthorizationSuccess;
}

bool Authorization::hasRight(const std::string& right) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rights_.count(right) != 0;
}

ExecuteWithPrivilegesFunction lookupFunction(const std::string& name) {
  if (name != "AuthorizationExecuteWithPrivileges") return nullptr;
  if (!ConsentPrompt::system()) return nullptr;
  return &AuthorizationExecuteWithPrivileges;
}

OSStatus AuthorizationExecuteWithPrivileges(const Authorization& authorization,
                                            const char* pathToTool, std::uint32_t /*options*/,
                                            char* const* arguments, const char* workingDirectory,
                                            PrivilegedProcess* process) {
  if (pathToTool == nullptr || pathToTool[0] == '\0' || process == nullptr) {
    return errAuthorizationInvalidSet;
  }
  if (!authorization.hasRight(kAuthorizationRightExecute)) return errAuthorizationDenied;
  const auto& prompt = authorization.prompt();
  if (!prompt) return errAuthorizationInternal;

  std::string tool = pathToTool;
  std::vector<char*> argv;
  if (prompt->program.empty()) {
    argv.push_back(tool.data());
    for (char* const* a = arguments; a != nullptr && *a != nullptr; ++a) argv.push_back(*a);
    return spawn(argv, workingDirectory, process);
  }

  std::string program = prompt->program;
  std::string shell = "/bin/sh";
  std::string dashC = "-c";
  std::string starter = kStarter;
  std::string name = "sh";
  std::string folder = workingDirectory != nullptr && workingDirectory[0] != '\0'
                           ? std::string(workingDirectory)
                           : currentDirectory();
  for (std::string* s : {&program, &shell, &dashC, &starter, &name, &folder, &tool}) {
    argv.push_back(s->data());
  }
  for (char* const* a = arguments; a != nullptr && *a != nullptr; ++a) argv.push_back(*a);
  const OSStatus started = spawn(argv, nullptr, process);
  if (started != errAuthorizationSuccess) return started;
  static_assert(kCannotStart != ConsentPrompt::kDismissed &&
                kCannotStart != ConsentPrompt::kNotAuthorized);
  return awaitConsent(process);
}

}  // namespace corvane::platform::security
