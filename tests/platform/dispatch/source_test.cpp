#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/test_support.h"

namespace corvane::platform::dispatch {
namespace {

using test::Counter;
using test::Gate;

struct SocketPair {
  int a = -1;
  int b = -1;
  SocketPair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) == 0) {
      a = fds[0];
      b = fds[1];
    }
  }
  ~SocketPair() {
    if (a >= 0) close(a);
    if (b >= 0) close(b);
  }
};

void writeAll(int fd, const std::string& bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// Runs an empty block through `q`: everything submitted to it before has run.
void flush(const QueuePtr& q) {
  q->sync([] {});
}

TEST(ReadSource, ReportsBytesReadableFiresAgainWhileUnreadAndZeroAtEndOfStream) {
  SocketPair pair;
  ASSERT_GE(pair.a, 0);
  auto q = Queue::createSerial("read");
  auto source = Source::createRead(pair.a, q);
  std::vector<unsigned long> seen;  // on q
  Counter events;
  // The first delivery leaves the bytes unread; the second reads them all; then the peer
  // closes, and the end of the stream reads as 0 bytes.
  source->setEventHandler([&] {
    seen.push_back(source->data());
    if (seen.size() == 2) {
      char buffer[16];
      while (read(pair.a, buffer, sizeof buffer) > 0) {
      }
      close(pair.b);
      pair.b = -1;
    }
    if (seen.size() == 3) source->suspend();  // at the end the stream stays readable
    events.add();
  });
  writeAll(pair.b, "abc");
  source->resume();
  ASSERT_TRUE(events.waitFor(3));
  source->cancel();
  flush(q);
  EXPECT_EQ(seen, (std::vector<unsigned long>{3, 3, 0}));
}

TEST(ReadSource, EventsWhileSuspendedCoalesceIntoOneDelivery) {
  SocketPair pair;
  ASSERT_GE(pair.a, 0);
  auto q = Queue::createSerial("read.coalesce");
  auto source = Source::createRead(pair.a, q);
  std::vector<unsigned long> seen;
  Counter events;
  source->setEventHandler([&] {
    seen.push_back(source->data());
    char buffer[64];
    while (read(pair.a, buffer, sizeof buffer) > 0) {
    }
    events.add();
  });
  writeAll(pair.b, "ab");
  writeAll(pair.b, "cde");
  writeAll(pair.b, "f");
  source->resume();
  ASSERT_TRUE(events.waitFor(1));
  q->sync([&] {
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], 6u);
  });
}

TEST(ReadSource, HandlersOfOneSourceNeverOverlapOnAConcurrentQueue) {
  SocketPair pair;
  ASSERT_GE(pair.a, 0);
  auto source = Source::createRead(pair.a, Queue::global(Priority::High));
  constexpr int kBytes = 3000;
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::atomic<int> total{0};
  Counter done;
  source->setEventHandler([&] {
    if (inside.fetch_add(1) != 0) overlapped = true;
    std::this_thread::yield();
    char buffer[7];  // small reads: many deliveries
    const ssize_t n = read(pair.a, buffer, sizeof buffer);
    if (n > 0 && total.fetch_add(static_cast<int>(n)) + n == kBytes) done.add();
    inside.fetch_sub(1);
  });
  source->resume();
  std::thread writer([&] {
    for (int i = 0; i < kBytes; ++i) {
      while (write(pair.b, "x", 1) != 1) std::this_thread::yield();
    }
  });
  writer.join();
  ASSERT_TRUE(done.waitFor(1));
  Counter cancelled;  // runs after the last handler has returned
  source->setCancelHandler([&] { cancelled.add(); });
  source->cancel();
  ASSERT_TRUE(cancelled.waitFor(1));
  EXPECT_FALSE(overlapped);
}

