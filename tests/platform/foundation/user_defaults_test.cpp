#include "platform/foundation/user_defaults.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/file_utils.h"
#include "platform/foundation/property_list.h"
#include "temp_folder.h"

namespace corvane::platform {
namespace {

using testing::TempFolder;

TEST(UserDefaultsTest, ValuesSurviveANewInstance) {
  TempFolder dir;
  std::string path = dir / "prefs/defaults.plist";  // the folder is made on first write
  {
    auto defaults = UserDefaults::create(path);
    EXPECT_EQ(defaults->integerForKey("pincode.type"), 0);
    EXPECT_FALSE(defaults->boolForKey("flag"));
    EXPECT_EQ(defaults->stringForKey("name"), std::nullopt);
    EXPECT_TRUE(defaults->setInteger(6, "pincode.type"));
    EXPECT_TRUE(defaults->setBool(true, "flag"));
    EXPECT_TRUE(defaults->setString("Living room", "name"));
    EXPECT_TRUE(defaults->setString("gone", "temporary"));
    EXPECT_TRUE(defaults->removeObjectForKey("temporary"));
  }
  auto again = UserDefaults::create(path);
  EXPECT_EQ(again->integerForKey("pincode.type"), 6);
  EXPECT_TRUE(again->boolForKey("flag"));
  EXPECT_EQ(again->stringForKey("name"), "Living room");
  EXPECT_EQ(again->stringForKey("temporary"), std::nullopt);

  // The file is an ordinary XML property list.
  auto stored = PropertyList::readFile(path);
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->find("pincode.type")->asInteger(), 6);
}

TEST(UserDefaultsTest, MismatchedTypesConvertOrReadAsAbsent) {
  TempFolder dir;
  auto defaults = UserDefaults::create(dir / "d.plist");
  defaults->setInteger(8, "count");
  EXPECT_EQ(defaults->stringForKey("count"), std::nullopt);
  EXPECT_TRUE(defaults->boolForKey("count"));
  defaults->setBool(true, "b");
  EXPECT_EQ(defaults->integerForKey("b"), 1);
}

// Another tool may store numbers and flags as strings ("pincode.type" as <string>6</string>):
// they convert as a user-defaults store converts them.
TEST(UserDefaultsTest, StringsFromTheFileConvertToIntegersAndBooleans) {
  TempFolder dir;
  struct Case {
    const char* text;
    std::int64_t integer;
    bool boolean;
  };
  const Case cases[] = {
      {"6", 6, true},
      {"8", 8, true},
      {"0", 0, false},
      {" -12", -12, true},
      {"+7", 7, true},
      {"8.5", 8, true},
      {"6 digits", 6, true},
      {"YES", 1, true},
      {"yes", 1, true},
      {"true", 1, true},
      {"TRUE", 1, true},
      {"NO", 0, false},
      {"false", 0, false},
      {"", 0, false},
      {"six", 0, false},
      {"-", 0, false},
      {"99999999999999999999", std::numeric_limits<std::int64_t>::max(), true},
      {"-99999999999999999999", std::numeric_limits<std::int64_t>::min(), true},
      {"-9223372036854775808", std::numeric_limits<std::int64_t>::min(), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\"");
    std::string path = dir.write("strings.plist", std::string("<plist><dict><key>v</key><string>") +
                                                      c.text + "</string></dict></plist>");
    ASSERT_NE(PropertyList::readFile(path), std::nullopt);
    auto defaults = UserDefaults::create(path);
    EXPECT_EQ(defaults->integerForKey("v"), c.integer);
    EXPECT_EQ(defaults->boolForKey("v"), c.boolean);
    EXPECT_EQ(defaults->stringForKey("v"), c.text);  // the string itself is unchanged
  }
}

TEST(UserDefaultsTest, GarbledFileReadsAsEmptyAndIsReplacedOnWrite) {
  TempFolder dir;
  std::string path = dir.write("d.plist", "<plist><dict><key>x</key>");
  auto defaults = UserDefaults::create(path);
  EXPECT_EQ(defaults->integerForKey("x"), 0);
  EXPECT_TRUE(defaults->setInteger(8, "pincode.type"));
  EXPECT_EQ(UserDefaults::create(path)->integerForKey("pincode.type"), 8);
}

TEST(UserDefaultsTest, RealsFromTheFileReadAsIntegersWithoutOverflow) {
  TempFolder dir;
  struct Case {
    const char* real;
    std::int64_t expected;
  };
  const Case cases[] = {
      {"3.7", 3},
      {"-3.7", -3},
      {"1e300", std::numeric_limits<std::int64_t>::max()},
      {"-1e300", std::numeric_limits<std::int64_t>::min()},
      {"nan", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.real);
    std::string path = dir.write("reals.plist", std::string("<plist><dict><key>n</key><real>") +
                                                    c.real + "</real></dict></plist>");
    auto defaults = UserDefaults::create(path);
    ASSERT_NE(PropertyList::readFile(path), std::nullopt);
    EXPECT_EQ(defaults->integerForKey("n"), c.expected);
  }
}

TEST(UserDefaultsTest, ConcurrentSettersLoseNothing) {
  TempFolder dir;
  std::string path = dir / "d.plist";
  auto defaults = UserDefaults::create(path);
  constexpr int kThreads = 8;
  constexpr int kKeys = 20;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < kKeys; ++k) {
        std::string key = "k" + std::to_string(t) + "." + std::to_string(k);
        EXPECT_TRUE(defaults->setInteger(t * 1000 + k, key));
        EXPECT_EQ(defaults->integerForKey(key), t * 1000 + k);
      }
    });
  }
  for (auto& th : threads) th.join();
  auto again = UserDefaults::create(path);
  for (int t = 0; t < kThreads; ++t) {
    for (int k = 0; k < kKeys; ++k) {
      EXPECT_EQ(again->integerForKey("k" + std::to_string(t) + "." + std::to_string(k)),
                t * 1000 + k);
    }
  }
  // Nothing but the file itself is left in the folder (no temporary files).
  EXPECT_EQ(files::contentsOfDirectory(dir.path()), std::vector<std::string>{"d.plist"});
}

TEST(UserDefaultsTest, StandardLivesUnderTheHomeFolder) {
  TempFolder home;
  const char* old = getenv("HOME");
  std::string saved = old != nullptr ? old : "";
  setenv("HOME", home.path().c_str(), 1);
  UserDefaults::resetStandardUserDefaults();

  EXPECT_EQ(UserDefaults::standardFilePath(), home / ".config/corvane/defaults.plist");
  auto standard = UserDefaults::standard();
  EXPECT_EQ(standard, UserDefaults::standard());
  standard->setInteger(8, "pincode.type");
  EXPECT_TRUE(files::exists(home / ".config/corvane/defaults.plist"));
  UserDefaults::resetStandardUserDefaults();
  EXPECT_NE(standard, UserDefaults::standard());
  EXPECT_EQ(UserDefaults::standard()->integerForKey("pincode.type"), 8);

  UserDefaults::resetStandardUserDefaults();
  if (old != nullptr) {
    setenv("HOME", saved.c_str(), 1);
  } else {
    unsetenv("HOME");
  }
}

}  // namespace
}  // namespace corvane::platform
