#include "platform/foundation/file_utils.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "platform/foundation/reference_date.h"
#include "temp_folder.h"

namespace corvane::platform {
namespace {

using testing::readAll;
using testing::TempFolder;

TEST(FileUtilsTest, CreateFoldersWithIntermediatesAndDates) {
  TempFolder dir;
  const double date = 100000000.0;  // 2004
  Error error;
  ASSERT_TRUE(files::createDirectory(dir / "a/b/c/", true, &error, date)) << error.description;
  bool isDir = false;
  EXPECT_TRUE(files::exists(dir / "a/b/c", &isDir));
  EXPECT_TRUE(isDir);
  for (const char* folder : {"a", "a/b", "a/b/c"}) {
    auto mtime = files::modificationDate(dir / folder);
    ASSERT_TRUE(mtime.has_value()) << folder;
    EXPECT_NEAR(*mtime, date, 1e-3) << folder;
  }
  // An existing folder is fine with intermediates, an error without.
  EXPECT_TRUE(files::createDirectory(dir / "a/b", true));
  EXPECT_FALSE(files::createDirectory(dir / "a/b", false, &error));
  EXPECT_EQ(error.domain, "POSIXErrorDomain");
  EXPECT_EQ(error.code, EEXIST);
  // A file in the way.
  ASSERT_TRUE(files::createFile(dir / "file", {'x'}));
  EXPECT_FALSE(files::createDirectory(dir / "file/sub", true, &error));
  EXPECT_FALSE(files::createDirectory(dir / "file", true));
  EXPECT_FALSE(files::createDirectory("", true));
}

TEST(FileUtilsTest, FilesMovesAndRemoval) {
  TempFolder dir;
  ASSERT_TRUE(files::createFile(dir / "one", {'a', 'b', 'c'}));
  EXPECT_EQ(readAll(dir / "one"), "abc");
  EXPECT_EQ(files::fileSize(dir / "one"), 3u);
  bool isDir = true;
  EXPECT_TRUE(files::exists(dir / "one", &isDir));
  EXPECT_FALSE(isDir);

  ASSERT_TRUE(files::move(dir / "one", dir / "two"));
  EXPECT_FALSE(files::exists(dir / "one"));
  EXPECT_EQ(readAll(dir / "two"), "abc");
  ASSERT_TRUE(files::createFile(dir / "three"));
  Error error;
  EXPECT_FALSE(files::move(dir / "two", dir / "three", &error));  // target exists
  EXPECT_EQ(error.code, EEXIST);
  EXPECT_TRUE(files::exists(dir / "two"));
  EXPECT_FALSE(files::move(dir / "missing", dir / "four"));

  // Removing a tree removes links, not what they point to.
  TempFolder outside;
  ASSERT_TRUE(files::createFile(outside / "keep", {'k'}));
  ASSERT_TRUE(files::createDirectory(dir / "tree/sub", true));
  ASSERT_TRUE(files::createFile(dir / "tree/sub/f"));
  ASSERT_EQ(symlink(outside.path().c_str(), (dir / "tree/link").c_str()), 0);
  ASSERT_EQ(symlink("/nonexistent/target", (dir / "dangling").c_str()), 0);
  EXPECT_TRUE(files::exists(dir / "dangling"));
  EXPECT_TRUE(files::remove(dir / "tree"));
  EXPECT_FALSE(files::exists(dir / "tree"));
  EXPECT_TRUE(files::exists(outside / "keep"));
  EXPECT_TRUE(files::remove(dir / "dangling"));
  EXPECT_FALSE(files::exists(dir / "dangling"));
  EXPECT_FALSE(files::remove(dir / "dangling", &error));
  EXPECT_EQ(error.code, ENOENT);
  EXPECT_NE(error.description.find("No such file or directory"), std::string::npos)
      << error.description;

  auto names = files::contentsOfDirectory(dir.path());
  ASSERT_TRUE(names.has_value());
  std::sort(names->begin(), names->end());
  EXPECT_EQ(*names, (std::vector<std::string>{"three", "two"}));
  EXPECT_FALSE(files::contentsOfDirectory(dir / "missing").has_value());
}

TEST(FileUtilsTest, DatesAndPermissions) {
  TempFolder dir;
  std::string path = dir / "f";
  ASSERT_TRUE(files::createFile(path));
  double now = ReferenceDate::now();
  auto created = files::creationDate(path);
  ASSERT_TRUE(created.has_value());
  EXPECT_NEAR(*created, now, 5.0);

  const double date = 700000000.25;
  ASSERT_TRUE(files::setModificationDate(path, date));
  EXPECT_NEAR(*files::modificationDate(path), date, 1e-3);
  EXPECT_FALSE(files::setModificationDate(dir / "missing", date));
  Error error;
  for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
    EXPECT_FALSE(files::setModificationDate(path, bad, &error)) << bad;
    EXPECT_EQ(error.code, EINVAL) << bad;
  }
  EXPECT_NEAR(*files::modificationDate(path), date, 1e-3);  // left as it was
  EXPECT_FALSE(files::modificationDate(dir / "missing").has_value());

  ASSERT_TRUE(files::setPosixPermissions(path, 0755));
  EXPECT_EQ(files::posixPermissions(path), 0755u);
  ASSERT_TRUE(files::setPosixPermissions(path, 0600));
  EXPECT_EQ(files::posixPermissions(path), 0600u);
  EXPECT_FALSE(files::posixPermissions(dir / "missing").has_value());
}

TEST(FileUtilsTest, PathComponents) {
  struct Case {
    const char* path;
    const char* last;
  };
  for (const Case& c :
       {Case{"/a/b.c", "b.c"}, Case{"a", "a"}, Case{"/a/b/", "b"}, Case{"/", "/"}}) {
    EXPECT_EQ(files::lastPathComponent(c.path), c.last) << c.path;
  }
  EXPECT_EQ(files::appendingPathComponent("/tmp/", "BlackHole.driver"), "/tmp/BlackHole.driver");
  EXPECT_EQ(files::appendingPathComponent("/tmp", "/x"), "/tmp/x");
  EXPECT_EQ(files::appendingPathComponent("", "x"), "x");
}

TEST(FileUtilsTest, HomeAndTemporaryFoldersFollowTheEnvironment) {
  const char* oldHome = getenv("HOME");
  const char* oldTmp = getenv("TMPDIR");
  std::string savedHome = oldHome ? oldHome : "";
  std::string savedTmp = oldTmp ? oldTmp : "";

  setenv("HOME", "/some/home", 1);
  EXPECT_EQ(files::homeDirectory(), "/some/home");
  EXPECT_EQ(files::userLibraryDirectory(), "/some/home/Library");
  unsetenv("HOME");
  EXPECT_FALSE(files::homeDirectory().empty());  // from the password database

  setenv("TMPDIR", "/var/tmp", 1);
  EXPECT_EQ(files::temporaryDirectory(), "/var/tmp/");
  unsetenv("TMPDIR");
  EXPECT_EQ(files::temporaryDirectory(), "/tmp/");

  if (oldHome) setenv("HOME", savedHome.c_str(), 1);
  if (oldTmp) setenv("TMPDIR", savedTmp.c_str(), 1);
}

}  // namespace
}  // namespace corvane::platform