TEST(ReadSource, ListeningSocketReportsAPendingConnection) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);

  auto q = Queue::createSerial("accept");
  auto source = Source::createRead(listener, q);
  Counter accepted;
  std::atomic<unsigned long> data{0};
  source->setEventHandler([&] {
    data = source->data();
    const int fd = accept(listener, nullptr, nullptr);
    if (fd >= 0) {
      close(fd);
      accepted.add();
    }
  });
  source->resume();
  const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(client, 0);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_TRUE(accepted.waitFor(1));
  EXPECT_GE(data.load(), 1u);
  source->cancel();
  flush(q);
  close(client);
  close(listener);
}

TEST(WriteSource, ReportsFreeSpaceAndFiresAgainOnceTheBufferDrains) {
  SocketPair pair;
  ASSERT_GE(pair.a, 0);
  int sendBuffer = 0;
  socklen_t len = sizeof sendBuffer;
  ASSERT_EQ(getsockopt(pair.a, SOL_SOCKET, SO_SNDBUF, &sendBuffer, &len), 0);

  auto q = Queue::createSerial("write");
  auto source = Source::createWrite(pair.a, q);
  std::vector<unsigned long> seen;
  Counter events;
  source->setEventHandler([&] {
    seen.push_back(source->data());
    source->suspend();  // one report per resume
    events.add();
  });
  source->resume();
  ASSERT_TRUE(events.waitFor(1));
  q->sync([&] {
    EXPECT_GT(seen[0], 0u);
    EXPECT_LE(seen[0], static_cast<unsigned long>(sendBuffer));
  });

  // Fill the socket, then let the peer read: the source reports once there is room.
  std::string chunk(4096, 'x');
  while (write(pair.a, chunk.data(), chunk.size()) > 0) {
  }
  source->resume();
  char buffer[65536];
  while (read(pair.b, buffer, sizeof buffer) > 0) {
  }
  EXPECT_TRUE(events.waitFor(2));
  source->cancel();
  flush(q);
}

TEST(ReadSource, RegularFileCountsAsReadableWithItsRemainingBytes) {
  namespace fs = std::filesystem;
  const fs::path path = fs::temp_directory_path() / ("dispatch-file-" + std::to_string(getpid()));
  {
    std::FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("0123456789", f);
    std::fclose(f);
  }
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  auto q = Queue::createSerial("read.file");
  auto source = Source::createRead(fd, q);
  std::vector<unsigned long> seen;
  Counter events;
  source->setEventHandler([&] {
    seen.push_back(source->data());
    char buffer[4];
    (void)read(fd, buffer, sizeof buffer);
    if (seen.size() == 2) source->suspend();
    events.add();
  });
  source->resume();
  ASSERT_TRUE(events.waitFor(2));
  source->cancel();
  flush(q);
  EXPECT_EQ(seen, (std::vector<unsigned long>{10, 6}));
  close(fd);
  fs::remove(path);
}

// A regular file cannot be polled: the source delivers while bytes remain and reports the
// end of the file once per resume instead of firing again at once forever.
TEST(ReadSource, RegularFileAtEndOfFileFiresOncePerResume) {
  namespace fs = std::filesystem;
  const fs::path path = fs::temp_directory_path() / ("dispatch-eof-" + std::to_string(getpid()));
  {
    std::FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("0123456789", f);
    std::fclose(f);
  }
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  auto q = Queue::createSerial("read.eof");
  auto source = Source::createRead(fd, q);
  std::vector<unsigned long> seen;  // on q
  Counter events;
  source->setEventHandler([&] {
    seen.push_back(source->data());
    char buffer[4];
    (void)read(fd, buffer, sizeof buffer);
    events.add();
  });
  source->resume();
  ASSERT_TRUE(events.waitFor(4));
  // A delivery that followed the last one was queued before its handler returned, so two
  // empty blocks through the queue let any further firing run first.
  flush(q);
  flush(q);
  q->sync([&] { EXPECT_EQ(seen, (std::vector<unsigned long>{10, 6, 2, 0})); });

  // Bytes appended while quiet are seen after the next resume, then the end once more.
  {
    std::FILE* f = std::fopen(path.c_str(), "a");
    ASSERT_NE(f, nullptr);
    std::fputs("ab", f);
    std::fclose(f);
  }
  source->suspend();
  source->resume();
  ASSERT_TRUE(events.waitFor(6));
  flush(q);
  flush(q);
  q->sync([&] { EXPECT_EQ(seen, (std::vector<unsigned long>{10, 6, 2, 0, 2, 0})); });
  source->cancel();
  flush(q);
  close(fd);
  fs::remove(path);
}

