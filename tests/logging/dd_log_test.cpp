#include "logging/dd_log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <unistd.h>

#include "logging/recording_logger.h"
#include "platform/dispatch/dispatch.h"

namespace corvane {
namespace {

using platform::dispatch::Queue;
using platform::dispatch::Semaphore;
using test::RecordingFormatter;
using test::RecordingLogger;

void logSync(int32_t flag, const char* text, int32_t context = 0) {
  DDLog::log(false, DDLogLevelAll, flag, context, __FILE__, __func__, __LINE__, std::nullopt, "%s",
             text);
}
void logAsync(const std::string& text) {
  DDLog::log(true, DDLogLevelAll, DDLogFlagInfo, 0, __FILE__, __func__, __LINE__, std::nullopt,
             "%s", text.c_str());
}

class DDLogTest : public ::testing::Test {
 protected:
  void SetUp() override { test::resetFacility(); }
  void TearDown() override { test::resetFacility(); }
};

TEST_F(DDLogTest, LevelIsANumericThresholdNotABitMask) {
  struct Case {
    int32_t level;
    std::vector<std::string> delivered;
  };
  const Case cases[] = {
      {7, {"error", "warn", "info"}},
      {16, {"error", "warn", "info", "debug", "verbose"}},
      {0, {}},
      {DDLogLevelAll, {"error", "warn", "info", "debug", "verbose"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.level);
    auto logger = RecordingLogger::create();
    if (c.level == DDLogLevelAll) {
      DDLog::addLogger(logger);  // the one-argument form uses level 31
    } else {
      DDLog::addLogger(logger, c.level);
    }
    logSync(DDLogFlagError, "error");
    logSync(DDLogFlagWarn, "warn");
    logSync(DDLogFlagInfo, "info");
    logSync(DDLogFlagDebug, "debug");
    logSync(DDLogFlagVerbose, "verbose");
    // Synchronous logging returns once every logger has written the message.
    EXPECT_EQ(logger->texts(), c.delivered);
    DDLog::removeLogger(logger);
  }
}

TEST_F(DDLogTest, MessagesArriveInOrderOnTheLoggersOwnQueue) {
  auto a = RecordingLogger::create();
  auto b = RecordingLogger::create();
  DDLog::addLogger(a);
  DDLog::addLogger(b);
  std::vector<std::string> expected;
  for (int i = 0; i < 300; ++i) expected.push_back("m" + std::to_string(i));
  for (const std::string& t : expected) logAsync(t);
  DDLog::flushLog();
  EXPECT_EQ(a->texts(), expected);
  EXPECT_EQ(b->texts(), expected);
  for (const auto& r : a->records()) {
    EXPECT_TRUE(r.onOwnQueue);
    EXPECT_FALSE(r.onLoggingQueue);
  }
  ASSERT_TRUE(a->waitForEvent("didAdd@own"));
}

TEST_F(DDLogTest, LoggerAddedTwiceGetsEachMessageTwiceAndRemoveTakesOneEntry) {
  auto logger = RecordingLogger::create();
  DDLog::addLogger(logger);
  DDLog::addLogger(logger);
  logSync(DDLogFlagInfo, "one");
  EXPECT_EQ(logger->texts(), (std::vector<std::string>{"one", "one"}));

  DDLog::removeLogger(logger);
  logSync(DDLogFlagInfo, "two");
  EXPECT_EQ(logger->texts(), (std::vector<std::string>{"one", "one", "two"}));
  ASSERT_TRUE(logger->waitForEvent("willRemove@own"));

  DDLog::removeLogger(logger);
  logSync(DDLogFlagInfo, "three");
  EXPECT_EQ(logger->texts().size(), 3u);
}

TEST_F(DDLogTest, RemovingAnUnknownLoggerCallsNothingAndKeepsTheOthers) {
  auto added = RecordingLogger::create();
  auto stranger = RecordingLogger::create();
  DDLog::addLogger(added);
  DDLog::removeLogger(stranger);
  DDLog::removeLogger(nullptr);
  DDLog::addLogger(nullptr);
  logSync(DDLogFlagInfo, "kept");
  DDLog::flushLog();
  EXPECT_EQ(added->texts(), (std::vector<std::string>{"kept"}));
  EXPECT_TRUE(stranger->events().empty());
  EXPECT_TRUE(stranger->texts().empty());
}

TEST_F(DDLogTest, RemoveAllLoggersStopsDeliveryAndTellsEachLogger) {
  auto a = RecordingLogger::create();
  auto b = RecordingLogger::create();
  DDLog::addLogger(a);
  DDLog::addLogger(b);
  DDLog::removeAllLoggers();
  logSync(DDLogFlagError, "after");
  EXPECT_TRUE(a->texts().empty());
  EXPECT_TRUE(b->texts().empty());
  EXPECT_TRUE(a->waitForEvent("willRemove@own"));
  EXPECT_TRUE(b->waitForEvent("willRemove@own"));
}

TEST_F(DDLogTest, FlushLogReturnsOnlyAfterEveryLoggerHasFlushed) {
  // Each flush holds until both flushes have started, so neither can finish before the
  // other has begun; flushLog must still wait for both.
  Semaphore entered(0), go(0);
  std::mutex m;
  std::vector<std::string> order;
  auto note = [&](const std::string& e) {
    std::lock_guard<std::mutex> lock(m);
    order.push_back(e);
  };
  auto a = RecordingLogger::create();
  auto b = RecordingLogger::create();
  auto withoutFlush = RecordingLogger::create(/*implementsFlush=*/false);
  a->setOnFlush([&] {
    entered.signal();
    go.wait(10);
    note("a");
  });
  b->setOnFlush([&] {
    entered.signal();
    go.wait(10);
    note("b");
  });
  DDLog::addLogger(a);
  DDLog::addLogger(b);
  DDLog::addLogger(withoutFlush);
  std::thread releaser([&] {
    bool both = entered.wait(10) && entered.wait(10);
    note(both ? "released" : "timeout");
    go.signal();
    go.signal();
  });
  DDLog::flushLog();
  note("returned");
  releaser.join();
  std::lock_guard<std::mutex> lock(m);
  ASSERT_EQ(order.size(), 4u);
  EXPECT_EQ(order[0], "released");
  EXPECT_EQ(order[3], "returned");
  // A logger without `flush` is not asked to flush.
  for (const auto& e : withoutFlush->events()) EXPECT_NE(e, "flush");
}

TEST_F(DDLogTest, ASlowLoggerBlocksTheProducerAfterAThousandPendingMessages) {
  auto slow = RecordingLogger::create();
  slow->setGated();
  DDLog::addLogger(slow);
  constexpr int kTotal = 1010;
  std::mutex m;
  std::condition_variable cv;
  int queued = 0;
  std::thread producer([&] {
    for (int i = 0; i < kTotal; ++i) {
      logAsync("p" + std::to_string(i));
      std::lock_guard<std::mutex> lock(m);
      ++queued;
      cv.notify_all();
    }
  });
  bool reached = false;
  int blockedAt = -1;
  {
    std::unique_lock<std::mutex> lock(m);
    reached = cv.wait_for(lock, std::chrono::seconds(20), [&] { return queued >= 1000; });
    // The first message is inside the gated logger; 1000 may wait; the next one blocks. Its
    // staying blocked can only be watched for a while.
    if (reached) {
      cv.wait_for(lock, std::chrono::milliseconds(200), [&] { return queued > 1000; });
    }
    blockedAt = queued;
  }
  // Let everything through before judging, so that a failure leaves no blocked hub behind.
  slow->release(kTotal);
  producer.join();
  ASSERT_TRUE(reached) << "the producer was held before 1000 messages were pending";
  EXPECT_EQ(blockedAt, 1000);
  ASSERT_TRUE(slow->waitForRecords(kTotal, 20));
  DDLog::flushLog();
  EXPECT_EQ(slow->texts().size(), size_t(kTotal));
  EXPECT_EQ(slow->texts().back(), "p" + std::to_string(kTotal - 1));
}

TEST_F(DDLogTest, WithoutLoggersQueuedMessagesAreTakenAndTheBoundRecovers) {
  // More than 1000 messages: the producer would block for good if the count did not return.
  std::atomic<bool> done{false};
  Semaphore finished(0);
  std::thread producer([&] {
    for (int i = 0; i < 2500; ++i) logAsync("x");
    DDLog::flushLog();
    done = true;
    finished.signal();
  });
  EXPECT_TRUE(finished.wait(30));
  producer.join();
  EXPECT_TRUE(done);
}

TEST_F(DDLogTest, SettingChangesTakeEffectInOrderWithQueuedMessages) {
  auto logger = RecordingLogger::create();
  DDLog::addLogger(logger);
  logAsync("before");
  logger->setPrefix("X");
  logAsync("after");
  DDLog::flushLog();
  auto records = logger->records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].prefix, "");
  EXPECT_EQ(records[1].prefix, "X");
  EXPECT_EQ(logger->prefix(), "X");
  // A reader on the logger's own queue reads directly instead of waiting on itself.
  std::string inside;
  logger->loggerQueue()->sync([&] { inside = logger->prefix(); });
  EXPECT_EQ(inside, "X");
}

TEST_F(DDLogTest, FormatterIsInstalledThroughTheQueuesAndToldOfItsChanges) {
  auto logger = RecordingLogger::create();
  auto first = std::make_shared<RecordingFormatter>(RecordingFormatter::Answer::OwnText);
  auto second = std::make_shared<RecordingFormatter>(RecordingFormatter::Answer::Nothing);
  EXPECT_EQ(logger->logFormatter(), nullptr);
  logger->setLogFormatter(first);
  EXPECT_EQ(logger->logFormatter(), first);
  logger->setLogFormatter(first);  // the same one again: no notifications
  logger->setLogFormatter(second);
  EXPECT_EQ(logger->logFormatter(), second);
  EXPECT_EQ(first->added, 1);
  EXPECT_EQ(first->removed, 1);
  EXPECT_EQ(second->added, 1);
  EXPECT_EQ(second->removed, 0);
  logger->setLogFormatter(nullptr);
  EXPECT_EQ(logger->logFormatter(), nullptr);
  EXPECT_EQ(second->removed, 1);
}

// A bare logger without a queue of its own: the facility makes one, named after the logger.
class BareLogger : public DDLogger {
 public:
  explicit BareLogger(std::optional<std::string> name) : name_(std::move(name)) {}
  void logMessage(const DDLogMessagePtr&) override {
    std::lock_guard<std::mutex> lock(mutex_);
    labels_.push_back(Queue::currentLabel());
  }
  DDLogFormatterPtr logFormatter() override { return nullptr; }
  void setLogFormatter(DDLogFormatterPtr) override {}
  std::optional<std::string> loggerName() override { return name_; }
  std::vector<std::string> labels() {
    std::lock_guard<std::mutex> lock(mutex_);
    return labels_;
  }

