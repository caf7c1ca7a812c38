// Shared helpers of the ui tests: the process's application on Qt's offscreen platform,
// bounded waits that run the main loop, an alert recorder that answers alerts, and a safety
// net that clicks an alert left open.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/ui/alert.h"
#include "platform/ui/application.h"

namespace corvane::platform::ui::testing {

// The application, made once for the test process (offscreen platform, private runtime folder).
Application& app();

// Runs the main loop until `pred` holds or `timeout` passes; answers pred().
inline bool waitFor(const std::function<bool()>& pred,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  return app().runUntil(pred, timeout);
}

// While it exists, every alert run is recorded and answered with `answer` (first button by
// default) instead of being shown.
class AlertRecorder {
 public:
  explicit AlertRecorder(ModalResponse answer = kAlertFirstButtonReturn) : answer_(answer) {
    Alert::setModalResponder([this](const AlertRecord& record) {
      std::lock_guard<std::mutex> lock(mutex_);
      records_.push_back(record);
      return answer_;
    });
  }
  ~AlertRecorder() { Alert::setModalResponder(nullptr); }
  AlertRecorder(const AlertRecorder&) = delete;
  AlertRecorder& operator=(const AlertRecorder&) = delete;

  std::vector<AlertRecord> records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }

 private:
  mutable std::mutex mutex_;
  ModalResponse answer_;
  std::vector<AlertRecord> records_;
};

// Safety net for a test that expects its alerts to end without a person: 20 seconds after
// it is made, an alert box still open gets its first button clicked, so the test goes on.
// isActive() is true while that has not happened yet.
class AlertClickNet {
 public:
  AlertClickNet() {
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        box->buttons().front()->click();
      }
    });
    timer_.start(20000);
  }
  AlertClickNet(const AlertClickNet&) = delete;
  AlertClickNet& operator=(const AlertClickNet&) = delete;

  bool isActive() const { return timer_.isActive(); }

 private:
  QTimer timer_;
};

}  // namespace corvane::platform::ui::testing
