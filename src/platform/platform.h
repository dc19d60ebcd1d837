#pragma once

#include <memory>

#include "platform/accessibility_service.h"
#include "platform/application_registry.h"
#include "platform/capture_feedback_service.h"
#include "platform/key_event_tap.h"
#include "platform/permission_service.h"
#include "platform/process_service.h"
#include "platform/window_capture_service.h"
#include "platform/window_service.h"
#include "runtime/runtime.h"

namespace glimra {

// The operating system's services, one interface each, as the core sees
// them. The entry builds one Platform per run after the command line has
// been parsed; backends connect to their servers lazily, on first use.
struct Platform {
  // First, so that it goes last: the services may hold sources on its loop.
  std::unique_ptr<Runtime> runtime;
  std::unique_ptr<PermissionService> permissions;
  std::unique_ptr<KeyEventTapFactory> keyEventTaps;
  std::unique_ptr<ProcessService> processes;
  std::unique_ptr<WindowService> windows;
  std::unique_ptr<WindowCaptureService> windowCapture;
  std::unique_ptr<CaptureFeedbackService> captureFeedback;
  std::unique_ptr<ApplicationRegistry> applicationRegistry;
  std::unique_ptr<AccessibilityService> accessibility;
};

// Builds the Platform of the operating system this binary was built for.
Platform makePlatform();

}  // namespace glimra
