#include "runtime/thread_serial_queue.h"

#include <pthread.h>

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
  tasks_.close();
  thread_.join();
}

void ThreadSerialQueue::post(Task task) { postDelayed(Duration::zero(), std::move(task)); }

void ThreadSerialQueue::postDelayed(Duration delay, Task task) {
  assert(task);
  // Refused once stopping: `task` is then dropped here, outside the lock.
  tasks_.push(delay, task);
}

bool ThreadSerialQueue::isCurrent() const { return tCurrentQueue == this; }

void ThreadSerialQueue::runTasks(const std::string& name) {
  tCurrentQueue = this;
  pthread_setname_np(pthread_self(), name.substr(0, kMaxThreadNameLength).c_str());
  while (std::optional<Task> task = tasks_.waitForDueTask()) {
    (*task)();
    // The task and its captures are released here, before the next wait.
  }
}

}  // namespace glimra
