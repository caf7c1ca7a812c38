#include "platform/foundation/bundle.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <map>
#include <string>
#include <utility>

#include "temp_folder.h"

namespace corvane::platform {
namespace {

using testing::TempFolder;

// Runs a test with the language variables set as given, restoring them afterwards.
class LanguageScope {
 public:
  explicit LanguageScope(const char* language) {
    for (const char* var : kVars) {
      const char* v = getenv(var);
      saved_[var] = v != nullptr ? std::optional<std::string>(v) : std::nullopt;
      unsetenv(var);
    }
    if (language != nullptr) setenv("LANGUAGE", language, 1);
  }
  ~LanguageScope() {
    for (const auto& [var, value] : saved_) {
      if (value) {
        setenv(var.c_str(), value->c_str(), 1);
      } else {
        unsetenv(var.c_str());
      }
    }
  }

 private:
  static constexpr const char* kVars[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
  std::map<std::string, std::optional<std::string>> saved_;
};

class BundleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.write("BlackHole.zip", "PK");
    dir_.write("tray.png", "png");
    dir_.write("Info.plist",
               PropertyList::dictionary({{"ProductName", PropertyList::string("Corvane Sender")}})
                   .toXml());
    dir_.write("en.lproj/Localizable.strings",
               "/* Buttons */\n"
               "\"title.connect\" = \"Connect\";\n"
               "// the switch\n"
               "\"switch.pincode.type\" = \"digits\";\n"
               "\"button.close\" = \"Close\";\n");
    dir_.write("de.lproj/Localizable.strings", "\"title.connect\" = \"Verbinden\";\n");
    dir_.write("en.lproj/Errors.strings", "\"msg.failed\" = \"It failed\";\n");
  }

  TempFolder dir_;
};

TEST_F(BundleTest, FindsResourcesByNameAndType) {
  LanguageScope language(nullptr);
  auto bundle = Bundle::create(dir_.path());
  EXPECT_EQ(bundle->pathForResource("BlackHole", "zip"), dir_ / "BlackHole.zip");
  EXPECT_EQ(bundle->pathForResource("tray.png", ""), dir_ / "tray.png");
  EXPECT_EQ(bundle->pathForResource("BlackHole", "tar"), std::nullopt);
  EXPECT_EQ(bundle->pathForResource("missing", "zip"), std::nullopt);
  EXPECT_EQ(bundle->pathForResource("../etc/passwd", ""), std::nullopt);
  EXPECT_EQ(bundle->pathForResource("Localizable", "strings"),
            dir_ / "en.lproj/Localizable.strings");
}

TEST_F(BundleTest, ResourceFolderComesBeforeLocalisedFolders) {
  LanguageScope language("de_DE");
  dir_.write("de.lproj/tray.png", "german png");
  dir_.write("en.lproj/tray.png", "english png");
  dir_.write("de.lproj/help.html", "german help");
  dir_.write("en.lproj/help.html", "english help");
  dir_.write("en.lproj/about.html", "english about");
  auto bundle = Bundle::create(dir_.path());
  EXPECT_EQ(bundle->pathForResource("tray", "png"), dir_ / "tray.png");
  EXPECT_EQ(bundle->pathForResource("help", "html"), dir_ / "de.lproj/help.html");
  EXPECT_EQ(bundle->pathForResource("about", "html"), dir_ / "en.lproj/about.html");
  // Strings tables still let the user's language win.
  EXPECT_EQ(bundle->localizedString("title.connect"), "Verbinden");
}

TEST_F(BundleTest, InformationDictionary) {
  auto bundle = Bundle::create(dir_.path());
  EXPECT_EQ(bundle->objectForInfoDictionaryKey("ProductName"), "Corvane Sender");
  EXPECT_EQ(bundle->objectForInfoDictionaryKey("Missing"), std::nullopt);
  TempFolder empty;
  auto bare = Bundle::create(empty.path());
  ASSERT_NE(bare->infoDictionary().asDictionary(), nullptr);
  EXPECT_TRUE(bare->infoDictionary().asDictionary()->empty());
}

TEST_F(BundleTest, LocalizedStringsWithDefaults) {
  LanguageScope language(nullptr);
  auto bundle = Bundle::create(dir_.path());
  EXPECT_EQ(bundle->localizedString("title.connect"), "Connect");
  EXPECT_EQ(bundle->localizedString("button.close", "", ""), "Close");
  EXPECT_EQ(bundle->localizedString("title.unknown", "Fallback", ""), "Fallback");
  EXPECT_EQ(bundle->localizedString("title.unknown", "", ""), "title.unknown");
  EXPECT_EQ(bundle->localizedString("msg.failed", "", "Errors"), "It failed");
  EXPECT_EQ(bundle->localizedString("msg.failed", "", "NoSuchTable"), "msg.failed");
}

TEST_F(BundleTest, UserLanguageComesFirstAndFallsBackToEnglish) {
  LanguageScope language("de_DE");
  auto bundle = Bundle::create(dir_.path());
  EXPECT_EQ(bundle->localizedString("title.connect"), "Verbinden");
  EXPECT_EQ(bundle->localizedString("button.close"), "Close");
}

TEST(BundleFileTest, FifosInPlaceOfResourceFilesReadAsMissingWithoutWaiting) {
  LanguageScope language(nullptr);
  TempFolder dir;
  ASSERT_TRUE(files::createDirectory(dir / "en.lproj", true));
  const std::string fifos[] = {dir / "en.lproj/Localizable.strings", dir / "Info.plist"};
  for (const auto& fifo : fifos) ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << fifo;
  auto bundle = Bundle::create(dir.path());
  auto lookUp = std::async(std::launch::async, [&] {
    return std::make_pair(bundle->localizedString("title.connect", "Connect"),
                          bundle->objectForInfoDictionaryKey("ProductName"));
  });
  if (lookUp.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    // Blocked in open(): give the FIFOs writers until the look-up ends, then fail.
    for (int i = 0;
         i < 1000 && lookUp.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready;
         ++i) {
      for (const auto& fifo : fifos) {
        int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) close(fd);
      }
    }
    FAIL() << "a look-up waited on a FIFO";
  }
  auto [text, name] = lookUp.get();
  EXPECT_EQ(text, "Connect");
  EXPECT_EQ(name, std::nullopt);
}

