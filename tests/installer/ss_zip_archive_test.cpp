// SSZipArchive on real archives in a temporary folder: names, links, dates, permissions,
// overwriting, the two open errors, entries that try to leave the destination, and the
// writing side.
#include "installer/ss_zip_archive.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "installer/zip_test_support.h"
#include "platform/foundation/file_utils.h"
#include "support/sound_test_support.h"

namespace corvane {
namespace {

using test::ZipEntry;
namespace files = platform::files;

class Recorder : public SSZipArchiveDelegate {
 public:
  void zipArchiveWillUnzipArchiveAtPath(const std::string&, const SSZipGlobalInfo& info) override {
    events.push_back("begin " + std::to_string(info.numberEntry));
  }
  void zipArchiveDidUnzipFileAtIndex(std::int64_t index, std::int64_t total, const std::string&,
                                     const SSZipFileInfo&) override {
    events.push_back("file " + std::to_string(index) + "/" + std::to_string(total));
  }
  void zipArchiveProgressEvent(std::uint64_t loaded, std::uint64_t total) override {
    lastLoaded = loaded;
    lastTotal = total;
  }
  void zipArchiveDidUnzipArchiveAtPath(const std::string&, const SSZipGlobalInfo&,
                                       const std::string&) override {
    events.push_back("end");
  }
  void zipArchiveDidRefuseEntry(const std::string& name, const std::string&) override {
    refused.push_back(name);
  }
  std::vector<std::string> events;
  std::vector<std::string> refused;
  std::uint64_t lastLoaded = 0;
  std::uint64_t lastTotal = 0;
};

class SSZipArchiveTest : public ::testing::Test {
 protected:
  std::string zipPath() const { return tmp / "archive.zip"; }
  std::string dest() const { return tmp / "out"; }
  test::SoundTempFolder tmp;
};

TEST_F(SSZipArchiveTest, BackslashNamesBecomeNestedFoldersAndLinksStayLinks) {
  test::writeZip(zipPath(), {
                                {"win\\sub\\file.txt", "from another system", 0, 0, false},
                                {"target.txt", "target", test::kFileMode},
                                {"link", "target.txt", test::kLinkMode},
                                {"notalink", "target.txt", test::kLinkMode, 0, false},  // not Unix-made
                            });
  auto recorder = std::make_shared<Recorder>();
  ASSERT_TRUE(SSZipArchive::unzipFileAtPath(zipPath(), dest(), recorder));
  EXPECT_EQ(test::readText(dest() + "/win/sub/file.txt"), "from another system");

  struct stat st {};
  ASSERT_EQ(lstat((dest() + "/link").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  char target[64] = {};
  ASSERT_GT(readlink((dest() + "/link").c_str(), target, sizeof target - 1), 0);
  EXPECT_STREQ(target, "target.txt");
  ASSERT_EQ(lstat((dest() + "/notalink").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(test::readText(dest() + "/notalink"), "target.txt");

  EXPECT_EQ(recorder->events,
            (std::vector<std::string>{"begin 4", "file 0/4", "file 1/4", "file 2/4", "file 3/4", "end"}));
  EXPECT_EQ(recorder->lastLoaded, recorder->lastTotal);
  EXPECT_EQ(recorder->lastTotal, files::fileSize(zipPath()).value_or(0));
}

TEST_F(SSZipArchiveTest, FoldersKeepTheirDatesAndFilesGetDatesAndPermissions) {
  const std::uint32_t old = test::dosDate(2003, 4, 5, 6, 7, 8);
  const std::uint32_t fileDate = test::dosDate(2010, 1, 2, 3, 4, 6);
  test::writeZip(zipPath(), {
                                {"old/", "", test::kFolderMode, old},
                                {"old/script.sh", "#!/bin/sh\n", 0100750u << 16, fileDate},
                                {"old/plain.txt", "no mode", 0, fileDate, false},
                            });
  ASSERT_TRUE(SSZipArchive::unzipFileAtPath(zipPath(), dest()));
  const double reference = 978307200.0;
  EXPECT_EQ(files::modificationDate(dest() + "/old").value_or(0) + reference,
            static_cast<double>(test::localTime(2003, 4, 5, 6, 7, 8)));
  EXPECT_EQ(files::modificationDate(dest() + "/old/script.sh").value_or(0) + reference,
            static_cast<double>(test::localTime(2010, 1, 2, 3, 4, 6)));
  EXPECT_EQ(files::posixPermissions(dest() + "/old/script.sh"), 0750u);
  const mode_t mask = umask(022);
  umask(mask);
  EXPECT_EQ(files::posixPermissions(dest() + "/old/plain.txt"), 0666u & ~static_cast<unsigned>(mask));
}

TEST_F(SSZipArchiveTest, OverwriteReplacesAnExistingFileAndOffKeepsIt) {
  test::writeZip(zipPath(), {{"file.txt", "new", test::kFileMode}});
  test::writeText(dest() + "/file.txt", "old contents");
  platform::Error error;
  ASSERT_TRUE(SSZipArchive::unzipFileAtPath(zipPath(), dest(), false, "", &error));
  EXPECT_EQ(test::readText(dest() + "/file.txt"), "old contents");
  ASSERT_TRUE(SSZipArchive::unzipFileAtPath(zipPath(), dest()));  // the short form overwrites
  EXPECT_EQ(test::readText(dest() + "/file.txt"), "new");
}

TEST_F(SSZipArchiveTest, MissingOrEmptyArchivesAnswerTheirErrorCodes) {
  platform::Error error;
  EXPECT_FALSE(SSZipArchive::unzipFileAtPath(tmp / "missing.zip", dest(), true, "", &error));
  EXPECT_EQ(error, platform::Error("SSZipArchiveErrorDomain", -1, "failed to open zip file"));

  test::writeText(tmp / "garbage.zip", "this is not an archive");
  EXPECT_FALSE(SSZipArchive::unzipFileAtPath(tmp / "garbage.zip", dest(), true, "", &error));
  EXPECT_EQ(error.code, -1);

  test::writeZip(zipPath(), {});
  EXPECT_FALSE(SSZipArchive::unzipFileAtPath(zipPath(), dest(), true, "", &error));
  EXPECT_EQ(error,
            platform::Error("SSZipArchiveErrorDomain", -2, "failed to open first file in zip file"));
  // The same from the writing side, and with an archive comment after the end record.
  ASSERT_TRUE(SSZipArchive::createZipFileAtPath(tmp / "none.zip", std::vector<std::string>{}));
  EXPECT_FALSE(SSZipArchive::unzipFileAtPath(tmp / "none.zip", dest(), true, "", &error));
  EXPECT_EQ(error.code, -2);
  zipFile commented = zipOpen((tmp / "comment.zip").c_str(), APPEND_STATUS_CREATE);
  ASSERT_NE(commented, nullptr);
  ASSERT_EQ(zipClose(commented, "a comment"), ZIP_OK);
  EXPECT_FALSE(SSZipArchive::unzipFileAtPath(tmp / "comment.zip", dest(), true, "", &error));
  EXPECT_EQ(error.code, -2);
  // A truncated end record is no archive at all.
  test::writeText(tmp / "short.zip", std::string("PK\5\6\0\0\0\0", 8));
  EXPECT_FALSE(SSZipArchive::unzipFileAtPath(tmp / "short.zip", dest(), true, "", &error));
  EXPECT_EQ(error.code, -1);
}

TEST_F(SSZipArchiveTest, EntriesLeavingTheDestinationAreRefusedAndTheRestIsUnpacked) {
  struct Case {
    const char* what;
    std::vector<ZipEntry> hostile;
  };
  const std::vector<Case> cases = {
      {"dot-dot name", {{"../escaped.txt", "x", test::kFileMode}}},
      {"dot-dot in the middle", {{"a/../../escaped.txt", "x", test::kFileMode}}},
      {"backslash dot-dot", {{"..\\escaped.txt", "x", test::kFileMode}}},
      {"absolute name", {{"ABS/escaped.txt", "x", test::kFileMode}}},
      {"absolute link", {{"link", "ABS", test::kLinkMode}}},
      {"climbing link", {{"sub/link", "../../escaped.txt", test::kLinkMode}}},
      {"write through an inner link",
       {{"inner", "sub", test::kLinkMode}, {"inner/through.txt", "x", test::kFileMode}}},
      // Links judged by where they resolve through the links already unpacked.
      {"climbing through a link to the folder itself",
       {{"l1", ".", test::kLinkMode}, {"link", "l1/..", test::kLinkMode}}},
      {"climbing through a chain of links from a subfolder",
       {{"l1", ".", test::kLinkMode},
        {"l2", "sub/../l1", test::kLinkMode},
        {"sub/link", "../l2/..", test::kLinkMode}}},
      {"climbing out of a name that a later entry makes a link",
       {{"link", "later/..", test::kLinkMode}, {"later", ".", test::kLinkMode}}},
      {"replacing a link that another link resolves through",
       {{"l1", "sub", test::kLinkMode},
        {"l2", "l1/..", test::kLinkMode},
        {"l1", ".", test::kLinkMode}}},
      {"making a link again where a file replaced a link resolved through",
       {{"l1", "sub", test::kLinkMode},
        {"l2", "l1/..", test::kLinkMode},
        {"l1", "now a file", test::kFileMode},
        {"l1", ".", test::kLinkMode}}},
      {"links in a loop",
       {{"x", "y", test::kLinkMode},
        {"y", "x", test::kLinkMode},
        {"link", "x/..", test::kLinkMode}}},
      {"link target longer than a path", {{"link", std::string(5000, 'a'), test::kLinkMode}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    files::remove(dest());
    files::remove(tmp / "escaped.txt");
    files::createDirectory(tmp / "abs", true);
    std::vector<ZipEntry> entries = {{"sub/good.txt", "good", test::kFileMode}};
    for (auto e : c.hostile) {
      const std::string abs = tmp / "abs";
      if (e.name.rfind("ABS", 0) == 0) e.name = abs + e.name.substr(3);
      if (e.data == "ABS") e.data = abs;
      entries.push_back(e);
    }
    entries.push_back({"last.txt", "last", test::kFileMode});
    test::writeZip(zipPath(), entries);

    auto recorder = std::make_shared<Recorder>();
    platform::Error error;
    EXPECT_FALSE(SSZipArchive::unzipFileAtPath(zipPath(), dest(), true, "", &error, recorder));
    EXPECT_EQ(error.code, -3);
    EXPECT_EQ(recorder->refused.size(), 1u);
    EXPECT_EQ(test::readText(dest() + "/sub/good.txt"), "good");
    EXPECT_EQ(test::readText(dest() + "/last.txt"), "last");
    EXPECT_FALSE(files::exists(tmp / "escaped.txt"));
    EXPECT_FALSE(files::exists(tmp / "abs/escaped.txt"));
    EXPECT_FALSE(files::exists(dest() + "/sub/through.txt"));
    EXPECT_FALSE(files::exists(dest() + "/link"));
    EXPECT_FALSE(files::exists(dest() + "/sub/link"));
    // Where "l1" is still a link, it is the first one the case made.
    for (const auto& e : c.hostile) {
      if (e.name != "l1") continue;
      char target[16] = {};
      if (readlink((dest() + "/l1").c_str(), target, sizeof target - 1) > 0) {
        EXPECT_EQ(target, e.data);
      }
      break;
    }
  }
}

// A damaged entry (a flipped byte, a size that is not what the header declared) or one that
// declares more than the size limit fails the extraction with an error. The file it would
// have replaced keeps its contents and no partial file is left.
TEST_F(SSZipArchiveTest, DamagedOrOversizedEntriesFailAndLeaveNoPartialFile) {
  std::string noise;  // text that deflate cannot shrink to nothing
  std::uint32_t x = 12345;
  for (int i = 0; i < 20000; ++i) {
    x = x * 1103515245u + 12345u;
    noise.push_back(static_cast<char>('a' + (x >> 16) % 26));
  }
  // Flips one byte of the entry data, `at` bytes into it.
  auto flip = [this](std::size_t at) {
    auto bytes = test::readBytes(zipPath());
    const std::size_t local = test::findBytes(bytes, std::string("PK\3\4", 4));
    auto u16 = [&bytes](std::size_t i) {
      return static_cast<std::size_t>(bytes.at(i)) | (static_cast<std::size_t>(bytes.at(i + 1)) << 8);
    };
    const std::size_t data = local + 30 + u16(local + 26) + u16(local + 28);
    bytes.at(data + at) ^= 0x20;
    test::writeBytes(zipPath(), bytes);
  };
  struct Case {
    const char* what;
    ZipEntry entry;
    std::function<void()> damage;
    long code;
  };
  const std::vector<Case> cases = {
      {"a flipped byte in a stored entry",
       {"victim", "stored data", test::kFileMode, 0, true, true},
       [&] { flip(3); },
       -4},
      {"a flipped byte in a deflated entry",
       {"victim", noise, test::kFileMode},
       [&] { flip(500); },
       -4},
      {"more data than declared",
       {"victim", noise, test::kFileMode},
       [this] { test::setDeclaredSize(zipPath(), 100); },
       -4},
      {"less data than declared",
       {"victim", noise, test::kFileMode},
       [this] { test::setDeclaredSize(zipPath(), 30000); },
       -4},
      {"more than the size limit declared",
       {"victim", noise, test::kFileMode},
       [this] { test::setDeclaredSize(zipPath(), 0xF0000000u); },
       -5},
      {"a link target inflating past its declared size",
       {"victim", noise, test::kLinkMode},
       [this] { test::setDeclaredSize(zipPath(), 10); },
       -4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    files::remove(dest());
    test::writeText(dest() + "/victim", "precious");
    test::writeZip(zipPath(), {c.entry});
    c.damage();
    platform::Error error;
    EXPECT_FALSE(SSZipArchive::unzipFileAtPath(zipPath(), dest(), true, "", &error));
    EXPECT_EQ(error.domain, "SSZipArchiveErrorDomain");
    EXPECT_EQ(error.code, c.code) << error.description;
    EXPECT_EQ(test::readText(dest() + "/victim"), "precious");
    EXPECT_EQ(files::contentsOfDirectory(dest()), std::vector<std::string>{"victim"});
  }
}

// A link entry is read no further than a path can be long: a target that inflates to 64 MB
// from a small archive is refused without holding it in memory.
TEST_F(SSZipArchiveTest, AHugeLinkTargetIsRefusedWithoutReadingItIntoMemory) {
  zipFile zip = zipOpen(zipPath().c_str(), APPEND_STATUS_CREATE);
  ASSERT_NE(zip, nullptr);
  zip_fileinfo info{};
  info.external_fa = test::kLinkMode;
  ASSERT_EQ(zipOpenNewFileInZip4(zip, "link", &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                 Z_BEST_COMPRESSION, 0, -MAX_WBITS, DEF_MEM_LEVEL,
                                 Z_DEFAULT_STRATEGY, nullptr, 0, (3u << 8) | 20u, 0),
            ZIP_OK);
  const std::string piece(1 << 20, 'a');
  for (int i = 0; i < 64; ++i) {
    ASSERT_EQ(zipWriteInFileInZip(zip, piece.data(), static_cast<unsigned>(piece.size())), ZIP_OK);
  }
  ASSERT_EQ(zipCloseFileInZip(zip), ZIP_OK);
  ASSERT_EQ(zipClose(zip, nullptr), ZIP_OK);
  ASSERT_LT(files::fileSize(zipPath()).value_or(0), 200u * 1024);

  struct rusage before {};
  getrusage(RUSAGE_SELF, &before);
  auto recorder = std::make_shared<Recorder>();
  platform::Error error;
  EXPECT_FALSE(SSZipArchive::unzipFileAtPath(zipPath(), dest(), true, "", &error, recorder));
  EXPECT_EQ(error.code, -3);
  EXPECT_EQ(recorder->refused, std::vector<std::string>{"link"});
  EXPECT_FALSE(files::exists(dest() + "/link"));
  struct rusage after {};
  getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 32 * 1024) << "peak resident size grew in KiB";
}

TEST_F(SSZipArchiveTest, ALinkAlreadyInAFilesPlaceIsReplacedNotWrittenThrough) {
  test::writeText(tmp / "outside.txt", "precious");
  files::createDirectory(dest(), true);
  ASSERT_EQ(symlink((tmp / "outside.txt").c_str(), (dest() + "/victim").c_str()), 0);
  test::writeZip(zipPath(), {{"victim", "archive contents", test::kFileMode}});
  ASSERT_TRUE(SSZipArchive::unzipFileAtPath(zipPath(), dest()));
  EXPECT_EQ(test::readText(tmp / "outside.txt"), "precious");
  struct stat st {};
  ASSERT_EQ(lstat((dest() + "/victim").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(test::readText(dest() + "/victim"), "archive contents");
}

TEST_F(SSZipArchiveTest, WritingSideRoundTripsAFolder) {
  const std::string src = tmp / "src";
  test::writeText(src + "/a.txt", "alpha");
  test::writeText(src + "/nested/deeper/b.bin", std::string("\0\1\2binary", 9));
  test::writeText(src + "/nested/run.sh", "#!/bin/sh\n");
  files::setPosixPermissions(src + "/nested/run.sh", 0755);
  files::setPosixPermissions(src + "/a.txt", 0600);
  ASSERT_TRUE(SSZipArchive::createZipFileAtPath(zipPath(), src));
  ASSERT_TRUE(SSZipArchive::unzipFileAtPath(zipPath(), dest()));
  EXPECT_EQ(test::readText(dest() + "/a.txt"), "alpha");
  EXPECT_EQ(test::readText(dest() + "/nested/deeper/b.bin"), std::string("\0\1\2binary", 9));
  EXPECT_EQ(files::posixPermissions(dest() + "/nested/run.sh"), 0755u);
  EXPECT_EQ(files::posixPermissions(dest() + "/a.txt"), 0600u);
  // Dates survive to the two seconds of the DOS format.
  EXPECT_NEAR(files::modificationDate(dest() + "/a.txt").value_or(0),
              files::modificationDate(src + "/a.txt").value_or(0), 2.0);

  // Files by path, and data.
  auto archive = SSZipArchive::initWithPath(tmp / "two.zip");
  EXPECT_FALSE(archive->close());  // not open yet
  ASSERT_TRUE(archive->open());
  EXPECT_TRUE(archive->writeFileAtPath(src + "/a.txt"));
  EXPECT_TRUE(archive->writeData({'h', 'i'}, "data/hi.txt"));
  EXPECT_FALSE(archive->writeFileAtPath(tmp / "missing.txt"));
  ASSERT_TRUE(archive->close());
  ASSERT_TRUE(SSZipArchive::unzipFileAtPath(tmp / "two.zip", tmp / "two"));
  EXPECT_EQ(test::readText(tmp / "two/a.txt"), "alpha");
  EXPECT_EQ(test::readText(tmp / "two/data/hi.txt"), "hi");
}

}  // namespace
}  // namespace corvane
