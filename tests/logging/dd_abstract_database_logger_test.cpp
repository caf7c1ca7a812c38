#include "logging/dd_abstract_database_logger.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "logging/log_test_support.h"

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

// Stores nothing: counts the hooks and the arming of the save timer.
class RecordingDatabaseLogger : public DDAbstractDatabaseLogger {
 public:
  struct Counts {
    int logged = 0;
    int saves = 0;
    int deletes = 0;
    int saveAndDeletes = 0;
    int saveTimerArmed = 0;
  };
  struct Timers {
    uint64_t unsaved = 0;
    bool hasSaveTimer = false;
    bool saveTimerSuspended = false;
    bool hasDeleteTimer = false;
  };

  static std::shared_ptr<RecordingDatabaseLogger> create(bool accept = true) {
    auto logger = std::shared_ptr<RecordingDatabaseLogger>(new RecordingDatabaseLogger(accept));
    // As the facility does on addition.
    logger->loggerQueue()->sync([&] { logger->didAddLogger(); });
    return logger;
  }

  Counts counts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_;
  }
  // Read on the logger's queue, after everything queued before.
  Timers timers() {
    (void)saveThreshold();  // lets pending setting changes through
    Timers t;
    loggerQueue()->sync([&] {
      t = {unsavedCount(), hasSaveTimer(), isSaveTimerSuspended(), hasDeleteTimer()};
    });
    return t;
  }
  void logSome(int n) {
    for (int i = 0; i < n; ++i) test::writeOnQueue(*this, "entry " + std::to_string(i));
  }
  template <class Pred>
  bool waitUntil(Pred pred, double seconds = 15) {
    return test::waitFor(mutex_, cv_, seconds, [&] { return pred(counts_); });
  }
  Clock::time_point lastHookTime() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastHook_;
  }

 protected:
  bool db_log(const DDLogMessagePtr&) override {
    bump(&Counts::logged);
    return accept_;
  }
  void db_save() override { bump(&Counts::saves); }
  void db_delete() override { bump(&Counts::deletes); }
  void db_saveAndDelete() override { bump(&Counts::saveAndDeletes); }
  void updateAndResumeSaveTimer() override {
    bump(&Counts::saveTimerArmed);
    DDAbstractDatabaseLogger::updateAndResumeSaveTimer();
  }

 private:
  explicit RecordingDatabaseLogger(bool accept)
      : DDAbstractDatabaseLogger("test.database"), accept_(accept) {}
  void bump(int Counts::*field) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++(counts_.*field);
    lastHook_ = Clock::now();
    cv_.notify_all();
  }

  const bool accept_;
  std::mutex mutex_;
  std::condition_variable cv_;
  Counts counts_;
  Clock::time_point lastHook_;
};

TEST(DatabaseLoggerTest, SavesAtTheThresholdAndArmsTheTimerOnceBefore) {
  auto logger = RecordingDatabaseLogger::create();
  EXPECT_EQ(logger->saveThreshold(), 500u);
  EXPECT_EQ(logger->saveInterval(), 60.0);
  EXPECT_EQ(logger->maxAge(), 604800.0);
  EXPECT_EQ(logger->deleteInterval(), 300.0);
  EXPECT_FALSE(logger->deleteOnEverySave());

  logger->logSome(499);
  auto counts = logger->counts();
  EXPECT_EQ(counts.saves, 0);
  EXPECT_EQ(counts.saveTimerArmed, 1);
  auto timers = logger->timers();
  EXPECT_EQ(timers.unsaved, 499u);
  EXPECT_TRUE(timers.hasSaveTimer);
  EXPECT_FALSE(timers.saveTimerSuspended);

  logger->logSome(1);
  counts = logger->counts();
  EXPECT_EQ(counts.saves, 1);
  EXPECT_EQ(counts.saveTimerArmed, 1);
  timers = logger->timers();
  EXPECT_EQ(timers.unsaved, 0u);
  EXPECT_TRUE(timers.saveTimerSuspended);
}

