#include "logging/dd_abstract_database_logger.h"

#include <algorithm>
#include <chrono>

namespace corvane {

using platform::dispatch::Clock;
using platform::dispatch::Source;
using platform::dispatch::TimePoint;

namespace {

// Far enough for any real interval, near enough for the steady clock's range.
constexpr double kLongestSeconds = 10.0 * 365 * 24 * 60 * 60;
constexpr double kLeeway = 1e-9;

Clock::duration seconds(double s) {
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(std::clamp(s, 0.0, kLongestSeconds)));
}

}  // namespace

DDAbstractDatabaseLogger::DDAbstractDatabaseLogger(const std::string& queueLabel)
    : DDAbstractLogger(queueLabel) {}

DDAbstractDatabaseLogger::~DDAbstractDatabaseLogger() {
  if (saveTimer_) saveTimer_->cancel();
  if (deleteTimer_) deleteTimer_->cancel();
}

std::weak_ptr<DDAbstractDatabaseLogger> DDAbstractDatabaseLogger::weakSelf() {
  return std::static_pointer_cast<DDAbstractDatabaseLogger>(shared_from_this());
}

bool DDAbstractDatabaseLogger::db_log(const DDLogMessagePtr& /*logMessage*/) { return false; }

// Settings.

uint64_t DDAbstractDatabaseLogger::saveThreshold() {
  return readSetting([this] { return saveThreshold_; });
}

void DDAbstractDatabaseLogger::setSaveThreshold(uint64_t saveThreshold) {
  changeSetting([this, saveThreshold] {
    if (saveThreshold == saveThreshold_) return;
    saveThreshold_ = saveThreshold;
    if (saveThreshold_ > 0 && unsavedCount_ >= saveThreshold_) performSaveAndSuspendSaveTimer();
  });
}

double DDAbstractDatabaseLogger::saveInterval() {
  return readSetting([this] { return saveInterval_; });
}

void DDAbstractDatabaseLogger::setSaveInterval(double saveInterval) {
  changeSetting([this, saveInterval] {
    if (saveInterval == saveInterval_) return;
    saveInterval_ = saveInterval;
    if (saveInterval_ > 0) {
      if (!saveTimer_) createSuspendedSaveTimer();
      updateAndResumeSaveTimer();
    } else if (saveTimer_) {
      destroySaveTimer();
    }
  });
}

double DDAbstractDatabaseLogger::maxAge() {
  return readSetting([this] { return maxAge_; });
}

void DDAbstractDatabaseLogger::setMaxAge(double maxAge) {
  changeSetting([this, maxAge] {
    if (maxAge == maxAge_) return;
    const double old = maxAge_;
    maxAge_ = maxAge;
    if (old > 0 && !(maxAge_ > 0)) destroyDeleteTimer();
    if (maxAge_ < old || (!(old > 0) && maxAge_ > 0)) {
      performDelete();
      if (deleteTimer_) {
        updateDeleteTimer();
      } else {
        createAndStartDeleteTimer();
      }
    }
  });
}

double DDAbstractDatabaseLogger::deleteInterval() {
  return readSetting([this] { return deleteInterval_; });
}

void DDAbstractDatabaseLogger::setDeleteInterval(double deleteInterval) {
  changeSetting([this, deleteInterval] {
    if (deleteInterval == deleteInterval_) return;
    deleteInterval_ = deleteInterval;
    if (deleteInterval_ > 0) {
      if (!deleteTimer_) {
        createAndStartDeleteTimer();
      } else {
        updateDeleteTimer();
      }
    } else if (deleteTimer_) {
      destroyDeleteTimer();
    }
  });
}

bool DDAbstractDatabaseLogger::deleteOnEverySave() {
  return readSetting([this] { return deleteOnEverySave_; });
}

void DDAbstractDatabaseLogger::setDeleteOnEverySave(bool deleteOnEverySave) {
  changeSetting([this, deleteOnEverySave] { deleteOnEverySave_ = deleteOnEverySave; });
}

void DDAbstractDatabaseLogger::savePendingLogEntries() {
  if (isOnInternalLoggerQueue()) {
    performSaveAndSuspendSaveTimer();
    return;
  }
  loggerQueue()->async([self = shared_from_this(), this] { performSaveAndSuspendSaveTimer(); });
}

