// STPrivilegedTask with the real security layer, both as root (the program runs directly)
// and through a stand-in for the consent prompt (a program with pkexec's command line and exit
// statuses): the launch answers once consent was given and before the child ends, the end is
// posted on the launching thread's run loop within about one check interval, the output
// handle reads the child's output, and a dismissed or refused prompt runs nothing.
#include "installer/st_privileged_task.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "platform/foundation/reference_date.h"
#include "platform/security/authorization.h"
#include "support/sound_test_support.h"

namespace corvane {
namespace {

namespace sec = platform::security;
namespace files = platform::files;

// A stand-in for the consent prompt: a script that notes each time it is asked, then answers
// with `answer` (a shell line: "exec \"$@\"" grants, "exit 126" dismisses, "exit 127" refuses).
std::shared_ptr<sec::Authorization> standInPrompt(const test::SoundTempFolder& tmp,
                                                  const std::string& answer) {
  const std::string script = tmp / "prompt";
  test::writeText(script, "#!/bin/sh\necho asked >> '" + (tmp / "asked") + "'\n" + answer + "\n");
  EXPECT_EQ(chmod(script.c_str(), 0755), 0);
  return sec::Authorization::create(sec::kAuthorizationFlagDefaults, nullptr,
                                    sec::ConsentPrompt{script});
}

enum class Consent { Root, StandIn };

class STPrivilegedTaskTest : public ::testing::TestWithParam<Consent> {
 protected:
  void SetUp() override {
    if (!sec::lookupFunction("AuthorizationExecuteWithPrivileges")) {
      GTEST_SKIP() << "privileged execution is not possible here (not root, no pkexec)";
    }
    if (GetParam() == Consent::Root) {
      if (geteuid() != 0) GTEST_SKIP() << "the direct road needs root";
    } else {
      authorization = standInPrompt(tmp, "exec \"$@\"");
    }
    center = platform::NotificationCenter::create();
  }

  std::shared_ptr<STPrivilegedTask> task(std::string path,
                                         std::vector<std::string> arguments = {}) {
    auto t =
        STPrivilegedTask::initWithLaunchPath(std::move(path), std::move(arguments), authorization);
    t->setCurrentDirectoryPath(tmp.path());
    t->setNotificationCenter(center);
    return t;
  }
  // Runs this thread's run loop until `task`'s termination was posted or `seconds` passed;
  // answers the reference-date time of the post (0 when none came).
  double runUntilTerminated(const std::shared_ptr<STPrivilegedTask>& task, double seconds) {
    double postedAt = 0.0;
    std::thread::id postedOn;
    auto token = center->addObserver(kSTPrivilegedTaskDidTerminateNotification,
                                     [&](const platform::Notification& n) {
                                       if (n.object.get() != task.get()) return;
                                       postedAt = platform::ReferenceDate::now();
                                       postedOn = std::this_thread::get_id();
                                     });
    const double deadline = platform::ReferenceDate::now() + seconds;
    while (postedAt == 0.0 && platform::ReferenceDate::now() < deadline) {
      platform::RunLoop::current()->runOnce(deadline);
    }
    center->removeObserver(token);
    if (postedAt != 0.0) {
      EXPECT_EQ(postedOn, std::this_thread::get_id());
    }
    return postedAt;
  }

  test::SoundTempFolder tmp;
  std::shared_ptr<sec::Authorization> authorization;  // nullptr: the shared one (root)
  std::shared_ptr<platform::NotificationCenter> center;
};

TEST_P(STPrivilegedTaskTest, LaunchAnswersAtOnceAndTheEndIsPostedWithinACheckInterval) {
  const std::string fifo = tmp / "gate";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // The child blocks until the test writes one byte into the pipe.
  auto task = this->task("/bin/sh", {"-c", "head -c 1 gate >/dev/null; exit 7"});
  ASSERT_EQ(task->launch(), 0);
  EXPECT_TRUE(task->isRunning());
  ASSERT_GT(task->processIdentifier(), 0);
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(task->processIdentifier()), &info,
                   WEXITED | WNOHANG | WNOWAIT),
            0);
  EXPECT_EQ(info.si_pid, 0) << "the child must still run";
  EXPECT_NE(task->launch(), 0);  // a task launches once

