#include "runtime/thread_serial_queue.h"

#include <pthread.h>

#include <algorithm>
#include <cassert>
#include <optional>
#include <utility>

namespace glimra {
namespace {

// The queue whose worker is the calling thread, if any. Set once by the
// worker itself, so isCurrent() needs no lock and no thread id of another
// thread.
thread_local const ThreadSerialQueue* tCurrentQueue = nullptr;

// Thread names are limited to 16 bytes with the terminating NUL.
constexpr std::size_t kMaxThreadNameLength = 15;

}  // namespace

ThreadSerialQueue::ThreadSerialQueue(const std::string& name)
    : thread_([this, name] { runTasks(name); }) {}

ThreadSerialQueue::~ThreadSerialQueue() {
  assert(!isCurrent() && "a serial queue cannot wait for its own thread");
  std::map<Key, Task> dropped;
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
    dropped.swap(tasks_);
  }
  wake_.notify_one();
  // Outside the lock: a dropped task's captures may post here on release.
  dropped.clear();
  thread_.join();
}

void ThreadSerialQueue::post(Task task) { postDelayed(Duration::zero(), std::move(task)); }

void ThreadSerialQueue::postDelayed(Duration delay, Task task) {
  assert(task);
  {
    const std::lock_guard lock(mutex_);
    if (!stopping_) {
      // Reading the clock under the lock keeps due times in posting order
      // for equal delays, whichever threads post.
      const Key key{Clock::now() + std::max(delay, Duration::zero()), nextSequence_++};
      tasks_.emplace(key, std::move(task));
      wake_.notify_one();
      return;
    }
  }
  // Stopping: `task` is dropped here, outside the lock, as the destructor does.
}

bool ThreadSerialQueue::isCurrent() const { return tCurrentQueue == this; }

void ThreadSerialQueue::runTasks(const std::string& name) {
  tCurrentQueue = this;
  pthread_setname_np(pthread_self(), name.substr(0, kMaxThreadNameLength).c_str());
  while (std::optional<Task> task = takeNextDueTask()) {
    (*task)();
    // The task and its captures are released here, before the lock is taken again.
  }
}

std::optional<Task> ThreadSerialQueue::takeNextDueTask() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (tasks_.empty()) {
      wake_.wait(lock);
      continue;
    }
    // A copy: the destructor may drop the entry while this thread waits.
    const Clock::time_point due = tasks_.begin()->first.due;
    if (due > Clock::now()) {
      // A post may bring an earlier task, so wait for the due time or a wake.
      wake_.wait_until(lock, due);
      continue;
    }
    return std::move(tasks_.extract(tasks_.begin()).mapped());
  }
  return std::nullopt;
}

}  // namespace glimra
