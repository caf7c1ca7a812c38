#include "media/sw_video_recorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <thread>
#include <utility>
#include <vector>

#include "media/media_packet.h"
#include "media/sw_time_utils.h"
#include "media_test_support.h"
#include "platform/display/sim/sim_display.h"
#include "platform/foundation/notification_center.h"

namespace corvane {
namespace {

namespace display = platform::display;
using display::DisplayMode;
using display::SimDisplay;

constexpr double kDeadline = 20.0;

// Polls `done` every 5 ms until it holds or `seconds` have passed (for states that have no
// event of their own, such as a queue's count).
template <typename Predicate>
bool waitFor(Predicate done, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Wraps the simulated display to see what the recorder asks of it and when its streams
// report to the recorder.
class WatchedDisplay : public display::DisplayService {
 public:
  explicit WatchedDisplay(std::shared_ptr<SimDisplay> inner) : inner_(std::move(inner)) {}

  std::atomic<int> mainDisplayCalls{0};
  std::atomic<int> handlerCalls{0};
  // The media clock (as in frame timestamps) when the last frame reached the recorder's
  // handler: before the recorder takes the frame's time for its re-send wait.
  std::atomic<std::uint32_t> lastSurfaceArrivedAt{0};
  std::atomic<int> stoppedDelivered{0};
  std::atomic<int> lastStreamWidth{0};
  std::atomic<int> lastStreamHeight{0};
  std::atomic<bool> lastShowCursor{false};
  std::atomic<double> lastMinimumFrameTime{0};
  // Runs (once) right after the next stream was made.
  std::function<void()> onStreamMade;

  std::string backendName() const override { return inner_->backendName(); }
  display::DirectDisplayID mainDisplayID() override {
    mainDisplayCalls.fetch_add(1);
    return inner_->mainDisplayID();
  }
  display::Rect displayBounds(display::DirectDisplayID id) override {
    return inner_->displayBounds(id);
  }
  std::vector<DisplayMode> copyAllDisplayModes(display::DirectDisplayID id) override {
    return inner_->copyAllDisplayModes(id);
  }
  int getActiveDisplayList(std::uint32_t max, std::vector<display::DirectDisplayID>* ids) override {
    return inner_->getActiveDisplayList(max, ids);
  }
  display::DisplayStreamRef createDisplayStream(
      display::DirectDisplayID id, int width, int height, platform::video::OSType format,
      const display::DisplayStreamProperties& properties, platform::dispatch::QueuePtr queue,
      display::DisplayStreamFrameAvailableHandler handler) override {
    lastStreamWidth = width;
    lastStreamHeight = height;
    lastShowCursor = properties.showCursor;
    lastMinimumFrameTime = properties.minimumFrameTime;
    auto made = inner_->createDisplayStream(
        id, width, height, format, properties, std::move(queue),
        [this, handler](display::DisplayStreamFrameStatus status, std::uint64_t time,
                        const platform::video::SurfaceRef& surface) {
          handlerCalls.fetch_add(1);
          if (surface) {
            lastSurfaceArrivedAt = static_cast<std::uint32_t>(
                SWTimeUtils::singleton()->getCurrentTimeStamp() & 0xFFFFFFFF);
          }
          // Counted before the recorder sees it, so that a recorder that returned before this
          // point is caught.
          if (status == display::DisplayStreamFrameStatus::Stopped) stoppedDelivered.fetch_add(1);
          handler(status, time, surface);
        });
    if (made && onStreamMade) std::exchange(onStreamMade, nullptr)();
    return made;
  }
  std::vector<display::WindowInfo> copyWindowInfo(std::uint32_t options,
                                                  display::WindowID relative) override {
    return inner_->copyWindowInfo(options, relative);
  }
  platform::video::PixelBufferRef createScreenImage(const display::Rect& bounds) override {
    return inner_->createScreenImage(bounds);
  }

 private:
  std::shared_ptr<SimDisplay> inner_;
};

// Takes the recorder's frame items off the raw-video queue in place of the encoder.
class FrameTaker {
 public:
  struct Taken {
    std::uint32_t timestamp;
    bool keyframe;
    const platform::video::PixelBuffer* buffer;
    int width;
    int height;
  };

  explicit FrameTaker(std::shared_ptr<RawVideoQueue> queue) : queue_(std::move(queue)) {
    thread_ = std::thread([this] { run(); });
  }
  ~FrameTaker() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    thread_.join();
  }
  void setTaking(bool taking) {
    std::lock_guard<std::mutex> lock(mutex_);
    taking_ = taking;
  }
  bool waitForCount(std::size_t count, double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.notify_all();
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                             [&] { return taken_.size() >= count; });
  }
  std::vector<Taken> taken() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return taken_;
  }

