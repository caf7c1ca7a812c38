// The screen capture on a real X server: frames captured from Xvfb, encoded by the software
// encoder, decoded by FFmpeg back to the colour that was drawn.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "media/media_packet.h"
#include "media/sw_video_recorder.h"
#include "media_test_support.h"
#include "platform/display/linux/x11_display.h"
#include "support/xvfb.h"

namespace corvane {
namespace {

namespace display = platform::display;

// Collects the Annex B stream from the encoded-video queue on a thread of its own.
class StreamCollector {
 public:
  explicit StreamCollector(std::shared_ptr<EncodedVideoQueue> queue) : queue_(std::move(queue)) {
    thread_ = std::thread([this] {
      while (!done_.load()) {
        auto box = queue_->take(0.05);
        if (!box) continue;
        const auto wire = mediaPacketWire(box->pointer);
        {
          std::lock_guard<std::mutex> lock(mutex_);
          if (wire.size() > 28) stream_.insert(stream_.end(), wire.begin() + 28, wire.end());
          ++packets_;
        }
        freeMediaPacket(box->pointer);
      }
    });
  }
  ~StreamCollector() { finish(); }
  void finish() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
  }
  int packets() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return packets_;
  }
  std::vector<std::uint8_t> stream() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stream_;
  }

 private:
  std::shared_ptr<EncodedVideoQueue> queue_;
  mutable std::mutex mutex_;
  std::vector<std::uint8_t> stream_;
  int packets_ = 0;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

TEST(VideoRecorderOnXvfb, CapturedFramesEncodeAndDecodeToTheDrawnColour) {
  if (!test::haveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  std::string reason;
  auto server = test::Xvfb::start(&reason);
  if (!server) GTEST_SKIP() << "no Xvfb: " << reason;
  ASSERT_TRUE(server->addMode(1920, 1080));
  auto x11 = display::X11Display::open(server->display());
  ASSERT_NE(x11, nullptr);

  auto recorder = SWVideoRecorder::create(x11);
  auto raw = RawVideoQueue::initWithCapacity(3);
  auto encoded = EncodedVideoQueue::initWithCapacity(3);
  recorder->setVideoOutputBuffer(raw);
  recorder->setEncodedVideoBuffer(encoded);
  recorder->setTargetFrameRate(25);
  StreamCollector collector(encoded);
  recorder->beginRecorder();

  // A screen-filling window in a colour well inside the video range.
  constexpr std::uint32_t kColour = 0x2080C0;
  test::TestWindow window(server->display(), 0, 0, 2560, 1440, kColour, "fill");
  ASSERT_TRUE(window.isOpen());
  // The screen is still from here: the re-sends keep frames (of the window) coming.
  const int drawnAt = collector.packets();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (collector.packets() < drawnAt + 30 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  recorder->endRecorder();
  collector.finish();
  ASSERT_GE(collector.packets(), drawnAt + 30);

  test::TempFolder folder;
  const std::string input = folder.file("capture.h264");
  const std::string output = folder.file("capture.yuv");
  test::writeFile(input, collector.stream());
  const auto decoded = test::runProcess({"ffmpeg", "-nostdin", "-v", "error", "-f", "h264", "-i",
                                         input, "-f", "rawvideo", "-pix_fmt", "yuv420p", output});
  ASSERT_EQ(decoded.exitCode, 0) << decoded.output;
  std::ifstream file(output, std::ios::binary);
  const std::vector<std::uint8_t> yuv((std::istreambuf_iterator<char>(file)),
                                      std::istreambuf_iterator<char>());
  // 2560x1440 captured, encoded at 1920x1072.
  constexpr std::size_t kWidth = 1920;
  constexpr std::size_t kHeight = 1072;
  constexpr std::size_t kFrame = kWidth * kHeight * 3 / 2;
  ASSERT_GE(yuv.size(), kFrame);
  ASSERT_EQ(yuv.size() % kFrame, 0u);
  const std::uint8_t* last = yuv.data() + yuv.size() - kFrame;
  // A quarter into the picture (the pointer sits in the middle of a new Xvfb screen).
  const std::size_t x = kWidth / 4;
  const std::size_t row = kHeight / 4;
  const int y = last[row * kWidth + x];
  const int cb = last[kWidth * kHeight + (row / 2) * (kWidth / 2) + x / 2];
  const int cr = last[kWidth * kHeight * 5 / 4 + (row / 2) * (kWidth / 2) + x / 2];
  // BT.601 video range of (0x20, 0x80, 0xC0).
  const double r = 0x20, g = 0x80, b = 0xC0;
  const int wantY = static_cast<int>(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255 + 0.5);
  const int wantCb = static_cast<int>(128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255 + 0.5);
  const int wantCr = static_cast<int>(128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255 + 0.5);
  EXPECT_NEAR(y, wantY, 4);
  EXPECT_NEAR(cb, wantCb, 4);
  EXPECT_NEAR(cr, wantCr, 4);
  // The cursor was composited into the captured frames: around the middle some luma differs
  // clearly from the window's.
  int cursorPixels = 0;
  for (std::size_t cy = kHeight / 2 - 12; cy < kHeight / 2 + 12; ++cy) {
    for (std::size_t cx = kWidth / 2 - 12; cx < kWidth / 2 + 12; ++cx) {
      const int luma = last[cy * kWidth + cx];
      cursorPixels += (luma - wantY > 30 || wantY - luma > 30) ? 1 : 0;
    }
  }
  EXPECT_GT(cursorPixels, 10);
}

}  // namespace
}  // namespace corvane
