#include "media/sw_app_config.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include "media_test_support.h"
#include "platform/foundation/file_utils.h"
#include "platform/foundation/property_list.h"

namespace corvane {
namespace {

namespace files = platform::files;

// Points HOME at a fresh temporary folder for the test's duration.
class SWAppConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* home = std::getenv("HOME");
    if (home != nullptr) savedHome_ = home;
    setenv("HOME", home_.path().c_str(), 1);
  }
  void TearDown() override {
    if (savedHome_) {
      setenv("HOME", savedHome_->c_str(), 1);
    } else {
      unsetenv("HOME");
    }
  }
  std::string supportFolder() const { return home_.path() + "/Library/Corvane"; }
  std::string configFile() const { return supportFolder() + "/.config.plist"; }
  void writeConfig(const std::string& text) const {
    ASSERT_TRUE(files::createDirectory(supportFolder(), true));
    std::ofstream(configFile()) << text;
  }

  test::TempFolder home_;
  std::optional<std::string> savedHome_;
};

std::string plist(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\"><dict>" +
         body + "</dict></plist>\n";
}

TEST_F(SWAppConfigTest, WithoutASettingsFileTheDefaultsHoldAndTheSupportFolderIsMade) {
  ASSERT_FALSE(files::exists(supportFolder()));
  auto config = SWAppConfig::create();
  bool isDirectory = false;
  EXPECT_TRUE(files::exists(supportFolder(), &isDirectory));
  EXPECT_TRUE(isDirectory);
  EXPECT_EQ(SWAppConfig::supportFolder(), supportFolder());
  EXPECT_EQ(config->deviceName(), files::fullUserName());
  EXPECT_FALSE(config->autoShare());
  EXPECT_FALSE(config->gesturePPT());
  EXPECT_FALSE(config->mouseAlone());
  EXPECT_EQ(config->hidState(), -1);
  EXPECT_FALSE(config->hidDeviceVersion().has_value());
  EXPECT_FALSE(config->serverVersion().has_value());
  EXPECT_EQ(config->soundflowerSettingFile(), supportFolder() + "/.soundflower");
}

TEST_F(SWAppConfigTest, StoredValuesAreReadAndMouseAloneIsAlwaysNo) {
  struct Case {
    const char* name;
    std::string body;
    bool autoShare;
    bool gesturePPT;
    std::optional<std::string> deviceName;  // std::nullopt: the user's full name
  };
  const Case cases[] = {
      {"all true",
       "<key>AutoShare</key><true/><key>gesturePPT</key><true/>"
       "<key>MouseAlone</key><true/><key>deviceName</key><string>Kitchen Mac</string>",
       true, true, "Kitchen Mac"},
      {"mouse alone only", "<key>MouseAlone</key><true/>", false, false, std::nullopt},
      {"integers count as booleans", "<key>AutoShare</key><integer>1</integer>", true, false,
       std::nullopt},
      {"name of the wrong type is ignored", "<key>deviceName</key><integer>5</integer>", false,
       false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    writeConfig(plist(c.body));
    auto config = SWAppConfig::create();
    EXPECT_EQ(config->autoShare(), c.autoShare);
    EXPECT_EQ(config->gesturePPT(), c.gesturePPT);
    EXPECT_FALSE(config->mouseAlone());
    EXPECT_EQ(config->deviceName(), c.deviceName.value_or(files::fullUserName()));
  }
}

TEST_F(SWAppConfigTest, UnreadableSettingsFilesCountAsEmpty) {
  for (const std::string& text : {std::string("not a property list"),
                                  plist("<key>AutoShare</key>"),  // garbled
                                  std::string("<?xml version=\"1.0\"?><plist version=\"1.0\">"
                                              "<array><true/></array></plist>")}) {
    SCOPED_TRACE(text);
    writeConfig(text);
    auto config = SWAppConfig::create();
    EXPECT_FALSE(config->autoShare());
    EXPECT_EQ(config->deviceName(), files::fullUserName());
  }
}

TEST_F(SWAppConfigTest, StoreDataWritesTheFourKeysAndTheyReadBack) {
  auto config = SWAppConfig::create();
  config->setAutoShare(true);
  config->setMouseAlone(true);
  config->setDeviceName("Büro");
  ASSERT_TRUE(config->storeData());

  auto stored = platform::PropertyList::readFile(configFile());
  ASSERT_TRUE(stored.has_value());
  ASSERT_NE(stored->asDictionary(), nullptr);
  EXPECT_EQ(stored->asDictionary()->size(), 4u);
  EXPECT_EQ(stored->find("AutoShare")->asBoolean(), true);
  EXPECT_EQ(stored->find("gesturePPT")->asBoolean(), false);
  EXPECT_EQ(stored->find("MouseAlone")->asBoolean(), true);
  EXPECT_EQ(stored->find("deviceName")->asString(), "Büro");

  auto reloaded = SWAppConfig::create();
  EXPECT_TRUE(reloaded->autoShare());
  EXPECT_FALSE(reloaded->mouseAlone());
  EXPECT_EQ(reloaded->deviceName(), "Büro");
}

TEST_F(SWAppConfigTest, StoreDataDoesNotCreateTheSupportFolder) {
  auto config = SWAppConfig::create();
  ASSERT_TRUE(files::remove(supportFolder()));
  EXPECT_FALSE(config->storeData());
  EXPECT_FALSE(files::exists(configFile()));
}

}  // namespace
}  // namespace corvane
