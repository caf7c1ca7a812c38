// The device record, the device list and AudioDeviceManager over the simulated hardware:
// listing by direction, defaults by id and by exact name, the built-in devices, the
// saved-devices file, and the two notifications posted from the hardware's thread.
#include "SoundFlower/audio_device_manager.h"

#include <gtest/gtest.h>

#include <thread>

#include "SoundFlower/audio_device_list.h"
#include "SoundFlower/audio_device_record.h"
#include "platform/audio/sim/sim_audio_hardware.h"
#include "platform/foundation/property_list.h"
#include "support/sound_test_support.h"

namespace corvane {
namespace {

namespace audio = platform::audio;
using audio::SimAudioHardware;

class AudioDeviceManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::writeLoopbackBundle(test::installedBundlePath(root.path()));
    hw = SimAudioHardware::create(root.path());
    center = platform::NotificationCenter::create();
    manager = AudioDeviceManager::create(hw, center);
    loop = hw->deviceNamed("BlackHole 2ch");
    ASSERT_NE(loop, audio::kAudioObjectUnknown);
  }
  static std::vector<std::string> names(const AudioDeviceArray& devices) {
    std::vector<std::string> out;
    for (const auto& d : devices) out.push_back(d->deviceName());
    return out;
  }
  test::SoundTempFolder root;
  std::shared_ptr<SimAudioHardware> hw;
  std::shared_ptr<platform::NotificationCenter> center;
  std::shared_ptr<AudioDeviceManager> manager;
  audio::AudioObjectID loop = 0;
};

TEST_F(AudioDeviceManagerTest, DevicesAreListedByDirectionInSystemOrder) {
  hw->addDevice({"USB Speaker", 0, 6});
  EXPECT_EQ(names(manager->inputAudioDeviceArray()),
            (std::vector<std::string>{"Built-in Microphone", "BlackHole 2ch"}));
  EXPECT_EQ(names(manager->outputAudioDeviceArray()),
            (std::vector<std::string>{"Built-in Output", "BlackHole 2ch", "USB Speaker"}));
  auto mic = manager->inputAudioDeviceArray().front();
  EXPECT_EQ(mic->description(), "<AudioDevice: 41, Built-in Microphone>");
}

TEST_F(AudioDeviceManagerTest, DefaultsAreReadAndSetByIdAndByExactName) {
  EXPECT_EQ(manager->getDefaultInputAudioDeviceID(), SimAudioHardware::kBuiltInInputID);
  EXPECT_EQ(manager->getDefaultOutputAudioDeviceID(), SimAudioHardware::kBuiltInOutputID);

  // The current default answers YES without a write (no change is notified).
  test::NotificationLog log(center, {kDefalutAudioDeviceDidChangeNotification});
  EXPECT_TRUE(manager->setDefaultOutputAudioDeviceWithID(SimAudioHardware::kBuiltInOutputID));
  ASSERT_TRUE(hw->waitUntilNotificationsDelivered(5.0));
  EXPECT_EQ(log.count(kDefalutAudioDeviceDidChangeNotification), 0u);

  EXPECT_TRUE(manager->setDefaultInputAudioDeviceWithID(loop));
  EXPECT_EQ(manager->getDefaultInputAudioDeviceID(), loop);
  EXPECT_FALSE(manager->setDefaultOutputAudioDeviceWithID(SimAudioHardware::kBuiltInInputID));
  EXPECT_FALSE(manager->setDefaultOutputAudioDeviceWithID(12345));

  struct Case {
    const char* name;
    bool route;
    bool found;
  };
  const Case cases[] = {
      {"BlackHole 2ch", false, true},      {"blackhole 2ch", false, false},  // differs in case
      {"BlackHole 2ch ", false, false},                                      // not exact
      {"Built-in Output", true, false},                                      // not an input
      {"Built-in Microphone", true, true},
  };
  for (const auto& c : cases) {
    const auto before = manager->getDefaultAudioDeviceIDRoute(c.route);
    EXPECT_EQ(manager->setDefaultAudioDevice(c.name, c.route), c.found) << c.name;
    if (!c.found) {
      EXPECT_EQ(manager->getDefaultAudioDeviceIDRoute(c.route), before) << c.name;
    }
  }
  EXPECT_EQ(manager->getDefaultOutputAudioDeviceID(), loop);
  EXPECT_EQ(manager->getDefaultInputAudioDeviceID(), SimAudioHardware::kBuiltInInputID);
  EXPECT_FALSE(manager->setDefaultInputAudioDevice(nullptr));
  EXPECT_EQ(manager->currentOutputAudioDevice()->deviceName(), "BlackHole 2ch");
}

