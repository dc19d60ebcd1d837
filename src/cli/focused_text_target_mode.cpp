#include "cli/focused_text_target_mode.h"

#include "accessibility/focused_text_target.h"

namespace glimra {

void runFocusedTextTargetMode(std::optional<std::int32_t> pid, NDJSONEmitter& emitter,
                              AccessibilityService& accessibility, MainLoop& mainLoop) {
  bool reported = false;
  inspectFocusedTextTarget(accessibility, mainLoop, pid,
                           [&](const FocusedTextTargetReport& report) {
                             emitter.emitFocusedTextTarget(report);
                             reported = true;
                             mainLoop.quit();
                           });
  // Most inspections complete at once; only repeated probes need the loop.
  if (!reported) mainLoop.run();
}

}  // namespace glimra