 private:
  std::optional<std::string> name_;
  std::mutex mutex_;
  std::vector<std::string> labels_;
};

TEST_F(DDLogTest, LoggerWithoutQueueGetsOneLabelledWithItsName) {
  auto named = std::make_shared<BareLogger>("test.bare");
  auto unnamed = std::make_shared<BareLogger>(std::nullopt);
  DDLog::addLogger(named);
  DDLog::addLogger(unnamed);
  logSync(DDLogFlagWarn, "w");
  EXPECT_EQ(named->labels(), std::vector<std::string>{"test.bare"});
  EXPECT_EQ(unnamed->labels(), std::vector<std::string>{""});
  // The base class's queue carries the subclass's name, and the facility uses it.
  auto recording = RecordingLogger::create();
  EXPECT_EQ(recording->loggerQueue()->label(), "test.recording");
  EXPECT_EQ(DDLog::loggingQueue()->label(), "corvane.logging");
}

TEST_F(DDLogTest, NilFormatIsIgnoredAndTheTextIsFormatted) {
  auto logger = RecordingLogger::create();
  DDLog::addLogger(logger);
  DDLog::log(false, DDLogLevelAll, DDLogFlagInfo, 0, __FILE__, __func__, __LINE__, std::nullopt,
             nullptr);
  DDLog::log(false, 3, DDLogFlagWarn, 9, "f.c", "fn", 42, std::string("tag"), "%d-%s", 7, "x");
  std::string longText(5000, 'y');
  DDLog::log(false, DDLogLevelAll, DDLogFlagInfo, 0, nullptr, nullptr, 0, std::nullopt, "%s",
             longText.c_str());
  auto records = logger->records();
  ASSERT_EQ(records.size(), 2u);
  const DDLogMessage& m = *records[0].message;
  EXPECT_EQ(*m.logMsg(), "7-x");
  EXPECT_EQ(m.logLevel(), 3);
  EXPECT_EQ(m.logFlag(), DDLogFlagWarn);
  EXPECT_EQ(m.logContext(), 9);
  EXPECT_STREQ(m.file(), "f.c");
  EXPECT_STREQ(m.function(), "fn");
  EXPECT_EQ(m.lineNumber(), 42);
  EXPECT_EQ(m.tag(), std::optional<std::string>("tag"));
  EXPECT_EQ(m.options(), 0);
  EXPECT_EQ(*records[1].message->logMsg(), longText);
}

TEST_F(DDLogTest, ManyThreadsLogConcurrently) {
  auto logger = RecordingLogger::create();
  DDLog::addLogger(logger);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) logAsync(std::to_string(t) + ":" + std::to_string(i));
    });
  }
  for (auto& th : threads) th.join();
  DDLog::flushLog();
  auto texts = logger->texts();
  ASSERT_EQ(texts.size(), 800u);
  // Each thread's own messages keep their order.
  for (int t = 0; t < 4; ++t) {
    int next = 0;
    std::string prefix = std::to_string(t) + ":";
    for (const auto& s : texts) {
      if (s.rfind(prefix, 0) == 0) {
        EXPECT_EQ(s, prefix + std::to_string(next++));
      }
    }
    EXPECT_EQ(next, 200);
  }
}

// A logger whose flush says so on standard error.
class AnnouncingLogger : public DDAbstractLogger {
 public:
  static std::shared_ptr<AnnouncingLogger> create() {
    return std::shared_ptr<AnnouncingLogger>(new AnnouncingLogger());
  }
  bool implementsFlush() const override { return true; }
  void flush() override {
    static const char kText[] = "flushed at exit\n";
    (void)::write(STDERR_FILENO, kText, sizeof(kText) - 1);
  }

 private:
  AnnouncingLogger() : DDAbstractLogger("test.announcing") {}
};

TEST(DDLogExitTest, LoggersAreFlushedWhenTheProcessExits) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        DDLog::addLogger(AnnouncingLogger::create());
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "flushed at exit");
}

}  // namespace
}  // namespace corvane
