#include "platform/linux/glib_runtime.h"

#include "runtime/thread_serial_queue.h"

namespace glimra {

std::shared_ptr<SerialQueue> GLibRuntime::makeSerialQueue(const std::string& name) {
  return std::make_shared<ThreadSerialQueue>(name);
}

}  // namespace glimra
