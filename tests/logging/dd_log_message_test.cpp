#include "logging/dd_log_message.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/reference_date.h"
#include "platform/foundation/thread.h"

namespace corvane {
namespace {

DDLogMessagePtr make(const char* file, const char* function, int32_t options) {
  return DDLogMessage::create("text", 31, 4, 0, file, function, 1, std::nullopt, options);
}

TEST(DDLogMessageTest, FileNameIsTheLastComponentWithoutItsExtension) {
  struct Case {
    const char* file;
    std::optional<std::string> name;
  };
  const Case cases[] = {
      {"/src/app/Main.m", "Main"}, {"Main", "Main"}, {"/src/lib.d/Main", "Main"},
      {"/src/a.b.c", "a.b"},       {"dir/", ""},     {"Main.mm", "Main"},
      {nullptr, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file ? c.file : "(null)");
    auto m = make(c.file, nullptr, 0);
    auto name = m->fileName();
    ASSERT_EQ(name.has_value(), c.name.has_value());
    if (name) {
      EXPECT_EQ(std::string(*name), *c.name);
    }
  }
}

TEST(DDLogMessageTest, MethodNameIsTheFunctionText) {
  EXPECT_EQ(make(nullptr, "-[Mirror start]", 0)->methodName(),
            std::optional<std::string>("-[Mirror start]"));
  EXPECT_EQ(make(nullptr, nullptr, 0)->methodName(), std::nullopt);
}

TEST(DDLogMessageTest, OptionsDecideWhetherFileAndFunctionAreOwned) {
  char file[] = "/src/owned.c";
  char function[] = "ownedFunction";
  auto owned = make(file, function, DDLogMessageCopyFile | DDLogMessageCopyFunction);
  auto borrowed = make(file, function, 0);
  auto fileOnly = make(file, function, DDLogMessageCopyFile);

  EXPECT_NE(owned->file(), file);
  EXPECT_NE(owned->function(), function);
  EXPECT_EQ(borrowed->file(), file);
  EXPECT_EQ(borrowed->function(), function);
  EXPECT_NE(fileOnly->file(), file);
  EXPECT_EQ(fileOnly->function(), function);

  // An owned copy survives the caller reusing its buffers.
  std::memset(file, 'z', sizeof(file) - 1);
  std::memset(function, 'z', sizeof(function) - 1);
  EXPECT_STREQ(owned->file(), "/src/owned.c");
  EXPECT_STREQ(owned->function(), "ownedFunction");
  EXPECT_EQ(std::string(*owned->fileName()), "owned");

  // Copies: owned strings are duplicated, borrowed ones shared.
  auto ownedCopy = owned->copy();
  EXPECT_NE(ownedCopy->file(), owned->file());
  EXPECT_NE(ownedCopy->function(), owned->function());
  EXPECT_STREQ(ownedCopy->file(), "/src/owned.c");
  EXPECT_STREQ(ownedCopy->function(), "ownedFunction");
  auto borrowedCopy = borrowed->copy();
  EXPECT_EQ(borrowedCopy->file(), file);
  EXPECT_EQ(borrowedCopy->function(), function);
  owned.reset();  // the copy does not depend on the original
  EXPECT_STREQ(ownedCopy->file(), "/src/owned.c");
}

TEST(DDLogMessageTest, CopyKeepsEveryValueAndDuplicatesTheQueueLabel) {
  auto queue = platform::dispatch::Queue::createSerial("test.message.queue");
  DDLogMessagePtr original;
  queue->sync([&] {
    original = DDLogMessage::create("hello", 15, 8, 77, "f.c", "fn", 99, std::string("net"), 0);
  });
  ASSERT_NE(original->queueLabel(), nullptr);
  EXPECT_STREQ(original->queueLabel(), "test.message.queue");

  auto copy = original->copy();
  EXPECT_EQ(copy->logLevel(), 15);
  EXPECT_EQ(copy->logFlag(), 8);
  EXPECT_EQ(copy->logContext(), 77);
  EXPECT_EQ(copy->logMsg(), original->logMsg());
  EXPECT_EQ(copy->timestamp(), original->timestamp());
  EXPECT_EQ(copy->lineNumber(), 99);
  EXPECT_EQ(copy->machThreadID(), original->machThreadID());
  EXPECT_EQ(copy->threadName(), original->threadName());
  EXPECT_EQ(copy->tag(), std::optional<std::string>("net"));
  EXPECT_EQ(copy->options(), 0);
  ASSERT_NE(copy->queueLabel(), nullptr);
  EXPECT_NE(copy->queueLabel(), original->queueLabel());
  EXPECT_STREQ(copy->queueLabel(), "test.message.queue");
}

TEST(DDLogMessageTest, RecordsTheCreatingThread) {
  double before = platform::ReferenceDate::now();
  DDLogMessagePtr m;
  uint32_t tid = 0;
  std::thread t([&] {
    platform::Thread::setCurrentName("test-creator");
    tid = static_cast<uint32_t>(::syscall(SYS_gettid));
    m = make(nullptr, nullptr, 0);
  });
  t.join();
  double after = platform::ReferenceDate::now();
  EXPECT_EQ(m->machThreadID(), tid);
  char hex[16];
  std::snprintf(hex, sizeof(hex), "%x", tid);
  EXPECT_EQ(m->threadID(), hex);
  EXPECT_EQ(m->threadName(), "test-creator");
  EXPECT_EQ(m->queueLabel(), nullptr);  // made on no queue
  EXPECT_GE(m->timestamp(), before);
  EXPECT_LE(m->timestamp(), after);
}

}  // namespace
}  // namespace corvane
