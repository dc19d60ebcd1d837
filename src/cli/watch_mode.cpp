#include "cli/watch_mode.h"

#include <sys/stat.h>

#include "capture/glimra_capture_coordinator.h"
#include "capture/private_output.h"
#include "cli/listening_mode.h"
#include "listeners/option_chord_monitor.h"

namespace glimra {

void runWatchMode(const modes::Watch& mode, NDJSONEmitter& emitter, Platform& platform) {
  // Everything the helper creates from here on is private to the user.
  ::umask(077);
  if (std::optional<GlimraFailure> failure = preparePrivateOutputDirectory(mode.outputDirectory)) {
    throw GlimraError(*failure);
  }

  const std::shared_ptr<GlimraCaptureCoordinator> coordinator =
      GlimraCaptureCoordinator::create(emitter, mode.outputDirectory, mode.excludedBundleIdentifier,
                                       {*platform.runtime, *platform.permissions, *platform.windows,
                                        *platform.windowCapture, *platform.captureFeedback});
  auto monitor =
      std::make_shared<OptionChordMonitor>([coordinator] { coordinator->handleGesture(); });
  runListeningMode(
      {.listener = failures::Listener::optionChord,
       .mask = OptionChordMonitor::kEventMask,
       .handleEvent = [monitor](const KeyEvent& event) { monitor->handleEvent(event); },
       .resetDetection = [monitor] { monitor->reset(); }},
      emitter, platform);
}

}  // namespace glimra
