#include <memory>

#include "platform/linux/atspi_accessibility_service.h"
#include "platform/linux/gio_application_registry.h"
#include "platform/linux/glib_runtime.h"
#include "platform/linux/linux_process_service.h"
#include "platform/linux/x11_capture_feedback_service.h"
#include "platform/linux/x11_window_capture_service.h"
#include "platform/linux/x11_window_service.h"
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
  platform.windows = std::make_unique<X11WindowService>();
  platform.windowCapture = std::make_unique<X11WindowCaptureService>();
  platform.captureFeedback = std::make_unique<X11CaptureFeedbackService>();
  platform.applicationRegistry = std::make_unique<GioApplicationRegistry>();
  platform.accessibility = std::make_unique<AtspiAccessibilityService>();
  return platform;
}

}  // namespace glimra
