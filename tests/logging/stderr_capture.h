// Redirects standard error (descriptor 2) into a temporary file until `finish`, which puts
// the old descriptor back and returns what was written.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace corvane::test {

class StderrCapture {
 public:
  StderrCapture() {
    std::fflush(stderr);
    const char* dir = std::getenv("TMPDIR");
    std::string path =
        std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/corvane-stderr-XXXXXX";
    fd_ = ::mkstemp(path.data());
    if (fd_ < 0) return;
    ::unlink(path.c_str());
    saved_ = ::dup(STDERR_FILENO);
    ::dup2(fd_, STDERR_FILENO);
  }
  ~StderrCapture() { finish(); }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  bool ok() const { return fd_ >= 0; }

  std::string finish() {
    if (fd_ < 0) return text_;
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    ::lseek(fd_, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd_, buf, sizeof(buf))) > 0) text_.append(buf, static_cast<size_t>(n));
    ::close(fd_);
    fd_ = -1;
    return text_;
  }

 private:
  int fd_ = -1;
  int saved_ = -1;
  std::string text_;
};

}  // namespace corvane::test
