#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace glimra::testing {

// Polls `condition` every few milliseconds until it holds or `limit` passes;
// whether it came to hold. For what another process does in its own time
// (a window manager, a toolkit's accessibility tree).
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace glimra::testing
