#pragma once

#include <memory>
#include <string>

#include "platform/linux/glib_main_loop.h"
#include "runtime/runtime.h"

namespace glimra {

// The process's runtime on Linux: the main loop on GLib's default context
// and serial queues on threads of their own. Created on the main thread by
// the platform and kept until the process ends.
class GLibRuntime final : public Runtime {
 public:
  MainLoop& mainLoop() override { return mainLoop_; }
  std::shared_ptr<SerialQueue> makeSerialQueue(const std::string& name) override;

 private:
  GLibMainLoop mainLoop_;
};

}  // namespace glimra
