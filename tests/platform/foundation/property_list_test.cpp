#include "platform/foundation/property_list.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <future>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/file_utils.h"
#include "temp_folder.h"

namespace corvane::platform {
namespace {

using testing::readAll;
using testing::TempFolder;

std::string nested(const std::string& part, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += part;
  return out;
}

// A binary list whose trailer and offset table are filled in around `objects` (offset and
// reference size 2, top object 0).
std::string binaryList(const std::string& objects, const std::vector<std::size_t>& offsets) {
  std::string out = "bplist00" + objects;
  const std::size_t table = out.size();
  for (std::size_t offset : offsets) {
    out += static_cast<char>((offset >> 8) & 0xFF);
    out += static_cast<char>(offset & 0xFF);
  }
  std::string trailer(32, '\0');
  trailer[6] = 2;  // offset size
  trailer[7] = 2;  // reference size
  for (std::size_t i = 0; i < 8; ++i) {
    trailer[8 + i] = static_cast<char>((offsets.size() >> (56 - 8 * i)) & 0xFF);
    trailer[24 + i] = static_cast<char>((table >> (56 - 8 * i)) & 0xFF);
  }
  return out + trailer;
}

// Object 0: a one-item array whose item is object 0.
std::string binaryArrayHoldingItself() { return binaryList(std::string("\xA1\x00\x00", 3), {8}); }

// `depth` arrays, each holding the next one; the last is empty.
std::string binaryNestedArrays(int depth) {
  std::string objects;
  std::vector<std::size_t> offsets;
  for (int i = 0; i < depth; ++i) {
    offsets.push_back(8 + objects.size());
    if (i + 1 == depth) {
      objects += '\xA0';
    } else {
      objects += '\xA1';
      objects += static_cast<char>(((i + 1) >> 8) & 0xFF);
      objects += static_cast<char>((i + 1) & 0xFF);
    }
  }
  return binaryList(objects, offsets);
}

PropertyList sampleTree() {
  PropertyList root;
  root.set("AutoShare", PropertyList::boolean(true));
  root.set("gesturePPT", PropertyList::boolean(false));
  root.set("deviceName", PropertyList::string("Zoë's <Laptop> & \"more\""));
  root.set("input", PropertyList::integer(4294967295LL));
  root.set("negative", PropertyList::integer(-42));
  root.set("ratio", PropertyList::real(0.25));
  root.set("blob", PropertyList::data({0x00, 0xFF, 0x10, 0x80}));
  root.set("when", PropertyList::date(12345.0));  // XML keeps whole seconds
  PropertyList nested;
  nested.set("k", PropertyList::string("v"));
  root.set("list", PropertyList::array({PropertyList::integer(1), nested, PropertyList::array()}));
  return root;
}

TEST(PropertyListTest, XmlAndBinaryRoundTripThroughFiles) {
  TempFolder dir;
  PropertyList tree = sampleTree();

  ASSERT_TRUE(tree.writeXmlAtomically(dir / "a.plist"));
  std::string xml = readAll(dir / "a.plist");
  EXPECT_NE(xml.find("<plist"), std::string::npos);
  EXPECT_NE(xml.find("<key>deviceName</key>"), std::string::npos);
  auto fromXml = PropertyList::readFile(dir / "a.plist");
  ASSERT_TRUE(fromXml.has_value());
  EXPECT_EQ(*fromXml, tree);

  PropertyList::Data bin = tree.toBinary();
  ASSERT_GE(bin.size(), 8u);
  EXPECT_EQ(std::string(bin.begin(), bin.begin() + 8), "bplist00");
  dir.write("b.plist", std::string(bin.begin(), bin.end()));
  auto fromBinary = PropertyList::readFile(dir / "b.plist");
  ASSERT_TRUE(fromBinary.has_value());
  EXPECT_EQ(*fromBinary, tree);
}

TEST(PropertyListTest, ReadsFilesWrittenByOtherTools) {
  TempFolder dir;
  // XML as another program writes it, with an XML declaration and tabs.
  dir.write("settings.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
	<key>MouseAlone</key>
	<true/>
	<key>deviceName</key>
	<string>Office</string>
	<key>output</key>
	<integer>73</integer>
	<key>stamp</key>
	<date>2001-01-01T00:01:00Z</date>
</dict>
</plist>
)");
  auto xml = PropertyList::readFile(dir / "settings.plist");
  ASSERT_TRUE(xml.has_value());
  EXPECT_EQ(xml->find("MouseAlone")->asBoolean(), true);
  EXPECT_EQ(xml->find("deviceName")->asString(), "Office");
  EXPECT_EQ(xml->find("output")->asInteger(), 73);
  EXPECT_EQ(xml->find("stamp")->asDate(), 60.0);

  // Binary {"a": 1}, assembled by hand: header, three objects, offset table, trailer.
  const unsigned char binary[] = {
      'b',  'p',  'l',  'i', 's', 't', '0', '0',  // header
      0xD1, 0x01, 0x02,                           // 8: dict, one entry: key obj 1, value obj 2
      0x51, 'a',                                  // 11: ASCII string "a"
      0x10, 0x01,                                 // 13: integer 1
      0x08, 0x0B, 0x0D,                           // 15: offset table
      0,    0,    0,    0,   0,   0,   1,   1,    // trailer: offset size 1, ref size 1
      0,    0,    0,    0,   0,   0,   0,   3,    // 3 objects
      0,    0,    0,    0,   0,   0,   0,   0,    // top object 0
      0,    0,    0,    0,   0,   0,   0,   15};  // offset table at 15
  dir.write("bin.plist", std::string(reinterpret_cast<const char*>(binary), sizeof(binary)));
  auto bin = PropertyList::readFile(dir / "bin.plist");
  ASSERT_TRUE(bin.has_value());
  ASSERT_NE(bin->asDictionary(), nullptr);
  EXPECT_EQ(bin->asDictionary()->size(), 1u);
  EXPECT_EQ(bin->find("a")->asInteger(), 1);
}

TEST(PropertyListTest, ReferenceDateIsTheEpochOfDates) {
  PropertyList root;
  root.set("d", PropertyList::date(0.0));
  EXPECT_NE(root.toXml().find("<date>2001-01-01T00:00:00Z</date>"), std::string::npos);
}

TEST(PropertyListTest, BinaryDatesKeepSignAndFraction) {
  // Before the reference date the fraction belongs to the negative side: -100.5 is not -99.5,
  // and -0.75 is not 0.75.
  for (double d : {0.0, 0.75, 12345.5, 12345.382812, -0.75, -1.0, -100.5, 700000000.25,
                   -2147483648.0, -2147483648.9375, 2147483647.5}) {
    PropertyList root;
    root.set("d", PropertyList::date(d));
    PropertyList::Data bin = root.toBinary();
    auto back = PropertyList::parse(bin.data(), bin.size());
    ASSERT_TRUE(back.has_value()) << d;
    ASSERT_NE(back->find("d"), nullptr) << d;
    EXPECT_NEAR(back->find("d")->asDate().value_or(1e18), d, 1e-6) << d;
    // Saving again changes nothing: no microsecond is lost per save.
    PropertyList::Data again = back->toBinary();
    EXPECT_EQ(PropertyList::parse(again.data(), again.size()), back) << d;
  }
  // Past the 32-bit whole seconds a date is clamped to that end.
  for (auto [d, expected] : {std::pair{-3e9, -2147483648.0}, std::pair{3e9, 2147483647.0},
                             std::pair{-2147483649.5, -2147483648.0}}) {
    PropertyList root = PropertyList::array({PropertyList::date(d)});
    PropertyList::Data bin = root.toBinary();
    auto back = PropertyList::parse(bin.data(), bin.size());
    ASSERT_TRUE(back.has_value()) << d;
    EXPECT_EQ(back->asArray()->at(0).asDate(), expected) << d;
  }
  // A date that is not a number is written as some date, never as garbage.
  PropertyList odd;
  odd.set("nan", PropertyList::date(std::nan("")));
  odd.set("inf", PropertyList::date(HUGE_VAL));
  std::string xml = odd.toXml();
  auto back = PropertyList::parse(xml.data(), xml.size());
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->find("nan")->asDate(), 0.0);
  EXPECT_TRUE(std::isfinite(back->find("inf")->asDate().value_or(NAN)));
}

TEST(PropertyListTest, MissingUnreadableOrGarbledFilesReadAsNothing) {
  TempFolder dir;
  std::string valid = sampleTree().toXml();
  PropertyList::Data bin = sampleTree().toBinary();
  struct Case {
    const char* name;
    std::string contents;
  };
  const std::vector<Case> cases = {
      {"empty", ""},
      {"text", "hello, this is not a property list"},
      {"truncated xml", valid.substr(0, valid.size() / 2)},
      {"unbalanced xml", "<plist><dict><key>a</key><string>b</dict></plist>"},
      {"binary header only", "bplist00"},
      {"binary with garbage", std::string("bplist00") + std::string(64, '\xFF')},
      {"truncated binary",
       std::string(bin.begin(), bin.begin() + static_cast<long>(bin.size() / 2))},
      {"xml nested far too deep",
       "<plist>" + nested("<array>", 100000) + nested("</array>", 100000) + "</plist>"},
      {"xml left open deep", "<plist>" + nested("<dict><key>a</key>", 100000)},
      {"binary array holding itself", binaryArrayHoldingItself()},
      {"binary nested far too deep", binaryNestedArrays(60000)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    dir.write("bad.plist", c.contents);
    EXPECT_FALSE(PropertyList::readFile(dir / "bad.plist").has_value());
  }
  EXPECT_FALSE(PropertyList::readFile(dir / "missing.plist").has_value());
  EXPECT_FALSE(PropertyList::readFile(dir.path()).has_value());   // a folder
  EXPECT_FALSE(PropertyList::readFile("/dev/zero").has_value());  // a device
  // Nesting up to the limit still reads.
  std::string deep = "<plist>" + nested("<array>", 200) + nested("</array>", 200) + "</plist>";
  EXPECT_TRUE(PropertyList::parse(deep.data(), deep.size()).has_value());
  EXPECT_TRUE(PropertyList::parse(binaryNestedArrays(200).data(), binaryNestedArrays(200).size())
                  .has_value());

  // Every cut of a valid binary list either parses or reads as nothing; none may crash.
  for (std::size_t n = 0; n < bin.size(); ++n) {
    (void)PropertyList::parse(bin.data(), n);
  }
}

TEST(PropertyListTest, StringsAndKeysReadAsTextThatSavesUnchanged) {
  const std::string replacement = "\xEF\xBF\xBD";  // U+FFFD
  struct Case {
    const char* name;
    std::string contents;
    std::string key;
    std::string value;
  };
  const std::vector<Case> cases = {
      // {u"a\0b": u"x\0y"}: UTF-16 strings holding U+0000 made the library abort.
      {"binary UTF-16 with zero code units",
       binaryList(std::string("\xD1\x00\x01\x00\x02"
                              "\x63\x00\x61\x00\x00\x00\x62"
                              "\x63\x00\x78\x00\x00\x00\x79",
                              19),
                  {8, 13, 20}),
       "a" + replacement + "b", "x" + replacement + "y"},
      // {"k\xFF": "v\xC3("}: ASCII string objects with bytes past 0x7F.
      {"binary bytes that are not UTF-8",
       binaryList(std::string("\xD1\x00\x01\x00\x02"
                              "\x52k\xFF"
                              "\x53v\xC3(",
                              12),
                  {8, 13, 16}),
       "k" + replacement, "v" + replacement + "("},
      {"XML bytes that are not UTF-8",
       "<plist version=\"1.0\"><dict><key>k\xFF</key><string>v\xC3(</string></dict></plist>",
       "k" + replacement, "v" + replacement + "("},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto list = PropertyList::parse(c.contents.data(), c.contents.size());
    ASSERT_TRUE(list.has_value());
    ASSERT_NE(list->asDictionary(), nullptr);
    EXPECT_EQ(list->asDictionary()->size(), 1u);
    ASSERT_NE(list->find(c.key), nullptr);
    EXPECT_EQ(list->find(c.key)->asString(), c.value);
    // Saved and read again in either format, nothing is dropped.
    PropertyList::Data bin = list->toBinary();
    EXPECT_EQ(PropertyList::parse(bin.data(), bin.size()), list);
    std::string xml = list->toXml();
    EXPECT_EQ(PropertyList::parse(xml.data(), xml.size()), list);
  }
  // A UTF-16 string whose count runs past the objects is garbled.
  const std::string past = binaryList(std::string("\x6F\x10\x7F\x00\x41", 5), {8});
  EXPECT_FALSE(PropertyList::parse(past.data(), past.size()).has_value());
}

TEST(PropertyListTest, FifoInPlaceOfTheFileReadsAsNothingWithoutWaiting) {
  TempFolder dir;
  std::string path = dir / "settings.plist";
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  auto reading = std::async(std::launch::async, [&] { return PropertyList::readFile(path); });
  if (reading.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    // Blocked in open(): give it writers until it returns, so that the test can end; fail.
    for (int i = 0;
         i < 1000 && reading.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready;
         ++i) {
      int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) close(fd);
    }
    FAIL() << "reading a FIFO waited for a writer";
  }
  EXPECT_FALSE(reading.get().has_value());
}

TEST(PropertyListTest, AtomicWriteReplacesWholeFileAndLeavesNoTemporaryFile) {
  TempFolder dir;
  std::string path = dir / "config.plist";
  PropertyList first;
  first.set("deviceName", PropertyList::string(std::string(10000, 'x')));
  ASSERT_TRUE(first.writeXmlAtomically(path));
  PropertyList second;
  second.set("deviceName", PropertyList::string("short"));
  ASSERT_TRUE(second.writeXmlAtomically(path));
  EXPECT_EQ(PropertyList::readFile(path), second);
  EXPECT_EQ(files::contentsOfDirectory(dir.path()), std::vector<std::string>{"config.plist"});

  // Failures answer false and leave nothing behind.
  EXPECT_FALSE(second.writeXmlAtomically(dir / "no/such/folder/x.plist"));
  ASSERT_TRUE(files::createDirectory(dir / "occupied/inner", true));
  EXPECT_FALSE(second.writeXmlAtomically(dir / "occupied"));
  auto names = files::contentsOfDirectory(dir.path());
  ASSERT_TRUE(names.has_value());
  EXPECT_EQ(names->size(), 2u);  // config.plist and occupied only
}

TEST(PropertyListTest, TypedReadsAnswerOnlyForMatchingTypes) {
  EXPECT_EQ(PropertyList::string("1").asInteger(), std::nullopt);
  EXPECT_EQ(PropertyList::integer(1).asString(), std::nullopt);
  EXPECT_EQ(PropertyList::integer(0).asBoolean(), false);
  EXPECT_EQ(PropertyList::boolean(true).asInteger(), 1);
  EXPECT_EQ(PropertyList::real(2.0).asInteger(), 2);
  EXPECT_EQ(PropertyList::real(2.5).asInteger(), std::nullopt);
  EXPECT_EQ(PropertyList::array().asDictionary(), nullptr);
  PropertyList notDict = PropertyList::array();
  notDict.set("k", PropertyList::integer(1));  // no effect, no crash
  EXPECT_EQ(notDict.find("k"), nullptr);
  EXPECT_TRUE(notDict.asArray()->empty());

  // Copies are deep.
  PropertyList a;
  a.set("x", PropertyList::integer(1));
  PropertyList b = a;
  b.set("x", PropertyList::integer(2));
  EXPECT_EQ(a.find("x")->asInteger(), 1);
}

}  // namespace
}  // namespace corvane::platform
