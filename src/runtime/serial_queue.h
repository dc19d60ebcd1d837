#pragma once

#include "runtime/task.h"

namespace glimra {

// Runs its tasks one at a time, in the order they become due, on a thread
// of its own (never the main thread). Any thread may post. Work that
// outlives its owner captures a weak pointer to it.
class SerialQueue {
 public:
  virtual ~SerialQueue() = default;

  virtual void post(Task task) = 0;
  virtual void postDelayed(Duration delay, Task task) = 0;

  // Whether the calling code is running as one of this queue's tasks.
  virtual bool isCurrent() const = 0;
};

}  // namespace glimra
