#include "platform/foundation/notification_center.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace corvane::platform {
namespace {

TEST(NotificationCenterTest, PostCallsObserversOfTheNameSynchronouslyInOrder) {
  auto center = NotificationCenter::create();
  std::vector<std::string> calls;
  std::thread::id callThread;
  auto object = std::make_shared<int>(7);
  Notification seen;
  center->addObserver("DefalutAudioDeviceDidChangeNotification", [&](const Notification& n) {
    calls.push_back("first");
    callThread = std::this_thread::get_id();
    seen = n;
  });
  center->addObserver("DefalutAudioDeviceDidChangeNotification",
                      [&](const Notification&) { calls.push_back("second"); });
  center->addObserver("BuildInAudioDeviceDataSourceDidChangeNotification",
                      [&](const Notification&) { calls.push_back("other"); });

  PropertyList info;
  info.set("k", PropertyList::integer(1));
  center->post("DefalutAudioDeviceDidChangeNotification", object, info);
  EXPECT_EQ(calls, (std::vector<std::string>{"first", "second"}));  // done before post returns
  EXPECT_EQ(callThread, std::this_thread::get_id());
  EXPECT_EQ(seen.name, "DefalutAudioDeviceDidChangeNotification");
  EXPECT_EQ(seen.object.get(), object.get());
  EXPECT_EQ(seen.userInfo, info);

  center->post("NobodyListens");
  EXPECT_EQ(calls.size(), 2u);
}

TEST(NotificationCenterTest, RemovedObserverIsNotCalled) {
  auto center = NotificationCenter::create();
  int a = 0;
  int b = 0;
  auto tokenA = center->addObserver("n", [&](const Notification&) { ++a; });
  center->addObserver("n", [&](const Notification&) { ++b; });
  EXPECT_NE(tokenA, 0u);
  center->post("n");
  center->removeObserver(tokenA);
  center->removeObserver(tokenA);  // twice: ignored
  center->removeObserver(987654);  // unknown: ignored
  center->post("n");
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 2);
}

TEST(NotificationCenterTest, CallbacksMayRemoveThemselvesAndPostAgain) {
  auto center = NotificationCenter::create();
  int calls = 0;
  int nested = 0;
  NotificationCenter::Token token = 0;
  token = center->addObserver("STPrivilegedTaskDidTerminateNotification", [&](const Notification&) {
    ++calls;
    center->removeObserver(token);  // must not wait for itself
    center->post("inner");
  });
  center->addObserver("inner", [&](const Notification&) { ++nested; });
  center->post("STPrivilegedTaskDidTerminateNotification");
  center->post("STPrivilegedTaskDidTerminateNotification");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(nested, 1);
}

TEST(NotificationCenterTest, RemoveWaitsForACallRunningOnAnotherThread) {
  auto center = NotificationCenter::create();
  std::mutex m;
  std::condition_variable cv;
  bool entered = false;
  bool release = false;
  std::atomic<bool> callbackDone{false};
  auto token = center->addObserver("n", [&](const Notification&) {
    std::unique_lock<std::mutex> lock(m);
    entered = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
    callbackDone = true;
  });
  std::thread poster([&] { center->post("n"); });
  {
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return entered; }));
  }
  std::atomic<bool> removed{false};
  bool doneWhenRemoved = false;
  std::thread remover([&] {
    center->removeObserver(token);
    doneWhenRemoved = callbackDone;
    removed = true;
  });
  // The removal cannot finish while the callback is still inside.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(removed);
  {
    std::lock_guard<std::mutex> lock(m);
    release = true;
  }
  cv.notify_all();
  poster.join();
  remover.join();
  EXPECT_TRUE(doneWhenRemoved);
}

TEST(NotificationCenterTest, ConcurrentPostsAndObserverChurn) {
  auto center = NotificationCenter::defaultCenter();
  EXPECT_EQ(center, NotificationCenter::defaultCenter());
  std::atomic<int> stableCalls{0};
  auto stable = center->addObserver("churn", [&](const Notification&) { ++stableCalls; });
  constexpr int kPosters = 4;
  constexpr int kPosts = 500;
  std::vector<std::thread> threads;
  for (int i = 0; i < kPosters; ++i) {
    threads.emplace_back([&] {
      for (int j = 0; j < kPosts; ++j) center->post("churn");
    });
  }
  threads.emplace_back([&] {
    for (int j = 0; j < 200; ++j) {
      auto t = center->addObserver("churn", [](const Notification&) {});
      center->removeObserver(t);
    }
  });
  for (auto& t : threads) t.join();
  center->removeObserver(stable);
  EXPECT_EQ(stableCalls, kPosters * kPosts);
}

}  // namespace
}  // namespace corvane::platform
