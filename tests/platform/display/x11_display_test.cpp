#include "platform/display/linux/x11_display.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <utility>

#include "display_test_support.h"
#include "support/xvfb.h"

namespace corvane::platform::display {
namespace {

using test::FrameSink;

constexpr video::OSType k420v = video::kPixelFormat420YpCbCr8BiPlanarVideoRange;
constexpr double kDeadline = 20.0;
constexpr double kQuietPeriod = 0.4;

// Waits until a frame shows `want` at (x, y): changes may take more than one frame to show.
bool waitForColour(FrameSink& sink, int x, int y, const test::Yuv& want, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    const std::size_t seen = sink.frames();
    if (auto surface = sink.lastSurface();
        surface && test::near(test::sampleAt(*surface, x, y), want)) {
      return true;
    }
    const double left =
        std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0 || !sink.waitForFrames(seen + 1, left)) return false;
  }
}

class X11DisplayTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server_ = corvane::test::Xvfb::start(&reason_);
    if (server_ && !server_->addMode(1920, 1080)) reason_ = "xrandr could not add a mode";
  }
  static void TearDownTestSuite() { server_.reset(); }

  void SetUp() override {
    if (!server_) GTEST_SKIP() << "no Xvfb: " << reason_;
    display = X11Display::open(server_->display());
    ASSERT_NE(display, nullptr) << "the X11 backend opens " << server_->display();
  }

  DisplayStreamRef makeStream(FrameSink& sink, int width, int height, bool showCursor = false) {
    DisplayStreamProperties properties;
    properties.showCursor = showCursor;
    properties.queueDepth = 8;
    return display->createDisplayStream(display->mainDisplayID(), width, height, k420v, properties,
                                        queue, sink.handler());
  }

  static std::unique_ptr<corvane::test::Xvfb> server_;
  static std::string reason_;
  std::shared_ptr<X11Display> display;
  dispatch::QueuePtr queue = dispatch::Queue::createSerial("x11_display_test");
};

std::unique_ptr<corvane::test::Xvfb> X11DisplayTest::server_;
std::string X11DisplayTest::reason_;

TEST_F(X11DisplayTest, DescribesThePrimaryOutputAndItsModes) {
  EXPECT_EQ(display->backendName(), "X11");
  const DirectDisplayID id = display->mainDisplayID();
  ASSERT_NE(id, 0u);
  const Rect bounds = display->displayBounds(id);
  EXPECT_EQ(bounds.size.width, 2560);
  EXPECT_EQ(bounds.size.height, 1440);
  const auto modes = display->copyAllDisplayModes(id);
  auto has = [&](int w, int h) {
    return std::any_of(modes.begin(), modes.end(),
                       [&](const DisplayMode& m) { return m.width == w && m.height == h; });
  };
  EXPECT_TRUE(has(2560, 1440));
  EXPECT_TRUE(has(1920, 1080));
  std::vector<DirectDisplayID> ids;
  EXPECT_EQ(display->getActiveDisplayList(10, &ids), kDisplayErrorSuccess);
  EXPECT_NE(std::find(ids.begin(), ids.end(), id), ids.end());
  EXPECT_TRUE(display->copyAllDisplayModes(0).empty());
  EXPECT_EQ(display->createDisplayStream(0, 64, 64, k420v, {}, queue, [](auto, auto, auto&) {}),
            nullptr);
}

TEST_F(X11DisplayTest, FramesArriveWhenAWindowIsDrawnAndNoneWhileIdle) {
  FrameSink sink(queue);
  auto stream = makeStream(sink, 1280, 720);
  ASSERT_NE(stream, nullptr);
  ASSERT_EQ(stream->start(), kDisplayErrorSuccess);
  ASSERT_TRUE(sink.waitForFrames(1, kDeadline)) << "the first frame follows the start";
  EXPECT_FALSE(sink.waitForFrames(2, kQuietPeriod)) << "an idle screen delivers nothing";

  const std::size_t before = sink.frames();
  corvane::test::TestWindow window(server_->display(), 200, 200, 600, 400, 0xFF0000, "red");
  ASSERT_TRUE(window.isOpen());
  ASSERT_TRUE(sink.waitForFrames(before + 1, kDeadline)) << "drawing delivers a frame";
  // Scaled by one half: the window's middle (500, 400) is at (250, 200).
  EXPECT_TRUE(waitForColour(sink, 250, 200, test::expectedYuv(255, 0, 0), kDeadline));
  EXPECT_TRUE(test::near(test::sampleAt(*sink.lastSurface(), 50, 50), test::expectedYuv(0, 0, 0)));

  const std::size_t drawn = sink.frames();
  EXPECT_FALSE(sink.waitForFrames(drawn + 1, kQuietPeriod)) << "idle again";
  stream->stop();
  ASSERT_TRUE(sink.waitForStopped(kDeadline));
  EXPECT_TRUE(sink.calls().back().onQueue);
}

