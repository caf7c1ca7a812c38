#include "installer/zip_entry_data.h"

#include <unzip.h>
#include <zlib.h>

#include <vector>

namespace corvane::extraction {

namespace {
constexpr unsigned kReadPiece = 4096;
}  // namespace

DataStatus readEntryData(
    void* zip, const DataExpectation& expected,
    const std::function<bool(const std::uint8_t* bytes, std::size_t size)>& sink) {
  if (expected.declaredSize > expected.limit) return DataStatus::TooLarge;
  std::vector<Bytef> buffer(kReadPiece);
  std::uint64_t total = 0;
  uLong crc = crc32(0L, Z_NULL, 0);
  for (;;) {
    const int n = unzReadCurrentFile(static_cast<unzFile>(zip), buffer.data(), kReadPiece);
    if (n < 0) return DataStatus::Damaged;
    if (n == 0) break;
    const auto size = static_cast<std::size_t>(n);
    total += size;
    if (total > expected.limit) return DataStatus::TooLarge;
    if (total > expected.declaredSize) return DataStatus::Damaged;
    crc = crc32(crc, buffer.data(), static_cast<uInt>(size));
    if (!sink(buffer.data(), size)) return DataStatus::Stopped;
  }
  if (total != expected.declaredSize || crc != expected.crc) return DataStatus::Damaged;
  return DataStatus::Complete;
}

}  // namespace corvane::extraction
