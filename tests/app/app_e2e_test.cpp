// The application binary end to end under Xvfb: xdotool types a 6-digit PIN into the window
// and presses Return; the test look-up server resolves it to the test receiver, the UDP query
// confirms it, the connection screen connects, the receiver starts the mirroring (device
// status 7) and the video it receives decodes with FFmpeg to the colour painted on the screen.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/file_utils.h"
#include "platform/foundation/user_defaults.h"
#include "process_support.h"
#include "support/test_lookup_server.h"
#include "support/test_receiver.h"
#include "support/xvfb.h"

namespace corvane {
namespace {

std::string readAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = "/tmp/corvane-e2e-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    if (!path_.empty()) platform::files::remove(path_);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(SenderEndToEnd, TypedPinFindsTheReceiverAndMirrorsThePaintedScreen) {
  for (const char* tool : {"xdotool", "ffmpeg", "Xvfb"}) {
    ASSERT_TRUE(test::haveProgram(tool)) << tool << " is missing: run scripts/install-deps";
  }
  std::string reason;
  auto server = test::Xvfb::start(&reason);
  if (!server) GTEST_SKIP() << "no Xvfb: " << reason;
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string home = dir.path() + "/home";
  const std::string root = dir.path() + "/root";
  const std::string runtime = dir.path() + "/run";
  ASSERT_TRUE(platform::files::createDirectory(home + "/.config/corvane", true));
  ASSERT_TRUE(platform::files::createDirectory(root + "/Library/Audio/Plug-Ins/HAL", true));
  ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
  // The driver is already installed, so no first-start alert takes the keyboard.
  const auto unpacked = test::runCommand(
      {CORVANE_CMAKE_COMMAND, "-E", "chdir", root + "/Library/Audio/Plug-Ins/HAL",
       CORVANE_CMAKE_COMMAND, "-E", "tar", "xf", CORVANE_RESOURCE_DIR "/BlackHole.zip"});
  ASSERT_EQ(unpacked.exitCode, 0) << unpacked.output;

  test::TestReceiverOptions receiverOptions;
  receiverOptions.name = "Living room";
  receiverOptions.videoFile = dir.path() + "/received.h264";
  auto receiver = test::TestReceiver::startOnFreeLoopbackAddress(receiverOptions, &reason);
  ASSERT_NE(receiver, nullptr) << reason;
  test::LookupServerOptions lookupOptions;
  lookupOptions.pins["123456"] =
      test::LookupAnswer::found({receiver->address()}, "Living room", "2.1");
  auto lookup = test::TestLookupServer::startOnFreeLoopbackAddress(lookupOptions, &reason);
  ASSERT_NE(lookup, nullptr) << reason;

  // The application's settings: the 6-digit PIN type and the look-up server's address.
  auto defaults = platform::UserDefaults::create(home + "/.config/corvane/defaults.plist");
  ASSERT_TRUE(defaults->setInteger(6, "pincode.type"));
  ASSERT_TRUE(defaults->setString(lookup->address(), "pinserver.host"));

  // A screen-filling window in one colour; the application's window comes up over its corner.
  constexpr std::uint32_t kColour = 0x2080C0;
  test::TestWindow paint(server->display(), 0, 0, test::Xvfb::kWidth, test::Xvfb::kHeight, kColour,
                         "paint");
  ASSERT_TRUE(paint.isOpen());

  const std::string log = dir.path() + "/sender.log";
  test::ChildProcess app(
      {CORVANE_SENDER_PATH},
      {"HOME=" + home, "CORVANE_SYSTEM_ROOT=" + root, "DISPLAY=" + server->display(),
       "XDG_RUNTIME_DIR=" + runtime, "QT_QPA_PLATFORM=xcb",
       std::string("PATH=") + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin")},
      log);
  ASSERT_TRUE(app.isRunning());

  const std::string display = "DISPLAY=" + server->display();
  const auto found = test::runCommand(
      {"env", display, "xdotool", "search", "--sync", "--onlyvisible", "--name", "Corvane Sender"},
      std::chrono::seconds(30));
  ASSERT_EQ(found.exitCode, 0) << found.output << "\n" << readAll(log);
  const std::string window = found.output.substr(0, found.output.find('\n'));
  const auto focused = test::runCommand(
      {"env", display, "xdotool", "windowfocus", "--sync", window}, std::chrono::seconds(10));
  ASSERT_EQ(focused.exitCode, 0) << focused.output;
  const auto typed = test::runCommand(
      {"env", display, "xdotool", "type", "--window", window, "--delay", "80", "123456"});
  ASSERT_EQ(typed.exitCode, 0) << typed.output;
  const auto entered =
      test::runCommand({"env", display, "xdotool", "key", "--window", window, "Return"});
  ASSERT_EQ(entered.exitCode, 0) << entered.output;

  // The PIN reached the look-up server, and the session reached the receiver with it.
  ASSERT_TRUE(receiver->waitFor(
      [](const test::ReceiverState& s) {
        return s.pinCode == std::optional<std::string>("123456");
      },
      30.0))
      << readAll(log);
  ASSERT_EQ(lookup->snapshot().pins.size(), 1u);
  EXPECT_EQ(lookup->snapshot().pins[0], std::optional<std::string>("123456"));

  ASSERT_TRUE(receiver->sendDeviceStatus(7));
  // The painted screen is still: a key frame and the re-sends of it arrive (on a loaded machine
  // some re-sends are refused by a busy encoder), then nothing more.
  ASSERT_TRUE(
      receiver->waitFor([](const test::ReceiverState& s) { return s.video.size() >= 10; }, 60.0))
      << readAll(log);
  receiver->stop();
  EXPECT_TRUE(receiver->snapshot().errors.empty());

  const std::string yuvFile = dir.path() + "/received.yuv";
  const auto decoded = test::runCommand(
      {"ffmpeg", "-nostdin", "-v", "error", "-f", "h264", "-i", receiverOptions.videoFile, "-f",
       "rawvideo", "-pix_fmt", "yuv420p", "-s", "640x360", yuvFile},
      std::chrono::seconds(60));
  ASSERT_EQ(decoded.exitCode, 0) << decoded.output;
  const std::string yuv = readAll(yuvFile);
  constexpr std::size_t kWidth = 640;
  constexpr std::size_t kHeight = 360;
  constexpr std::size_t kFrame = kWidth * kHeight * 3 / 2;
  ASSERT_GE(yuv.size(), kFrame);
  const auto* last =
      reinterpret_cast<const std::uint8_t*>(yuv.data()) + (yuv.size() / kFrame - 1) * kFrame;
  // Three quarters into the picture: away from the window at the top left and the pointer in
  // the middle.
  const std::size_t x = kWidth * 3 / 4;
  const std::size_t row = kHeight * 3 / 4;
  const int y = last[row * kWidth + x];
  const int cb = last[kWidth * kHeight + (row / 2) * (kWidth / 2) + x / 2];
  const int cr = last[kWidth * kHeight * 5 / 4 + (row / 2) * (kWidth / 2) + x / 2];
  const double r = 0x20, g = 0x80, b = 0xC0;  // BT.601 video range of the colour
  EXPECT_NEAR(y, 16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255, 5);
  EXPECT_NEAR(cb, 128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255, 5);
  EXPECT_NEAR(cr, 128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255, 5);
  app.stop();
}

}  // namespace
}  // namespace corvane
