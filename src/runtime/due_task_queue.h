#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

#include "runtime/task.h"

namespace glimra {

// Tasks waiting to run, ordered by their due time on the steady clock and
// then by posting. Any thread may push; the thread that runs them either
// blocks until one is due (a serial queue's worker) or asks which is due
// (a main loop's source). Once closed it holds nothing and takes nothing.
class DueTaskQueue {
 public:
  using Clock = std::chrono::steady_clock;

  // Takes `task` to run after `delay`; false, leaving `task` to the caller
  // to drop outside any lock, once the queue is closed.
  bool push(Duration delay, Task& task);

  // The due time of the first task, if there is one.
  std::optional<Clock::time_point> firstDue();

  // The first task if it is due by `limit`.
  std::optional<Task> takeDueBy(Clock::time_point limit);

  // Blocks until the first task is due and takes it; nothing once closed.
  std::optional<Task> waitForDueTask();

  // Refuses further tasks, drops the waiting ones and wakes a waiter. The
  // dropped tasks are destroyed outside the lock, in case their captures
  // push on release.
  void close();

 private:
  struct Key {
    Clock::time_point due;
    std::uint64_t sequence;
    auto operator<=>(const Key&) const = default;
  };

  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<Key, Task> tasks_;
  std::uint64_t nextSequence_ = 0;
  bool closed_ = false;
};

}  // namespace glimra