  bool waitUntilKeyframe(double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
      return std::any_of(taken_.begin(), taken_.end(), [](const Taken& t) { return t.keyframe; });
    });
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!done_) {
      if (!taking_) {
        // Paused: the queue stays full meanwhile.
        changed_.wait_for(lock, std::chrono::milliseconds(5));
        continue;
      }
      lock.unlock();
      auto item = queue_->take(0.01);
      lock.lock();
      if (!item) continue;
      taken_.push_back(Taken{item->timestamp, item->keyframe, item->buffer.get(),
                             item->buffer->width(), item->buffer->height()});
      changed_.notify_all();
    }
  }

  std::shared_ptr<RawVideoQueue> queue_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Taken> taken_;
  bool taking_ = true;
  bool done_ = false;
  std::thread thread_;
};

class VideoRecorderTest : public ::testing::Test {
 protected:
  void SetUp() override { build({{320, 180, 60}}); }

  // A recorder on a display with `modes`, whose raw frames the test takes itself.
  void build(std::vector<DisplayMode> modes, std::int64_t rawCapacity = 3) {
    taker.reset();
    sim = SimDisplay::create(std::move(modes));
    watched = std::make_shared<WatchedDisplay>(sim);
    recorder = SWVideoRecorder::create(watched);
    raw = RawVideoQueue::initWithCapacity(rawCapacity);
    encoded = EncodedVideoQueue::initWithCapacity(3);
    encoded->setDestroyBlock(
        [](const EncodedVideoQueue::Item& box) { freeMediaPacket(box->pointer); });
    recorder->setVideoOutputBuffer(raw);
    recorder->setEncodedVideoBuffer(encoded);
    recorder->setTargetFrameRate(25);
    // The encoder reads from a queue of its own, so that every frame item stays for the test.
    recorder->encoder()->setRawVideoInput(idle);
    taker = std::make_unique<FrameTaker>(raw);
  }

  void TearDown() override {
    recorder->endRecorder();
    taker.reset();
  }

  std::shared_ptr<RawVideoQueue> idle = RawVideoQueue::initWithCapacity(1);
  std::shared_ptr<SimDisplay> sim;
  std::shared_ptr<WatchedDisplay> watched;
  std::shared_ptr<SWVideoRecorder> recorder;
  std::shared_ptr<RawVideoQueue> raw;
  std::shared_ptr<EncodedVideoQueue> encoded;
  std::unique_ptr<FrameTaker> taker;
};

TEST_F(VideoRecorderTest, StreamIsMadeAtTheLargestModeWithTheCaptureProperties) {
  struct Case {
    std::vector<DisplayMode> modes;
    int width;
    int height;
  };
  const Case cases[] = {
      {{{1920, 1080, 60}, {1920, 1200, 60}, {2560, 1440, 60}}, 2560, 1440},
      {{{1920, 1080, 60}, {1920, 1200, 60}}, 1920, 1200},
      {{{1920, 1200, 60}, {1920, 1080, 60}}, 1920, 1200},
      {{{2560, 1440, 60}, {1920, 1080, 60}, {1280, 720, 60}}, 2560, 1440},
  };
  for (const Case& c : cases) {
    build(c.modes);
    const display::Size largest = recorder->getLargestResolution();
    EXPECT_EQ(largest.width, c.width);
    EXPECT_EQ(largest.height, c.height);
    recorder->beginRecorder();
    ASSERT_TRUE(taker->waitForCount(1, kDeadline));
    EXPECT_EQ(watched->lastStreamWidth.load(), c.width);
    EXPECT_EQ(watched->lastStreamHeight.load(), c.height);
    EXPECT_EQ(taker->taken().front().width, c.width);
    EXPECT_EQ(taker->taken().front().height, c.height);
    EXPECT_TRUE(watched->lastShowCursor.load()) << "the settings store's mouseAlone is NO";
    EXPECT_DOUBLE_EQ(watched->lastMinimumFrameTime.load(), 1.0 / 25);
    recorder->endRecorder();
  }
}

TEST_F(VideoRecorderTest, PostsTheDisplaySizeWhenTheStreamIsMade) {
  auto center = platform::NotificationCenter::defaultCenter();
  std::mutex mutex;
  std::vector<display::Size> posted;
  const auto token =
      center->addObserver(kSystemResolutionDidChange, [&](const platform::Notification& note) {
        std::lock_guard<std::mutex> lock(mutex);
        auto size = std::static_pointer_cast<display::Size>(note.object);
        if (size) posted.push_back(*size);
      });
  recorder->beginRecorder();
  center->removeObserver(token);
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].width, 320);
  EXPECT_EQ(posted[0].height, 180);
}