  // Let the check timer run a few rounds while the child waits, then release it.
  EXPECT_EQ(runUntilTerminated(task, 0.35), 0.0);
  EXPECT_TRUE(task->isRunning());
  const int gate = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(gate, 0);
  ASSERT_EQ(write(gate, "x", 1), 1);
  close(gate);
  // The child ends right after its read; the post comes at the next check (0.1 s apart).
  const double released = platform::ReferenceDate::now();
  const double postedAt = runUntilTerminated(task, 10.0);
  ASSERT_NE(postedAt, 0.0);
  const double delay = postedAt - released;
  std::printf("termination posted %.3f s after the child was released\n", delay);
  EXPECT_LT(delay, 0.1 + 0.4);  // one check interval, with room for a loaded machine
  EXPECT_FALSE(task->isRunning());
  EXPECT_TRUE(WIFEXITED(task->terminationStatus()));
  EXPECT_EQ(WEXITSTATUS(task->terminationStatus()), 7);
}

TEST_P(STPrivilegedTaskTest, OutputHandleReadsTheChildsOutputInItsDirectory) {
  auto task = this->task("/bin/sh", {"-c", "pwd; echo \"$0\"", "it's me"});
  ASSERT_EQ(task->launch(), 0);
  auto output = task->outputFileHandle();
  ASSERT_TRUE(output);
  const auto bytes = output->readDataToEndOfFile();
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), tmp.path() + "\nit's me\n");
  task->waitUntilExit();
  EXPECT_FALSE(task->isRunning());
  EXPECT_EQ(WEXITSTATUS(task->terminationStatus()), 0);
  EXPECT_NE(runUntilTerminated(task, 5.0), 0.0);  // still reported once reaped
}

TEST_P(STPrivilegedTaskTest, UnstartableProgramsAndFoldersFailTheLaunch) {
  test::writeText(tmp / "not-executable", "#!/bin/sh\n");
  for (const std::string& program : {tmp / "no-such-program", tmp / "not-executable", tmp.path()}) {
    SCOPED_TRACE(program);
    auto unstartable = task(program);
    EXPECT_EQ(unstartable->launch(), sec::errAuthorizationToolExecuteFailure);
    EXPECT_FALSE(unstartable->isRunning());
    EXPECT_FALSE(unstartable->outputFileHandle());
  }
  auto badFolder = task("/bin/true");
  badFolder->setCurrentDirectoryPath(tmp / "no-such-folder");
  EXPECT_EQ(badFolder->launch(), sec::errAuthorizationToolExecuteFailure);
  EXPECT_FALSE(badFolder->isRunning());
}

INSTANTIATE_TEST_SUITE_P(Consent, STPrivilegedTaskTest,
                         ::testing::Values(Consent::Root, Consent::StandIn), [](const auto& p) {
                           return p.param == Consent::Root ? std::string("Root")
                                                           : std::string("StandInPrompt");
                         });