TEST(BundleMainTest, ResourceFolderFromEnvironment) {
  // The main bundle is made once per process: one folder for every repetition of this test.
  static TempFolder dir;
  dir.write("PincodeViewController.ui", "<ui/>");
  setenv("CORVANE_RESOURCES", dir.path().c_str(), 1);
  auto bundle = Bundle::main();
  unsetenv("CORVANE_RESOURCES");
  EXPECT_EQ(bundle, Bundle::main());
  EXPECT_EQ(bundle->resourcePath(), dir.path());
  EXPECT_EQ(bundle->pathForResource("PincodeViewController", "ui"),
            dir / "PincodeViewController.ui");
}

TEST(BundleStringsTest, ParsesTheStringsFileSyntax) {
  struct Case {
    const char* name;
    std::string text;
    std::map<std::string, std::string> expected;
  };
  const std::vector<Case> cases = {
      {"plain", "\"a\" = \"b\";", {{"a", "b"}}},
      {"blanks and comments",
       " /* c */ \"a\"\t=\n\"b\" ; // end\n\"c\"=\"d\";",
       {{"a", "b"}, {"c", "d"}}},
      {"escapes", R"("q" = "say \"hi\"\n\\ \t";)", {{"q", "say \"hi\"\n\\ \t"}}},
      {"unicode escapes",
       R"("u" = "\U00e9\u20AC\UD83D\UDE00";)",
       {{"u", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"}}},
      {"utf-8 text and bom", "\xEF\xBB\xBF\"k\" = \"Zoë\";", {{"k", "Zoë"}}},
      {"key only", "\"same\";", {{"same", "same"}}},
      {"bare words", "title = Connect;", {{"title", "Connect"}}},
      {"later wins", "\"a\" = \"1\"; \"a\" = \"2\";", {{"a", "2"}}},
      {"error keeps earlier pairs", "\"a\" = \"b\"; \"c\" = ; \"d\" = \"e\";", {{"a", "b"}}},
      {"unterminated string", "\"a\" = \"b\"; \"c\" = \"d", {{"a", "b"}}},
      {"unterminated comment", "\"a\" = \"b\"; /* open", {{"a", "b"}}},
      {"missing semicolon", "\"a\" = \"b\"", {}},
      {"empty", "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Bundle::parseStrings(c.text), c.expected);
  }
}

TEST(BundleStringsTest, EveryCutOfAFileKeepsOnlyPairsOfTheWholeFile) {
  // A file cut anywhere (a partial copy, a full disk) yields some of its pairs, never a wrong
  // one, and never reads past its end.
  const std::string text =
      "\xEF\xBB\xBF/* Buttons */ \"title.connect\" = \"Connect\";\n"
      "// line comment\n\"q\" = \"say \\\"hi\\\"\\n\";\n"
      "\"u\" = \"\\U00e9\\UD83D\\UDE00\"; same; title = Connect;\n";
  const auto whole = Bundle::parseStrings(text);
  ASSERT_EQ(whole.size(), 5u);
  for (std::size_t n = 0; n <= text.size(); ++n) {
    const std::string cut = text.substr(0, n);
    for (const auto& [key, value] : Bundle::parseStrings(cut)) {
      auto it = whole.find(key);
      ASSERT_NE(it, whole.end()) << "cut " << n << " key " << key;
      EXPECT_EQ(it->second, value) << "cut " << n << " key " << key;
    }
  }
}

}  // namespace
}  // namespace corvane::platform