TEST_F(AudioDeviceManagerTest, BuiltInDevicesAndResetToThem) {
  ASSERT_TRUE(manager->buildInInputAudioDevice());
  ASSERT_TRUE(manager->buildInOutputAudioDevice());
  EXPECT_EQ(manager->buildInInputAudioDevice()->deviceID(), SimAudioHardware::kBuiltInInputID);
  EXPECT_EQ(manager->buildInOutputAudioDevice()->deviceID(), SimAudioHardware::kBuiltInOutputID);
  manager->setDefaultInputAudioDeviceWithID(loop);
  manager->setDefaultOutputAudioDeviceWithID(loop);
  manager->resetDefaultAudioDevice();
  EXPECT_EQ(manager->getDefaultInputAudioDeviceID(), SimAudioHardware::kBuiltInInputID);
  EXPECT_EQ(manager->getDefaultOutputAudioDeviceID(), SimAudioHardware::kBuiltInOutputID);
  // A default that disappears leaves no current device object behind.
  const auto usb = hw->addDevice({"USB Mic", 1, 0});
  manager->setDefaultInputAudioDeviceWithID(usb);
  EXPECT_EQ(manager->currentInputAudioDevice()->deviceName(), "USB Mic");
}

TEST_F(AudioDeviceManagerTest, SavedDevicesFileHoldsExactlyInputAndOutputAndRestoresThem) {
  const std::string file = root / "support/.soundflower";
  platform::files::createDirectory(root / "support", true);
  const auto speaker = hw->addDevice({"USB Speaker", 0, 2});
  manager->setDefaultOutputAudioDeviceWithID(speaker);
  ASSERT_TRUE(manager->writeSystemAudioSettingToFile(file));
  auto saved = platform::PropertyList::readFile(file);
  ASSERT_TRUE(saved);
  EXPECT_EQ(*saved,
            platform::PropertyList::dictionary(
                {{"input", platform::PropertyList::integer(SimAudioHardware::kBuiltInInputID)},
                 {"output", platform::PropertyList::integer(speaker)}}));
  EXPECT_NE(test::readText(file).find("<?xml"), std::string::npos);  // XML format

  manager->setDefaultInputAudioDeviceWithID(loop);
  manager->setDefaultOutputAudioDeviceWithID(loop);
  ASSERT_TRUE(manager->restoreSystemAudioSettingFromFile(file));
  EXPECT_EQ(manager->getDefaultInputAudioDeviceID(), SimAudioHardware::kBuiltInInputID);
  EXPECT_EQ(manager->getDefaultOutputAudioDeviceID(), speaker);

  // A missing, garbled or unwritable file changes nothing.
  EXPECT_FALSE(manager->restoreSystemAudioSettingFromFile(root / "support/missing"));
  test::writeText(root / "support/garbled", "<plist><dict><key>input");
  EXPECT_FALSE(manager->restoreSystemAudioSettingFromFile(root / "support/garbled"));
  EXPECT_EQ(manager->getDefaultInputAudioDeviceID(), SimAudioHardware::kBuiltInInputID);
  EXPECT_EQ(manager->getDefaultOutputAudioDeviceID(), speaker);
  EXPECT_FALSE(manager->writeSystemAudioSettingToFile(root / "no/such/folder/.soundflower"));
  // Out-of-range numbers are ignored, the other entry still applies.
  test::writeText(root / "support/odd",
                  "<plist version=\"1.0\"><dict><key>input</key><integer>-5</integer>"
                  "<key>output</key><integer>40</integer></dict></plist>");
  EXPECT_TRUE(manager->restoreSystemAudioSettingFromFile(root / "support/odd"));
  EXPECT_EQ(manager->getDefaultOutputAudioDeviceID(), SimAudioHardware::kBuiltInOutputID);
}

