// The application binary end to end under Xvfb, with a PulseAudio server of the test's own as
// the user's sound (speakers and a microphone, both the defaults):
// - xdotool types a 6-digit PIN into the window and presses Return; the test look-up server
//   resolves it to the test receiver, the UDP query confirms it, the connection screen
//   connects, the receiver starts the mirroring (device status 7), the system sound goes to the
//   loop-back device, and the video the receiver gets decodes with FFmpeg to the colour painted
//   on the screen. A refused mirror start then opens an alert, and SIGTERM while it is open
//   ends the application at once with status 0, the user's sound devices back.
// - On a first start the driver is installed and the success alert opens; the loop-back device
//   is there at once, and SIGTERM ends the application with nobody closing the alert.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/file_utils.h"
#include "platform/foundation/user_defaults.h"
#include "process_support.h"
#include "support/pulse_daemon.h"
#include "support/test_lookup_server.h"
#include "support/test_receiver.h"
#include "support/xvfb.h"

namespace corvane {
namespace {

using Clock = std::chrono::steady_clock;

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

class SenderEndToEnd : public ::testing::Test {
 protected:
  static constexpr const char* kMainWindowName = "Corvane Sender";

  void SetUp() override {
    for (const char* tool : {"xdotool", "ffmpeg", "Xvfb", "pulseaudio", "pactl"}) {
      ASSERT_TRUE(test::haveProgram(tool)) << tool << " is missing: run scripts/install-deps";
    }
    std::string reason;
    server_ = test::Xvfb::start(&reason);
    if (!server_) GTEST_SKIP() << "no Xvfb: " << reason;
    ASSERT_FALSE(dir_.path().empty());
    home_ = dir_.path() + "/home";
    root_ = dir_.path() + "/root";
    runtime_ = dir_.path() + "/run";
    log_ = dir_.path() + "/sender.log";
    ASSERT_TRUE(platform::files::createDirectory(home_ + "/.config/corvane", true));
    ASSERT_TRUE(platform::files::createDirectory(root_ + "/Library/Audio/Plug-Ins/HAL", true));
    ASSERT_EQ(mkdir(runtime_.c_str(), 0700), 0);
    pulse_ = std::make_unique<test::PulseDaemon>(test::kSpeakersAndMicrophone);
    ASSERT_TRUE(pulse_->running()) << pulse_->failure();
  }

  void installDriver() {
    const auto unpacked = test::runCommand(
        {CORVANE_CMAKE_COMMAND, "-E", "chdir", root_ + "/Library/Audio/Plug-Ins/HAL",
         CORVANE_CMAKE_COMMAND, "-E", "tar", "xf", CORVANE_RESOURCE_DIR "/BlackHole.zip"});
    ASSERT_EQ(unpacked.exitCode, 0) << unpacked.output;
  }

  void startApp() {
    std::vector<std::string> environment = {
        "HOME=" + home_,
        "CORVANE_SYSTEM_ROOT=" + root_,
        "DISPLAY=" + server_->display(),
        "XDG_RUNTIME_DIR=" + runtime_,
        "QT_QPA_PLATFORM=xcb",
        "PULSE_SERVER=" + pulse_->server(),
        std::string("PATH=") + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin")};
    // A sanitizer build of the application runs with the tests' sanitizer settings, and its
    // leak check leaves out the system libraries' own leaks. Under ThreadSanitizer its reports
    // go to its log without ending it: on X11, Qt's reader thread and libX11 hand events over
    // with locks of their own that uninstrumented libraries hide from the sanitizer (the ui
    // tests' X11 run is left out of that build for the same reason); the concurrency of the
    // application's own code is checked by the in-process tests.
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
      if (const char* value = getenv(name)) environment.push_back(std::string(name) + "=" + value);
    }
    if (const char* value = getenv("TSAN_OPTIONS")) {
      environment.push_back(std::string("TSAN_OPTIONS=") + value + ":halt_on_error=0:exitcode=0");
    }
    const char* leakOptions = getenv("LSAN_OPTIONS");
    environment.push_back(std::string("LSAN_OPTIONS=") +
                          (leakOptions != nullptr ? std::string(leakOptions) + ":" : "") +
                          "suppressions=" CORVANE_LSAN_SUPPRESSIONS);
    app_ = std::make_unique<test::ChildProcess>(std::vector<std::string>{CORVANE_SENDER_PATH},
                                                environment, log_);
    ASSERT_TRUE(app_->isRunning());
  }

