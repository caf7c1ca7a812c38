#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "logging/dd_dispatch_queue_log_formatter.h"
#include "logging/dd_logging_context_set.h"
#include "logging/dd_multi_formatter.h"
#include "logging/log_test_support.h"
#include "logging/recording_logger.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/thread.h"

namespace corvane {
namespace {

using platform::dispatch::MainQueue;
using platform::dispatch::Queue;
using test::makeMessage;

// A message made inside a block of `queue`.
DDLogMessagePtr messageOn(const platform::dispatch::QueuePtr& queue, const std::string& text) {
  DDLogMessagePtr m;
  queue->sync([&] { m = makeMessage(text); });
  return m;
}

TEST(DispatchQueueLogFormatterTest, QueueLabelsAreCutOrPadded) {
  DDDispatchQueueLogFormatter formatter;
  formatter.setMinQueueLength(4);
  formatter.setMaxQueueLength(6);
  struct Case {
    const char* label;
    const char* shown;
  };
  for (const Case c : {Case{"main", "main"}, Case{"ab", "ab  "}, Case{"abcdefgh", "abcdef"},
                       Case{"abcdef", "abcdef"}, Case{"\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9 "}}) {
    auto m = messageOn(Queue::createSerial(c.label), "x");
    EXPECT_EQ(formatter.queueThreadLabelForLogMessage(*m), c.shown) << c.label;
  }
  // Zero lengths leave the label alone.
  DDDispatchQueueLogFormatter plain;
  EXPECT_EQ(plain.queueThreadLabelForLogMessage(*messageOn(Queue::createSerial("abcdefgh"), "x")),
            "abcdefgh");
}

TEST(DispatchQueueLogFormatterTest, LineShowsDateLabelAndText) {
  DDDispatchQueueLogFormatter formatter;
  auto m = messageOn(Queue::createSerial("corvane.test.worker"), "hello there");
  DDLogText line = formatter.formatLogMessage(m);
  ASSERT_TRUE(line);
  EXPECT_TRUE(test::hasShape(*line, "9999-99-99 99:99:99:999 [corvane.test.worker] hello there"))
      << *line;
  EXPECT_EQ(line->substr(0, 23), formatter.stringFromDate(m->timestamp()));
}

TEST(DispatchQueueLogFormatterTest, MainQueueShowsMain) {
  DDDispatchQueueLogFormatter formatter;
  DDLogMessagePtr m;
  Queue::main()->async([&] { m = makeMessage("on main"); });
  ASSERT_TRUE(MainQueue::runUntil([&] { return m != nullptr; }, 10));
  EXPECT_NE(formatter.formatLogMessage(m)->find(" [main] on main"), std::string::npos);
  // The original platform's main-thread label is replaced too, and replacements can change.
  auto apple = messageOn(Queue::createSerial("com.apple.main-thread"), "x");
  EXPECT_EQ(formatter.queueThreadLabelForLogMessage(*apple), "main");
  formatter.setReplacementString(std::nullopt, "com.apple.main-thread");
  EXPECT_EQ(formatter.queueThreadLabelForLogMessage(*apple), "com.apple.main-thread");
  formatter.setReplacementString("short", "corvane.a.long.label");
  EXPECT_EQ(formatter.replacementStringForQueueLabel("corvane.a.long.label"), "short");
  EXPECT_EQ(formatter.queueThreadLabelForLogMessage(
                *messageOn(Queue::createSerial("corvane.a.long.label"), "x")),
            "short");
}

TEST(DispatchQueueLogFormatterTest, SharedQueuesShowTheThreadNameOrNumber) {
  DDDispatchQueueLogFormatter formatter;
  // Workers of the shared queues carry no name of their own.
  for (auto priority :
       {platform::dispatch::Priority::Default, platform::dispatch::Priority::High}) {
    auto m = messageOn(Queue::global(priority), "shared");
    ASSERT_TRUE(m->threadName().empty());
    EXPECT_EQ(formatter.queueThreadLabelForLogMessage(*m), m->threadID());
    EXPECT_EQ(m->threadID(), [&] {
      char hex[16];
      std::snprintf(hex, sizeof(hex), "%x", m->machThreadID());
      return std::string(hex);
    }());
  }
  // A named thread on no queue shows its name.
  DDLogMessagePtr named;
  auto thread = platform::Thread::create([&] { named = makeMessage("named"); }, "corvane-worker");
  thread->start();
  thread->join();
  ASSERT_TRUE(named);
  EXPECT_EQ(named->queueLabel(), nullptr);
  EXPECT_EQ(formatter.queueThreadLabelForLogMessage(*named), "corvane-worker");
}

TEST(DispatchQueueLogFormatterTest, SharedPlatformQueueLabelsGiveWayToTheThread) {
  DDDispatchQueueLogFormatter formatter;
  for (const char* label :
       {"com.apple.root.low-priority", "com.apple.root.default-priority",
        "com.apple.root.high-priority", "com.apple.root.low-overcommit-priority",
        "com.apple.root.default-overcommit-priority", "com.apple.root.high-overcommit-priority"}) {
    SCOPED_TRACE(label);
    const auto queue = Queue::createSerial(label);
    // A named thread shows its name, ...
    DDLogMessagePtr named;
    auto thread = platform::Thread::create([&] { named = messageOn(queue, "x"); }, "corvane-named");
    thread->start();
    thread->join();
    ASSERT_TRUE(named);
    ASSERT_STREQ(named->queueLabel(), label);
    EXPECT_EQ(formatter.queueThreadLabelForLogMessage(*named), "corvane-named");
    // ... an unnamed one its number.
    DDLogMessagePtr unnamed;
    Queue::global()->sync([&] { unnamed = messageOn(queue, "x"); });
    ASSERT_TRUE(unnamed->threadName().empty());
    EXPECT_EQ(formatter.queueThreadLabelForLogMessage(*unnamed), unnamed->threadID());
  }
}

TEST(DispatchQueueLogFormatterTest, CountsTheLoggersUsingIt) {
  auto formatter = std::make_shared<DDDispatchQueueLogFormatter>();
  auto a = test::RecordingLogger::create();
  auto b = test::RecordingLogger::create();
  a->setLogFormatter(formatter);
  b->setLogFormatter(formatter);
  (void)a->logFormatter();
  (void)b->logFormatter();
  EXPECT_EQ(formatter->loggerCount(), 2);
  a->setLogFormatter(nullptr);
  (void)a->logFormatter();
  EXPECT_EQ(formatter->loggerCount(), 1);
}

// Wraps the text it gets in `name(...)`, or drops it.
class WrappingFormatter : public DDLogFormatter {
 public:
  explicit WrappingFormatter(std::string name, bool drop = false)
      : name_(std::move(name)), drop_(drop) {}
  DDLogText formatLogMessage(const DDLogMessagePtr& m) override {
    if (drop_) return nullptr;
    return std::make_shared<const std::string>(name_ + "(" + *m->logMsg() + ")");
  }

