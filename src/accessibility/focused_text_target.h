#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "platform/accessibility_service.h"
#include "protocol/focused_text_target_report.h"
#include "runtime/main_loop.h"
#include "runtime/task.h"

namespace glimra {

// Focus reported on a container, or on an element without a role, is often
// still on its way to a control: the probe is repeated after this pause...
inline constexpr Duration kRepeatedProbePause = std::chrono::milliseconds(120);
// ...at most this many times.
inline constexpr int kMaxRepeatedProbes = 2;

using FocusedTextTargetCompletion = std::function<void(FocusedTextTargetReport)>;

// Whether the focused element of the application with process id
// `pidOverride` (when it names a running application), else of the frontmost
// application, takes typed text. Every outcome, a missing permission
// included, is a report: `completion` runs exactly once on the main thread,
// before this returns when no repeated probe is needed, else after the
// pauses, which are timers on `mainLoop`. Main thread only; `service` must
// outlive the inspection.
void inspectFocusedTextTarget(AccessibilityService& service, MainLoop& mainLoop,
                              std::optional<std::int32_t> pidOverride,
                              FocusedTextTargetCompletion completion);

}  // namespace glimra
