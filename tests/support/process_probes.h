#pragma once

#include <signal.h>
#include <sys/wait.h>

#include <cstddef>
#include <filesystem>
#include <iterator>

namespace glimra::testing {

// Whether this process has children, running or exited but not yet reaped.
// Meaningful only while no other test keeps a child across tests.
inline bool hasChildProcesses() {
  siginfo_t info{};
  return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

// How many descriptors this process has open, to spot leaks.
inline std::size_t openDescriptorCount() {
  auto entries = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<std::size_t>(std::distance(begin(entries), end(entries)));
}

}  // namespace glimra::testing
