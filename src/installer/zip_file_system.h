// File-system helpers of the zip extraction: an owned descriptor, folders opened (and made)
// component by component without following symbolic links, dates set without following
// them, and the entries' MS-DOS dates.
//
// Threads: any; nothing is shared.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane::extraction {

// An owned descriptor, closed when it goes.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd();
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

// The non-empty components of a "/"-separated path.
std::vector<std::string> splitPath(const std::string& path);
// The components joined with "/".
std::string joinPath(const std::vector<std::string>& parts, std::size_t count);

// Opens the folders `parts[0..count)` below the folder `root`, never following a symbolic
// link; with `create` missing ones are made, dated `date` when given. Invalid (errno set) when
// a component is missing, not a folder, or a link.
Fd openFolders(int root, const std::vector<std::string>& parts, std::size_t count, bool create,
               std::optional<double> date);

// A reference date (seconds since 2001-01-01) as a timespec.
struct timespec toTimespec(double referenceDate);
// Sets the modification and access dates of `leaf` in folder `dir` without following a link.
void setDateAt(int dir, const char* leaf, double date);
// MS-DOS date and time, read as local time, as seconds since the reference date.
double dosDateToReference(std::uint64_t dos);

}  // namespace corvane::extraction
