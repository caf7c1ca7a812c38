// The screen capture on a real X server: frames captured from Xvfb, encoded by the software
// encoder, decoded by FFmpeg back to the colour that was drawn.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "media/media_packet.h"
#include "media/sw_time_utils.h"
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
          if (wire.size() > 28) {
            stream_.insert(stream_.end(), wire.begin() + 28, wire.end());
            // Big-endian capture timestamp (media clock) after the five words.
            lastTimestamp_ = (std::uint32_t{wire[24]} << 24) | (std::uint32_t{wire[25]} << 16) |
                             (std::uint32_t{wire[26]} << 8) | std::uint32_t{wire[27]};
          }
          ++packets_;
        }
        changed_.notify_all();
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
  // Waits until more than `count` packets have come, the last of them stamped at or after
  // `notBefore` (unsigned media-clock milliseconds); false at the deadline.
  bool waitForPacketAfter(int count, std::uint32_t notBefore,
                          std::chrono::steady_clock::time_point deadline) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_until(lock, deadline, [&] {
      return packets_ > count && static_cast<std::int32_t>(lastTimestamp_ - notBefore) >= 0;
    });
  }
  std::vector<std::uint8_t> stream() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stream_;
  }

 private:
  std::shared_ptr<EncodedVideoQueue> queue_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::uint8_t> stream_;
  int packets_ = 0;
  std::uint32_t lastTimestamp_ = 0;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// 2560x1440 captured, encoded at 1920x1072.
constexpr std::size_t kWidth = 1920;
constexpr std::size_t kHeight = 1072;
constexpr std::size_t kFrame = kWidth * kHeight * 3 / 2;

// The last picture of an H.264 stream as FFmpeg decodes it, in planar 4:2:0.
struct LastPicture {
  std::string error;  // empty when decoded
  std::vector<std::uint8_t> yuv;
  int y(std::size_t x, std::size_t row) const { return yuv[row * kWidth + x]; }
  int cb(std::size_t x, std::size_t row) const {
    return yuv[kWidth * kHeight + (row / 2) * (kWidth / 2) + x / 2];
  }
  int cr(std::size_t x, std::size_t row) const {
    return yuv[kWidth * kHeight * 5 / 4 + (row / 2) * (kWidth / 2) + x / 2];
  }
};

LastPicture decodeLastPicture(const std::vector<std::uint8_t>& stream) {
  test::TempFolder folder;
  const std::string input = folder.file("capture.h264");
  const std::string output = folder.file("capture.yuv");
  test::writeFile(input, stream);
  // Only the last picture is written (each one overwrites the one before).
  const auto decoded = test::runProcess({"ffmpeg", "-nostdin", "-v", "error", "-f", "h264", "-i",
                                         input, "-f", "image2", "-update", "1", "-c:v", "rawvideo",
                                         "-pix_fmt", "yuv420p", output});
  LastPicture picture;
  if (decoded.exitCode != 0) {
    picture.error = "ffmpeg: " + decoded.output;
    return picture;
  }
  std::ifstream file(output, std::ios::binary);
  const std::vector<std::uint8_t> yuv((std::istreambuf_iterator<char>(file)),
                                      std::istreambuf_iterator<char>());
  if (yuv.size() != kFrame) {
    picture.error = "decoded " + std::to_string(yuv.size()) + " bytes, not one picture";
    return picture;
  }
  picture.yuv = yuv;
  return picture;
}

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
  // As the media handler does: packets left in the queue are freed with it.
  encoded->setDestroyBlock(
      [](const EncodedVideoQueue::Item& box) { freeMediaPacket(box->pointer); });
  recorder->setVideoOutputBuffer(raw);
  recorder->setEncodedVideoBuffer(encoded);
  recorder->setTargetFrameRate(25);
  StreamCollector collector(encoded);
  recorder->beginRecorder();

  // A screen-filling window in a colour well inside the video range.
  constexpr std::uint32_t kColour = 0x2080C0;
  test::TestWindow window(server->display(), 0, 0, 2560, 1440, kColour, "fill");
  ASSERT_TRUE(window.isOpen());
  const auto drawnAt =
      static_cast<std::uint32_t>(SWTimeUtils::singleton()->getCurrentTimeStamp() & 0xFFFFFFFF);

  // BT.601 video range of (0x20, 0x80, 0xC0).
  const double r = 0x20, g = 0x80, b = 0xC0;
  const int wantY =
      static_cast<int>(std::lround(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255));
  const int wantCb =
      static_cast<int>(std::lround(128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255));
  const int wantCr =
      static_cast<int>(std::lround(128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255));
  // A quarter into the picture (the pointer sits in the middle of a new Xvfb screen).
  const std::size_t x = kWidth / 4;
  const std::size_t row = kHeight / 4;
  auto showsTheWindow = [&](const LastPicture& p) {
    return p.error.empty() && std::abs(p.y(x, row) - wantY) <= 4 &&
           std::abs(p.cb(x, row) - wantCb) <= 4 && std::abs(p.cr(x, row) - wantCr) <= 4;
  };

  // Waits for the event itself: the stream's last picture shows the window. Packets stamped
  // after the drawing may still carry an earlier capture (the still screen's re-sends), so
  // an attempt that does not show it waits for a few newer packets. The limit is generous: a
  // sanitizer build on a loaded machine encodes a frame every few seconds.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  LastPicture last;
  int attempts = 0;
  for (int seen = 0; collector.waitForPacketAfter(seen, drawnAt, deadline);) {
    seen = collector.packets() + 2;
    ++attempts;
    last = decodeLastPicture(collector.stream());
    if (showsTheWindow(last)) break;
  }
  recorder->endRecorder();
  collector.finish();
  ASSERT_TRUE(last.error.empty()) << last.error;
  ASSERT_FALSE(last.yuv.empty()) << "no packet captured after the drawing within the limit";
  EXPECT_NEAR(last.y(x, row), wantY, 4)
      << attempts << " decodes of " << collector.packets() << " packets";
  EXPECT_NEAR(last.cb(x, row), wantCb, 4);
  EXPECT_NEAR(last.cr(x, row), wantCr, 4);
  // The cursor was composited into the captured frames: around the middle some luma differs
  // clearly from the window's.
  int cursorPixels = 0;
  for (std::size_t cy = kHeight / 2 - 12; cy < kHeight / 2 + 12; ++cy) {
    for (std::size_t cx = kWidth / 2 - 12; cx < kWidth / 2 + 12; ++cx) {
      const int luma = last.y(cx, cy);
      cursorPixels += (luma - wantY > 30 || wantY - luma > 30) ? 1 : 0;
    }
  }
  EXPECT_GT(cursorPixels, 10);
}

}  // namespace
}  // namespace corvane