// The prompt's answer comes before `launch` returns: a dismissed or refused prompt is the
// launch's status and nothing runs; a granted one runs the command once.
TEST(STPrivilegedTaskConsentTest, DismissedOrRefusedPromptsRunNothing) {
  if (!sec::lookupFunction("AuthorizationExecuteWithPrivileges")) {
    GTEST_SKIP() << "privileged execution is not possible here (not root, no pkexec)";
  }
  struct Case {
    const char* answer;
    std::int32_t status;
  };
  for (const Case c :
       {Case{"exit 126", sec::errAuthorizationCanceled},
        Case{"exit 127", sec::errAuthorizationDenied},
        Case{"exit 3", sec::errAuthorizationToolExecuteFailure}, Case{"exec \"$@\"", 0}}) {
    SCOPED_TRACE(c.answer);
    test::SoundTempFolder tmp;
    auto task = STPrivilegedTask::initWithLaunchPath("/bin/sh", {"-c", "touch ran"},
                                                     standInPrompt(tmp, c.answer));
    task->setCurrentDirectoryPath(tmp.path());
    EXPECT_EQ(task->launch(), c.status);
    EXPECT_EQ(test::readText(tmp / "asked"), "asked\n");
    if (c.status != 0) {
      EXPECT_FALSE(task->isRunning());
      EXPECT_EQ(task->processIdentifier(), 0);
      EXPECT_FALSE(task->outputFileHandle());
      EXPECT_FALSE(files::exists(tmp / "ran"));
    } else {
      task->waitUntilExit();
      EXPECT_EQ(task->terminationStatus(), 0);
      EXPECT_TRUE(files::exists(tmp / "ran"));
    }
  }
}

// `launch` waits for the user to answer the prompt (here: until the test lets the stand-in
// answer), and not for the command.
TEST(STPrivilegedTaskConsentTest, LaunchReturnsWhenThePromptIsAnsweredNotWhenTheCommandEnds) {
  if (!sec::lookupFunction("AuthorizationExecuteWithPrivileges")) {
    GTEST_SKIP() << "privileged execution is not possible here (not root, no pkexec)";
  }
  test::SoundTempFolder tmp;
  for (const char* fifo : {"answer", "command"}) ASSERT_EQ(mkfifo((tmp / fifo).c_str(), 0600), 0);
  auto task = STPrivilegedTask::initWithLaunchPath(
      "/bin/sh", {"-c", "head -c 1 command >/dev/null"},
      standInPrompt(tmp, "head -c 1 '" + (tmp / "answer") + "' >/dev/null; exec \"$@\""));
  task->setCurrentDirectoryPath(tmp.path());
  std::promise<std::int32_t> launched;
  auto status = launched.get_future();
  // The launching thread runs its run loop afterwards, so that the check timer reaps the child.
  std::thread launcher([&] {
    launched.set_value(task->launch());
    const double deadline = platform::ReferenceDate::now() + 30.0;
    while (task->isRunning() && platform::ReferenceDate::now() < deadline) {
      platform::RunLoop::current()->runOnce(deadline);
    }
  });
  // Writes one byte into a pipe that the prompt or the command waits on.
  auto release = [&tmp](const char* fifo) {
    const int fd = open((tmp / fifo).c_str(), O_WRONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, "x", 1), 1);
    close(fd);
  };
  // Until the prompt is answered the launch does not return.
  EXPECT_EQ(status.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  // A second launch while the prompt is up is refused at once: one prompt, one child.
  const double askedBy = platform::ReferenceDate::now() + 30.0;
  while (!files::exists(tmp / "asked") && platform::ReferenceDate::now() < askedBy) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(files::exists(tmp / "asked"));
  EXPECT_EQ(task->launch(), sec::errAuthorizationInternal);
  release("answer");
  EXPECT_EQ(status.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(status.get(), 0);
  EXPECT_TRUE(task->isRunning());  // the command waits for its own pipe
  release("command");
  launcher.join();
  EXPECT_FALSE(task->isRunning());
  EXPECT_EQ(task->terminationStatus(), 0);
  EXPECT_EQ(test::readText(tmp / "asked"), "asked\n");
}

TEST(STPrivilegedTaskDefaultsTest, DefaultsAndDescription) {
  auto task = STPrivilegedTask::init();
  EXPECT_EQ(task->launchPath(), "");
  EXPECT_TRUE(task->arguments().empty());
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(task->currentDirectoryPath(), cwd);
  task->setLaunchPath("/bin/sh");
  task->setArguments({"-c", "true"});
  const std::string d = task->description();
  EXPECT_EQ(d.rfind(" <STPrivilegedTask: ", 0), 0u) << d;
  EXPECT_NE(d.find("> /bin/sh -c true"), std::string::npos) << d;
}

}  // namespace
}  // namespace corvane
