// Authorization and privileged execution.
//
// An Authorization holds the rights it was granted and the way this machine asks for the
// administrator's consent (its ConsentPrompt). Asking for the right "system.privilege.admin"
// records it. The consent itself is asked when a privileged program starts, because on Linux
// it cannot be kept between programs: as root nothing is asked and the program runs
// directly; otherwise the prompt program (polkit's pkexec) puts up the system's password
// prompt and, once it is answered, runs the program as root. The privileged-execution function
// answers only after the prompt was answered: dismissed gives errAuthorizationCanceled
// (-60006), refused (or no way to ask) errAuthorizationDenied (-60005), and nothing runs;
// granted gives success while the program runs on (it does not wait for it).
//
// Privileged execution starts a program with arguments in a given working folder, with its
// standard output on a pipe that the caller reads, and answers the child's process id. The
// child is the caller's: it reaps it with waitpid(2).
//
// Thread-safety: every function may be called from any thread; an Authorization may be
// shared between threads. The privileged-execution function blocks its caller while the
// prompt is up.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
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

// How the administrator's consent is asked before a privileged program runs.
struct ConsentPrompt {
  // Exit statuses of the prompt program (pkexec's).
  static constexpr int kDismissed = 126;
  static constexpr int kNotAuthorized = 127;

  // The prompt program, started as "<program> <command...>": it asks, exits kDismissed when
  // the prompt was dismissed and kNotAuthorized when consent was refused or cannot be asked,
  // and otherwise runs <command...> as the administrator (in the same process). Empty: no
  // prompt, the program runs directly (the process is root).
  std::string program;

  // The machine's own: none as root, else pkexec at its usual places (the PATH is not
  // searched, so the environment cannot replace it); nullopt when neither is possible.
  static std::optional<ConsentPrompt> system();
};

class Authorization {
 public:
  // A reference holding no rights, asking through the system's prompt. `flags` are accepted as
  // given; `status` (may be null) is errAuthorizationSuccess.
  static std::shared_ptr<Authorization> create(std::uint32_t flags, OSStatus* status);
  // The same asking through `prompt` (a stand-in for the system's in tests).
  static std::shared_ptr<Authorization> create(std::uint32_t flags, OSStatus* status,
                                               ConsentPrompt prompt);

  // Asks for `rights` (names; an empty name: errAuthorizationInvalidSet); with
  // kAuthorizationFlagExtendRights they are added to the reference. The consent for
  // kAuthorizationRightExecute is asked when the program starts (header comment).
  OSStatus copyRights(const std::vector<std::string>& rights, std::uint32_t flags);
  bool hasRight(const std::string& right) const;
  // The prompt, nullopt when privileged execution is not possible here.
  const std::optional<ConsentPrompt>& prompt() const { return prompt_; }

 private:
  explicit Authorization(std::optional<ConsentPrompt> prompt) : prompt_(std::move(prompt)) {}
  const std::optional<ConsentPrompt> prompt_;
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
// without asking or running anything). Asks for consent through the authorization's prompt
// and answers once it is answered (header comment). errAuthorizationToolExecuteFailure when
// the program cannot be started (not an executable file, or the folder cannot be entered);
// errAuthorizationInternal when the authorization has no prompt.
using ExecuteWithPrivilegesFunction = OSStatus (*)(const Authorization& authorization,
                                                   const char* pathToTool, std::uint32_t options,
                                                   char* const* arguments,
                                                   const char* workingDirectory,
                                                   PrivilegedProcess* process);

// Looks up a function of the service by name; for "AuthorizationExecuteWithPrivileges"
// answers the privileged-execution function when privileged execution is possible here
// (running as root, or pkexec found), else nullptr. Other names: nullptr.
ExecuteWithPrivilegesFunction lookupFunction(const std::string& name);

// The implementation that `lookupFunction` answers (tests call it directly).
OSStatus AuthorizationExecuteWithPrivileges(const Authorization& authorization,
                                            const char* pathToTool, std::uint32_t options,
                                            char* const* arguments, const char* workingDirectory,
                                            PrivilegedProcess* process);

}  // namespace corvane::platform::security
