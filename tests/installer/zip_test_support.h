// Writes zip archives entry by entry with chosen names, host systems, attributes and dates,
// so that tests can build archives that the application's own writer never makes.
#pragma once

#include <gtest/gtest.h>
#include <zip.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace corvane::test {

struct ZipEntry {
  std::string name;
  std::string data;
  std::uint32_t externalAttributes = 0;  // upper 16 bits: Unix mode
  std::uint32_t dosDate = 0;             // 0: a fixed recent date
  bool unixHost = true;
  bool stored = false;  // stored as it is instead of deflated
};

inline std::uint32_t dosDate(int year, int month, int day, int hour, int minute, int second) {
  return (static_cast<std::uint32_t>(year - 1980) << 25) | (static_cast<std::uint32_t>(month) << 21) |
         (static_cast<std::uint32_t>(day) << 16) | (static_cast<std::uint32_t>(hour) << 11) |
         (static_cast<std::uint32_t>(minute) << 5) | static_cast<std::uint32_t>(second / 2);
}

// The Unix time of a local date (what the extractor reads a DOS date as).
inline time_t localTime(int year, int month, int day, int hour, int minute, int second) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return mktime(&t);
}

inline constexpr std::uint32_t kFileMode = 0100644u << 16;
inline constexpr std::uint32_t kFolderMode = 040755u << 16;
inline constexpr std::uint32_t kLinkMode = 0120777u << 16;

inline void writeZip(const std::string& path, const std::vector<ZipEntry>& entries) {
  zipFile zip = zipOpen(path.c_str(), APPEND_STATUS_CREATE);
  ASSERT_NE(zip, nullptr);
  for (const auto& e : entries) {
    zip_fileinfo info{};
    info.dosDate = e.dosDate != 0 ? e.dosDate : dosDate(2020, 6, 15, 12, 0, 0);
    info.external_fa = e.externalAttributes;
    const uLong madeBy = e.unixHost ? ((3u << 8) | 20u) : 20u;
    ASSERT_EQ(
        zipOpenNewFileInZip4(zip, e.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                             e.stored ? 0 : Z_DEFLATED, e.stored ? 0 : Z_DEFAULT_COMPRESSION, 0,
                             -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, madeBy, 0),
        ZIP_OK);
    if (!e.data.empty()) {
      ASSERT_EQ(zipWriteInFileInZip(zip, e.data.data(), static_cast<unsigned>(e.data.size())), ZIP_OK);
    }
    ASSERT_EQ(zipCloseFileInZip(zip), ZIP_OK);
  }
  ASSERT_EQ(zipClose(zip, nullptr), ZIP_OK);
}

// The bytes of a file, and a file made of bytes, for damaging archives by hand.
inline std::vector<std::uint8_t> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>());
}
inline void writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}
// The offset of the first occurrence of `text` at or after `from` (the archive's size when none).
inline std::size_t findBytes(const std::vector<std::uint8_t>& bytes, const std::string& text,
                             std::size_t from = 0) {
  auto it = std::search(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(),
                        text.begin(), text.end());
  return static_cast<std::size_t>(it - bytes.begin());
}
inline void put32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    bytes.at(at + static_cast<std::size_t>(i)) = static_cast<std::uint8_t>(value >> (8 * i));
}
// Rewrites the uncompressed size of the archive's only entry, in its local header (offset 22)
// and in its central directory record (offset 24).
inline void setDeclaredSize(const std::string& path, std::uint32_t size) {
  auto bytes = readBytes(path);
  const std::size_t local = findBytes(bytes, std::string("PK\3\4", 4));
  const std::size_t central = findBytes(bytes, std::string("PK\1\2", 4));
  ASSERT_LT(central, bytes.size());
  put32(bytes, local + 22, size);
  put32(bytes, central + 24, size);
  writeBytes(path, bytes);
}

}  // namespace corvane::test
