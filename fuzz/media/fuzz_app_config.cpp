// Loads arbitrary bytes as the settings file (".config.plist" in the support folder of a
// private home folder) through SWAppConfig.
//
// Checked: loading never fails, whatever the file; each setting is the file's value of its
// key when that is of the right type and the default otherwise; MouseAlone is always off;
// the settings store again (as XML) and a fresh load of that file gives the same settings.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "../fuzz_check.h"
#include "media/sw_app_config.h"
#include "platform/foundation/file_utils.h"
#include "platform/foundation/property_list.h"

namespace {

namespace files = corvane::platform::files;
using corvane::SWAppConfig;
using corvane::platform::PropertyList;

// A private home folder (HOME points at it), removed when the process ends.
struct Home {
  Home() : path(files::temporaryDirectory() + "corvane-fuzz-config-" + std::to_string(getpid())) {
    files::remove(path);
    FUZZ_CHECK(files::createDirectory(path + "/Library/Corvane", true));
    // Set once, before the first load reads it.
    setenv("HOME", path.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
  }
  ~Home() { files::remove(path); }
  Home(const Home&) = delete;
  Home& operator=(const Home&) = delete;
  const std::string path;
};

struct Settings {
  bool autoShare = false;
  bool gesturePPT = false;
  bool mouseAlone = false;
  std::string deviceName;
  bool operator==(const Settings&) const = default;
};

Settings settingsOf(const SWAppConfig& config) {
  return {config.autoShare(), config.gesturePPT(), config.mouseAlone(), config.deviceName()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Home home;
  static const std::string defaultName = files::fullUserName();
  const std::string file = SWAppConfig::supportFolder() + "/.config.plist";
  FUZZ_CHECK(SWAppConfig::supportFolder() == home.path + "/Library/Corvane");
  FUZZ_CHECK(files::createFile(file, std::vector<std::uint8_t>(data, data + size)));

  // What the file says, read on its own.
  Settings expected{false, false, false, defaultName};
  const auto parsed = PropertyList::parse(data, size);
  if (parsed && parsed->asDictionary() != nullptr) {
    auto flag = [&](const char* key) {
      const PropertyList* value = parsed->find(key);
      return value != nullptr && value->asBoolean().value_or(false);
    };
    expected.autoShare = flag("AutoShare");
    expected.gesturePPT = flag("gesturePPT");
    if (const PropertyList* name = parsed->find("deviceName")) {
      expected.deviceName = name->asString().value_or(defaultName);
    }
  }

  const auto config = SWAppConfig::create();
  FUZZ_CHECK(settingsOf(*config) == expected);
  FUZZ_CHECK(config->hidState() == -1 && !config->hidDeviceVersion() && !config->serverVersion());

  // Stored and loaded again, the settings stay the same.
  FUZZ_CHECK(config->storeData());
  const auto again = SWAppConfig::create();
  FUZZ_CHECK(settingsOf(*again) == expected);
  files::remove(file);
  return 0;
}
