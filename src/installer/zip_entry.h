// Classification of one zip entry before anything is written: its kind (file, folder or
// symbolic link), its path below the destination, its date, and whether it may be unpacked
// at all (a name that is absolute, climbs with "..", or is empty is refused).
//
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane::extraction {

enum class EntryKind { File, Folder, Link };

// What the central directory says of an entry.
struct EntryHeader {
  std::string storedName;  // the name's bytes as stored
  std::uint64_t versionMadeBy = 0;
  std::uint64_t externalAttributes = 0;
  std::uint64_t dosDate = 0;
};

struct EntryPlan {
  std::string name;  // up to a NUL in the stored name, "\" made "/"
  EntryKind kind = EntryKind::File;
  std::vector<std::string> parts;      // the components below the destination
  double date = 0.0;                   // the DOS date as reference-date seconds
  std::optional<std::string> refusal;  // why the entry may not be unpacked
};

// A link: made on a Unix host (upper byte of version-made-by 3) with the link file type
// (0xA0000000 under the mask 0xF0000000); a folder: the name ends with "/" or "\".
EntryPlan classifyEntry(const EntryHeader& header);

}  // namespace corvane::extraction
