// File entries of the zip extraction: the entry's data is written to a fresh file beside its
// final name and moved into place only when the whole entry was read intact (size and CRC as
// declared, within the size limit), so a damaged entry leaves no partial file and the file
// it would have replaced stays as it was. A link standing at the final name is replaced,
// never written through.
//
// Threads: the caller's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "installer/zip_entry_data.h"

namespace corvane::extraction {

struct FileEntry {
  std::string leaf;                // the file's name in its folder
  std::uint64_t declaredSize = 0;  // uncompressed size from the header
  std::uint64_t crc = 0;
  std::uint64_t dosDate = 0;             // 0: the file keeps the date of its writing
  double date = 0.0;                     // the DOS date as reference-date seconds
  std::uint64_t externalAttributes = 0;  // above 0xFFFF: Unix permissions in the upper half
};

enum class FileResult {
  Written,
  Skipped,   // the folder or the final name cannot take the file (unwritable): nothing written
  Damaged,   // the entry's data is damaged: nothing written
  TooLarge,  // the entry exceeds the size limit: nothing written
};

// Writes the open current entry of `zip` as `entry.leaf` in folder `dir`.
FileResult writeFileEntry(void* zip, int dir, const FileEntry& entry);

}  // namespace corvane::extraction
