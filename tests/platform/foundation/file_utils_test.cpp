#include "platform/foundation/file_utils.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

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

// Sets an environment variable for the life of the object (unset with nullptr).
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    if (old != nullptr) saved_ = old;
    had_ = old != nullptr;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedVariable() {
    if (had_) {
      setenv(name_, saved_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* name_;
  std::string saved_;
  bool had_ = false;
};

TEST(FileUtilsTest, HomeFolderFollowsTheEnvironment) {
  {
    ScopedVariable home("HOME", "/some/home");
    EXPECT_EQ(files::homeDirectory(), "/some/home");
    EXPECT_EQ(files::userLibraryDirectory(), "/some/home/Library");
  }
  ScopedVariable home("HOME", nullptr);
  EXPECT_FALSE(files::homeDirectory().empty());  // from the password database
}

// Whether `path` (with its trailing slash) is a folder of this user's own with mode 0700.
void expectPrivate(const std::string& path) {
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.back(), '/');
  struct stat st {};
  ASSERT_EQ(lstat(path.substr(0, path.size() - 1).c_str(), &st), 0) << path;
  EXPECT_TRUE(S_ISDIR(st.st_mode)) << path;
  EXPECT_EQ(st.st_uid, geteuid()) << path;
  EXPECT_EQ(st.st_mode & 07777, 0700u) << path;
}

TEST(FileUtilsTest, TemporaryFolderIsTheRuntimeFolderWhenItIsPrivate) {
  TempFolder dir;
  const std::string runtime = dir / "runtime";
  ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
  ASSERT_EQ(chmod(runtime.c_str(), 0700), 0);
  ScopedVariable tmp("TMPDIR", dir.path().c_str());
  {
    ScopedVariable xdg("XDG_RUNTIME_DIR", runtime.c_str());
    EXPECT_EQ(files::temporaryDirectory(), runtime + "/");
  }
  // Open to others, or a link to a private folder: not used; the folder in $TMPDIR instead.
  ASSERT_EQ(symlink(runtime.c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(mkdir((dir / "open").c_str(), 0700), 0);
  ASSERT_EQ(chmod((dir / "open").c_str(), 0755), 0);
  for (const std::string& bad : {dir / "open", dir / "link", dir / "missing"}) {
    SCOPED_TRACE(bad);
    ScopedVariable xdg("XDG_RUNTIME_DIR", bad.c_str());
    const std::string folder = files::temporaryDirectory();
    EXPECT_EQ(folder, dir / ("corvane-" + std::to_string(geteuid())) + "/");
    expectPrivate(folder);
  }
}

// Another local user may make the folder of the fixed name first in a shared /tmp: whatever
// stands there, the answer is a folder of this user's own with mode 0700 and nothing the
// planter can reach.
TEST(FileUtilsTest, APlantedTemporaryFolderIsNeverUsed) {
  TempFolder dir;
  ScopedVariable xdg("XDG_RUNTIME_DIR", nullptr);
  ScopedVariable tmp("TMPDIR", (dir.path() + "/").c_str());
  const std::string fixed = dir / ("corvane-" + std::to_string(geteuid()));
  TempFolder elsewhere;
  ASSERT_EQ(chmod(elsewhere.path().c_str(), 0700), 0);

  struct Case {
    const char* what;
    std::function<void()> plant;
  };
  const std::vector<Case> cases = {
      {"nothing there", [] {}},
      {"a folder open to others",
       [&] {
         ASSERT_EQ(mkdir(fixed.c_str(), 0777), 0);
         ASSERT_EQ(chmod(fixed.c_str(), 0777), 0);
       }},
      {"a link to a private folder",
       [&] { ASSERT_EQ(symlink(elsewhere.path().c_str(), fixed.c_str()), 0); }},
      {"a file", [&] { ASSERT_EQ(close(open(fixed.c_str(), O_CREAT | O_WRONLY, 0600)), 0); }},
      {"somebody else's private folder",
       [&] {
         if (geteuid() != 0) GTEST_SKIP() << "handing a folder to another user needs root";
         ASSERT_EQ(mkdir(fixed.c_str(), 0700), 0);
         ASSERT_EQ(chown(fixed.c_str(), 65534, 65534), 0);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    files::remove(fixed);
    c.plant();
    if (HasFatalFailure() || IsSkipped()) return;
    const std::string folder = files::temporaryDirectory();
    expectPrivate(folder);
    EXPECT_EQ(folder.rfind(dir.path() + "/corvane-", 0), 0u) << folder;
    if (std::string(c.what) != "nothing there") {
      EXPECT_NE(folder, fixed + "/");
    }
    EXPECT_NE(folder, elsewhere.path() + "/");
    // The same private folder on every call.
    EXPECT_EQ(files::temporaryDirectory(), folder);
  }
}

}  // namespace
}  // namespace corvane::platform