// A still screen: one real frame, then re-sends of it from 60 ms on, 50 of them, then nothing
// until the screen changes.
TEST_F(VideoRecorderTest, StillScreenGetsFiftyResendsOfTheLastFrame) {
  recorder->beginRecorder();
  // Fifty re-send attempts; on a machine so loaded that the taker falls behind, a refused
  // attempt counts too (and holds the next one back), so at most 51 frames arrive.
  ASSERT_TRUE(waitFor([&] { return recorder->staticFrameCount() == 50; }, kDeadline));
  ASSERT_TRUE(waitFor([&] { return raw->count() == 0; }, kDeadline));
  // 15 timer ticks without any further frame.
  const std::size_t arrived = taker->taken().size();
  EXPECT_FALSE(taker->waitForCount(arrived + 1, 0.3));
  const auto taken = taker->taken();
  ASSERT_GE(taken.size(), 2u);
  ASSERT_LE(taken.size(), 51u);
  for (std::size_t i = 1; i < taken.size(); ++i) {
    EXPECT_EQ(taken[i].buffer, taken[0].buffer) << "re-send " << i << " is the same frame";
  }
  // Counted from the real frame's arrival, not from its timestamp: the recorder may be held up
  // between taking the frame's time and stamping it. Timestamps are whole milliseconds:
  // allow one for the truncation.
  EXPECT_GE(taken[1].timestamp - watched->lastSurfaceArrivedAt.load(), 59u)
      << "re-sends start after 60 ms";
  EXPECT_EQ(recorder->staticFrameCount(), 50);

  sim->fill(200, 0, 0);
  const std::size_t n = taken.size();
  ASSERT_TRUE(taker->waitForCount(n + 2, kDeadline));
  const auto after = taker->taken();
  EXPECT_NE(after[n].buffer, taken[0].buffer) << "a real frame follows the change";
  EXPECT_EQ(after[n + 1].buffer, after[n].buffer) << "and re-sends start over";
}

TEST_F(VideoRecorderTest, KeyFrameRequestOnAStillScreenMarksTheNextResend) {
  recorder->beginRecorder();
  ASSERT_TRUE(waitFor([&] { return recorder->staticFrameCount() == 50; }, kDeadline));
  ASSERT_TRUE(waitFor([&] { return raw->count() == 0; }, kDeadline));
  const std::size_t n = taker->taken().size();
  EXPECT_FALSE(taker->waitForCount(n + 1, 0.1));
  recorder->setNeedsKeyFrame(true);
  ASSERT_TRUE(taker->waitForCount(n + 2, kDeadline));
  const auto taken = taker->taken();
  EXPECT_FALSE(taken[0].keyframe);
  EXPECT_TRUE(taken[n].keyframe) << "the re-send after the request carries the flag";
  EXPECT_EQ(taken[n].buffer, taken[0].buffer);
  EXPECT_FALSE(taken[n + 1].keyframe) << "the flag clears once a frame was accepted";
  EXPECT_FALSE(recorder->needsKeyFrame());
}

TEST_F(VideoRecorderTest, KeyFrameRequestStaysPendingWhileFramesAreRefused) {
  taker->setTaking(false);
  recorder->beginRecorder();
  ASSERT_TRUE(waitFor([&] { return raw->count() == 3; }, kDeadline)) << "the queue fills up";
  auto attempts = [&] {
    std::uint8_t count = 0;
    recorder->recorderQueue()->sync([&] { count = recorder->staticFrameCount(); });
    return count;
  };
  ASSERT_TRUE(waitFor([&] { return attempts() >= 3; }, kDeadline)) << "re-sends are refused";
  recorder->setNeedsKeyFrame(true);
  // While the request is pending every step resets the count first, so a count of 1 now is a
  // re-send tried (and refused) with the flag set.
  ASSERT_TRUE(waitFor([&] { return attempts() == 1; }, kDeadline));
  EXPECT_TRUE(recorder->needsKeyFrame()) << "a refused frame does not answer the request";
  taker->setTaking(true);
  ASSERT_TRUE(taker->waitUntilKeyframe(kDeadline));
  EXPECT_TRUE(waitFor([&] { return !recorder->needsKeyFrame(); }, kDeadline));
}

