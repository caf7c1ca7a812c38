// SoundflowerManager with the real zip archive, the real privileged task and the simulated
// hardware: unpacking, install and uninstall into a system root whose path needs quoting,
// selecting the loop-back device, and the guard.
#include "SoundFlower/soundflower_manager.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "installer/st_privileged_task.h"
#include "platform/audio/loopback_driver.h"
#include "platform/audio/sim/sim_audio_hardware.h"
#include "platform/foundation/reference_date.h"
#include "platform/foundation/run_loop.h"
#include "platform/foundation/thread.h"
#include "platform/log/log.h"
#include "platform/security/authorization.h"
#include "support/sound_test_support.h"

namespace corvane {
namespace {

namespace audio = platform::audio;
namespace files = platform::files;
namespace sec = platform::security;
using audio::SimAudioHardware;

// Collects log lines.
struct LogLines {
  LogLines() { platform::log::setSink(&LogLines::sink, this); }
  ~LogLines() { platform::log::setSink(nullptr, nullptr); }
  LogLines(const LogLines&) = delete;
  LogLines& operator=(const LogLines&) = delete;
  static void sink(std::string_view line, void* context) {
    auto* self = static_cast<LogLines*>(context);
    std::lock_guard<std::mutex> lock(self->mutex);
    self->lines.emplace_back(line);
  }
  std::size_t countEndingWith(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex);
    std::size_t n = 0;
    for (const auto& l : lines) {
      n += l.size() >= text.size() && l.compare(l.size() - text.size(), text.size(), text) == 0;
    }
    return n;
  }
  std::mutex mutex;
  std::vector<std::string> lines;
};

class SoundflowerManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Blanks, quotes and shell characters in both folders: the commands must quote them.
    root = tmp / "system root's; touch PWNED; $(touch PWNED2)";
    temporary = tmp / "temp folder 'x' & `touch PWNED3`/";
    files::createDirectory(root + "/Library/Audio/Plug-Ins/HAL", true);
    files::createDirectory(temporary, true);
    hw = SimAudioHardware::create(root);
    center = platform::NotificationCenter::create();
    devices = AudioDeviceManager::create(hw, center);
  }
  std::shared_ptr<SoundflowerManager> makeManager(
      const std::string& resources = CORVANE_TEST_RESOURCES,
      std::shared_ptr<sec::Authorization> authorization = nullptr) {
    return SoundflowerManager::create({devices, platform::Bundle::create(resources), temporary,
                                       test::installedBundlePath(root), std::move(authorization)});
  }
  // Runs this thread's run loop until a privileged task's end is posted (or 10 s pass).
  bool runUntilTaskEnds() {
    bool ended = false;
    auto defaultCenter = platform::NotificationCenter::defaultCenter();
    auto token = defaultCenter->addObserver(kSTPrivilegedTaskDidTerminateNotification,
                                            [&](const platform::Notification&) { ended = true; });
    const double deadline = platform::ReferenceDate::now() + 10.0;
    while (!ended && platform::ReferenceDate::now() < deadline) {
      platform::RunLoop::current()->runOnce(deadline);
    }
    defaultCenter->removeObserver(token);
    return ended;
  }
  void expectNothingInjected() {
    for (const char* marker : {"PWNED", "PWNED2", "PWNED3"}) {
      EXPECT_FALSE(files::exists(tmp / marker)) << marker;
      EXPECT_FALSE(files::exists(marker)) << marker;
    }
  }

  test::SoundTempFolder tmp;
  std::string root;
  std::string temporary;
  std::shared_ptr<SimAudioHardware> hw;
  std::shared_ptr<platform::NotificationCenter> center;
  std::shared_ptr<AudioDeviceManager> devices;
};

