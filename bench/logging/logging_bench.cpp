// Throughput of asynchronous logging through the facility to the console logger, against a
// plain fprintf to standard error. Standard error is /dev/null for the whole run, so both
// measure the cost of producing and writing lines, not of a terminal.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "logging/dd_log.h"
#include "logging/dd_tty_logger.h"

namespace {

using corvane::DDLog;

// Messages per second. Each iteration queues a batch of messages and flushes, so the time
// counted covers writing every message, not only queueing it.
constexpr int kBatch = 10000;

void BM_AsyncLogToConsoleLogger(benchmark::State& state) {
  static const bool added = [] {
    DDLog::addLogger(corvane::DDTTYLogger::sharedInstance());
    DDLog::flushLog();
    return true;
  }();
  (void)added;
  int i = 0;
  for (auto _ : state) {
    for (int n = 0; n < kBatch; ++n) {
      DDLog::log(true, corvane::DDLogLevelAll, corvane::DDLogFlagInfo, 0, __FILE__, __func__,
                 __LINE__, std::nullopt, "benchmark message %d", i++);
    }
    DDLog::flushLog();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_AsyncLogToConsoleLogger)->UseRealTime()->MinTime(2.0);

void BM_FprintfStderr(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) {
    for (int n = 0; n < kBatch; ++n) {
      std::fprintf(stderr, "benchmark message %d\n", i++);
    }
    std::fflush(stderr);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_FprintfStderr)->UseRealTime()->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  int devNull = ::open("/dev/null", O_WRONLY);
  if (devNull < 0 || ::dup2(devNull, STDERR_FILENO) < 0) {
    std::perror("/dev/null");
    return 1;
  }
  ::close(devNull);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
