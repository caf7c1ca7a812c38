// SSZipArchive on real archives in a temporary folder: names, links, dates, permissions,
// overwriting, the two open errors, entries that try to leave the destination, and the
// writing side.
#include "installer/ss_zip_archive.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

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
  }
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
