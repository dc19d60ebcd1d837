#pragma once

#include <string>
#include <thread>

#include "runtime/due_task_queue.h"
#include "runtime/serial_queue.h"

namespace glimra {

// A serial queue with a worker thread of its own, named after the queue
// (the first 15 bytes: the kernel's limit). Tasks run one at a time in the
// order of their due time on the steady clock, then of posting; a task
// never runs before it is due. Any thread may post.
//
// In the helper, queues live until the process ends with _exit. Tests
// destroy them, so destruction is defined: it stops the queue at once.
// Tasks that have not started are dropped without running, due or not,
// and so is anything posted from then on; the task that is running, if
// any, finishes, and the destructor returns once the thread has ended.
// Dropped tasks are destroyed on the destroying thread. Because it waits
// for the running task, a queue is destroyed from a thread that task never
// waits for: never from the queue's own tasks (asserted), and not from the
// main thread while a task of the queue may be blocked in
// MainLoop::runAndWait.
class ThreadSerialQueue final : public SerialQueue {
 public:
  explicit ThreadSerialQueue(const std::string& name);
  ~ThreadSerialQueue() override;

  ThreadSerialQueue(const ThreadSerialQueue&) = delete;
  ThreadSerialQueue& operator=(const ThreadSerialQueue&) = delete;

  void post(Task task) override;
  void postDelayed(Duration delay, Task task) override;
  bool isCurrent() const override;

 private:
  void runTasks(const std::string& name);

  DueTaskQueue tasks_;
  std::thread thread_;  // last: it starts once the queue above exists
};

}  // namespace glimra
