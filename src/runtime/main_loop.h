#pragma once

#include <memory>

#include "runtime/task.h"

namespace glimra {

// A repeating timer or a descriptor watch on the main loop. Destroying the
// handle stops it; its task never runs afterwards. It may be destroyed from
// inside its own task, which then finishes safely. Main thread only.
class LoopSource {
 public:
  virtual ~LoopSource() = default;
};

// The main thread's event loop: key-event callbacks, every timer and the
// work that must run on the main thread. On Linux it is GLib's default main
// context, so X11, GIO and AT-SPI sources share it.
//
// `post` and `postDelayed` may be called from any thread; everything else
// only on the main thread, which is the thread that calls `run`.
class MainLoop {
 public:
  virtual ~MainLoop() = default;

  // Runs `task` on the main loop, after the tasks posted before it.
  virtual void post(Task task) = 0;

  // Runs `task` once on the main loop after `delay`. There is no handle:
  // a task that may outlive its owner captures a weak pointer to it.
  virtual void postDelayed(Duration delay, Task task) = 0;

  // Runs `task` every `interval`, the first time `interval` from now.
  virtual std::unique_ptr<LoopSource> startRepeatingTimer(Duration interval, Task task) = 0;

  // Runs `onReadable` each time `fd` is readable, has hung up or failed.
  // The caller keeps ownership of the descriptor and keeps it open while
  // the watch exists.
  virtual std::unique_ptr<LoopSource> watchReadable(int fd, Task onReadable) = 0;

  // Blocks the calling thread until `task` has run on the main loop. For
  // serial queues only: the main loop never waits for a queue, so calling
  // this on the main thread is a bug.
  virtual void runAndWait(Task task) = 0;

  // Runs the loop on the calling thread until `quit`.
  virtual void run() = 0;
  virtual void quit() = 0;
};

}  // namespace glimra
