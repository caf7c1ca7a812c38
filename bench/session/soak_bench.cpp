// Soak run (not part of CI): mirroring 1920x1080 at 25 frames per second of changing content
// from the simulated display to the test receiver (in this process, records off so that it
// holds no growing state), sampling the process's resident memory, descriptors and threads
// every 10 s. After the first minute none of them may grow: memory within 5 MB of the
// one-minute sample, descriptors and threads not above it.
// Usage: soak_bench [seconds, default 600] [sample interval in seconds, default 10]
// Exit status 0 when nothing grew, 1 when something did, 2 when the session did not start.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench_session.h"
#include "platform/display/sim/sim_display.h"
#include "process_sample.h"

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

constexpr long kMemorySlackKb = 5L * 1024;
constexpr double kSettleSeconds = 60.0;

int run(double seconds, double interval) {
  const std::string root = std::filesystem::temp_directory_path() / "corvane-soak-bench";
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root + "/home");
  setenv("HOME", (root + "/home").c_str(), 1);  // NOLINT(concurrency-mt-unsafe)

  auto sim = platform::display::SimDisplay::create({{1920, 1080, 60}});
  sim->setAnimating(0.04);
  test::TestReceiverOptions options;
  options.keepMediaRecords = false;
  bench::Session session;
  if (!bench::startSession(session, sim, root, std::move(options))) {
    std::fprintf(stderr, "the session did not start\n");
    return 2;
  }

  std::printf("soak: 1920x1080, 25 fps of changing content, %.0f s, a sample every %.0f s\n",
              seconds, interval);
  std::printf("%8s %10s %6s %8s %12s %12s %10s\n", "t (s)", "RSS (kB)", "fds", "threads",
              "video pkts", "audio pkts", "video MB");
  struct Row {
    double at;
    bench::ProcessSample sample;
  };
  std::vector<Row> rows;
  const auto t0 = Clock::now();
  for (int i = 0;; ++i) {
    const auto due = t0 + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(interval * i));
    std::this_thread::sleep_until(due);
    const double at = std::chrono::duration<double>(Clock::now() - t0).count();
    const auto sample = bench::sampleProcess();
    const auto state = session.receiver->snapshot();
    rows.push_back({at, sample});
    std::printf("%8.1f %10ld %6zu %8zu %12llu %12llu %10.1f\n", at, sample.residentKb,
                sample.descriptors, sample.threads,
                static_cast<unsigned long long>(state.videoPackets),
                static_cast<unsigned long long>(state.audioPackets),
                static_cast<double>(state[test::Channel::Video].bytesIn) / 1e6);
    std::fflush(stdout);
    if (at >= seconds) break;
  }
  const auto before = session.receiver->snapshot();
  bench::stopSession(session);

  // The reference: the first sample at or after the first minute.
  const auto ref = std::find_if(rows.begin(), rows.end(),
                                [](const Row& r) { return r.at >= kSettleSeconds - 0.5; });
  if (ref == rows.end()) {
    std::printf("run shorter than the first minute: no verdict\n");
    return 0;
  }
  long maxRss = 0;
  size_t maxFds = 0;
  size_t maxThreads = 0;
  for (auto r = ref; r != rows.end(); ++r) {
    maxRss = std::max(maxRss, r->sample.residentKb);
    maxFds = std::max(maxFds, r->sample.descriptors);
    maxThreads = std::max(maxThreads, r->sample.threads);
  }
  const bool memoryOk = maxRss - ref->sample.residentKb <= kMemorySlackKb;
  const bool fdsOk = maxFds <= ref->sample.descriptors;
  const bool threadsOk = maxThreads <= ref->sample.threads;
  std::printf(
      "memory: RSS after the first minute (%.0f s) %ld kB, at the end (%.0f s) %ld kB, later "
      "peak %ld kB (growth %ld kB, limit %ld): %s\n",
      ref->at, ref->sample.residentKb, rows.back().at, rows.back().sample.residentKb, maxRss,
      maxRss - ref->sample.residentKb, kMemorySlackKb, memoryOk ? "ok" : "GREW");
  std::printf("descriptors %zu, later peak %zu: %s\n", ref->sample.descriptors, maxFds,
              fdsOk ? "ok" : "GREW");
  std::printf("threads %zu, later peak %zu: %s\n", ref->sample.threads, maxThreads,
              threadsOk ? "ok" : "GREW");
  std::printf("received: %llu video packets (%.1f per second), %zu receiver errors\n",
              static_cast<unsigned long long>(before.videoPackets),
              static_cast<double>(before.videoPackets) / rows.back().at, before.errors.size());
  const auto after = bench::sampleProcess();
  std::printf("after the session ended: RSS %ld kB, %zu descriptors, %zu threads\n",
              after.residentKb, after.descriptors, after.threads);
  return memoryOk && fdsOk && threadsOk ? 0 : 1;
}

}  // namespace
}  // namespace corvane

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::strtod(argv[1], nullptr) : 600.0;
  const double interval = argc > 2 ? std::strtod(argv[2], nullptr) : 10.0;
  return corvane::run(seconds > 0 ? seconds : 600.0, interval > 0 ? interval : 10.0);
}
