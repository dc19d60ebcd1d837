#include <memory>

#include "platform/linux/glib_runtime.h"
#include "platform/linux/linux_process_service.h"
#include "platform/linux/xcb_key_event_tap.h"
#include "platform/linux/xcb_permission_service.h"
#include "platform/platform.h"

namespace glimra {

Platform makePlatform() {
  Platform platform;
  platform.runtime = std::make_unique<GLibRuntime>();
  platform.permissions = std::make_unique<XcbPermissionService>();
  platform.keyEventTaps = std::make_unique<XcbKeyEventTapFactory>();
  platform.processes = std::make_unique<LinuxProcessService>();
  return platform;
}

}  // namespace glimra