TEST_F(SoundflowerManagerTest, UnpacksTheBuiltDriverResourceIntoTheTemporaryFolder) {
  auto manager = makeManager();
  ASSERT_TRUE(manager->driverPath());
  EXPECT_EQ(*manager->driverPath(), temporary + "BlackHole.driver");
  auto specs = audio::readLoopbackDriverBundle(*manager->driverPath());
  ASSERT_TRUE(specs);
  EXPECT_EQ(*specs, (std::vector<audio::LoopbackDeviceSpec>{{"BlackHole 2ch", 2, 44100.0}}));

  // Without the resource nothing is unpacked and nothing can be installed.
  files::remove(temporary + "BlackHole.driver");
  test::SoundTempFolder emptyResources;
  auto bare = makeManager(emptyResources.path());
  EXPECT_FALSE(bare->driverPath());
  EXPECT_FALSE(bare->extractAudioPlugin());
  EXPECT_FALSE(bare->installAudioPlugin());
}

// Something put at the unpacked bundle's path before the manager unpacks (a folder of other
// content, or a link to a folder elsewhere) is never what the install would copy: with the
// resource the path holds exactly the archive's bundle, without a usable one it holds nothing
// and there is no driver to install.
TEST_F(SoundflowerManagerTest, APlantedBundleIsNeverWhatGetsInstalled) {
  const std::string bundle = temporary + "BlackHole.driver";
  const std::string elsewhere = tmp / "elsewhere";
  test::SoundTempFolder damaged;
  test::writeText(damaged / "BlackHole.zip", "PK\3\4 not really an archive");
  struct Plant {
    const char* what;
    std::function<void()> make;
  };
  const std::vector<Plant> plants = {
      {"a folder", [&] { test::writeText(bundle + "/Contents/planted", "x"); }},
      {"a link to a folder",
       [&] {
         test::writeText(elsewhere + "/Contents/planted", "x");
         ASSERT_EQ(symlink(elsewhere.c_str(), bundle.c_str()), 0);
       }},
  };
  struct Resources {
    const char* what;
    std::string folder;
    bool unpacks;
  };
  const std::vector<Resources> resources = {
      {"the driver archive", CORVANE_TEST_RESOURCES, true},
      {"a damaged archive", damaged.path(), false},
      {"no archive", tmp / "no-resources", false},
  };
  for (const auto& plant : plants) {
    for (const auto& r : resources) {
      SCOPED_TRACE(std::string(plant.what) + " planted, " + r.what);
      files::remove(bundle);
      files::remove(elsewhere);
      plant.make();
      auto manager = makeManager(r.folder);
      EXPECT_FALSE(files::exists(elsewhere + "/Contents/Info.plist"));
      EXPECT_TRUE(files::exists(elsewhere + "/Contents/planted") ==
                  (std::string(plant.what) == "a link to a folder"));
      if (r.unpacks) {
        ASSERT_EQ(manager->driverPath(), bundle);
        struct stat st {};
        ASSERT_EQ(lstat(bundle.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_FALSE(files::exists(bundle + "/Contents/planted"));
        EXPECT_TRUE(audio::readLoopbackDriverBundle(bundle));
      } else {
        EXPECT_FALSE(manager->driverPath());
        EXPECT_FALSE(files::exists(bundle));
        EXPECT_FALSE(manager->installAudioPlugin());
      }
      // Only the bundle is left behind in the temporary folder, no unpacking folder.
      auto names = files::contentsOfDirectory(temporary);
      ASSERT_TRUE(names);
      EXPECT_EQ(names->size(), r.unpacks ? 1u : 0u);
    }
  }
}

TEST_F(SoundflowerManagerTest, InstallSelectAndUninstallWithTheRealTaskAndArchive) {
  if (!sec::lookupFunction("AuthorizationExecuteWithPrivileges") || geteuid() != 0) {
    GTEST_SKIP() << "privileged execution needs root here (pkexec would prompt)";
  }
  auto manager = makeManager();
  EXPECT_FALSE(manager->isAudioPluginInstalled());
  EXPECT_FALSE(manager->setAudioPluginAsDefaultAudio());  // no such device yet

  ASSERT_TRUE(manager->installAudioPlugin());  // answered at the launch
  ASSERT_TRUE(runUntilTaskEnds());             // the copy ends afterwards
  EXPECT_TRUE(manager->isAudioPluginInstalled());
  const auto loop = hw->deviceNamed("BlackHole 2ch");
  ASSERT_NE(loop, audio::kAudioObjectUnknown);
  EXPECT_TRUE(manager->setAudioPluginAsDefaultAudio());
  EXPECT_TRUE(manager->isAudioPluginDefaultAudio());
  EXPECT_EQ(devices->getDefaultInputAudioDeviceID(), loop);
  EXPECT_EQ(devices->getDefaultOutputAudioDeviceID(), loop);

  ASSERT_TRUE(manager->uninstallAudioPlugin());
  ASSERT_TRUE(runUntilTaskEnds());
  EXPECT_FALSE(manager->isAudioPluginInstalled());
  EXPECT_EQ(hw->deviceNamed("BlackHole 2ch"), audio::kAudioObjectUnknown);
  EXPECT_FALSE(manager->isAudioPluginDefaultAudio());
  EXPECT_EQ(devices->getDefaultOutputAudioDeviceID(), SimAudioHardware::kBuiltInOutputID);
  expectNothingInjected();
  EXPECT_TRUE(files::exists(temporary + "BlackHole.driver"));  // rm removed only the installed copy
}

// The consent prompt (a stand-in with pkexec's exit statuses) is answered before the install
// answers: dismissed or refused, it answers NO and nothing is copied.
TEST_F(SoundflowerManagerTest, DismissedOrRefusedConsentInstallsNothing) {
  if (!sec::lookupFunction("AuthorizationExecuteWithPrivileges")) {
    GTEST_SKIP() << "privileged execution is not possible here (not root, no pkexec)";
  }
  for (const char* answer : {"exit 126", "exit 127"}) {
    SCOPED_TRACE(answer);
    const std::string prompt = tmp / "prompt";
    test::writeText(prompt, std::string("#!/bin/sh\n") + answer + "\n");
    ASSERT_EQ(chmod(prompt.c_str(), 0755), 0);
    auto manager = makeManager(CORVANE_TEST_RESOURCES,
                               sec::Authorization::create(sec::kAuthorizationFlagDefaults, nullptr,
                                                          sec::ConsentPrompt{prompt}));
    ASSERT_TRUE(manager->driverPath());
    EXPECT_FALSE(manager->installAudioPlugin());
    EXPECT_FALSE(manager->isAudioPluginInstalled());
    EXPECT_FALSE(manager->uninstallAudioPlugin());
  }
}

TEST_F(SoundflowerManagerTest, CommandsQuoteEachPathForTheShell) {
  struct Case {
    std::string path;
    std::string quoted;
  };
  const Case cases[] = {
      {"/tmp/plain", "'/tmp/plain'"},
      {"/tmp/a b", "'/tmp/a b'"},
      {"/tmp/it's", "'/tmp/it'\\''s'"},
      {"/tmp/$(x);`y`", "'/tmp/$(x);`y`'"},
      {"", "''"},
  };
  for (const auto& c : cases) EXPECT_EQ(SoundflowerManager::shellQuoted(c.path), c.quoted);
  auto manager = makeManager();
  EXPECT_EQ(manager->installCommand(),
            "cp -R " + SoundflowerManager::shellQuoted(temporary + "BlackHole.driver") + " " +
                SoundflowerManager::shellQuoted(test::installedBundlePath(root)));
  EXPECT_EQ(manager->uninstallCommand(),
            "rm -rf " + SoundflowerManager::shellQuoted(test::installedBundlePath(root)));
}

TEST_F(SoundflowerManagerTest, AnyBlackHoleCountsAsTheDriverButOnlyTheTwoChannelOneIsSelected) {
  auto manager = makeManager();
  test::writeLoopbackBundle(test::installedBundlePath(root), {{"BlackHole 16ch", 16, 44100.0}});
  const auto big = hw->deviceNamed("BlackHole 16ch");
  ASSERT_NE(big, audio::kAudioObjectUnknown);
  EXPECT_FALSE(manager->setAudioPluginAsDefaultAudio());
  EXPECT_EQ(devices->getDefaultOutputAudioDeviceID(), SimAudioHardware::kBuiltInOutputID);
  devices->setDefaultInputAudioDeviceWithID(big);
  EXPECT_FALSE(manager->isAudioPluginDefaultAudio());  // the output is not the driver yet
  devices->setDefaultOutputAudioDeviceWithID(big);
  EXPECT_TRUE(manager->isAudioPluginDefaultAudio());

  test::writeLoopbackBundle(test::installedBundlePath(root),
                            {{"BlackHole 16ch", 16, 44100.0}, {"BlackHole 2ch", 2, 44100.0}});
  EXPECT_TRUE(manager->setAudioPluginAsDefaultAudio());
  EXPECT_EQ(devices->currentOutputAudioDevice()->deviceName(), "BlackHole 2ch");
  EXPECT_EQ(devices->currentInputAudioDevice()->deviceName(), "BlackHole 2ch");

  // The reset leaves the last non-driver device of each list as the default.
  hw->addDevice({"USB Speaker", 0, 2});
  manager->resetDefaultAudioDevice();
  EXPECT_EQ(devices->currentOutputAudioDevice()->deviceName(), "USB Speaker");
  EXPECT_EQ(devices->currentInputAudioDevice()->deviceName(), "Built-in Microphone");
}

TEST_F(SoundflowerManagerTest, GuardUndoesOneChangeAndLeavesASecondWithinASecond) {
  test::writeLoopbackBundle(test::installedBundlePath(root));
  auto manager = makeManager();
  ASSERT_TRUE(manager->setAudioPluginAsDefaultAudio());
  const auto loop = hw->deviceNamed("BlackHole 2ch");
  ASSERT_TRUE(hw->waitUntilNotificationsDelivered(5.0));
  test::NotificationLog log(center, {kDefalutAudioDeviceDidChangeNotification});
  manager->setProtectSetting(true);

  const auto start = std::chrono::steady_clock::now();
  hw->setDefaultDevice(false, SimAudioHardware::kBuiltInOutputID);  // the user's first change
  // The guard puts the driver back, which is itself a change.
  ASSERT_TRUE(log.waitFor(kDefalutAudioDeviceDidChangeNotification, 2, 5.0));
  ASSERT_TRUE(hw->waitUntilNotificationsDelivered(5.0));
  EXPECT_EQ(devices->getDefaultOutputAudioDeviceID(), loop);

  hw->setDefaultDevice(false, SimAudioHardware::kBuiltInOutputID);  // a second change
  ASSERT_TRUE(log.waitFor(kDefalutAudioDeviceDidChangeNotification, 3, 5.0));
  ASSERT_TRUE(hw->waitUntilNotificationsDelivered(5.0));
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (elapsed >= 1.0) GTEST_SKIP() << "the machine took " << elapsed << " s for two changes";
  EXPECT_EQ(devices->getDefaultOutputAudioDeviceID(), SimAudioHardware::kBuiltInOutputID);
  EXPECT_EQ(log.count(kDefalutAudioDeviceDidChangeNotification), 3u);
}

// The simulated hardware, with a gate that holds the next device-list read made on the
// hardware's notification thread (where the guard runs) until the test opens it.
class GatedHardware : public audio::AudioHardware {
 public:
  explicit GatedHardware(std::shared_ptr<SimAudioHardware> sim) : sim_(std::move(sim)) {}
  void arm() {
    std::lock_guard lock(mutex_);
    armed_ = true;
    held_ = false;
    open_ = false;
  }
  bool waitUntilHeld(double seconds) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return held_; });
  }
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }

  std::string backendName() const override { return sim_->backendName(); }
  audio::OSStatus getDevices(std::vector<audio::AudioObjectID>* devices) override {
    if (platform::Thread::currentName() == "sim-audio-notify") {
      std::unique_lock lock(mutex_);
      if (armed_) {
        armed_ = false;
        held_ = true;
        cv_.notify_all();
        cv_.wait_for(lock, std::chrono::seconds(30), [&] { return open_; });
      }
    }
    return sim_->getDevices(devices);
  }
  audio::OSStatus getDefaultDevice(bool in, audio::AudioObjectID* d) override {
    return sim_->getDefaultDevice(in, d);
  }
  audio::OSStatus setDefaultDevice(bool in, audio::AudioObjectID d) override {
    return sim_->setDefaultDevice(in, d);
  }
  audio::OSStatus getName(audio::AudioObjectID d, std::string* name) override {
    return sim_->getName(d, name);
  }
  audio::OSStatus getStreamConfiguration(audio::AudioObjectID d, bool in,
                                         std::vector<std::uint32_t>* c) override {
    return sim_->getStreamConfiguration(d, in, c);
  }
  audio::OSStatus getTransportType(audio::AudioObjectID d, std::uint32_t* t) override {
    return sim_->getTransportType(d, t);
  }
  audio::OSStatus getDataSource(audio::AudioObjectID d, bool in, std::uint32_t* s) override {
    return sim_->getDataSource(d, in, s);
  }
  audio::OSStatus setDataSource(audio::AudioObjectID d, bool in, std::uint32_t s) override {
    return sim_->setDataSource(d, in, s);
  }
  audio::OSStatus getSafetyOffset(audio::AudioObjectID d, bool in, std::uint32_t* f) override {
    return sim_->getSafetyOffset(d, in, f);
  }
  audio::OSStatus getBufferFrameSize(audio::AudioObjectID d, std::uint32_t* f) override {
    return sim_->getBufferFrameSize(d, f);
  }
  audio::OSStatus setBufferFrameSize(audio::AudioObjectID d, std::uint32_t f) override {
    return sim_->setBufferFrameSize(d, f);
  }
  audio::OSStatus getStreamFormat(audio::AudioObjectID d, bool in,
                                  audio::StreamBasicDescription* f) override {
    return sim_->getStreamFormat(d, in, f);
  }
  ListenerToken addPropertyListener(audio::AudioObjectID o, const audio::PropertyAddress& a,
                                    PropertyListener l) override {
    return sim_->addPropertyListener(o, a, std::move(l));
  }
  void removePropertyListener(ListenerToken t) override { sim_->removePropertyListener(t); }
  std::unique_ptr<audio::AudioInputStream> openInputStream(audio::AudioObjectID d, InputHandler h,
                                                           audio::OSStatus* s) override {
    return sim_->openInputStream(d, std::move(h), s);
  }
  audio::AuthorizationStatus captureAuthorizationStatus() override {
    return sim_->captureAuthorizationStatus();
  }
  void requestCaptureAccess(std::function<void(bool)> h) override {
    sim_->requestCaptureAccess(std::move(h));
  }

 private:
  std::shared_ptr<SimAudioHardware> sim_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool armed_ = false;
  bool held_ = false;
  bool open_ = false;
};

