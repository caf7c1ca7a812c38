// The sender's own resource counts, read from /proc/self: resident memory, open descriptors
// and threads.
#pragma once

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>

namespace corvane::bench {

inline size_t entriesIn(const char* folder) {
  std::error_code error;
  size_t n = 0;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    ++n;
  }
  return n;
}

// VmRSS of this process in kB (0 when unreadable).
inline long residentKb() {
  std::ifstream in("/proc/self/status");
  std::string key;
  while (in >> key) {
    if (key == "VmRSS:") {
      long kb = 0;
      in >> kb;
      return kb;
    }
    in.ignore(4096, '\n');
  }
  return 0;
}

struct ProcessSample {
  long residentKb = 0;
  size_t descriptors = 0;  // the directory listing's own descriptor included
  size_t threads = 0;
};

inline ProcessSample sampleProcess() {
  return {residentKb(), entriesIn("/proc/self/fd"), entriesIn("/proc/self/task")};
}

}  // namespace corvane::bench