// Sources on descriptors that are not open never fire, and still cancel cleanly.
TEST(Source, InvalidDescriptorsNeverFireAndStillCancel) {
  auto q = Queue::createSerial("invalid");
  constexpr int kNeverOpen = 1 << 20;  // above any descriptor limit in use
  for (int fd : {-1, kNeverOpen}) {
    for (auto make : {&Source::createRead, &Source::createWrite, &Source::createFileWatch}) {
      auto source = make(fd, q);
      std::atomic<int> events{0};
      Counter cancels;
      source->setEventHandler([&] { events.fetch_add(1); });
      source->setCancelHandler([&] { cancels.add(); });
      source->resume();
      flush(q);
      source->cancel();
      ASSERT_TRUE(cancels.waitFor(1));
      EXPECT_EQ(events.load(), 0);
    }
  }
}

// ---- cancellation

TEST(SourceCancel, CancelHandlerRunsOnceAfterTheRunningHandlerReturned) {
  // A concurrent target: a cancel handler started too early would run beside the handler.
  auto q = Queue::createConcurrent("cancel.running");
  auto timer = Source::createTimer(q);
  Gate release;
  Counter inHandler;
  std::atomic<int> handlerRuns{0};
  std::atomic<bool> handlerReturned{false};
  std::atomic<int> runsAfterCancel{0};
  std::atomic<bool> cancelCalled{false};
  Counter cancels;
  std::atomic<bool> returnedBeforeCancelHandler{false};
  std::string cancelLabel;
  timer->setEventHandler([&] {
    if (cancelCalled) runsAfterCancel.fetch_add(1);
    if (handlerRuns.fetch_add(1) == 0) {
      inHandler.add();
      release.wait();
    }
    handlerReturned = true;
  });
  timer->setCancelHandler([&] {
    returnedBeforeCancelHandler = handlerReturned.load();
    cancelLabel = Queue::currentLabel();
    cancels.add();
  });
  timer->setTimer(0.0, 0.001);
  timer->resume();
  ASSERT_TRUE(inHandler.waitFor(1));
  cancelCalled = true;
  timer->cancel();
  timer->cancel();  // a second cancel changes nothing
  EXPECT_TRUE(timer->isCancelled());
  // While the handler still runs, the cancel handler must not start.
  EXPECT_FALSE(cancels.waitFor(1, std::chrono::milliseconds(50)));
  release.open();
  ASSERT_TRUE(cancels.waitFor(1));
  q->barrierSync([] {});  // everything submitted to q so far has finished
  EXPECT_TRUE(returnedBeforeCancelHandler);
  EXPECT_EQ(runsAfterCancel.load(), 0);
  EXPECT_EQ(cancels.value(), 1);
  EXPECT_EQ(cancelLabel, "cancel.running");
}

TEST(SourceCancel, CancelFromInsideTheHandlerStopsFurtherEvents) {
  auto q = Queue::createSerial("cancel.inside");
  auto timer = Source::createTimer(q);
  std::atomic<int> handlerRuns{0};
  Counter cancels;
  std::atomic<int> runsAtCancel{-1};
  timer->setEventHandler([&] {
    handlerRuns.fetch_add(1);
    timer->cancel();
  });
  timer->setCancelHandler([&] {
    runsAtCancel = handlerRuns.load();
    cancels.add();
  });
  timer->setTimer(0.0, 0.001);
  timer->resume();
  ASSERT_TRUE(cancels.waitFor(1));
  // Let a few more timer periods pass, then look: nothing more may have run.
  Counter later;
  q->after(0.03, [&] { later.add(); });
  ASSERT_TRUE(later.waitFor(1));
  EXPECT_EQ(runsAtCancel.load(), 1);
  EXPECT_EQ(handlerRuns.load(), 1);
  EXPECT_EQ(cancels.value(), 1);
}

