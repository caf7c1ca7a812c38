#include "platform/foundation/thread.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace corvane::platform {
namespace {

TEST(ThreadTest, BodyRunsNamedOnItsOwnThreadUntilCancelled) {
  std::atomic<bool> started{false};
  std::string seenName;
  std::string kernelName;
  bool sawItself = false;
  int rounds = 0;
  std::shared_ptr<Thread> thread;
  thread = Thread::create(
      [&] {
        seenName = Thread::currentName();
        sawItself = Thread::current() == thread;
        char buf[32] = {};
        pthread_getname_np(pthread_self(), buf, sizeof(buf));
        kernelName = buf;
        started = true;
        // A worker loop: test the flag after each round.
        while (!Thread::current()->isCancelled()) {
          ++rounds;
          std::this_thread::yield();
        }
      },
      "corvane.encoder.worker");
  EXPECT_FALSE(thread->isExecuting());
  thread->start();
  thread->start();  // a second start does nothing
  EXPECT_TRUE(thread->isExecuting());
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!started && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  EXPECT_TRUE(started);
  EXPECT_FALSE(thread->joinFor(0.02));  // still looping
  thread->cancel();
  ASSERT_TRUE(thread->joinFor(10));
  EXPECT_FALSE(thread->isExecuting());
  EXPECT_TRUE(thread->isFinished());
  EXPECT_TRUE(thread->isCancelled());
  EXPECT_EQ(seenName, "corvane.encoder.worker");
  EXPECT_EQ(kernelName, "corvane.encoder");  // cut to the kernel's 15 bytes
  EXPECT_TRUE(sawItself);
  EXPECT_GT(rounds, 0);
}

TEST(ThreadTest, DetachedThreadKeepsItselfAlive) {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::string name;
  Thread::detachNew(
      [&] {
        std::lock_guard<std::mutex> lock(m);
        name = Thread::current() ? Thread::current()->name() : "";
        done = true;
        cv.notify_all();
      },
      "media");
  std::unique_lock<std::mutex> lock(m);
  ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return done; }));
  EXPECT_EQ(name, "media");
}

TEST(ThreadTest, CurrentOnForeignThreadsAndNaming) {
  EXPECT_EQ(Thread::current(), nullptr);  // the test's main thread is not a Thread
  EXPECT_TRUE(Thread::isMainThread());
  std::string name;
  bool main = true;
  std::thread other([&] {
    main = Thread::isMainThread();
    Thread::setCurrentName("queue.worker");
    name = Thread::currentName();
  });
  other.join();
  EXPECT_FALSE(main);
  EXPECT_EQ(name, "queue.worker");

  auto never = Thread::create([] {});
  never->join();  // never started: returns at once
  EXPECT_FALSE(never->isFinished());
}

}  // namespace
}  // namespace corvane::platform