  std::string displayVariable() const { return "DISPLAY=" + server_->display(); }

  // The first visible window whose name matches `name`, waited for up to 30 s; "" when none.
  std::string waitForWindow(const std::string& name) const {
    const auto found = test::runCommand(
        {"env", displayVariable(), "xdotool", "search", "--sync", "--onlyvisible", "--name", name},
        std::chrono::seconds(30));
    if (found.exitCode != 0) return "";
    return found.output.substr(0, found.output.find('\n'));
  }

  // Waits up to 30 s until an alert shows: a second visible window of the application beside
  // its main window (an alert's window has no name of its own to search for).
  bool waitForAlert() const {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
      const auto found = test::runCommand({"env", displayVariable(), "xdotool", "search",
                                           "--onlyvisible", "--pid", std::to_string(app_->pid())});
      std::size_t windows = 0;
      for (char c : found.output) windows += c == '\n' ? 1 : 0;
      if (found.exitCode == 0 && windows >= 2) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));  // another process's state
    }
    return false;
  }

  // Sends SIGTERM and waits at most `bound` for the end. A quit needs no person's action, so
  // nothing is clicked; the bound is generous for a loaded machine, where the quit itself
  // takes a few milliseconds.
  void quitWithSigterm(std::chrono::seconds bound) {
    const auto sent = Clock::now();
    const int status = app_->stop(bound);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent);
    ASSERT_NE(status, -1) << "still running " << bound.count() << " s after SIGTERM\n"
                          << readAll(log_);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status) << "\n"
                                   << readAll(log_);
    EXPECT_EQ(WEXITSTATUS(status), 0) << readAll(log_);
    std::printf("the application ended %lld ms after SIGTERM\n",
                static_cast<long long>(took.count()));
  }

  std::string defaultSink() const { return pulse_->pactlText({"get-default-sink"}); }
  std::string defaultSource() const { return pulse_->pactlText({"get-default-source"}); }

  TempDir dir_;
  std::unique_ptr<test::Xvfb> server_;
  std::unique_ptr<test::PulseDaemon> pulse_;
  std::string home_, root_, runtime_, log_;
  std::unique_ptr<test::ChildProcess> app_;
};

