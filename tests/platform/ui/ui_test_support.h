// Shared helpers of the ui tests: the process's application on Qt's offscreen platform,
// bounded waits that run the main loop, and an alert recorder that answers alerts.
#pragma once

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

}  // namespace corvane::platform::ui::testing