// Cancelling a suspended source: never resumed, or suspended with an event pending.
class CancelWhileSuspended : public ::testing::TestWithParam<bool> {};

TEST_P(CancelWhileSuspended, RunsTheCancelHandlerButNoEventHandler) {
  const bool withPendingEvent = GetParam();
  auto q = Queue::createSerial("cancel.suspended");
  auto timer = Source::createTimer(q);
  std::atomic<int> handlerRuns{0};
  Counter cancels;
  timer->setEventHandler([&] { handlerRuns.fetch_add(1); });
  timer->setCancelHandler([&] { cancels.add(); });
  if (withPendingEvent) {
    Counter fired;
    auto probe = Source::createTimer(q);  // same deadline, resumed: shows the time passed
    probe->setEventHandler([&] { fired.add(); });
    const TimePoint when = Clock::now() + std::chrono::milliseconds(5);
    timer->setTimer(when, kForever);
    probe->setTimer(when + std::chrono::milliseconds(5), kForever);
    probe->resume();
    ASSERT_TRUE(fired.waitFor(1));
  }
  timer->cancel();
  ASSERT_TRUE(cancels.waitFor(1));
  flush(q);
  EXPECT_EQ(handlerRuns.load(), 0);
  EXPECT_EQ(cancels.value(), 1);
}

INSTANTIATE_TEST_SUITE_P(NeverResumedOrPending, CancelWhileSuspended, ::testing::Bool());

TEST(SourceCancel, DroppingTheLastReferenceCancels) {
  auto q = Queue::createSerial("cancel.drop");
  Counter cancels;
  {
    auto timer = Source::createTimer(q);
    timer->setCancelHandler([&] { cancels.add(); });
    timer->setTimer(0.0, 0.001);
    timer->resume();
  }
  EXPECT_TRUE(cancels.waitFor(1));
}

TEST(SourceCancel, ReadAndWriteSourcesCloseTheirSharedDescriptorInTheLastCancelHandler) {
  SocketPair pair;
  ASSERT_GE(pair.a, 0);
  auto q = Queue::createSerial("cancel.fd");
  auto reader = Source::createRead(pair.a, q);
  auto writer = Source::createWrite(pair.a, q);
  Counter reads;
  Counter closed;
  int remaining = 2;  // on q
  const int fd = pair.a;
  auto cancelHandler = [&] {
    if (--remaining == 0) {
      close(fd);
      closed.add();
    }
  };
  reader->setEventHandler([&] {
    char buffer[8];
    (void)read(fd, buffer, sizeof buffer);
    reads.add();
  });
  reader->setCancelHandler(cancelHandler);
  writer->setEventHandler([&] { writer->suspend(); });
  writer->setCancelHandler(cancelHandler);
  reader->resume();
  writer->resume();
  writeAll(pair.b, "x");
  ASSERT_TRUE(reads.waitFor(1));
  writer->cancel();
  reader->cancel();
  ASSERT_TRUE(closed.waitFor(1));
  pair.a = -1;
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  // The peer sees the close.
  char c;
  EXPECT_EQ(read(pair.b, &c, 1), 0);
}

// ---- timers

TEST(TimerSource, OneShotFiresOnceNoEarlierThanItsStart) {
  auto q = Queue::createSerial("timer.once");
  auto timer = Source::createTimer(q);
  Counter fired;
  std::vector<unsigned long> data;
  const auto start = Clock::now();
  TimePoint firedAt;
  timer->setEventHandler([&] {
    firedAt = Clock::now();
    data.push_back(timer->data());
    fired.add();
  });
  timer->setTimer(0.02, kForever);
  timer->resume();
  ASSERT_TRUE(fired.waitFor(1));
  Counter later;
  q->after(0.06, [&] { later.add(); });
  ASSERT_TRUE(later.waitFor(1));
  q->sync([&] {
    EXPECT_EQ(data, (std::vector<unsigned long>{1}));
    EXPECT_GE(firedAt - start, std::chrono::milliseconds(20));
  });
}