void DDAbstractDatabaseLogger::deleteOldLogEntries() {
  if (isOnInternalLoggerQueue()) {
    performDelete();
    return;
  }
  loggerQueue()->async([self = shared_from_this(), this] { performDelete(); });
}

// Messages and lifecycle.

void DDAbstractDatabaseLogger::logMessage(const DDLogMessagePtr& logMessage) {
  if (!db_log(logMessage)) return;
  ++unsavedCount_;
  if (saveThreshold_ > 0 && unsavedCount_ >= saveThreshold_) {
    performSaveAndSuspendSaveTimer();
  } else if (unsavedCount_ == 1) {
    unsavedTime_ = Clock::now();
    updateAndResumeSaveTimer();
  }
}

void DDAbstractDatabaseLogger::didAddLogger() {
  createSuspendedSaveTimer();
  createAndStartDeleteTimer();
}

void DDAbstractDatabaseLogger::willRemoveLogger() {
  performSaveAndSuspendSaveTimer();
  destroySaveTimer();
  destroyDeleteTimer();
}

void DDAbstractDatabaseLogger::flush() { performSaveAndSuspendSaveTimer(); }

// Saving and deleting.

void DDAbstractDatabaseLogger::performSaveAndSuspendSaveTimer() {
  if (unsavedCount_ > 0) {
    if (deleteOnEverySave_) {
      db_saveAndDelete();
    } else {
      db_save();
    }
  }
  unsavedCount_ = 0;
  unsavedTime_.reset();
  if (saveTimer_ && !saveTimerSuspended_) {
    saveTimer_->suspend();
    saveTimerSuspended_ = true;
  }
}

void DDAbstractDatabaseLogger::performDelete() {
  if (maxAge_ > 0) {
    db_delete();
    lastDeleteTime_ = Clock::now();
  }
}

// Save timer.

void DDAbstractDatabaseLogger::createSuspendedSaveTimer() {
  if (saveTimer_ || !(saveInterval_ > 0)) return;
  saveTimer_ = Source::createTimer(loggerQueue());
  saveTimer_->setEventHandler([weak = weakSelf()] {
    if (auto self = weak.lock()) self->performSaveAndSuspendSaveTimer();
  });
  saveTimerSuspended_ = true;  // sources start suspended
}

void DDAbstractDatabaseLogger::updateAndResumeSaveTimer() {
  if (!saveTimer_ || !(saveInterval_ > 0) || !unsavedTime_) return;
  saveTimer_->setTimer(*unsavedTime_ + seconds(saveInterval_),
                       std::clamp(saveInterval_, 0.0, kLongestSeconds), kLeeway);
  if (saveTimerSuspended_) {
    saveTimer_->resume();
    saveTimerSuspended_ = false;
  }
}

void DDAbstractDatabaseLogger::destroySaveTimer() {
  if (!saveTimer_) return;
  // Cancelling works on a paused source too; no resume is needed first.
  saveTimer_->cancel();
  saveTimer_.reset();
  saveTimerSuspended_ = false;
}

// Delete timer.

void DDAbstractDatabaseLogger::createAndStartDeleteTimer() {
  if (deleteTimer_ || !(deleteInterval_ > 0) || !(maxAge_ > 0)) return;
  deleteTimer_ = Source::createTimer(loggerQueue());
  deleteTimer_->setEventHandler([weak = weakSelf()] {
    if (auto self = weak.lock()) self->performDelete();
  });
  updateDeleteTimer();
  deleteTimer_->resume();
}

void DDAbstractDatabaseLogger::updateDeleteTimer() {
  if (!deleteTimer_ || !(deleteInterval_ > 0) || !(maxAge_ > 0)) return;
  const TimePoint last = lastDeleteTime_.value_or(Clock::now());
  deleteTimer_->setTimer(last + seconds(deleteInterval_),
                         std::clamp(deleteInterval_, 0.0, kLongestSeconds), kLeeway);
}

void DDAbstractDatabaseLogger::destroyDeleteTimer() {
  if (!deleteTimer_) return;
  deleteTimer_->cancel();
  deleteTimer_.reset();
}

}  // namespace corvane