TEST_F(X11DisplayTest, CapturedPixelsMatchTheDrawnColours) {
  struct Case {
    const char* what;
    std::uint32_t rgb;
  };
  const Case cases[] = {
      {"green", 0x00FF00}, {"blue", 0x0000FF}, {"grey", 0x808080}, {"orange", 0xFF8000}};
  corvane::test::TestWindow window(server_->display(), 100, 100, 400, 300, 0x000000, "colours");
  ASSERT_TRUE(window.isOpen());
  FrameSink sink(queue);
  auto stream = makeStream(sink, 2560, 1440);
  ASSERT_EQ(stream->start(), kDisplayErrorSuccess);
  ASSERT_TRUE(sink.waitForFrames(1, kDeadline));
  for (const Case& c : cases) {
    window.fill(c.rgb);
    const auto want =
        test::expectedYuv(static_cast<int>(c.rgb >> 16), (c.rgb >> 8) & 0xFF, c.rgb & 0xFF);
    EXPECT_TRUE(waitForColour(sink, 300, 250, want, kDeadline)) << c.what;
    const auto got = test::sampleAt(*sink.lastSurface(), 300, 250);
    EXPECT_TRUE(test::near(got, want))
        << c.what << ": Y " << got.y << "/" << want.y << " Cb " << got.cb << "/" << want.cb
        << " Cr " << got.cr << "/" << want.cr;
    // Outside the window the black root stays black.
    EXPECT_TRUE(
        test::near(test::sampleAt(*sink.lastSurface(), 1000, 1000), test::expectedYuv(0, 0, 0)));
    sink.dropSurfaces();
  }
  stream->stop();
  ASSERT_TRUE(sink.waitForStopped(kDeadline));
}

TEST_F(X11DisplayTest, TheCursorIsInTheFrameWhenShown) {
  corvane::test::TestWindow window(server_->display(), 0, 0, 800, 600, 0x0000FF, "cursor");
  ASSERT_TRUE(window.isOpen());
  window.warpPointer(400, 300);
  auto blue = test::expectedYuv(0, 0, 255);
  // Pixels around the pointer that are not the window's blue.
  auto marked = [&](const video::Surface& surface) {
    int count = 0;
    for (int y = 280; y < 320; ++y) {
      for (int x = 380; x < 420; ++x) count += !test::near(test::sampleAt(surface, x, y), blue, 8);
    }
    return count;
  };
  for (bool showCursor : {false, true}) {
    FrameSink sink(queue);
    auto stream = makeStream(sink, 2560, 1440, showCursor);
    ASSERT_EQ(stream->start(), kDisplayErrorSuccess);
    ASSERT_TRUE(sink.waitForFrames(1, kDeadline));
    const int count = marked(*sink.lastSurface());
    if (showCursor) {
      EXPECT_GT(count, 10) << "the cursor image is composited at the pointer";
    } else {
      EXPECT_EQ(count, 0) << "no cursor unless asked";
    }
    stream->stop();
    ASSERT_TRUE(sink.waitForStopped(kDeadline));
  }
}

TEST_F(X11DisplayTest, PointerIsReadOnTheRootWindowFromTheBottomLeft) {
  corvane::test::TestWindow window(server_->display(), 0, 0, 200, 200, 0x00FF00, "pointer");
  ASSERT_TRUE(window.isOpen());
  const Rect bounds = display->displayBounds(display->mainDisplayID());
  ASSERT_GT(bounds.size.height, 0);
  for (const auto& [x, y] : {std::pair{400, 300}, std::pair{0, 0}, std::pair{1000, 700}}) {
    window.warpPointer(x, y);
    const auto pointer = display->mouseLocation();
    ASSERT_TRUE(pointer.has_value());
    EXPECT_EQ(pointer->x, x - bounds.origin.x);
    EXPECT_EQ(pointer->y, bounds.origin.y + bounds.size.height - y);
  }
}

TEST_F(X11DisplayTest, AnUntitledWindowReadsAsAnEmptyTitle) {
  // Window titles are never hidden on X11: the window list has a readable (empty) title for a
  // window without one, as for a window manager's frame.
  corvane::test::TestWindow window(server_->display(), 300, 200, 50, 40, 0x112233, "");
  ASSERT_TRUE(window.isOpen());
  const auto windows = display->copyWindowInfo(kWindowListOptionOnScreenOnly, kNullWindowID);
  auto found = std::find_if(windows.begin(), windows.end(), [](const WindowInfo& info) {
    return info.bounds.origin.x == 300 && info.bounds.origin.y == 200 &&
           info.bounds.size.width == 50;
  });
  ASSERT_NE(found, windows.end());
  EXPECT_EQ(found->name, std::optional<std::string>(""));
}