TEST_F(VideoRecorderTest, RefusedResendHoldsFurtherResendsBackFortyMilliseconds) {
  build({{320, 180, 60}}, 1);
  taker->setTaking(false);
  recorder->beginRecorder();
  // The real frame fills the queue of one; from then on every re-send is refused. Each refusal
  // waits 20 ms in the queue and then holds the next attempt back 40 ms: at most one attempt
  // per 60 ms (without the hold-back one per 20 ms).
  auto countNow = [&] {
    std::uint8_t count = 0;
    recorder->recorderQueue()->sync([&] { count = recorder->staticFrameCount(); });
    return count;
  };
  // Waits for the attempts themselves, as long as a slow machine needs for them, and then
  // compares their number with the time they took.
  ASSERT_TRUE(waitFor([&] { return countNow() >= 1; }, kDeadline)) << "re-sends are still tried";
  const auto start = std::chrono::steady_clock::now();
  const int first = countNow();
  // Up to the count at which re-sending stops.
  const int target = std::min(first + 5, SWVideoRecorder::kMaxStaticFrames + 1);
  ASSERT_TRUE(waitFor([&] { return countNow() >= target; }, kDeadline));
  const int last = countNow();
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LE(last - first, static_cast<int>(elapsed / 0.06) + 1)
      << (last - first) << " attempts in " << elapsed << " s";
  EXPECT_EQ(raw->count(), 1u);
}

TEST_F(VideoRecorderTest, EndReturnsOnlyAfterTheStoppedStatusAndNoFrameFollows) {
  recorder->beginRecorder();
  sim->setAnimating(0.005);
  ASSERT_TRUE(taker->waitForCount(5, kDeadline));
  recorder->endRecorder();
  EXPECT_EQ(watched->stoppedDelivered.load(), 1);
  EXPECT_FALSE(recorder->hasDisplayStream());
  const int calls = watched->handlerCalls.load();
  const std::size_t frames = taker->taken().size();
  // Changes after the end reach no handler, and the still-picture step has nothing to re-send.
  EXPECT_FALSE(taker->waitForCount(frames + 2, 0.3));
  sim->setAnimating(0);
  EXPECT_EQ(watched->handlerCalls.load(), calls);
  EXPECT_LE(taker->taken().size(), frames + 1) << "at most one item was still on its way";
}

TEST_F(VideoRecorderTest, NoMainDisplayMakesBeginRetryEvery100Milliseconds) {
  sim->setMainDisplayPresent(false);
  std::atomic<bool> begun{false};
  const auto start = std::chrono::steady_clock::now();
  std::thread begin([&] {
    recorder->beginRecorder();
    begun = true;
  });
  // Three tries, however long a slow machine takes for them; not more than one per 100 ms.
  EXPECT_TRUE(waitFor([&] { return watched->mainDisplayCalls.load() >= 3; }, kDeadline));
  EXPECT_FALSE(begun.load());
  const int calls = watched->mainDisplayCalls.load();
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LE(calls, static_cast<int>(elapsed / 0.1) + 1) << calls << " tries in " << elapsed;
  EXPECT_EQ(sim->streamsCreated(), 0);
  sim->setMainDisplayPresent(true);
  ASSERT_TRUE(taker->waitForCount(1, kDeadline));
  begin.join();
  EXPECT_TRUE(begun.load());
  EXPECT_EQ(sim->streamsCreated(), 1);
}

TEST_F(VideoRecorderTest, FailedStreamCreationIsRetriedToo) {
  sim->failNextStreamCreations(2);
  recorder->beginRecorder();
  EXPECT_EQ(sim->streamsCreated(), 1);
  ASSERT_TRUE(taker->waitForCount(1, kDeadline));
}

TEST_F(VideoRecorderTest, EndRecorderEndsABeginThatStillRetries) {
  sim->setMainDisplayPresent(false);
  std::thread begin([&] { recorder->beginRecorder(); });
  // Once the begin asks for the display it is retrying; an end then makes it return.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (watched->mainDisplayCalls.load() < 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_GE(watched->mainDisplayCalls.load(), 1);
  recorder->endRecorder();
  begin.join();  // returns instead of retrying for ever
  EXPECT_FALSE(recorder->hasDisplayStream());
  sim->setMainDisplayPresent(true);
  EXPECT_FALSE(taker->waitForCount(1, 0.2));
}

// An end that arrives while the begin has made its stream but not started it yet: the stream
// that never ran still reports stopped, so the end does not wait for ever.
TEST_F(VideoRecorderTest, EndBetweenStreamCreationAndStartReturns) {
  std::promise<void> ended;
  std::thread end;
  watched->onStreamMade = [&] {
    end = std::thread([&] {
      recorder->endRecorder();
      ended.set_value();
    });
  };
  recorder->beginRecorder();
  auto done = ended.get_future();
  EXPECT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  if (end.joinable()) end.join();
  EXPECT_FALSE(recorder->hasDisplayStream());
  EXPECT_EQ(watched->stoppedDelivered.load(), 1);
}

