#pragma once

#include <memory>
#include <string>

#include "runtime/main_loop.h"
#include "runtime/serial_queue.h"

namespace glimra {

// The threading model of the process: one main loop and any number of
// serial queues. Built once by the entry and alive until the process ends.
// Tests use a virtual-time implementation instead, in which every task
// runs on the test's thread and timers fire when the test advances time.
class Runtime {
 public:
  virtual ~Runtime() = default;

  virtual MainLoop& mainLoop() = 0;

  // A new serial queue; `name` labels its thread.
  virtual std::shared_ptr<SerialQueue> makeSerialQueue(const std::string& name) = 0;
};

}  // namespace glimra
