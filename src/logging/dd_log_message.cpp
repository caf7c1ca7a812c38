#include "logging/dd_log_message.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/reference_date.h"
#include "platform/foundation/thread.h"

namespace corvane {
namespace {

std::unique_ptr<char[]> duplicate(const char* text) {
  if (text == nullptr) return nullptr;
  size_t n = std::strlen(text) + 1;
  auto copy = std::make_unique<char[]>(n);
  std::memcpy(copy.get(), text, n);
  return copy;
}

// The kernel's thread id; it never changes for a thread, so it is read once per thread.
uint32_t currentThreadNumber() {
  thread_local const uint32_t tid = static_cast<uint32_t>(::syscall(SYS_gettid));
  return tid;
}

}  // namespace

DDLogMessagePtr DDLogMessage::create(std::string logMsg, int32_t level, int32_t flag,
                                     int32_t context, const char* file, const char* function,
                                     int32_t line, DDLogTag tag, int32_t options) {
  DDLogMessagePtr m(new DDLogMessage());
  m->logLevel_ = level;
  m->logFlag_ = flag;
  m->logContext_ = context;
  m->logMsg_ = std::make_shared<const std::string>(std::move(logMsg));
  m->lineNumber_ = line;
  m->tag_ = std::move(tag);
  m->options_ = options;
  if ((options & DDLogMessageCopyFile) != 0) {
    m->ownedFile_ = duplicate(file);
    m->file_ = m->ownedFile_.get();
  } else {
    m->file_ = file;
  }
  if ((options & DDLogMessageCopyFunction) != 0) {
    m->ownedFunction_ = duplicate(function);
    m->function_ = m->ownedFunction_.get();
  } else {
    m->function_ = function;
  }
  m->timestamp_ = platform::ReferenceDate::now();
  m->machThreadID_ = currentThreadNumber();
  if (auto queue = platform::dispatch::Queue::current()) {
    m->queueLabel_ = duplicate(queue->label().c_str());
  }
  m->threadName_ = platform::Thread::currentName();
  return m;
}

std::string DDLogMessage::threadID() const {
  char buf[9];
  std::snprintf(buf, sizeof(buf), "%x", machThreadID_);
  return buf;
}

std::optional<std::string_view> DDLogMessage::fileName() const {
  if (file_ == nullptr) return std::nullopt;
  std::string_view path(file_);
  size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  size_t dot = name.rfind('.');
  if (dot != std::string_view::npos) name = name.substr(0, dot);
  return name;
}

std::optional<std::string> DDLogMessage::methodName() const {
  if (function_ == nullptr) return std::nullopt;
  return std::string(function_);
}

DDLogMessagePtr DDLogMessage::copy() const {
  DDLogMessagePtr m(new DDLogMessage());
  m->logLevel_ = logLevel_;
  m->logFlag_ = logFlag_;
  m->logContext_ = logContext_;
  m->logMsg_ = logMsg_;
  m->timestamp_ = timestamp_;
  m->lineNumber_ = lineNumber_;
  m->machThreadID_ = machThreadID_;
  m->threadName_ = threadName_;
  m->tag_ = tag_;
  m->options_ = options_;
  if ((options_ & DDLogMessageCopyFile) != 0) {
    m->ownedFile_ = duplicate(file_);
    m->file_ = m->ownedFile_.get();
  } else {
    m->file_ = file_;
  }
  if ((options_ & DDLogMessageCopyFunction) != 0) {
    m->ownedFunction_ = duplicate(function_);
    m->function_ = m->ownedFunction_.get();
  } else {
    m->function_ = function_;
  }
  m->queueLabel_ = duplicate(queueLabel_.get());
  return m;
}

DDLogMessagePtr DDLogMessage::copyWithLogMsg(DDLogText logMsg) const {
  DDLogMessagePtr m = copy();
  m->logMsg_ = std::move(logMsg);
  return m;
}

}  // namespace corvane