TEST(DatabaseLoggerTest, RefusedEntriesChangeNothing) {
  auto logger = RecordingDatabaseLogger::create(/*accept=*/false);
  logger->logSome(600);
  const auto counts = logger->counts();
  EXPECT_EQ(counts.logged, 600);
  EXPECT_EQ(counts.saves, 0);
  EXPECT_EQ(counts.saveTimerArmed, 0);
  const auto timers = logger->timers();
  EXPECT_EQ(timers.unsaved, 0u);
  EXPECT_TRUE(timers.saveTimerSuspended);
}

TEST(DatabaseLoggerTest, LoweringTheThresholdSavesAndZeroNeverSavesByCount) {
  auto logger = RecordingDatabaseLogger::create();
  logger->logSome(10);
  logger->setSaveThreshold(11);
  (void)logger->timers();
  EXPECT_EQ(logger->counts().saves, 0);
  logger->setSaveThreshold(10);  // reached exactly
  (void)logger->timers();
  EXPECT_EQ(logger->counts().saves, 1);

  logger->setSaveThreshold(0);
  (void)logger->timers();  // the change reaches the queue before the direct writes
  logger->logSome(700);
  EXPECT_EQ(logger->counts().saves, 1);
  EXPECT_EQ(logger->timers().unsaved, 700u);
  logger->setSaveThreshold(700);
  (void)logger->timers();
  EXPECT_EQ(logger->counts().saves, 2);
}

TEST(DatabaseLoggerTest, LoweringMaxAgeDeletesAtOnceAndRaisingItDoesNot) {
  auto logger = RecordingDatabaseLogger::create();
  EXPECT_TRUE(logger->timers().hasDeleteTimer);
  struct Step {
    double maxAge;
    int deletesAfter;
    bool deleteTimerAfter;
  };
  const Step steps[] = {
      {1000.0, 1, true},  // lowered: deletes at once
      {5000.0, 1, true},  // raised: nothing
      {0.0, 1, false},    // switched off: timer gone, nothing deleted
      {2000.0, 2, true},  // switched on again: deletes and starts the timer
  };
  for (const Step& s : steps) {
    logger->setMaxAge(s.maxAge);
    const auto timers = logger->timers();
    EXPECT_EQ(logger->counts().deletes, s.deletesAfter) << s.maxAge;
    EXPECT_EQ(timers.hasDeleteTimer, s.deleteTimerAfter) << s.maxAge;
  }
}

TEST(DatabaseLoggerTest, FlushWithNothingPendingCallsNoHookButPausesTheTimer) {
  auto logger = RecordingDatabaseLogger::create();
  logger->loggerQueue()->sync([&] { logger->flush(); });
  auto counts = logger->counts();
  EXPECT_EQ(counts.saves + counts.saveAndDeletes + counts.deletes, 0);
  EXPECT_TRUE(logger->timers().saveTimerSuspended);

  logger->logSome(3);
  EXPECT_FALSE(logger->timers().saveTimerSuspended);
  logger->loggerQueue()->sync([&] { logger->flush(); });
  EXPECT_EQ(logger->counts().saves, 1);
  EXPECT_TRUE(logger->timers().saveTimerSuspended);
}

TEST(DatabaseLoggerTest, SaveTimerSavesAfterTheInterval) {
  for (bool deleteOnEverySave : {false, true}) {
    SCOPED_TRACE(deleteOnEverySave ? "save and delete" : "save");
    auto logger = RecordingDatabaseLogger::create();
    logger->setSaveInterval(0.2);
    logger->setDeleteOnEverySave(deleteOnEverySave);
    (void)logger->timers();
    const auto start = Clock::now();
    logger->logSome(1);
    ASSERT_TRUE(logger->waitUntil([](const auto& c) { return c.saves + c.saveAndDeletes >= 1; }));
    EXPECT_GE(std::chrono::duration<double>(logger->lastHookTime() - start).count(), 0.15);
    const auto counts = logger->counts();
    EXPECT_EQ(counts.saves, deleteOnEverySave ? 0 : 1);
    EXPECT_EQ(counts.saveAndDeletes, deleteOnEverySave ? 1 : 0);
    EXPECT_TRUE(logger->timers().saveTimerSuspended);
    // Removal saves what is pending and drops both timers.
    logger->logSome(2);
    logger->loggerQueue()->sync([&] { logger->willRemoveLogger(); });
    const auto timers = logger->timers();
    EXPECT_FALSE(timers.hasSaveTimer);
    EXPECT_FALSE(timers.hasDeleteTimer);
    EXPECT_EQ(logger->counts().saves + logger->counts().saveAndDeletes, 2);
  }
}

