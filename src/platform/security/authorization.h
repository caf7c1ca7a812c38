// Authorization and privileged execution.
//
// An Authorization holds the rights it was granted. Asking for the right
// "system.privilege.admin" succeeds at once for a process running as root; otherwise it is
// granted too and the asking happens when the command runs (through pkexec, which puts up
// the system's password prompt and fails the command when refused). A test switch replaces
// the answer: granted, cancelled (errAuthorizationCanceled, -60006) or refused
// (errAuthorizationDenied, -60005).
//
// Privileged execution starts a program with arguments (as root directly, otherwise as
// "pkexec <program> <arguments...>") in a given working folder, with its standard output on
// a pipe that the caller reads, and answers the child's process id. The child is the
// caller's: it reaps it with waitpid(2).
//
// Thread-safety: every function may be called from any thread; an Authorization may be
// shared between threads.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace corvane::platform::security {

using OSStatus = std::int32_t;

inline constexpr OSStatus errAuthorizationSuccess = 0;
inline constexpr OSStatus errAuthorizationInvalidSet = -60001;
inline constexpr OSStatus errAuthorizationInvalidRef = -60002;
inline constexpr OSStatus errAuthorizationDenied = -60005;
inline constexpr OSStatus errAuthorizationCanceled = -60006;
inline constexpr OSStatus errAuthorizationInternal = -60008;
inline constexpr OSStatus errAuthorizationToolExecuteFailure = -60031;

inline constexpr const char* kAuthorizationRightExecute = "system.privilege.admin";

// Authorization flags.
inline constexpr std::uint32_t kAuthorizationFlagDefaults = 0;
inline constexpr std::uint32_t kAuthorizationFlagInteractionAllowed = 1u << 0;
inline constexpr std::uint32_t kAuthorizationFlagExtendRights = 1u << 1;
inline constexpr std::uint32_t kAuthorizationFlagPartialRights = 1u << 2;
inline constexpr std::uint32_t kAuthorizationFlagDestroyRights = 1u << 3;
inline constexpr std::uint32_t kAuthorizationFlagPreAuthorize = 1u << 4;

// What the authorization service answers.
enum class TestAnswer {
  System,     // the real answer (root: granted; otherwise granted, pkexec asks later)
  Granted,
  Cancelled,  // errAuthorizationCanceled
  Refused,    // errAuthorizationDenied
};
void setTestAnswer(TestAnswer answer);
TestAnswer testAnswer();

class Authorization {
 public:
  // A reference holding no rights. `flags` are accepted as given; `status` (may be null) is
  // errAuthorizationSuccess.
  static std::shared_ptr<Authorization> create(std::uint32_t flags, OSStatus* status);

  // Asks for `rights` (names); with kAuthorizationFlagExtendRights the granted ones are
  // added to the reference. Answers the status of the answer (see the header comment).
  OSStatus copyRights(const std::vector<std::string>& rights, std::uint32_t flags);
  bool hasRight(const std::string& right) const;

 private:
  Authorization() = default;
  mutable std::mutex mutex_;
  std::set<std::string> rights_;
};

// A started privileged child.
struct PrivilegedProcess {
  int outputFd = -1;  // read end of the child's standard output (close-on-exec); the caller owns it
  pid_t pid = -1;
};

// The privileged-execution function: runs `pathToTool` with `arguments` (a list ending with
// a null entry; may be null for none) in `workingDirectory` (empty: the caller's), under
// `authorization`, which must hold kAuthorizationRightExecute (else errAuthorizationDenied
// without running anything). errAuthorizationToolExecuteFailure when the child cannot be
// started.
using ExecuteWithPrivilegesFunction = OSStatus (*)(const Authorization& authorization,
                                                   const char* pathToTool, std::uint32_t options,
                                                   char* const* arguments,
                                                   const char* workingDirectory,
                                                   PrivilegedProcess* process);

// Looks up a function of the service by name; for "AuthorizationExecuteWithPrivileges"
// answers the privileged-execution function when privileged execution is possible here
// (running as root, or pkexec found on the PATH), else nullptr. Other names: nullptr.
ExecuteWithPrivilegesFunction lookupFunction(const std::string& name);

// The implementation that `lookupFunction` answers (tests call it directly).
OSStatus AuthorizationExecuteWithPrivileges(const Authorization& authorization,
                                            const char* pathToTool, std::uint32_t options,
                                            char* const* arguments, const char* workingDirectory,
                                            PrivilegedProcess* process);

}  // namespace corvane::platform::security
