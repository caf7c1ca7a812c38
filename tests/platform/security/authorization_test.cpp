// The security layer: execution needs the administrator right; through a consent prompt (a
// stand-in with pkexec's command line and exit statuses) the answer is known when the call
// returns, arguments and the working folder reach the program unchanged, and the prompt's
// own bookkeeping never shows in the program's output.
#include "platform/security/authorization.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/foundation/file_utils.h"

namespace corvane::platform::security {
namespace {

class Folder {
 public:
  Folder() {
    std::string pattern = "/tmp/corvane-security-XXXXXX";
    EXPECT_NE(mkdtemp(pattern.data()), nullptr);
    path_ = pattern;
  }
  ~Folder() { files::remove(path_); }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// An authorization holding the right, asking through a script that runs `answer`.
std::shared_ptr<Authorization> withPrompt(const Folder& folder, const std::string& answer) {
  const std::string script = folder / "prompt";
  std::ofstream(script) << "#!/bin/sh\n" << answer << "\n";
  EXPECT_EQ(chmod(script.c_str(), 0755), 0);
  auto authorization = Authorization::create(kAuthorizationFlagDefaults, nullptr, {script});
  EXPECT_EQ(authorization->copyRights({kAuthorizationRightExecute}, kAuthorizationFlagExtendRights),
            errAuthorizationSuccess);
  return authorization;
}

std::string readAll(int fd) {
  std::string text;
  char piece[256];
  ssize_t n = 0;
  while ((n = read(fd, piece, sizeof piece)) > 0) text.append(piece, static_cast<std::size_t>(n));
  return text;
}

int reap(pid_t pid) {
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  return status;
}

TEST(AuthorizationTest, ExecutionNeedsTheAdminRightAndOnlyThatFunctionIsFound) {
  EXPECT_EQ(lookupFunction("SomethingElse"), nullptr);
  Folder folder;
  auto empty = Authorization::create(kAuthorizationFlagDefaults, nullptr, {folder / "prompt"});
  PrivilegedProcess process;
  EXPECT_EQ(AuthorizationExecuteWithPrivileges(*empty, "/bin/true", 0, nullptr, "", &process),
            errAuthorizationDenied);
  EXPECT_EQ(process.pid, -1);
  EXPECT_EQ(empty->copyRights({""}, kAuthorizationFlagExtendRights), errAuthorizationInvalidSet);
  // Asking without extending the rights grants nothing to keep.
  EXPECT_EQ(empty->copyRights({kAuthorizationRightExecute}, 0), errAuthorizationSuccess);
  EXPECT_FALSE(empty->hasRight(kAuthorizationRightExecute));
  EXPECT_EQ(empty->copyRights({kAuthorizationRightExecute}, kAuthorizationFlagExtendRights),
            errAuthorizationSuccess);
  EXPECT_TRUE(empty->hasRight(kAuthorizationRightExecute));
  // The system's prompt: none as root.
  if (geteuid() == 0) {
    ASSERT_TRUE(ConsentPrompt::system());
    EXPECT_EQ(ConsentPrompt::system()->program, "");
    EXPECT_NE(lookupFunction("AuthorizationExecuteWithPrivileges"), nullptr);
  }
}

TEST(AuthorizationTest, ThePromptsAnswerIsTheStatusAndARefusalRunsNothing) {
  struct Case {
    const char* answer;
    OSStatus status;
  };
  for (const Case c :
       {Case{"exit 126", errAuthorizationCanceled}, Case{"exit 127", errAuthorizationDenied},
        Case{"echo not the marker; exit 1", errAuthorizationToolExecuteFailure},
        Case{"exec \"$@\"", errAuthorizationSuccess}}) {
    SCOPED_TRACE(c.answer);
    Folder folder;
    auto authorization = withPrompt(folder, c.answer);
    char* const arguments[] = {const_cast<char*>("-c"), const_cast<char*>("touch ran"), nullptr};
    PrivilegedProcess process;
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(*authorization, "/bin/sh", 0, arguments,
                                                 folder.path().c_str(), &process),
              c.status);
    if (c.status != errAuthorizationSuccess) {
      EXPECT_EQ(process.pid, -1);  // reaped already: no child is left behind
      EXPECT_EQ(process.outputFd, -1);
      EXPECT_FALSE(files::exists(folder / "ran"));
      continue;
    }
    ASSERT_GT(process.pid, 0);
    EXPECT_EQ(readAll(process.outputFd), "");
    close(process.outputFd);
    EXPECT_EQ(reap(process.pid), 0);
    EXPECT_TRUE(files::exists(folder / "ran"));
  }
}

// The application blocks the ending signals on its threads (it reads them itself); the
// program it starts must not inherit that mask, or it could not be ended by them. (A shell
// clears its mask when it starts, so the program here is not one.)
TEST(AuthorizationTest, TheProgramStartsWithNoSignalBlocked) {
  if (geteuid() != 0) GTEST_SKIP() << "the direct road needs root";
  auto authorization = Authorization::create(kAuthorizationFlagDefaults, nullptr);
  ASSERT_EQ(authorization->copyRights({kAuthorizationRightExecute}, kAuthorizationFlagExtendRights),
            errAuthorizationSuccess);
  sigset_t ending;
  sigset_t before;
  sigemptyset(&ending);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&ending, signal);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &ending, &before), 0);
  std::vector<std::string> args = {"^SigBlk", "/proc/self/status"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  PrivilegedProcess process;
  const OSStatus status = AuthorizationExecuteWithPrivileges(*authorization, "/bin/grep", 0,
                                                             argv.data(), nullptr, &process);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  ASSERT_EQ(status, errAuthorizationSuccess);
  EXPECT_EQ(readAll(process.outputFd), "SigBlk:\t0000000000000000\n");
  close(process.outputFd);
  EXPECT_EQ(reap(process.pid), 0);
}

TEST(AuthorizationTest, ThroughThePromptArgumentsAndTheFolderArriveUnchanged) {
  Folder folder;
  const std::string odd = folder / "a folder with 'quotes' and $(x)";
  ASSERT_TRUE(files::createDirectory(odd, true));
  auto authorization = withPrompt(folder, "exec \"$@\"");
  std::vector<std::string> args = {
      "-c", "pwd; printf '[%s]' \"$@\"", "zero", "a b", "it's", "", "$HOME", "--"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  PrivilegedProcess process;
  ASSERT_EQ(AuthorizationExecuteWithPrivileges(*authorization, "/bin/sh", 0, argv.data(),
                                               odd.c_str(), &process),
            errAuthorizationSuccess);
  EXPECT_EQ(readAll(process.outputFd), odd + "\n[a b][it's][][$HOME][--]");
  close(process.outputFd);
  EXPECT_EQ(reap(process.pid), 0);

  // A program that is not an executable file, or a folder that cannot be entered, fails
  // after consent with the tool-failure status, leaving no child.
  for (const auto& [tool, where] :
       std::vector<std::pair<std::string, std::string>>{{folder / "missing", folder.path()},
                                                        {folder.path(), folder.path()},
                                                        {"/bin/true", folder / "missing"}}) {
    SCOPED_TRACE(tool + " in " + where);
    PrivilegedProcess failed;
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(*authorization, tool.c_str(), 0, nullptr,
                                                 where.c_str(), &failed),
              errAuthorizationToolExecuteFailure);
    EXPECT_EQ(failed.pid, -1);
  }
}

}  // namespace
}  // namespace corvane::platform::security