TEST(DatabaseLoggerTest, SavesAndDeletesOnRequest) {
  auto logger = RecordingDatabaseLogger::create();
  logger->logSome(3);
  // From another thread: soon, on the logger's queue.
  logger->savePendingLogEntries();
  logger->deleteOldLogEntries();
  ASSERT_TRUE(logger->waitUntil([](const auto& c) { return c.saves >= 1 && c.deletes >= 1; }));
  auto timers = logger->timers();
  EXPECT_EQ(timers.unsaved, 0u);
  EXPECT_TRUE(timers.saveTimerSuspended);

  // On the logger's own queue: at once.
  logger->logSome(2);
  logger->loggerQueue()->sync([&] {
    logger->savePendingLogEntries();
    logger->deleteOldLogEntries();
    const auto counts = logger->counts();
    EXPECT_EQ(counts.saves, 2);
    EXPECT_EQ(counts.deletes, 2);
  });

  // Nothing pending saves nothing; no age limit deletes nothing.
  logger->setMaxAge(0);
  (void)logger->timers();
  logger->loggerQueue()->sync([&] {
    logger->savePendingLogEntries();
    logger->deleteOldLogEntries();
  });
  const auto counts = logger->counts();
  EXPECT_EQ(counts.saves, 2);
  EXPECT_EQ(counts.deletes, 2);
}

TEST(DatabaseLoggerTest, DeleteTimerCountsFromTheLastDeletion) {
  auto logger = RecordingDatabaseLogger::create();  // deletes every 300 s
  logger->loggerQueue()->sync([&] { logger->deleteOldLogEntries(); });
  const auto deleted = Clock::now();
  // Two seconds after that deletion the interval becomes three: the next one is due a second
  // after the change (the last deletion plus the interval), not three.
  auto changed = std::make_shared<Clock::time_point>();
  logger->loggerQueue()->after(2.0, [logger, changed] {
    *changed = Clock::now();
    logger->setDeleteInterval(3.0);
  });
  ASSERT_TRUE(logger->waitUntil([](const auto& c) { return c.deletes >= 2; }, 30));
  const auto next = logger->lastHookTime();
  EXPECT_GE(std::chrono::duration<double>(next - deleted).count(), 2.9);
  EXPECT_LT(std::chrono::duration<double>(next - *changed).count(), 2.2)
      << "the timer counted from the change, not from the last deletion";
}

TEST(DatabaseLoggerTest, SaveIntervalZeroDestroysTheSaveTimer) {
  auto logger = RecordingDatabaseLogger::create();
  EXPECT_TRUE(logger->timers().hasSaveTimer);
  logger->logSome(1);  // arms it
  logger->setSaveInterval(0);
  auto timers = logger->timers();
  EXPECT_FALSE(timers.hasSaveTimer);
  EXPECT_EQ(timers.unsaved, 1u);
  // A positive interval makes it again, armed for the entry still pending.
  logger->setSaveInterval(0.2);
  EXPECT_TRUE(logger->timers().hasSaveTimer);
  ASSERT_TRUE(logger->waitUntil([](const auto& c) { return c.saves >= 1; }));
  EXPECT_EQ(logger->timers().unsaved, 0u);
}

TEST(DatabaseLoggerTest, DeleteTimerDeletesEveryInterval) {
  auto logger = RecordingDatabaseLogger::create();
  logger->setDeleteInterval(0.05);
  ASSERT_TRUE(logger->waitUntil([](const auto& c) { return c.deletes >= 3; }));
  logger->setDeleteInterval(0);
  EXPECT_FALSE(logger->timers().hasDeleteTimer);
}

}  // namespace
}  // namespace corvane
