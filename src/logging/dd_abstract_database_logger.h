// DDAbstractDatabaseLogger: base class of loggers that keep messages in a store. It batches
// the messages a subclass accepts and decides when the subclass saves them (after
// `saveThreshold` entries, or `saveInterval` seconds after the first pending entry) and when
// it deletes old entries (older than `maxAge`, every `deleteInterval` seconds). The storage
// is the subclass's: it overrides the four db_ hooks (the defaults do nothing; db_log
// answers false).
//
// Threads: the batching state, the hooks and both timers live on the logger's queue; the
// settings follow the two-step queue rule of DDAbstractLogger and may be used from any
// thread. Timers hold the logger weakly; releasing the logger cancels them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "logging/dd_abstract_logger.h"
#include "platform/dispatch/dispatch.h"

namespace corvane {

class DDAbstractDatabaseLogger : public DDAbstractLogger {
 public:
  ~DDAbstractDatabaseLogger() override;

  // Entries; 0: never save by count. Lowering it to the pending count or below saves at once.
  uint64_t saveThreshold();
  void setSaveThreshold(uint64_t saveThreshold);
  // Seconds; 0 or less: never save by time.
  double saveInterval();
  void setSaveInterval(double saveInterval);
  // Seconds; 0 or less: never delete. Lowering it (or enabling it) deletes at once.
  double maxAge();
  void setMaxAge(double maxAge);
  // Seconds between deletions; 0 or less: no deletion timer.
  double deleteInterval();
  void setDeleteInterval(double deleteInterval);
  // Save and delete in one step (db_saveAndDelete).
  bool deleteOnEverySave();
  void setDeleteOnEverySave(bool deleteOnEverySave);

  // Save / delete now: at once on the logger's own queue, else asynchronously on it.
  void savePendingLogEntries();
  void deleteOldLogEntries();

  void logMessage(const DDLogMessagePtr& logMessage) override;
  bool implementsDidAddLogger() const override { return true; }
  void didAddLogger() override;
  bool implementsWillRemoveLogger() const override { return true; }
  void willRemoveLogger() override;
  bool implementsFlush() const override { return true; }
  void flush() override;

 protected:
  explicit DDAbstractDatabaseLogger(const std::string& queueLabel = "DDAbstractDatabaseLogger");

  // Storage hooks, on the logger's queue.
  virtual bool db_log(const DDLogMessagePtr& logMessage);
  virtual void db_save() {}
  virtual void db_delete() {}
  virtual void db_saveAndDelete() {}

  // Internal steps, logger's queue only (virtual so that subclasses can observe them).
  virtual void performSaveAndSuspendSaveTimer();
  virtual void performDelete();
  virtual void createSuspendedSaveTimer();
  virtual void updateAndResumeSaveTimer();
  virtual void destroySaveTimer();
  virtual void createAndStartDeleteTimer();
  virtual void updateDeleteTimer();
  virtual void destroyDeleteTimer();

  // Batching state, logger's queue only.
  uint64_t unsavedCount() const { return unsavedCount_; }
  bool hasSaveTimer() const { return saveTimer_ != nullptr; }
  bool isSaveTimerSuspended() const { return saveTimerSuspended_; }
  bool hasDeleteTimer() const { return deleteTimer_ != nullptr; }

 private:
  std::weak_ptr<DDAbstractDatabaseLogger> weakSelf();

  // Logger's queue only.
  uint64_t saveThreshold_ = 500;
  double saveInterval_ = 60;
  double maxAge_ = 60 * 60 * 24 * 7;
  double deleteInterval_ = 60 * 5;
  bool deleteOnEverySave_ = false;
  bool saveTimerSuspended_ = false;
  uint64_t unsavedCount_ = 0;
  std::optional<platform::dispatch::TimePoint> unsavedTime_;
  platform::dispatch::SourcePtr saveTimer_;
  std::optional<platform::dispatch::TimePoint> lastDeleteTime_;
  platform::dispatch::SourcePtr deleteTimer_;
};

}  // namespace corvane
