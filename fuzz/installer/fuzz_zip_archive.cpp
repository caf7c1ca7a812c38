// Unpacks arbitrary bytes as a zip archive into a folder two levels down a private sandbox.
// Whatever the archive holds, nothing may appear beside the destination or beside its
// parent (escapes by ".." names or links), and the call must return.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "../fuzz_check.h"
#include "installer/ss_zip_archive.h"
#include "platform/foundation/file_utils.h"

namespace {

namespace files = corvane::platform::files;

// The sandbox folder, removed when the process ends.
struct Sandbox {
  Sandbox() : path(files::temporaryDirectory() + "corvane-fuzz-zip-" + std::to_string(getpid())) {
    files::remove(path);
    files::createDirectory(path + "/box", true);
  }
  ~Sandbox() { files::remove(path); }
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;
  const std::string path;
};

const std::string& sandbox() {
  static const Sandbox box;
  return box.path;
}

// Whether the folder holds nothing but (some of) `names`.
bool holdsNothingBut(const std::string& folder, const std::vector<std::string>& names) {
  auto contents = files::contentsOfDirectory(folder);
  if (!contents) return false;
  for (const auto& n : *contents) {
    bool known = false;
    for (const auto& m : names) known = known || n == m;
    if (!known) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& box = sandbox();
  const std::string archive = box + "/archive.zip";
  const std::string out = box + "/box/out";
  FUZZ_CHECK(files::createFile(archive, std::vector<std::uint8_t>(data, data + size)));
  corvane::platform::Error error;
  corvane::SSZipArchive::unzipFileAtPath(archive, out, true, "", &error);
  FUZZ_CHECK(holdsNothingBut(box, {"archive.zip", "box"}));
  FUZZ_CHECK(holdsNothingBut(box + "/box", {"out"}));
  files::remove(out);
  return 0;
}
