#include "installer/st_privileged_task.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace corvane {

namespace sec = platform::security;

namespace {

constexpr double kCheckInterval = 0.1;
constexpr std::uint32_t kAuthorizationFlags = sec::kAuthorizationFlagInteractionAllowed |
                                              sec::kAuthorizationFlagExtendRights |
                                              sec::kAuthorizationFlagPreAuthorize;  // 19

struct Shared {
  std::mutex mutex;
  std::shared_ptr<sec::Authorization> authorization;
  bool looked = false;
  sec::ExecuteWithPrivilegesFunction execute = nullptr;
};
Shared& shared() {
  static Shared s;
  return s;
}

std::string currentDirectory() {
  std::vector<char> buffer(4096);
  if (::getcwd(buffer.data(), buffer.size()) == nullptr) return "/";
  return buffer.data();
}

}  // namespace

// FileHandle

FileHandle::~FileHandle() {
  if (fd_ >= 0) ::close(fd_);
}

std::vector<std::uint8_t> FileHandle::readDataToEndOfFile() {
  std::vector<std::uint8_t> data;
  std::uint8_t piece[4096];
  for (;;) {
    const ssize_t n = ::read(fd_, piece, sizeof piece);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.insert(data.end(), piece, piece + n);
  }
  return data;
}

// STPrivilegedTask

STPrivilegedTask::STPrivilegedTask(std::shared_ptr<sec::Authorization> authorization)
    : authorization_(std::move(authorization)),
      currentDirectoryPath_(currentDirectory()),
      center_(platform::NotificationCenter::defaultCenter()) {}

STPrivilegedTask::~STPrivilegedTask() = default;

std::shared_ptr<STPrivilegedTask> STPrivilegedTask::init(
    std::shared_ptr<sec::Authorization> authorization) {
  return std::shared_ptr<STPrivilegedTask>(new STPrivilegedTask(std::move(authorization)));
}

std::shared_ptr<STPrivilegedTask> STPrivilegedTask::initWithLaunchPath(std::string path) {
  auto task = init();
  task->setLaunchPath(std::move(path));
  return task;
}

std::shared_ptr<STPrivilegedTask> STPrivilegedTask::initWithLaunchPath(
    std::string path, std::vector<std::string> arguments,
    std::shared_ptr<sec::Authorization> authorization) {
  auto task = init(std::move(authorization));
  task->setLaunchPath(std::move(path));
  task->setArguments(std::move(arguments));
  return task;
}

std::shared_ptr<STPrivilegedTask> STPrivilegedTask::launchedPrivilegedTaskWithLaunchPath(
    std::string path) {
  auto task = initWithLaunchPath(std::move(path));
  task->launch();
  task->waitUntilExit();
  return task;
}

std::shared_ptr<STPrivilegedTask> STPrivilegedTask::launchedPrivilegedTaskWithLaunchPath(
    std::string path, std::vector<std::string> arguments) {
  auto task = initWithLaunchPath(std::move(path), std::move(arguments));
  task->launch();
  task->waitUntilExit();
  return task;
}

std::shared_ptr<sec::Authorization> STPrivilegedTask::sharedAuthorizationRefWithError(
    std::int32_t* status) {
  std::shared_ptr<sec::Authorization> authorization;
  {
    Shared& s = shared();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.authorization) {
      sec::OSStatus created = sec::errAuthorizationSuccess;
      s.authorization = sec::Authorization::create(sec::kAuthorizationFlagDefaults, &created);
      if (!s.authorization || created != sec::errAuthorizationSuccess) {
        s.authorization.reset();
        if (status != nullptr) *status = created != 0 ? created : sec::errAuthorizationInternal;
        return nullptr;
      }
    }
    authorization = s.authorization;
  }
  const sec::OSStatus answer =
      authorization->copyRights({sec::kAuthorizationRightExecute}, kAuthorizationFlags);
  if (status != nullptr) *status = answer;
  return authorization;
}