// A restore happens while the loop-back device is the default (the session's end). Whatever
// the file names, the user is never left on the loop-back device: a saved device that cannot
// be set gives way to the built-in one.
TEST_F(AudioDeviceManagerTest, RestoreNeverLeavesTheLoopbackDeviceAsADefault) {
  const std::string file = root / ".soundflower";
  const auto mic = hw->addDevice({"USB Mic", 1, 0});
  const auto speaker = hw->addDevice({"USB Speaker", 0, 2});
  const audio::AudioObjectID builtInIn = SimAudioHardware::kBuiltInInputID;
  const audio::AudioObjectID builtInOut = SimAudioHardware::kBuiltInOutputID;
  enum Before { OnLoopback, OnUserDevices };
  struct Case {
    const char* name;
    std::string saved;  // the file's dictionary entries
    bool removeUsbDevices;
    Before before;
    audio::AudioObjectID input;
    audio::AudioObjectID output;
  };
  auto entries = [](long long in, long long out) {
    return "<key>input</key><integer>" + std::to_string(in) +
           "</integer><key>output</key><integer>" + std::to_string(out) + "</integer>";
  };
  const Case cases[] = {
      {"saved devices present", entries(mic, speaker), false, OnLoopback, mic, speaker},
      {"saved ids unknown", entries(9000, 9001), false, OnLoopback, builtInIn, builtInOut},
      {"loop-back saved", entries(loop, loop), false, OnLoopback, builtInIn, builtInOut},
      {"entries missing", "", false, OnLoopback, builtInIn, builtInOut},
      {"one of two gone", entries(mic, 9001), false, OnLoopback, mic, builtInOut},
      // Not on the loop-back device: a device that cannot be set changes nothing.
      {"gone, user elsewhere", entries(9000, 9001), false, OnUserDevices, mic, speaker},
      // Last: the removed devices do not come back.
      {"saved devices gone", entries(mic, speaker), true, OnLoopback, builtInIn, builtInOut},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::writeText(file, "<plist version=\"1.0\"><dict>" + c.saved + "</dict></plist>");
    const auto target = c.before == OnLoopback ? std::pair{loop, loop} : std::pair{mic, speaker};
    ASSERT_TRUE(manager->setDefaultInputAudioDeviceWithID(target.first));
    ASSERT_TRUE(manager->setDefaultOutputAudioDeviceWithID(target.second));
    if (c.removeUsbDevices) {
      ASSERT_TRUE(hw->removeDevice(mic));
      ASSERT_TRUE(hw->removeDevice(speaker));
    }
    EXPECT_TRUE(manager->restoreSystemAudioSettingFromFile(file));
    EXPECT_EQ(manager->getDefaultInputAudioDeviceID(), c.input);
    EXPECT_EQ(manager->getDefaultOutputAudioDeviceID(), c.output);
  }
}

TEST_F(AudioDeviceManagerTest, SavedSettingNamesOtherThanLoopbackOnlyForAUserDevice) {
  const std::string file = root / ".soundflower";
  auto write = [&](const std::string& entries) {
    test::writeText(file, "<plist version=\"1.0\"><dict>" + entries + "</dict></plist>");
  };
  auto entry = [](const char* key, long long id) {
    return std::string("<key>") + key + "</key><integer>" + std::to_string(id) + "</integer>";
  };
  EXPECT_FALSE(manager->savedSettingNamesOtherThanLoopback(file));  // no file
  write(entry("input", loop) + entry("output", loop));
  EXPECT_FALSE(manager->savedSettingNamesOtherThanLoopback(file));
  write("");
  EXPECT_FALSE(manager->savedSettingNamesOtherThanLoopback(file));
  write(entry("input", loop) + entry("output", SimAudioHardware::kBuiltInOutputID));
  EXPECT_TRUE(manager->savedSettingNamesOtherThanLoopback(file));
  write(entry("input", 9000) + entry("output", loop));  // a device of an earlier run
  EXPECT_TRUE(manager->savedSettingNamesOtherThanLoopback(file));
  test::writeText(file, "<plist><dict><key>input");
  EXPECT_FALSE(manager->savedSettingNamesOtherThanLoopback(file));
}

