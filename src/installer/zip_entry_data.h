// Reading the data of the open current entry of a minizip archive, checked: the bytes must
// inflate without error, come to exactly the size the header declared and match its CRC-32,
// and never exceed a limit, so a damaged or bomb entry is told apart from a good one.
//
// Threads: the caller's; the archive handle belongs to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace corvane::extraction {

// The most any file entry may hold when unpacked.
inline constexpr std::uint64_t kMaxEntrySize = std::uint64_t{1} << 30;  // 1 GiB

enum class DataStatus {
  Complete,  // every byte read, size and CRC as declared
  Damaged,   // a read (inflate) error, or size or CRC not as declared
  TooLarge,  // more than the limit
  Stopped,   // the sink answered false
};

struct DataExpectation {
  std::uint64_t declaredSize = 0;
  std::uint64_t crc = 0;
  std::uint64_t limit = kMaxEntrySize;
};

// Reads the current entry of `zip` (minizip's unzFile) in 4096-byte pieces into `sink`,
// which answers false to stop reading.
DataStatus readEntryData(
    void* zip, const DataExpectation& expected,
    const std::function<bool(const std::uint8_t* bytes, std::size_t size)>& sink);

}  // namespace corvane::extraction
