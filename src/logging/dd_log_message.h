// DDLogMessage: one log event, made on the thread that logs and read by every logger.
//
// A message is immutable after creation and may be read from any thread. `file` and
// `function` are borrowed from the caller unless `options` asks for owned copies
// (DDLogMessageCopyFile, DDLogMessageCopyFunction): a borrowed string must outlive the
// message (string literals such as __FILE__ and __func__ do). `queueLabel` is always owned.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// Message text. Formatters hand back either the message's own text object (the line is
// then written unformatted) or a new one; nullptr stands for "no text".
using DDLogText = std::shared_ptr<const std::string>;

// A caller-defined tag (the console logger looks up tag colours by it); nullopt = none.
using DDLogTag = std::optional<std::string>;

inline constexpr int32_t DDLogMessageCopyFile = 1;
inline constexpr int32_t DDLogMessageCopyFunction = 2;

class DDLogMessage;
using DDLogMessagePtr = std::shared_ptr<DDLogMessage>;

class DDLogMessage {
 public:
  // Records the arguments; `timestamp` is now, `machThreadID`, `queueLabel` and `threadName`
  // describe the calling thread and the dispatch queue it runs on.
  static DDLogMessagePtr create(std::string logMsg, int32_t level, int32_t flag, int32_t context,
                                const char* file, const char* function, int32_t line, DDLogTag tag,
                                int32_t options);

  DDLogMessage(const DDLogMessage&) = delete;
  DDLogMessage& operator=(const DDLogMessage&) = delete;

  int32_t logLevel() const { return logLevel_; }
  int32_t logFlag() const { return logFlag_; }
  int32_t logContext() const { return logContext_; }
  const DDLogText& logMsg() const { return logMsg_; }
  // Seconds since 2001-01-01 00:00:00 UTC.
  double timestamp() const { return timestamp_; }
  const char* file() const { return file_; }
  const char* function() const { return function_; }
  int32_t lineNumber() const { return lineNumber_; }
  uint32_t machThreadID() const { return machThreadID_; }
  // Label of the queue the message was made on; nullptr when made on no queue.
  const char* queueLabel() const { return queueLabel_.get(); }
  const std::string& threadName() const { return threadName_; }
  const DDLogTag& tag() const { return tag_; }
  int32_t options() const { return options_; }

  // `machThreadID` as lower-case hexadecimal text.
  std::string threadID() const;
  // The last path component of `file` without its extension; nullopt when `file` is null.
  // The view points into `file` (no copy) and lives as long as the message.
  std::optional<std::string_view> fileName() const;
  // `function` as text; nullopt when `function` is null.
  std::optional<std::string> methodName() const;

  // A new record with the same values. Owned strings are duplicated, borrowed ones shared.
  DDLogMessagePtr copy() const;
  // The same, with `logMsg` as its text.
  DDLogMessagePtr copyWithLogMsg(DDLogText logMsg) const;

 private:
  DDLogMessage() = default;

  int32_t logLevel_ = 0;
  int32_t logFlag_ = 0;
  int32_t logContext_ = 0;
  DDLogText logMsg_;
  double timestamp_ = 0;
  const char* file_ = nullptr;
  const char* function_ = nullptr;
  int32_t lineNumber_ = 0;
  uint32_t machThreadID_ = 0;
  std::unique_ptr<char[]> queueLabel_;
  std::string threadName_;
  DDLogTag tag_;
  int32_t options_ = 0;
  // Storage behind `file_` / `function_` when they are owned copies.
  std::unique_ptr<char[]> ownedFile_;
  std::unique_ptr<char[]> ownedFunction_;
};

}  // namespace corvane
