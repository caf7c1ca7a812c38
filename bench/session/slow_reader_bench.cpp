// A receiver that reads the video connection at a tenth of the stream's rate: mirroring
// 1920x1080 at 25 frames per second of busy changing content from the simulated display, the
// stream's rate is measured for 10 s of normal reading, then the receiver reads at a tenth of
// it for 30 s while the process's resident memory is sampled every 0.5 s. Reports the peak
// against the memory before the slow phase, the encoded-video queue's fullest count, and the
// drops the link logged; then the receiver reads at full speed again and the stream must
// recover.
// Usage: slow_reader_bench [slow seconds, default 30]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench_session.h"
#include "platform/display/sim/sim_display.h"
#include "platform/log/log.h"
#include "process_sample.h"

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::string_view kVideoDrop = "unable to send video data.";

// Counts the link's video drop lines and keeps the first few (the log's sink runs one call at
// a time on the logging thread).
struct DropLog {
  std::mutex mutex;
  size_t drops = 0;
  std::vector<std::string> first;
  std::string last;

  static void sink(std::string_view line, void* context) {
    auto* self = static_cast<DropLog*>(context);
    if (line.size() < kVideoDrop.size() ||
        line.substr(line.size() - kVideoDrop.size()) != kVideoDrop) {
      return;
    }
    std::lock_guard<std::mutex> lock(self->mutex);
    ++self->drops;
    if (self->first.size() < 3) self->first.emplace_back(line);
    self->last = line;
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return drops;
  }
};

double secondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

int run(double slowSeconds) {
  const std::string root = std::filesystem::temp_directory_path() / "corvane-slow-reader-bench";
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root + "/home");
  setenv("HOME", (root + "/home").c_str(), 1);  // NOLINT(concurrency-mt-unsafe)

  DropLog dropLog;
  platform::log::setSink(&DropLog::sink, &dropLog);
  auto sim = platform::display::SimDisplay::create({{1920, 1080, 60}});
  sim->setAnimating(0.04);
  bench::BusyContent busy(sim);
  test::TestReceiverOptions options;
  options.keepMediaRecords = false;
  bench::Session session;
  if (!bench::startSession(session, sim, root, std::move(options))) {
    platform::log::setSink(nullptr, nullptr);
    std::fprintf(stderr, "the session did not start\n");
    return 2;
  }
  auto& receiver = *session.receiver;

  // The stream's own rate, read at full speed.
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const auto s0 = receiver.snapshot();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(10));
  const auto s1 = receiver.snapshot();
  const double streamRate =
      static_cast<double>(s1[test::Channel::Video].bytesIn - s0[test::Channel::Video].bytesIn) /
      secondsSince(t0);
  const double packetRate = static_cast<double>(s1.videoPackets - s0.videoPackets) /
                            secondsSince(t0);
  const long baseKb = bench::residentKb();
  const size_t dropsBefore = dropLog.count();

  // A tenth of it.
  receiver.setReadRate(test::Channel::Video, streamRate / 10);
  const auto slowFrom = Clock::now();
  long peakKb = baseKb;
  uint64_t fullestQueue = 0;
  std::vector<std::pair<double, long>> trace;  // every 5 s of the slow phase
  while (secondsSince(slowFrom) < slowSeconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long kb = bench::residentKb();
    peakKb = std::max(peakKb, kb);
    if (trace.empty() || secondsSince(slowFrom) >= trace.back().first + 5.0)
      trace.emplace_back(secondsSince(slowFrom), kb);
    if (auto handler = session.channel->mediaHandler())
      fullestQueue = std::max(fullestQueue, handler->videoOutputQueue()->count());
  }
  const double slowElapsed = secondsSince(slowFrom);
  const auto s2 = receiver.snapshot();
  const size_t slowDrops = dropLog.count() - dropsBefore;

  // Full speed again: the stream must come back.
  receiver.setReadRate(test::Channel::Video, 0);
  const uint64_t packetsThen = receiver.snapshot().videoPackets;
  const auto resumedAt = Clock::now();
  const bool recovered = receiver.waitFor(
      [&](const test::ReceiverState& st) { return st.videoPackets >= packetsThen + 50; }, 30.0);
  const double recoverySeconds = secondsSince(resumedAt);
  bench::stopSession(session);
  platform::log::setSink(nullptr, nullptr);

  std::printf("slow reader: 1920x1080, 25 fps of busy changing content\n");
  std::printf("  stream at full speed        %.0f bytes/s, %.1f video packets/s\n", streamRate,
              packetRate);
  std::printf("  receiver read rate          %.0f bytes/s for %.1f s\n", streamRate / 10,
              slowElapsed);
  std::printf("  received while slow         %.0f bytes/s, %.1f video packets/s\n",
              static_cast<double>(s2[test::Channel::Video].bytesIn -
                                  s1[test::Channel::Video].bytesIn) /
                  slowElapsed,
              static_cast<double>(s2.videoPackets - s1.videoPackets) / slowElapsed);
  std::printf("  resident memory before      %ld kB\n", baseKb);
  std::printf("  resident memory peak        %ld kB (+%ld kB)\n", peakKb, peakKb - baseKb);
  std::printf("  resident memory while slow ");
  for (const auto& [at, kb] : trace) std::printf(" %.0fs:%ld", at, kb);
  std::printf(" (kB)\n");
  std::printf("  encoded-video queue fullest %llu of %lld\n",
              static_cast<unsigned long long>(fullestQueue),
              static_cast<long long>(SWMediaHandler::kQueueCapacity));
  std::printf("  \"%s\" lines   %zu while slow (%.2f per second)\n",
              std::string(kVideoDrop).c_str(), slowDrops,
              static_cast<double>(slowDrops) / slowElapsed);
  {
    std::lock_guard<std::mutex> lock(dropLog.mutex);
    for (const auto& line : dropLog.first) std::printf("    %s\n", line.c_str());
    if (dropLog.drops > dropLog.first.size()) std::printf("    ...\n    %s\n", dropLog.last.c_str());
  }
  std::printf("  full speed again            %s after %.1f s\n",
              recovered ? "50 more video packets" : "NO RECOVERY", recoverySeconds);
  return recovered ? 0 : 1;
}

}  // namespace
}  // namespace corvane

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::strtod(argv[1], nullptr) : 30.0;
  return corvane::run(seconds > 0 ? seconds : 30.0);
}
