// STPrivilegedTask with the real security layer: the launch answers before the child ends,
// the end is posted on the launching thread's run loop within about one check interval,
// the output handle reads the child's output, and a cancelled or refused authorization runs
// nothing.
#include "installer/st_privileged_task.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/foundation/reference_date.h"
#include "platform/security/authorization.h"
#include "support/sound_test_support.h"

namespace corvane {
namespace {

namespace sec = platform::security;

class STPrivilegedTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!sec::lookupFunction("AuthorizationExecuteWithPrivileges")) {
      GTEST_SKIP() << "privileged execution is not possible here (not root, no pkexec)";
    }
    if (geteuid() != 0) GTEST_SKIP() << "pkexec would prompt for a password; run as root";
    sec::setTestAnswer(sec::TestAnswer::Granted);
    center = platform::NotificationCenter::create();
  }
  void TearDown() override { sec::setTestAnswer(sec::TestAnswer::System); }

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
  std::shared_ptr<platform::NotificationCenter> center;
};

TEST_F(STPrivilegedTaskTest, LaunchAnswersAtOnceAndTheEndIsPostedWithinACheckInterval) {
  const std::string fifo = tmp / "gate";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // The child blocks until the test writes one byte into the pipe.
  auto task = STPrivilegedTask::initWithLaunchPath("/bin/sh", {"-c", "head -c 1 gate >/dev/null; exit 7"});
  task->setCurrentDirectoryPath(tmp.path());
  task->setNotificationCenter(center);
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

TEST_F(STPrivilegedTaskTest, OutputHandleReadsTheChildsOutputInItsDirectory) {
  auto task = STPrivilegedTask::initWithLaunchPath("/bin/sh", {"-c", "pwd; echo \"$0\"", "it's me"});
  task->setCurrentDirectoryPath(tmp.path());
  task->setNotificationCenter(center);
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

TEST_F(STPrivilegedTaskTest, RefusedAuthorizationReturnsItsStatusAndRunsNothing) {
  struct Case {
    sec::TestAnswer answer;
    std::int32_t status;
  };
  for (const Case c : {Case{sec::TestAnswer::Cancelled, -60006}, Case{sec::TestAnswer::Refused, -60005}}) {
    sec::setTestAnswer(c.answer);
    auto task = STPrivilegedTask::initWithLaunchPath("/bin/sh", {"-c", "touch ran"});
    task->setCurrentDirectoryPath(tmp.path());
    EXPECT_EQ(task->launch(), c.status);
    EXPECT_FALSE(task->isRunning());
    EXPECT_EQ(task->processIdentifier(), 0);
    EXPECT_FALSE(task->outputFileHandle());
  }
  sec::setTestAnswer(sec::TestAnswer::Granted);
  // Nothing ran: a granted task run to its end afterwards is the only writer of the folder.
  auto probe = STPrivilegedTask::initWithLaunchPath("/bin/sh", {"-c", "ls"});
  probe->setCurrentDirectoryPath(tmp.path());
  ASSERT_EQ(probe->launch(), 0);
  const auto listing = probe->outputFileHandle()->readDataToEndOfFile();
  probe->waitUntilExit();
  EXPECT_EQ(std::string(listing.begin(), listing.end()), "");
}

TEST_F(STPrivilegedTaskTest, UnstartableProgramsAndFoldersFailTheLaunch) {
  auto missing = STPrivilegedTask::initWithLaunchPath(tmp / "no-such-program");
  EXPECT_EQ(missing->launch(), sec::errAuthorizationToolExecuteFailure);
  EXPECT_FALSE(missing->isRunning());
  auto badFolder = STPrivilegedTask::initWithLaunchPath("/bin/true");
  badFolder->setCurrentDirectoryPath(tmp / "no-such-folder");
  EXPECT_EQ(badFolder->launch(), sec::errAuthorizationToolExecuteFailure);
}

TEST_F(STPrivilegedTaskTest, DefaultsAndDescription) {
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

TEST(SecurityLayerTest, ExecutionNeedsTheAdminRightAndOnlyThatFunctionIsFound) {
  EXPECT_EQ(sec::lookupFunction("SomethingElse"), nullptr);
  auto empty = sec::Authorization::create(sec::kAuthorizationFlagDefaults, nullptr);
  sec::PrivilegedProcess process;
  EXPECT_EQ(sec::AuthorizationExecuteWithPrivileges(*empty, "/bin/true", 0, nullptr, "", &process),
            sec::errAuthorizationDenied);
  EXPECT_EQ(process.pid, -1);
  // Asking without extending the rights grants nothing to keep.
  sec::setTestAnswer(sec::TestAnswer::Granted);
  EXPECT_EQ(empty->copyRights({sec::kAuthorizationRightExecute}, 0), sec::errAuthorizationSuccess);
  EXPECT_FALSE(empty->hasRight(sec::kAuthorizationRightExecute));
  EXPECT_EQ(empty->copyRights({sec::kAuthorizationRightExecute}, sec::kAuthorizationFlagExtendRights),
            sec::errAuthorizationSuccess);
  EXPECT_TRUE(empty->hasRight(sec::kAuthorizationRightExecute));
  sec::setTestAnswer(sec::TestAnswer::System);
}

}  // namespace
}  // namespace corvane