TEST(TimerSource, RepeatsAtItsIntervalAndCanBeReArmed) {
  auto q = Queue::createSerial("timer.repeat");
  auto timer = Source::createTimer(q);
  Counter fired;
  unsigned long firings = 0;  // on q
  timer->setEventHandler([&] {
    firings += timer->data();
    fired.add();
  });
  const auto start = Clock::now();
  timer->setTimer(0.01, 0.01);
  timer->resume();
  ASSERT_TRUE(fired.waitFor(5));
  const auto elapsed = Clock::now() - start;
  q->sync([&] { EXPECT_GE(firings, 5u); });
  EXPECT_GE(elapsed, std::chrono::milliseconds(50));

  // Re-arming replaces the schedule: far in the future, then soon again.
  q->sync([&] { timer->setTimer(1000.0, kForever); });
  const int before = fired.value();
  timer->setTimer(0.01, kForever);
  EXPECT_TRUE(fired.waitFor(before + 1));
  timer->cancel();
  flush(q);
}

TEST(TimerSource, SuspensionIsCountedAndFiringsMeanwhileCoalesce) {
  auto q = Queue::createSerial("timer.suspend");
  auto timer = Source::createTimer(q);
  Counter fired;
  std::vector<unsigned long> data;  // on q
  timer->setEventHandler([&] {
    data.push_back(timer->data());
    fired.add();
  });
  timer->setTimer(0.0, 0.002);
  timer->resume();
  timer->resume();  // below zero: ignored, so one suspend still stops it
  ASSERT_TRUE(fired.waitFor(1));

  auto waitOnQueue = [&](double seconds) {
    Counter passed;
    q->after(seconds, [&] { passed.add(); });
    ASSERT_TRUE(passed.waitFor(1));
  };
  size_t stoppedAt = 0;
  q->sync([&] {
    timer->suspend();
    timer->suspend();
    stoppedAt = data.size();
  });
  waitOnQueue(0.03);
  timer->resume();  // still suspended once
  waitOnQueue(0.03);
  q->sync([&] { EXPECT_EQ(data.size(), stoppedAt); });
  timer->resume();
  ASSERT_TRUE(fired.waitFor(static_cast<int>(stoppedAt) + 1));
  q->sync([&] {
    ASSERT_GT(data.size(), stoppedAt);
    EXPECT_GE(data[stoppedAt], 10u);  // about 30 firings of 60 ms went into one delivery
  });
  timer->cancel();
  flush(q);
}

// ---- file watch

class FileWatch : public ::testing::TestWithParam<bool> {};

TEST_P(FileWatch, ReportsDeletionAndRenamingOfTheOpenFile) {
  const bool rename = GetParam();
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() /
                       ("dispatch-watch-" + std::to_string(getpid()) + (rename ? "-r" : "-d"));
  fs::create_directories(dir);
  const fs::path file = dir / "log.txt";
  const int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);

  auto q = Queue::createSerial("watch");
  auto watch = Source::createFileWatch(fd, q);
  std::atomic<unsigned long> bits{0};
  Counter events;
  watch->setEventHandler([&] {
    bits |= watch->data();
    events.add();
  });
  watch->resume();
  flush(q);
  if (rename) {
    fs::rename(file, dir / "moved.txt");
  } else {
    fs::remove(file);
  }
  ASSERT_TRUE(events.waitFor(1));
  EXPECT_EQ(bits.load(), rename ? Source::kFileRename : Source::kFileDelete);
  watch->cancel();
  flush(q);
  close(fd);
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(DeleteOrRename, FileWatch, ::testing::Bool());

}  // namespace
}  // namespace corvane::platform::dispatch