TEST_F(VideoRecorderTest, SecondBeginAfterEndWorks) {
  recorder->beginRecorder();
  ASSERT_TRUE(taker->waitForCount(2, kDeadline));
  recorder->endRecorder();
  const std::size_t before = taker->taken().size();
  recorder->beginRecorder();
  ASSERT_TRUE(taker->waitForCount(before + 2, kDeadline)) << "frames and re-sends again";
  EXPECT_EQ(sim->streamsCreated(), 2);
  EXPECT_EQ(watched->stoppedDelivered.load(), 1);
  recorder->endRecorder();
  EXPECT_EQ(watched->stoppedDelivered.load(), 2);
}

TEST_F(VideoRecorderTest, PacketsGoToTheEncodedQueueOrAreFreed) {
  const std::uint8_t nal[] = {0, 0, 0, 1, 0x65, 1, 2, 3};
  recorder->onOutputMediaData(createVideoPacket(nal, 7));
  ASSERT_EQ(encoded->count(), 1u);
  auto box = encoded->take(0);
  ASSERT_TRUE(box);
  EXPECT_EQ(mediaPacketKind(box->pointer), kMediaPacketKindVideo);
  freeMediaPacket(box->pointer);
  // A stopped queue refuses, and with no queue at all the packet has nowhere to go: freed
  // either way (the leak checker of the sanitizer builds sees it).
  encoded->stopBlocking();
  recorder->onOutputMediaData(createVideoPacket(nal, 8));
  encoded.reset();
  recorder->onOutputMediaData(createVideoPacket(nal, 9));
  recorder->onOutputMediaData(nullptr);
}

TEST_F(VideoRecorderTest, ItemsLeftInTheRawQueueReleaseTheirFrames) {
  taker->setTaking(false);
  recorder->beginRecorder();
  recorder->endRecorder();
  ASSERT_GE(raw->count(), 1u);
  auto left = raw->elementAt(0);
  std::weak_ptr<platform::video::PixelBuffer> frame = left->buffer;
  raw->clear();
  EXPECT_EQ(left->buffer, nullptr) << "the clean-up block dropped the item's buffer";
  left.reset();
  recorder->recorderQueue()->sync([] {});  // the previous frame is cleared there
  EXPECT_TRUE(frame.expired());
}

// The whole road on the simulated display: frames through the software encoder into the
// encoded-video queue, a key-frame request answered by an IDR picture.
TEST(VideoRecorderPipeline, EncodesCapturedFramesIntoTheEncodedQueue) {
  auto sim = SimDisplay::create({{640, 360, 60}});
  auto recorder = SWVideoRecorder::create(sim);
  auto raw = RawVideoQueue::initWithCapacity(3);
  auto encoded = EncodedVideoQueue::initWithCapacity(3);
  // As the media handler does: packets left in the queue are freed with it.
  encoded->setDestroyBlock(
      [](const EncodedVideoQueue::Item& box) { freeMediaPacket(box->pointer); });
  recorder->setVideoOutputBuffer(raw);
  recorder->setEncodedVideoBuffer(encoded);
  recorder->setTargetFrameRate(25);
  recorder->beginRecorder();
  sim->setAnimating(0.04);
  bool sawSps = false;
  bool sawIdrAfterRequest = false;
  bool requested = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int packets = 0;
  while (std::chrono::steady_clock::now() < deadline && !sawIdrAfterRequest) {
    auto box = encoded->take(0.1);
    if (!box) continue;
    ++packets;
    const auto wire = mediaPacketWire(box->pointer);
    // The NAL unit follows the 28-byte head with a 4- or 3-byte start code.
    int type = -1;
    if (wire.size() > 32 && wire[30] == 0 && wire[31] == 1) type = wire[32] & 0x1f;
    if (wire.size() > 31 && wire[28] == 0 && wire[29] == 0 && wire[30] == 1) {
      type = wire[31] & 0x1f;
    }
    if (type == 7) sawSps = true;
    if (requested && type == 5) sawIdrAfterRequest = true;
    freeMediaPacket(box->pointer);
    if (packets == 20) {
      recorder->setNeedsKeyFrame(true);
      requested = true;
    }
  }
  sim->setAnimating(0);
  recorder->endRecorder();
  EXPECT_TRUE(sawSps);
  EXPECT_TRUE(sawIdrAfterRequest);
}

}  // namespace
}  // namespace corvane