TEST_F(AudioDeviceManagerTest, ListenersPostBothNotificationsOnTheHardwareThread) {
  test::NotificationLog log(center, {kDefalutAudioDeviceDidChangeNotification,
                                     kBuildInAudioDeviceDataSourceDidChangeNotification});
  manager->setDefaultOutputAudioDeviceWithID(loop);
  manager->setDefaultInputAudioDeviceWithID(loop);
  ASSERT_TRUE(log.waitFor(kDefalutAudioDeviceDidChangeNotification, 2, 5.0));
  ASSERT_EQ(hw->setDataSource(SimAudioHardware::kBuiltInOutputID, false, audio::fourCC("hdpn")),
            audio::noErr);
  ASSERT_EQ(hw->setDataSource(SimAudioHardware::kBuiltInInputID, true, audio::fourCC("emic")),
            audio::noErr);
  ASSERT_TRUE(log.waitFor(kBuildInAudioDeviceDataSourceDidChangeNotification, 2, 5.0));
  ASSERT_TRUE(hw->waitUntilNotificationsDelivered(5.0));
  EXPECT_EQ(log.count(kDefalutAudioDeviceDidChangeNotification), 2u);
  EXPECT_EQ(log.count(kBuildInAudioDeviceDataSourceDidChangeNotification), 2u);
  for (const auto& post : log.posts()) EXPECT_NE(post.thread, std::this_thread::get_id());

  // A manager that goes away stops posting.
  manager.reset();
  hw->setDefaultDevice(false, SimAudioHardware::kBuiltInOutputID);
  ASSERT_TRUE(hw->waitUntilNotificationsDelivered(5.0));
  EXPECT_EQ(log.count(kDefalutAudioDeviceDidChangeNotification), 2u);
}

TEST_F(AudioDeviceManagerTest, DeviceRecordReadsPropertiesAndCutsLongNames) {
  const std::string longName(80, 'n');
  const auto id = hw->addDevice({longName, 3, 0});
  AudioDeviceRecord record(hw, id, true);
  EXPECT_EQ(record.CountChannels(), 3);
  EXPECT_EQ(record.mSafetyOffset, 32u);
  EXPECT_EQ(record.mBufferSizeFrames, 512u);
  EXPECT_EQ(record.mFormat, audio::kEncoderInputFormat);
  char name[64];
  EXPECT_EQ(std::string(record.GetName(name, sizeof name)), std::string(63, 'n'));
  char small[8];
  EXPECT_EQ(std::string(record.GetName(small, sizeof small)), "nnnnnnn");
  record.SetBufferSize(256);
  EXPECT_EQ(record.mBufferSizeFrames, 256u);

  AudioDeviceRecord output(hw, id, false);  // no output side: zeros, no channels
  EXPECT_EQ(output.CountChannels(), 0);
  EXPECT_EQ(output.mSafetyOffset, 0u);
  AudioDeviceRecord none(hw, 0, true);
  EXPECT_FALSE(none.Valid());
  EXPECT_EQ(none.CountChannels(), 0);
  EXPECT_EQ(std::string(none.GetName(name, sizeof name)), "");

  AudioDeviceList inputs(hw, true);
  ASSERT_EQ(inputs.GetList().size(), 3u);
  EXPECT_EQ(inputs.GetList()[2].mID, id);
  EXPECT_EQ(std::string(inputs.GetList()[2].mName), std::string(63, 'n'));
}

TEST(AudioDeviceRecordDeathTest, FailedBufferSizeEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // the hardware model runs threads
  test::SoundTempFolder root;
  auto hw = SimAudioHardware::create(root.path());
  AudioDeviceRecord record(hw, SimAudioHardware::kBuiltInOutputID, false);
  EXPECT_DEATH(record.SetBufferSize(1), "ret == noErr");
}

}  // namespace
}  // namespace corvane
