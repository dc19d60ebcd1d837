#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace glimra::testing {

// Everything this process writes to standard error while it lives, kept in
// memory; for checking that a backend prints nothing.
class StandardErrorCapture {
 public:
  StandardErrorCapture() : file_(::memfd_create("stderr", MFD_CLOEXEC)), saved_(::dup(2)) {
    std::fflush(stderr);
    ::dup2(file_, 2);
  }
  ~StandardErrorCapture() {
    restore();
    ::close(file_);
  }
  StandardErrorCapture(const StandardErrorCapture&) = delete;
  StandardErrorCapture& operator=(const StandardErrorCapture&) = delete;

  // Ends the capture and returns what was written.
  std::string text() {
    restore();
    std::string captured;
    char buffer[4096];
    ssize_t count;
    while ((count = ::pread(file_, buffer, sizeof buffer, static_cast<off_t>(captured.size()))) >
           0) {
      captured.append(buffer, static_cast<std::size_t>(count));
    }
    return captured;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
  }

  int file_;
  int saved_;
};

}  // namespace glimra::testing