// The session's end turns the guard off and then restores the user's devices. A guard step
// that had already passed its check when the guard went off must not put the driver back
// after that restore.
TEST_F(SoundflowerManagerTest, GuardStepUnderWayWhenTheGuardGoesOffNeverUndoesTheRestore) {
  test::writeLoopbackBundle(test::installedBundlePath(root));
  auto gated = std::make_shared<GatedHardware>(hw);
  auto gatedDevices = AudioDeviceManager::create(gated, platform::NotificationCenter::create());
  auto manager =
      SoundflowerManager::create({gatedDevices, platform::Bundle::create(CORVANE_TEST_RESOURCES),
                                  temporary, test::installedBundlePath(root)});
  ASSERT_TRUE(manager->setAudioPluginAsDefaultAudio());
  ASSERT_TRUE(hw->waitUntilNotificationsDelivered(5.0));
  manager->setProtectSetting(true);

  gated->arm();
  hw->setDefaultDevice(false, SimAudioHardware::kBuiltInOutputID);  // the user's change
  // The guard step has passed its check and is about to put the driver back.
  ASSERT_TRUE(gated->waitUntilHeld(10.0));

  std::promise<void> restored;
  auto restoredFuture = restored.get_future();
  std::thread stop([&] {
    manager->setProtectSetting(false);
    gatedDevices->setDefaultInputAudioDeviceWithID(SimAudioHardware::kBuiltInInputID);
    gatedDevices->setDefaultOutputAudioDeviceWithID(SimAudioHardware::kBuiltInOutputID);
    restored.set_value();
  });
  // Turning the guard off waits for the step, so the restore comes after it; without that
  // wait the restore would be over here, before the step resumes.
  restoredFuture.wait_for(std::chrono::milliseconds(500));
  gated->open();
  stop.join();
  ASSERT_TRUE(hw->waitUntilNotificationsDelivered(5.0));
  EXPECT_EQ(devices->getDefaultOutputAudioDeviceID(), SimAudioHardware::kBuiltInOutputID);
  EXPECT_EQ(devices->getDefaultInputAudioDeviceID(), SimAudioHardware::kBuiltInInputID);
}

