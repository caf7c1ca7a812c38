// Makes the application for the test process on Qt's offscreen platform, before any test.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "platform/foundation/file_utils.h"
#include "ui_test_support.h"

namespace corvane::platform::ui::testing {
namespace {

std::string& runtimeFolder() {
  static std::string folder;
  return folder;
}

class UiEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    // Qt wants a private runtime folder (mode 700); the offscreen platform needs no display.
    std::string pattern = "/tmp/corvane-ui-runtime-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    ASSERT_EQ(chmod(pattern.c_str(), 0700), 0);
    runtimeFolder() = pattern;
    // Set before any thread of the test process exists.
    setenv("XDG_RUNTIME_DIR", pattern.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
    setenv("QT_QPA_PLATFORM", "offscreen", 1);      // NOLINT(concurrency-mt-unsafe)
    app();
  }
  void TearDown() override {
    if (!runtimeFolder().empty()) files::remove(runtimeFolder());
  }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new UiEnvironment);

}  // namespace

Application& app() {
  static char name[] = "ui_tests";
  static char* argv[] = {name, nullptr};
  static std::shared_ptr<Application> application = Application::create(1, argv);
  return *application;
}

}  // namespace corvane::platform::ui::testing

// Qt's font set-up leaves fontconfig's caches allocated at exit; those are the system
// library's, not ours.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
