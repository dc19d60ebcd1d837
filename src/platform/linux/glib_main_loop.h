#pragma once

#include <glib.h>

#include <memory>

#include "runtime/due_task_queue.h"
#include "runtime/main_loop.h"
#include "runtime/sequence_checker.h"

namespace glimra {

namespace glib {

// A source we created or attached and hold a reference to: released by
// destroying it, so its callback never runs again (an unattached source is
// only marked inactive), and dropping our reference.
struct AttachedSourceDeleter {
  void operator()(GSource* source) const {
    g_source_destroy(source);
    g_source_unref(source);
  }
};
using AttachedSource = std::unique_ptr<GSource, AttachedSourceDeleter>;

struct MainLoopDeleter {
  void operator()(GMainLoop* loop) const { g_main_loop_unref(loop); }
};
using MainLoopPtr = std::unique_ptr<GMainLoop, MainLoopDeleter>;

}  // namespace glib

// The main loop on GLib's default main context, which X11, GIO and AT-SPI
// sources attached elsewhere share. Created on the main thread, which is
// then the only thread that may call it, except for `post`, `postDelayed`
// and `runAndWait`.
//
// Posted and delayed tasks wait in one queue of ours, ordered by due time
// on the steady clock and then by posting, served by one source at the
// default priority; posting wakes the context. Timers and descriptor
// watches are GLib sources of their own. Tasks must not throw: an exception
// cannot cross GLib's dispatch, so it ends the process.
//
// Destroying the loop drops the tasks not yet run, so none runs afterwards
// even when the default context is iterated later; a thread blocked in
// `runAndWait` then returns without its task having run. Timers and watches
// belong to their handles and stop when those are destroyed.
class GLibMainLoop final : public MainLoop {
 public:
  GLibMainLoop();
  ~GLibMainLoop() override;

  GLibMainLoop(const GLibMainLoop&) = delete;
  GLibMainLoop& operator=(const GLibMainLoop&) = delete;

  void post(Task task) override;
  void postDelayed(Duration delay, Task task) override;
  std::unique_ptr<LoopSource> startRepeatingTimer(Duration interval, Task task) override;
  std::unique_ptr<LoopSource> watchReadable(int fd, Task onReadable) override;
  void runAndWait(Task task) override;
  void run() override;
  void quit() override;

 private:
  // Attaches a new source whose callback repeats until its handle goes.
  std::unique_ptr<LoopSource> attachRepeating(glib::AttachedSource source);

  GMainContext* const context_;
  const glib::MainLoopPtr loop_;
  const std::unique_ptr<DueTaskQueue> tasks_;
  // After tasks_, so that it is destroyed first: it dispatches from them.
  glib::AttachedSource taskSource_;
  SequenceChecker sequence_;
};

}  // namespace glimra
