// Speed of the dispatch layer: empty blocks through one serial queue, the delay from a byte
// arriving on a socket pair to its read source's handler, one-shot timer lateness, and a
// semaphore round trip between two threads.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"

namespace {

using namespace corvane::platform::dispatch;

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const size_t index =
      std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
  return values[index];
}

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Empty blocks submitted from one thread to one serial queue; one `sync` per batch waits
// for them all.
void BM_SerialQueueAsyncEmptyBlocks(benchmark::State& state) {
  const auto blocks = state.range(0);
  auto q = Queue::createSerial("bench.serial");
  q->sync([] {});  // the queue's first worker is up
  for (auto _ : state) {
    for (int64_t i = 0; i < blocks; ++i) q->async([] {});
    q->sync([] {});
  }
  state.SetItemsProcessed(state.iterations() * blocks);
}
BENCHMARK(BM_SerialQueueAsyncEmptyBlocks)
    ->Arg(100000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// One byte written on a socket pair; the time until the read source's handler starts.
void BM_ReadSourceLatency(benchmark::State& state) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
  auto q = Queue::createSerial("bench.read");
  auto source = Source::createRead(fds[0], q);
  std::mutex mutex;
  std::condition_variable cv;
  bool fired = false;
  TimePoint handlerStart;
  source->setEventHandler([&] {
    const TimePoint now = Clock::now();
    char byte;
    (void)read(fds[0], &byte, 1);
    std::lock_guard<std::mutex> lock(mutex);
    handlerStart = now;
    fired = true;
    cv.notify_one();
  });
  source->resume();
  std::vector<double> latencies;
  latencies.reserve(20000);
  for (auto _ : state) {
    const TimePoint sent = Clock::now();
    if (write(fds[1], "x", 1) != 1) {
      state.SkipWithError("write failed");
      break;
    }
    std::unique_lock<std::mutex> lock(mutex);
    if (!cv.wait_for(lock, std::chrono::seconds(5), [&] { return fired; })) {
      state.SkipWithError("the handler did not run");
      break;
    }
    fired = false;
    latencies.push_back(micros(handlerStart - sent));
  }
  source->cancel();
  q->sync([] {});
  close(fds[0]);
  close(fds[1]);
  state.counters["median_us"] = percentile(latencies, 0.5);
  state.counters["p99_us"] = percentile(latencies, 0.99);
}
BENCHMARK(BM_ReadSourceLatency)->Iterations(20000)->UseRealTime()->Unit(benchmark::kMicrosecond);

// A one-shot timer 2 ms ahead with a given leeway (µs); lateness of its handler's start.
void BM_OneShotTimerLateness(benchmark::State& state) {
  const double leeway = static_cast<double>(state.range(0)) * 1e-6;
  auto q = Queue::createSerial("bench.timer");
  auto timer = Source::createTimer(q);
  std::mutex mutex;
  std::condition_variable cv;
  bool fired = false;
  TimePoint firedAt;
  timer->setEventHandler([&] {
    const TimePoint now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    firedAt = now;
    fired = true;
    cv.notify_one();
  });
  timer->resume();
  std::vector<double> lateness;
  for (auto _ : state) {
    const TimePoint due = Clock::now() + std::chrono::milliseconds(2);
    timer->setTimer(due, kForever, leeway);
    std::unique_lock<std::mutex> lock(mutex);
    if (!cv.wait_for(lock, std::chrono::seconds(5), [&] { return fired; })) {
      state.SkipWithError("the timer did not fire");
      break;
    }
    fired = false;
    lateness.push_back(micros(firedAt - due));
  }
  timer->cancel();
  q->sync([] {});
  state.counters["median_late_us"] = percentile(lateness, 0.5);
  state.counters["p99_late_us"] = percentile(lateness, 0.99);
  state.counters["max_late_us"] = percentile(lateness, 1.0);
  state.counters["leeway_us"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_OneShotTimerLateness)
    ->Arg(0)
    ->Arg(1000)
    ->Arg(10000)
    ->Iterations(500)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

// A round trip between two threads through two semaphores: `signal` on one, `wait` on the
// other and back. Timed waits (no polling) show the cost of the wake-up itself.
void BM_SemaphorePingPong(benchmark::State& state) {
  const double timeout = state.range(0) != 0 ? 10.0 : kForever;
  Semaphore ping;
  Semaphore pong;
  std::atomic<bool> stop{false};
  std::thread partner([&] {
    while (ping.wait(timeout) && !stop.load(std::memory_order_relaxed)) pong.signal();
  });
  for (auto _ : state) {
    ping.signal();
    pong.wait(timeout);
  }
  stop = true;
  ping.signal();
  partner.join();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SemaphorePingPong)
    ->ArgName("timed")
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
