#pragma once

#include <cstdint>
#include <optional>

#include "platform/accessibility_service.h"
#include "protocol/ndjson_emitter.h"
#include "runtime/main_loop.h"

namespace glimra {

// Runs `--focused-text-target`: inspects the focused element of the
// application `pid` names (else of the frontmost one) and writes the report
// as one `focusedTextTarget` event. Runs `mainLoop` only while repeated
// probes wait, and returns once the event is written; it never fails.
void runFocusedTextTargetMode(std::optional<std::int32_t> pid, NDJSONEmitter& emitter,
                              AccessibilityService& accessibility, MainLoop& mainLoop);

}  // namespace glimra
