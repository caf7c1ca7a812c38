#include "platform/security/authorization.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <vector>

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX

namespace corvane::platform::security {

namespace {

std::atomic<TestAnswer> gTestAnswer{TestAnswer::System};

bool runningAsRoot() { return geteuid() == 0; }

// pkexec at its usual places; the PATH is not searched, so the elevation helper cannot be
// replaced through the environment.
const char* pkexecPath() {
  static const char* const kCandidates[] = {"/usr/bin/pkexec", "/bin/pkexec"};
  for (const char* candidate : kCandidates) {
    if (access(candidate, X_OK) == 0) return candidate;
  }
  return nullptr;
}

OSStatus answerFor(TestAnswer answer) {
  switch (answer) {
    case TestAnswer::Cancelled:
      return errAuthorizationCanceled;
    case TestAnswer::Refused:
      return errAuthorizationDenied;
    case TestAnswer::Granted:
    case TestAnswer::System:
      break;
  }
  return errAuthorizationSuccess;
}

}  // namespace

void setTestAnswer(TestAnswer answer) { gTestAnswer.store(answer); }
TestAnswer testAnswer() { return gTestAnswer.load(); }

std::shared_ptr<Authorization> Authorization::create(std::uint32_t /*flags*/, OSStatus* status) {
  if (status != nullptr) *status = errAuthorizationSuccess;
  return std::shared_ptr<Authorization>(new Authorization());
}

OSStatus Authorization::copyRights(const std::vector<std::string>& rights, std::uint32_t flags) {
  for (const auto& right : rights) {
    if (right.empty()) return errAuthorizationInvalidSet;
  }
  const OSStatus status = answerFor(testAnswer());
  if (status != errAuthorizationSuccess) return status;
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
  if (!runningAsRoot() && pkexecPath() == nullptr) return nullptr;
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

  std::vector<char*> argv;
  std::string helper;
  if (!runningAsRoot()) {
    const char* pkexec = pkexecPath();
    if (pkexec == nullptr) return errAuthorizationToolExecuteFailure;
    helper = pkexec;
    argv.push_back(helper.data());
  }
  std::string tool = pathToTool;
  argv.push_back(tool.data());
  for (char* const* a = arguments; a != nullptr && *a != nullptr; ++a) argv.push_back(*a);
  argv.push_back(nullptr);

  int fds[2] = {-1, -1};
  if (pipe2(fds, O_CLOEXEC) != 0) return errAuthorizationToolExecuteFailure;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  if (workingDirectory != nullptr && workingDirectory[0] != '\0') {
    posix_spawn_file_actions_addchdir_np(&actions, workingDirectory);
  }
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
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

}  // namespace corvane::platform::security
