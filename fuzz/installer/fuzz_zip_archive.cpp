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

const std::string& sandbox() {
  static const std::string path = [] {
    std::string p = files::temporaryDirectory() + "corvane-fuzz-zip-" + std::to_string(getpid());
    files::remove(p);
    files::createDirectory(p + "/box", true);
    return p;
  }();
  return path;
}

bool onlyHolds(const std::string& folder, const std::vector<std::string>& names) {
  auto contents = files::contentsOfDirectory(folder);
  if (!contents) return false;
  if (contents->size() != names.size()) return false;
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
  FUZZ_CHECK(onlyHolds(box, {"archive.zip", "box"}));
  FUZZ_CHECK(onlyHolds(box + "/box", {"out"}));
  files::remove(out);
  return 0;
}