 private:
  const std::string name_;
  const bool drop_;
};

TEST(MultiFormatterTest, ChainsItsMembersInOrder) {
  DDMultiFormatter multi;
  auto m = makeMessage("text", DDLogFlagWarn, 7);
  EXPECT_EQ(multi.formatLogMessage(m), m->logMsg());  // empty chain: the message's own text

  auto a = std::make_shared<WrappingFormatter>("a");
  auto b = std::make_shared<WrappingFormatter>("b");
  auto drop = std::make_shared<WrappingFormatter>("drop", true);
  multi.addFormatter(a);
  multi.addFormatter(b);
  EXPECT_EQ(*multi.formatLogMessage(m), "b(a(text))");
  EXPECT_TRUE(multi.isFormattingWithFormatter(b));
  EXPECT_FALSE(multi.isFormattingWithFormatter(drop));

  multi.addFormatter(drop);
  multi.addFormatter(a);
  EXPECT_EQ(multi.formatLogMessage(m), nullptr);
  EXPECT_EQ(multi.formatters().size(), 4u);

  multi.removeFormatter(drop);
  EXPECT_EQ(*multi.formatLogMessage(m), "a(b(a(text)))");
  multi.removeAllFormatters();
  EXPECT_TRUE(multi.formatters().empty());

  // Each member sees a copy that keeps everything but the text.
  auto line = DDMultiFormatter::logMessageForLine(std::make_shared<const std::string>("new"), *m);
  EXPECT_EQ(*line->logMsg(), "new");
  EXPECT_EQ(line->logFlag(), DDLogFlagWarn);
  EXPECT_EQ(line->logContext(), 7);
  EXPECT_EQ(line->timestamp(), m->timestamp());
}

TEST(MultiFormatterTest, ChainsRunWhileTheListChanges) {
  DDMultiFormatter multi;
  auto a = std::make_shared<WrappingFormatter>("a");
  multi.addFormatter(a);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  threads.reserve(3);
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      auto m = makeMessage("x");
      while (!stop) {
        DDLogText out = multi.formatLogMessage(m);
        if (!out || (*out != "a(x)" && *out != "b(a(x))")) ++bad;
      }
    });
  }
  auto b = std::make_shared<WrappingFormatter>("b");
  for (int i = 0; i < 200; ++i) {
    multi.addFormatter(b);
    multi.removeFormatter(b);
  }
  (void)multi.formatters();
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST(ContextFilterTest, WhitelistPassesOnlyItsContextsAndBlacklistDropsThem) {
  DDContextWhitelistFilterLogFormatter whitelist;
  DDContextBlacklistFilterLogFormatter blacklist;
  auto in3 = makeMessage("three", DDLogFlagInfo, 3);
  auto in5 = makeMessage("five", DDLogFlagInfo, 5);
  // Empty sets: the whitelist drops everything, the blacklist passes everything.
  EXPECT_EQ(whitelist.formatLogMessage(in3), nullptr);
  EXPECT_EQ(blacklist.formatLogMessage(in3), in3->logMsg());

  whitelist.addToWhitelist(3);
  blacklist.addToBlacklist(3);
  EXPECT_EQ(whitelist.formatLogMessage(in3), in3->logMsg());
  EXPECT_EQ(whitelist.formatLogMessage(in5), nullptr);
  EXPECT_EQ(blacklist.formatLogMessage(in3), nullptr);
  EXPECT_EQ(blacklist.formatLogMessage(in5), in5->logMsg());
  EXPECT_TRUE(whitelist.isOnWhitelist(3));
  EXPECT_EQ(blacklist.blacklist(), std::vector<int32_t>{3});

  whitelist.removeFromWhitelist(3);
  blacklist.removeFromBlacklist(3);
  EXPECT_TRUE(whitelist.whitelist().empty());
  EXPECT_EQ(blacklist.formatLogMessage(in3), in3->logMsg());
}

TEST(ContextFilterTest, SetIsSafeAcrossThreads) {
  DDLoggingContextSet set;
  std::vector<std::thread> threads;
  threads.reserve(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&set, t] {
      for (int i = 0; i < 500; ++i) {
        set.addToSet(t * 1000 + i);
        (void)set.isInSet(i);
        if (i % 2 == 1) set.removeFromSet(t * 1000 + i);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(set.currentSet().size(), 4u * 250u);
}

}  // namespace
}  // namespace corvane
