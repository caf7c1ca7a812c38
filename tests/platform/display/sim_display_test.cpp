#include "platform/display/sim/sim_display.h"

#include <gtest/gtest.h>

#include <thread>

#include "display_test_support.h"

namespace corvane::platform::display {
namespace {

using test::FrameSink;

constexpr video::OSType k420v = video::kPixelFormat420YpCbCr8BiPlanarVideoRange;
// How long a test watches for frames that must not come.
constexpr double kQuietPeriod = 0.3;
constexpr double kDeadline = 10.0;

class SimDisplayTest : public ::testing::Test {
 protected:
  std::shared_ptr<SimDisplay> display = SimDisplay::create({{320, 240, 60}, {640, 480, 60}});
  dispatch::QueuePtr queue = dispatch::Queue::createSerial("sim_display_test");
  FrameSink sink{queue};

  DisplayStreamRef makeStream(DisplayStreamProperties properties = {}, int width = 320,
                              int height = 240) {
    return display->createDisplayStream(display->mainDisplayID(), width, height, k420v, properties,
                                        queue, sink.handler());
  }
};

TEST_F(SimDisplayTest, DescribesItsDisplayAndLosesIt) {
  EXPECT_EQ(display->mainDisplayID(), SimDisplay::kSimDisplayID);
  const Rect bounds = display->displayBounds(SimDisplay::kSimDisplayID);
  EXPECT_EQ(bounds.size.width, 320);
  EXPECT_EQ(bounds.size.height, 240);
  EXPECT_EQ(display->copyAllDisplayModes(SimDisplay::kSimDisplayID).size(), 2u);
  std::vector<DirectDisplayID> ids;
  EXPECT_EQ(display->getActiveDisplayList(10, &ids), kDisplayErrorSuccess);
  EXPECT_EQ(ids, std::vector<DirectDisplayID>{SimDisplay::kSimDisplayID});
  EXPECT_EQ(display->getActiveDisplayList(10, nullptr), kDisplayErrorIllegalArgument);

  display->setMainDisplayPresent(false);
  EXPECT_EQ(display->mainDisplayID(), 0u);
  EXPECT_TRUE(display->copyAllDisplayModes(SimDisplay::kSimDisplayID).empty());
  EXPECT_EQ(display->getActiveDisplayList(10, &ids), kDisplayErrorSuccess);
  EXPECT_TRUE(ids.empty());
  EXPECT_EQ(makeStream(), nullptr);
}

TEST_F(SimDisplayTest, RefusesBadStreamArguments) {
  struct Case {
    const char* what;
    DirectDisplayID id;
    int width;
    int height;
    video::OSType format;
  };
  const Case cases[] = {
      {"unknown display", 77, 320, 240, k420v},
      {"zero size", SimDisplay::kSimDisplayID, 0, 0, k420v},
      {"negative size", SimDisplay::kSimDisplayID, -2, 240, k420v},
      {"huge size", SimDisplay::kSimDisplayID, 1 << 20, 240, k420v},
      {"other format", SimDisplay::kSimDisplayID, 320, 240, video::kPixelFormat32BGRA},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(
        display->createDisplayStream(c.id, c.width, c.height, c.format, {}, queue, sink.handler()),
        nullptr)
        << c.what;
  }
  EXPECT_EQ(display->createDisplayStream(SimDisplay::kSimDisplayID, 320, 240, k420v, {}, nullptr,
                                         sink.handler()),
            nullptr);
  display->failNextStreamCreations(1);
  EXPECT_EQ(makeStream(), nullptr);
  auto stream = makeStream();
  ASSERT_NE(stream, nullptr);
  stream.reset();  // never started: still reports Stopped, which the sink must outlive
  ASSERT_TRUE(sink.waitForStopped(kDeadline));
}

TEST_F(SimDisplayTest, DeliversAFrameOnStartAndOnEachChangeOnly) {
  auto stream = makeStream();
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(sink.frames(), 0u) << "nothing before start";
  ASSERT_EQ(stream->start(), kDisplayErrorSuccess);
  ASSERT_TRUE(sink.waitForFrames(1, kDeadline));
  // An unchanged screen delivers nothing.
  EXPECT_FALSE(sink.waitForFrames(2, kQuietPeriod));
  display->fill(255, 0, 0);
  ASSERT_TRUE(sink.waitForFrames(2, kDeadline));
  EXPECT_FALSE(sink.waitForFrames(3, kQuietPeriod));
  for (const auto& call : sink.calls()) EXPECT_TRUE(call.onQueue);

  auto surface = sink.lastSurface();
  ASSERT_NE(surface, nullptr);
  EXPECT_EQ(surface->width(), 320);
  EXPECT_EQ(surface->pixelFormat(), k420v);
  EXPECT_TRUE(test::near(test::sampleAt(*surface, 100, 100), test::expectedYuv(255, 0, 0)));
  stream->stop();
  ASSERT_TRUE(sink.waitForStopped(kDeadline));
}

TEST_F(SimDisplayTest, StoppedIsTheLastCallAndAStoppedStreamStaysStopped) {
  auto stream = makeStream();
  ASSERT_EQ(stream->start(), kDisplayErrorSuccess);
  display->setAnimating(0.002);
  ASSERT_TRUE(sink.waitForFrames(3, kDeadline));
  stream->stop();
  ASSERT_TRUE(sink.waitForStopped(kDeadline));
  const std::size_t calls = sink.calls().size();
  display->fill(1, 2, 3);
  EXPECT_FALSE(sink.waitForFrames(calls + 1, kQuietPeriod));
  display->setAnimating(0);
  const auto all = sink.calls();
  EXPECT_EQ(all.size(), calls);
  EXPECT_EQ(all.back().status, DisplayStreamFrameStatus::Stopped);
  EXPECT_EQ(all.back().surface, nullptr);
  EXPECT_TRUE(all.back().onQueue);
  for (std::size_t i = 0; i + 1 < all.size(); ++i) {
    EXPECT_EQ(all[i].status, DisplayStreamFrameStatus::FrameComplete);
  }
  EXPECT_NE(stream->start(), kDisplayErrorSuccess);
  EXPECT_EQ(stream->stop(), kDisplayErrorSuccess);
}

TEST_F(SimDisplayTest, MinimumFrameTimeCapsTheRate) {
  FrameSink counting(queue, false);
  DisplayStreamProperties properties;
  properties.minimumFrameTime = 0.05;
  auto stream = display->createDisplayStream(display->mainDisplayID(), 320, 240, k420v, properties,
                                             queue, counting.handler());
  ASSERT_EQ(stream->start(), kDisplayErrorSuccess);
  display->setAnimating(0.002);  // far faster than the cap
  ASSERT_TRUE(counting.waitForFrames(8, kDeadline));
  display->setAnimating(0);
  stream->stop();
  ASSERT_TRUE(counting.waitForStopped(kDeadline));
  const auto calls = counting.calls();
  for (std::size_t i = 1; i + 1 < calls.size(); ++i) {
    // The stream's own frame times: handler arrival times may bunch by scheduling delay.
    const double gap = static_cast<double>(calls[i].displayTime - calls[i - 1].displayTime) / 1e9;
    EXPECT_GE(gap, 0.05) << "frame " << i;
  }
}

TEST_F(SimDisplayTest, HoldsBackWhileQueueDepthSurfacesAreOut) {
  DisplayStreamProperties properties;
  properties.queueDepth = 2;
  auto stream = makeStream(properties);
  ASSERT_EQ(stream->start(), kDisplayErrorSuccess);
  ASSERT_TRUE(sink.waitForFrames(1, kDeadline));
  display->fill(10, 10, 10);
  ASSERT_TRUE(sink.waitForFrames(2, kDeadline));
  display->fill(20, 20, 20);
  // Both surfaces are still held by the sink: the third frame waits.
  EXPECT_FALSE(sink.waitForFrames(3, kQuietPeriod));
  sink.dropSurfaces();
  ASSERT_TRUE(sink.waitForFrames(3, kDeadline)) << "the pending change follows once one is free";
  auto last = sink.lastSurface();
  EXPECT_TRUE(test::near(test::sampleAt(*last, 5, 5), test::expectedYuv(20, 20, 20)));
  stream->stop();
  ASSERT_TRUE(sink.waitForStopped(kDeadline));
}

TEST_F(SimDisplayTest, ScalesToTheStreamSizeAndDrawsTheCursorWhenAsked) {
  display->fill(0, 0, 255);
  display->setCursorPosition(100, 100);
  for (bool showCursor : {false, true}) {
    FrameSink local(queue);
    DisplayStreamProperties properties;
    properties.showCursor = showCursor;
    auto stream = display->createDisplayStream(display->mainDisplayID(), 640, 480, k420v,
                                               properties, queue, local.handler());
    ASSERT_EQ(stream->start(), kDisplayErrorSuccess);
    ASSERT_TRUE(local.waitForFrames(1, kDeadline));
    auto surface = local.lastSurface();
    ASSERT_EQ(surface->width(), 640);
    ASSERT_EQ(surface->height(), 480);
    // Content pixel (100..112 at display scale) doubled: the cursor's white inside at ~212.
    const auto inside = test::sampleAt(*surface, 212, 212);
    const auto away = test::sampleAt(*surface, 400, 400);
    EXPECT_TRUE(test::near(away, test::expectedYuv(0, 0, 255)));
    EXPECT_EQ(test::near(inside, test::expectedYuv(255, 255, 255), 6), showCursor)
        << "cursor shown: " << showCursor << " Y=" << inside.y;
    stream->stop();
    ASSERT_TRUE(local.waitForStopped(kDeadline));
  }
}

TEST_F(SimDisplayTest, PointerFollowsTheCursorCountedFromTheBottomLeft) {
  struct Case {
    int x, y;
    double wantX, wantY;
  } cases[] = {{0, 0, 0, 240}, {100, 40, 100, 200}, {319, 239, 319, 1}};
  for (const Case& c : cases) {
    display->setCursorPosition(c.x, c.y);
    const auto pointer = display->mouseLocation();
    ASSERT_TRUE(pointer.has_value());
    EXPECT_EQ(pointer->x, c.wantX);
    EXPECT_EQ(pointer->y, c.wantY);
  }
  display->setMainDisplayPresent(false);
  EXPECT_FALSE(display->mouseLocation().has_value());
}

TEST_F(SimDisplayTest, WindowListAndScreenImage) {
  WindowInfo named;
  named.number = 5;
  named.ownerName = "Owner";
  named.name = "Title";
  named.isOnscreen = true;
  WindowInfo hidden = named;
  hidden.number = 6;
  hidden.isOnscreen = false;
  display->setWindows({named, hidden});
  EXPECT_EQ(display->copyWindowInfo(kWindowListOptionAll, kNullWindowID).size(), 2u);
  auto visible = display->copyWindowInfo(kWindowListOptionOnScreenOnly, kNullWindowID);
  ASSERT_EQ(visible.size(), 1u);
  EXPECT_EQ(visible[0].number, 5u);

  display->fill(10, 20, 30);
  auto image = display->createScreenImage(Rect{{0, 0}, {1, 1}});
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->width(), 1);
  EXPECT_EQ(image->pixelFormatType(), video::kPixelFormat32BGRA);
  image->lockBaseAddress(video::kLockReadOnly);
  EXPECT_EQ(image->baseAddress()[0], 30);
  EXPECT_EQ(image->baseAddress()[2], 10);
  image->unlockBaseAddress(video::kLockReadOnly);
  EXPECT_EQ(display->createScreenImage(Rect{{-10, -10}, {5, 5}}), nullptr);
}

TEST_F(SimDisplayTest, AStreamStoppedBeforeItStartedStillReportsStopped) {
  auto stream = makeStream();
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(stream->stop(), kDisplayErrorSuccess);
  ASSERT_TRUE(sink.waitForStopped(kDeadline));
  EXPECT_EQ(sink.calls().size(), 1u);
  EXPECT_NE(stream->start(), kDisplayErrorSuccess);
}

TEST_F(SimDisplayTest, DroppingARunningStreamStopsIt) {
  auto stream = makeStream();
  ASSERT_EQ(stream->start(), kDisplayErrorSuccess);
  ASSERT_TRUE(sink.waitForFrames(1, kDeadline));
  stream.reset();
  ASSERT_TRUE(sink.waitForStopped(kDeadline));
}

}  // namespace
}  // namespace corvane::platform::display