TEST_F(SoundflowerManagerTest, WithTheGuardOffAChangeOnlyLogs) {
  test::writeLoopbackBundle(test::installedBundlePath(root));
  auto manager = makeManager();
  ASSERT_TRUE(manager->setAudioPluginAsDefaultAudio());
  ASSERT_TRUE(hw->waitUntilNotificationsDelivered(5.0));
  LogLines lines;
  test::NotificationLog log(center, {kDefalutAudioDeviceDidChangeNotification});
  hw->setDefaultDevice(false, SimAudioHardware::kBuiltInOutputID);
  ASSERT_TRUE(log.waitFor(kDefalutAudioDeviceDidChangeNotification, 1, 5.0));
  ASSERT_TRUE(hw->waitUntilNotificationsDelivered(5.0));
  EXPECT_EQ(lines.countEndingWith("default audio device did change"), 1u);
  EXPECT_EQ(log.count(kDefalutAudioDeviceDidChangeNotification), 1u);
  EXPECT_EQ(devices->getDefaultOutputAudioDeviceID(), SimAudioHardware::kBuiltInOutputID);
}

TEST_F(SoundflowerManagerTest, BuiltInDataSourceChangeResetsToBuiltInOnlyWhenNotGuarding) {
  test::writeLoopbackBundle(test::installedBundlePath(root));
  auto manager = makeManager();
  LogLines lines;
  test::NotificationLog log(center, {kBuildInAudioDeviceDataSourceDidChangeNotification});

  ASSERT_TRUE(manager->setAudioPluginAsDefaultAudio());
  manager->setProtectSetting(true);
  hw->setDataSource(SimAudioHardware::kBuiltInOutputID, false, audio::fourCC("hdpn"));
  ASSERT_TRUE(log.waitFor(kBuildInAudioDeviceDataSourceDidChangeNotification, 1, 5.0));
  ASSERT_TRUE(hw->waitUntilNotificationsDelivered(5.0));
  EXPECT_TRUE(manager->isAudioPluginDefaultAudio());

  manager->setProtectSetting(false);
  hw->setDataSource(SimAudioHardware::kBuiltInOutputID, false, audio::fourCC("ispk"));
  ASSERT_TRUE(log.waitFor(kBuildInAudioDeviceDataSourceDidChangeNotification, 2, 5.0));
  ASSERT_TRUE(hw->waitUntilNotificationsDelivered(5.0));
  EXPECT_EQ(devices->getDefaultOutputAudioDeviceID(), SimAudioHardware::kBuiltInOutputID);
  EXPECT_EQ(devices->getDefaultInputAudioDeviceID(), SimAudioHardware::kBuiltInInputID);
  EXPECT_EQ(lines.countEndingWith("buildInAudioDeviceDataSourceDidChange"), 2u);
}

}  // namespace
}  // namespace corvane
