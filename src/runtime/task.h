#pragma once

#include <chrono>
#include <functional>

namespace glimra {

// A unit of work posted to a main loop or a serial queue.
using Task = std::function<void()>;

// Delays and intervals of timers and posted tasks.
using Duration = std::chrono::steady_clock::duration;

}  // namespace glimra
