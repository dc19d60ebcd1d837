#pragma once

#include <memory>
#include <string>

#include "runtime/runtime.h"

namespace glimra::testing {

// The tasks, timers and watches of a VirtualRuntime; defined with it.
class VirtualScheduler;

// A Runtime for unit tests, on a virtual clock that moves only when the
// test says so. Everything runs on the test's thread, the only thread that
// may use it: the main loop and every serial queue share one queue of
// tasks ordered by virtual due time, then by posting, so runs are
// deterministic. While a task runs, its queue is the current one.
//
// Differences from the real runtime, all following from the one thread:
// MainLoop::runAndWait runs its task at once, as the main loop, ahead of
// main-loop tasks already waiting; `run` returns when nothing is left to
// run instead of blocking forever (it advances virtual time to each task
// in turn, so with a repeating timer and no `quit` it never returns, like
// the real loop); descriptors become readable only through signalReadable.
//
// Queues, timers and watches may outlive the runtime; they are inert then.
// Destroying a queue drops its waiting tasks, as ThreadSerialQueue does.
class VirtualRuntime final : public Runtime {
 public:
  VirtualRuntime();
  ~VirtualRuntime() override;

  VirtualRuntime(const VirtualRuntime&) = delete;
  VirtualRuntime& operator=(const VirtualRuntime&) = delete;

  MainLoop& mainLoop() override;
  std::shared_ptr<SerialQueue> makeSerialQueue(const std::string& name) override;

  // Virtual time since the runtime was created.
  Duration now() const;

  // Runs every task due at the current time, on the main loop and on every
  // queue, including those that the tasks post for now. Time stays.
  void runUntilIdle();

  // Moves time forward by `delta`, stopping at the due time of each task on
  // the way to run it; ends at the old time plus `delta`, after running
  // what is due then.
  void advanceBy(Duration delta);

  // The descriptor watches that exist on the main loop.
  int watchedDescriptorCount() const;

  // Runs, as the main loop, the onReadable of each watch on `fd` that
  // still exists when its turn comes.
  void signalReadable(int fd);

 private:
  const std::shared_ptr<VirtualScheduler> scheduler_;
  // After scheduler_, so that it is destroyed first.
  const std::unique_ptr<MainLoop> mainLoop_;
};

}  // namespace glimra::testing
