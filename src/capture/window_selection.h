#pragma once

#include <string>

#include "capture/selected_window.h"
#include "platform/window_service.h"
#include "protocol/glimra_failure.h"

namespace glimra {

// The window of the frontmost application to capture, never one of the
// application whose bundle identifier is `excludedBundleIdentifier`.
// Main thread only; keeps no state between calls.
Result<SelectedWindow> selectFrontmostWindow(WindowService& windows,
                                             const std::string& excludedBundleIdentifier);

}  // namespace glimra
