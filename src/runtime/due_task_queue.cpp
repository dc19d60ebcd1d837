#include "runtime/due_task_queue.h"

#include <algorithm>
#include <utility>

namespace glimra {

bool DueTaskQueue::push(Duration delay, Task& task) {
  const std::lock_guard lock(mutex_);
  if (closed_) return false;
  // Reading the clock under the lock keeps due times in posting order for
  // equal delays, whichever threads post.
  const Key key{Clock::now() + std::max(delay, Duration::zero()), nextSequence_++};
  tasks_.emplace(key, std::move(task));
  wake_.notify_one();
  return true;
}

std::optional<DueTaskQueue::Clock::time_point> DueTaskQueue::firstDue() {
  const std::lock_guard lock(mutex_);
  if (tasks_.empty()) return std::nullopt;
  return tasks_.begin()->first.due;
}

std::optional<Task> DueTaskQueue::takeDueBy(Clock::time_point limit) {
  const std::lock_guard lock(mutex_);
  if (tasks_.empty() || tasks_.begin()->first.due > limit) return std::nullopt;
  return std::move(tasks_.extract(tasks_.begin()).mapped());
}

std::optional<Task> DueTaskQueue::waitForDueTask() {
  std::unique_lock lock(mutex_);
  while (!closed_) {
    if (tasks_.empty()) {
      wake_.wait(lock);
      continue;
    }
    // A copy: close() may drop the entry while this thread waits.
    const Clock::time_point due = tasks_.begin()->first.due;
    if (due > Clock::now()) {
      // A push may bring an earlier task, so wait for the due time or a wake.
      wake_.wait_until(lock, due);
      continue;
    }
    return std::move(tasks_.extract(tasks_.begin()).mapped());
  }
  return std::nullopt;
}

void DueTaskQueue::close() {
  std::map<Key, Task> dropped;
  {
    const std::lock_guard lock(mutex_);
    closed_ = true;
    dropped.swap(tasks_);
  }
  wake_.notify_all();
}

}  // namespace glimra