TEST_F(X11DisplayTest, WindowListAndScreenImage) {
  corvane::test::TestWindow window(server_->display(), 40, 60, 100, 80, 0x336699, "Named window");
  ASSERT_TRUE(window.isOpen());
  const auto windows = display->copyWindowInfo(kWindowListOptionOnScreenOnly, kNullWindowID);
  auto found = std::find_if(windows.begin(), windows.end(), [](const WindowInfo& info) {
    return info.name && *info.name == "Named window";
  });
  ASSERT_NE(found, windows.end());
  EXPECT_EQ(found->ownerName, "CorvaneTest");
  EXPECT_TRUE(found->isOnscreen);
  EXPECT_EQ(found->bounds.origin.x, 40);
  EXPECT_EQ(found->bounds.size.width, 100);

  auto image = display->createScreenImage(Rect{{50, 70}, {1, 1}});
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(image->width(), 1);
  image->lockBaseAddress(video::kLockReadOnly);
  EXPECT_EQ(image->baseAddress()[0], 0x99);  // B
  EXPECT_EQ(image->baseAddress()[1], 0x66);  // G
  EXPECT_EQ(image->baseAddress()[2], 0x33);  // R
  image->unlockBaseAddress(video::kLockReadOnly);
  EXPECT_EQ(display->createScreenImage(Rect{{-5, -5}, {2, 2}}), nullptr);
}

TEST_F(X11DisplayTest, ModeChangeIsSeenByTheServiceAndARunningStream) {
  FrameSink sink(queue);
  auto stream = makeStream(sink, 640, 360);
  ASSERT_EQ(stream->start(), kDisplayErrorSuccess);
  ASSERT_TRUE(sink.waitForFrames(1, kDeadline));
  ASSERT_TRUE(server_->setMode(1920, 1080));
  EXPECT_EQ(display->displayBounds(display->mainDisplayID()).size.width, 1920);
  ASSERT_TRUE(sink.waitForFrames(2, kDeadline)) << "the resize delivers a frame";
  {
    corvane::test::TestWindow window(server_->display(), 0, 0, 1920, 1080, 0xFFFFFF, "white");
    ASSERT_TRUE(sink.waitForFrames(3, kDeadline));
  }
  ASSERT_TRUE(server_->setMode(2560, 1440));
  EXPECT_EQ(display->displayBounds(display->mainDisplayID()).size.width, 2560);
  stream->stop();
  ASSERT_TRUE(sink.waitForStopped(kDeadline));
}

}  // namespace
}  // namespace corvane::platform::display

namespace corvane::platform::display {
namespace {

// A server that goes away must not end the process (Xlib's default handlers would): the
// stream stops as usual and the service answers that there is no display.
TEST(X11DisplayLostServer, StreamAndServiceSurviveTheServerGoingAway) {
  std::string reason;
  auto server = corvane::test::Xvfb::start(&reason);
  if (!server) GTEST_SKIP() << "no Xvfb: " << reason;
  auto display = X11Display::open(server->display());
  ASSERT_NE(display, nullptr);
  auto queue = dispatch::Queue::createSerial("x11_lost_server_test");
  FrameSink sink(queue, false);
  auto stream = display->createDisplayStream(display->mainDisplayID(), 320, 180, k420v, {}, queue,
                                             sink.handler());
  ASSERT_EQ(stream->start(), kDisplayErrorSuccess);
  ASSERT_TRUE(sink.waitForFrames(1, kDeadline));
  server.reset();  // the server ends
  EXPECT_EQ(display->mainDisplayID(), 0u);
  EXPECT_TRUE(display->copyWindowInfo(kWindowListOptionAll, kNullWindowID).empty());
  stream->stop();
  EXPECT_TRUE(sink.waitForStopped(kDeadline));
}

}  // namespace
}  // namespace corvane::platform::display

namespace corvane::platform::display {
namespace {

// The application's choice: the X11 backend when DISPLAY opens, else the simulated display.
TEST(DisplayServiceDefault, TakesX11WhenADisplayOpensElseTheSimulatedOne) {
  std::string reason;
  auto server = corvane::test::Xvfb::start(&reason);
  if (!server) GTEST_SKIP() << "no Xvfb: " << reason;
  // NOLINTBEGIN(concurrency-mt-unsafe): no other thread reads the environment here
  const char* previous = std::getenv("DISPLAY");
  const std::string saved = previous != nullptr ? previous : "";
  setenv("DISPLAY", server->display().c_str(), 1);
  EXPECT_EQ(DisplayService::openDefault()->backendName(), "X11");
  setenv("DISPLAY", ":4321", 1);  // no server there
  EXPECT_EQ(DisplayService::openDefault()->backendName(), "simulated");
  unsetenv("DISPLAY");
  EXPECT_EQ(DisplayService::openDefault()->backendName(), "simulated");
  if (previous != nullptr) setenv("DISPLAY", saved.c_str(), 1);
  // NOLINTEND(concurrency-mt-unsafe)
}

}  // namespace
}  // namespace corvane::platform::display