TEST_F(SenderEndToEnd, TypedPinMirrorsThePaintedScreenAndSigtermDuringAnAlertGivesTheSoundBack) {
  // The driver is already installed, so no first-start alert takes the keyboard.
  installDriver();
  std::string reason;
  test::TestReceiverOptions receiverOptions;
  receiverOptions.name = "Living room";
  receiverOptions.videoFile = dir_.path() + "/received.h264";
  auto receiver = test::TestReceiver::startOnFreeLoopbackAddress(receiverOptions, &reason);
  ASSERT_NE(receiver, nullptr) << reason;
  test::LookupServerOptions lookupOptions;
  lookupOptions.pins["123456"] =
      test::LookupAnswer::found({receiver->address()}, "Living room", "2.1");
  auto lookup = test::TestLookupServer::startOnFreeLoopbackAddress(lookupOptions, &reason);
  ASSERT_NE(lookup, nullptr) << reason;

  // The application's settings: the 6-digit PIN type and the look-up server's address.
  auto defaults = platform::UserDefaults::create(home_ + "/.config/corvane/defaults.plist");
  ASSERT_TRUE(defaults->setInteger(6, "pincode.type"));
  ASSERT_TRUE(defaults->setString(lookup->address(), "pinserver.host"));

  // A screen-filling window in one colour; the application's window comes up over its corner.
  constexpr std::uint32_t kColour = 0x2080C0;
  test::TestWindow paint(server_->display(), 0, 0, test::Xvfb::kWidth, test::Xvfb::kHeight, kColour,
                         "paint");
  ASSERT_TRUE(paint.isOpen());

  startApp();
  const std::string window = waitForWindow(kMainWindowName);
  ASSERT_FALSE(window.empty()) << readAll(log_);
  const std::string display = displayVariable();
  const auto focused = test::runCommand(
      {"env", display, "xdotool", "windowfocus", "--sync", window}, std::chrono::seconds(10));
  ASSERT_EQ(focused.exitCode, 0) << focused.output << "\n" << readAll(log_);
  const auto typed = test::runCommand(
      {"env", display, "xdotool", "type", "--window", window, "--delay", "80", "123456"});
  ASSERT_EQ(typed.exitCode, 0) << typed.output << "\n" << readAll(log_);
  const auto entered =
      test::runCommand({"env", display, "xdotool", "key", "--window", window, "Return"});
  ASSERT_EQ(entered.exitCode, 0) << entered.output << "\n" << readAll(log_);

  // The PIN reached the look-up server, and the session reached the receiver with it.
  ASSERT_TRUE(receiver->waitFor(
      [](const test::ReceiverState& s) {
        return s.pinCode == std::optional<std::string>("123456");
      },
      30.0))
      << readAll(log_);
  ASSERT_EQ(lookup->snapshot().pins.size(), 1u);
  EXPECT_EQ(lookup->snapshot().pins[0], std::optional<std::string>("123456"));

  ASSERT_TRUE(receiver->sendDeviceStatus(7));
  // The painted screen is still: a key frame and the re-sends of it arrive (on a loaded machine
  // some re-sends are refused by a busy encoder), then nothing more.
  ASSERT_TRUE(
      receiver->waitFor([](const test::ReceiverState& s) { return s.video.size() >= 10; }, 60.0))
      << readAll(log_);
  // While mirroring, the system sound goes to the loop-back device.
  EXPECT_NE(defaultSink(), "speakers");
  EXPECT_NE(defaultSource(), "mic");
  const std::string saved = home_ + "/Library/Corvane/.soundflower";
  EXPECT_TRUE(platform::files::exists(saved));

  // The receiver asks for the mirroring and then refuses it (another sender has it): the
  // refusal alert opens while the receiver-started mirroring goes on.
  receiver->setMirrorStartResult(0);
  receiver->setStatusAnswer(std::pair<int8_t, uint8_t>{2, 0});  // state 2: taken by another
  ASSERT_TRUE(receiver->requestMirrorOn());
  ASSERT_TRUE(waitForAlert()) << "no alert\n" << readAll(log_);

  quitWithSigterm(std::chrono::seconds(5));
  EXPECT_EQ(defaultSink(), "speakers");
  EXPECT_EQ(defaultSource(), "mic");
  EXPECT_FALSE(platform::files::exists(saved));
  // The quit closed the session: the receiver saw its connections end.
  EXPECT_TRUE(receiver->waitFor(
      [](const test::ReceiverState& s) { return s[test::Channel::Control].open == 0; }, 10.0));

  receiver->stop();
  EXPECT_TRUE(receiver->snapshot().errors.empty());
  const std::string yuvFile = dir_.path() + "/received.yuv";
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
}

TEST_F(SenderEndToEnd, FirstStartInstallsTheDriverAndSigtermClosesTheSuccessAlert) {
  startApp();
  ASSERT_FALSE(waitForWindow(kMainWindowName).empty()) << readAll(log_);
  // The driver check installs the driver and shows its success alert, which nobody closes.
  ASSERT_TRUE(waitForAlert()) << "no alert\n" << readAll(log_);
  EXPECT_TRUE(platform::files::exists(root_ + "/Library/Audio/Plug-Ins/HAL/BlackHole.driver"));
  // The loop-back device can be used at once, with no restart: the sound server has it.
  const auto sinks = pulse_->pactl({"list", "sinks"});
  EXPECT_NE(sinks.output.find("BlackHole 2ch"), std::string::npos) << sinks.output;

  quitWithSigterm(std::chrono::seconds(5));
  EXPECT_EQ(defaultSink(), "speakers");
  EXPECT_EQ(defaultSource(), "mic");
}

}  // namespace
}  // namespace corvane