std::int32_t STPrivilegedTask::launch() {
  {
    // One launch per task, also while an earlier call still waits for the user's answer.
    std::lock_guard<std::mutex> lock(mutex_);
    if (launched_ || launching_) return sec::errAuthorizationInternal;
    launching_ = true;
  }
  struct LaunchingEnd {
    STPrivilegedTask& task;
    ~LaunchingEnd() {
      std::lock_guard<std::mutex> lock(task.mutex_);
      task.launching_ = false;
    }
  } launchingEnd{*this};
  std::int32_t status = 0;
  auto authorization = authorization_;
  if (authorization) {
    status = authorization->copyRights({sec::kAuthorizationRightExecute}, kAuthorizationFlags);
  } else {
    authorization = sharedAuthorizationRefWithError(&status);
  }
  if (status != 0) return status;
  if (!authorization) return sec::errAuthorizationInternal;

  sec::ExecuteWithPrivilegesFunction execute = nullptr;
  {
    Shared& s = shared();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.looked) {
      s.execute = sec::lookupFunction("AuthorizationExecuteWithPrivileges");
      s.looked = true;
    }
    execute = s.execute;
  }
  if (execute == nullptr) return kSTPrivilegedTaskFunctionMissing;

  std::string path;
  std::vector<std::string> arguments;
  std::string directory;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    path = launchPath_;
    arguments = arguments_;
    directory = currentDirectoryPath_;
  }
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (auto& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);

  sec::PrivilegedProcess process;
  const sec::OSStatus rc = execute(*authorization, path.c_str(), sec::kAuthorizationFlagDefaults,
                                   argv.data(), directory.c_str(), &process);
  if (rc != sec::errAuthorizationSuccess) return rc;

  auto self = shared_from_this();
  auto timer = platform::RunLoopTimer::create(
      kCheckInterval, true, [self](platform::RunLoopTimer& t) { self->checkChild(t); });
  {
    std::lock_guard<std::mutex> lock(mutex_);
    launched_ = true;
    outputFileHandle_ = std::make_shared<FileHandle>(process.outputFd);
    checkTimer_ = timer;
    processIdentifier_.store(process.pid);
    isRunning_.store(true, std::memory_order_release);
  }
  platform::RunLoop::current()->addTimer(timer);
  return 0;
}

void STPrivilegedTask::checkChild(platform::RunLoopTimer& timer) {
  if (isRunning()) {
    const pid_t pid = processIdentifier_.load();
    int waitStatus = 0;
    const pid_t r = ::waitpid(pid, &waitStatus, WNOHANG);
    if (r == 0) return;  // still running
    if (r < 0 && errno == EINTR) return;
    if (r == pid) finish(waitStatus);
    // Otherwise (ECHILD) `waitUntilExit` reaped it and stored the status.
  }
  timer.invalidate();
  std::shared_ptr<platform::NotificationCenter> center;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    center = center_;
    checkTimer_.reset();
  }
  isRunning_.store(false, std::memory_order_release);
  if (center) center->post(kSTPrivilegedTaskDidTerminateNotification, shared_from_this());
}

void STPrivilegedTask::finish(int waitStatus) {
  terminationStatus_.store(waitStatus);
  isRunning_.store(false, std::memory_order_release);
}

void STPrivilegedTask::waitUntilExit() {
  if (!isRunning()) return;
  const pid_t pid = processIdentifier_.load();
  int waitStatus = 0;
  pid_t r = -1;
  do {
    r = ::waitpid(pid, &waitStatus, 0);
  } while (r < 0 && errno == EINTR);
  if (r == pid) finish(waitStatus);
}

std::vector<std::string> STPrivilegedTask::arguments() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return arguments_;
}
void STPrivilegedTask::setArguments(std::vector<std::string> arguments) {
  std::lock_guard<std::mutex> lock(mutex_);
  arguments_ = std::move(arguments);
}
std::string STPrivilegedTask::currentDirectoryPath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return currentDirectoryPath_;
}
void STPrivilegedTask::setCurrentDirectoryPath(std::string path) {
  std::lock_guard<std::mutex> lock(mutex_);
  currentDirectoryPath_ = std::move(path);
}
std::string STPrivilegedTask::launchPath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return launchPath_;
}
void STPrivilegedTask::setLaunchPath(std::string path) {
  std::lock_guard<std::mutex> lock(mutex_);
  launchPath_ = std::move(path);
}
std::shared_ptr<FileHandle> STPrivilegedTask::outputFileHandle() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return outputFileHandle_;
}
void STPrivilegedTask::setNotificationCenter(std::shared_ptr<platform::NotificationCenter> center) {
  std::lock_guard<std::mutex> lock(mutex_);
  center_ = std::move(center);
}

std::string STPrivilegedTask::description() const {
  char base[64];
  std::snprintf(base, sizeof base, "<STPrivilegedTask: %p>", static_cast<const void*>(this));
  std::string text = std::string(" ") + base;
  std::lock_guard<std::mutex> lock(mutex_);
  text += " " + launchPath_;
  for (const auto& a : arguments_) text += " " + a;
  return text;
}

}  // namespace corvane
