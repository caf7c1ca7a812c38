// STPrivilegedTask: runs a program with administrator rights after the authorization
// service has granted "system.privilege.admin" and the administrator's consent was given
// (platform/security), with the shape of a process-launch object: launch path, arguments,
// current directory, process id, wait status, and a handle on the child's standard output.
// `launch` answers once the consent prompt was answered and the program runs; it does not
// wait for the program to end. The end of the child is posted as
// "STPrivilegedTaskDidTerminateNotification" (object: the task) on the default
// notification centre, from a timer that polls the child every 0.1 s on the run loop of
// the thread that called `launch`.
//
// Ownership: a launched task keeps itself alive (through its check timer) until its child
// has been reaped. Threads: set-up and `launch` on one thread, whose run loop must run for
// the termination to be seen (the main thread's runs inside the application's main loop);
// the getters may be called from any thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/notification_center.h"
#include "platform/foundation/run_loop.h"
#include "platform/security/authorization.h"

namespace corvane {

inline constexpr const char* kSTPrivilegedTaskDidTerminateNotification =
    "STPrivilegedTaskDidTerminateNotification";
// `launch` status when the privileged-execution function is not available.
inline constexpr std::int32_t kSTPrivilegedTaskFunctionMissing = -70001;

// Reads the child's standard output; closes its descriptor when released.
class FileHandle {
 public:
  explicit FileHandle(int fd) : fd_(fd) {}
  ~FileHandle();
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  int fileDescriptor() const { return fd_; }
  // Reads until end of file (blocking).
  std::vector<std::uint8_t> readDataToEndOfFile();

 private:
  const int fd_;
};

class STPrivilegedTask : public std::enable_shared_from_this<STPrivilegedTask> {
 public:
  // `authorization`: the reference the task launches under, nullptr for the process's
  // shared one (tests give one with a stand-in prompt).
  static std::shared_ptr<STPrivilegedTask> init(
      std::shared_ptr<platform::security::Authorization> authorization = nullptr);
  static std::shared_ptr<STPrivilegedTask> initWithLaunchPath(std::string path);
  static std::shared_ptr<STPrivilegedTask> initWithLaunchPath(
      std::string path, std::vector<std::string> arguments,
      std::shared_ptr<platform::security::Authorization> authorization = nullptr);
  // Make, `launch`, then `waitUntilExit`.
  static std::shared_ptr<STPrivilegedTask> launchedPrivilegedTaskWithLaunchPath(std::string path);
  static std::shared_ptr<STPrivilegedTask> launchedPrivilegedTaskWithLaunchPath(
      std::string path, std::vector<std::string> arguments);

  // The process-wide authorization, made on first use, asked for "system.privilege.admin"
  // with flags 19 on every call; `status` (may be null) gets the answer.
  static std::shared_ptr<platform::security::Authorization> sharedAuthorizationRefWithError(
      std::int32_t* status);

  ~STPrivilegedTask();
  STPrivilegedTask(const STPrivilegedTask&) = delete;
  STPrivilegedTask& operator=(const STPrivilegedTask&) = delete;

  // Blocks while the consent prompt is up. 0 once consent was given and the child has started
  // (it does not wait for it to end); the status of a dismissed (-60006) or refused (-60005)
  // prompt, with nothing run; -70001 without privileged execution; -60031 when the program
  // cannot be started. A task launches once: later calls answer errAuthorizationInternal.
  std::int32_t launch();
  // Does nothing.
  void terminate() {}
  // Waits for the child without a time limit, stores its status, clears `isRunning`.
  void waitUntilExit();

  std::vector<std::string> arguments() const;
  void setArguments(std::vector<std::string> arguments);
  std::string currentDirectoryPath() const;
  void setCurrentDirectoryPath(std::string path);
  std::string launchPath() const;
  void setLaunchPath(std::string path);
  bool isRunning() const { return isRunning_.load(std::memory_order_acquire); }
  std::int32_t processIdentifier() const { return processIdentifier_.load(); }
  // The wait status (as waitpid(2) stores it).
  std::int32_t terminationStatus() const { return terminationStatus_.load(); }
  std::shared_ptr<FileHandle> outputFileHandle() const;
  std::string description() const;

  // Where the termination notification is posted (the default centre unless changed).
  void setNotificationCenter(std::shared_ptr<platform::NotificationCenter> center);

 private:
  explicit STPrivilegedTask(std::shared_ptr<platform::security::Authorization> authorization);
  void checkChild(platform::RunLoopTimer& timer);
  void finish(int waitStatus);

  const std::shared_ptr<platform::security::Authorization> authorization_;
  mutable std::mutex mutex_;
  std::vector<std::string> arguments_;
  std::string currentDirectoryPath_;
  std::string launchPath_;
  std::shared_ptr<FileHandle> outputFileHandle_;
  std::shared_ptr<platform::NotificationCenter> center_;
  std::shared_ptr<platform::RunLoopTimer> checkTimer_;
  bool launched_ = false;
  bool launching_ = false;  // a launch is asking or starting (the prompt can take minutes)
  std::atomic<bool> isRunning_{false};
  std::atomic<std::int32_t> processIdentifier_{0};
  std::atomic<std::int32_t> terminationStatus_{0};
};

}  // namespace corvane
