#include "cli/listening_mode.h"

#include "cli/parent_process_monitor.h"

namespace glimra {

// X11 has no counterpart of an accessory activation policy: the helper
// never has a presence in a dock or task bar to hide.
void runListeningMode(KeyListenerProfile profile, NDJSONEmitter& emitter, Platform& platform) {
  MainLoop& mainLoop = platform.runtime->mainLoop();
  const std::shared_ptr<KeyListener> listener = KeyListener::create(
      std::move(profile), emitter, mainLoop, *platform.permissions, *platform.keyEventTaps);
  const std::shared_ptr<ParentProcessMonitor> parentMonitor =
      ParentProcessMonitor::create(*platform.processes, mainLoop);

  parentMonitor->start();
  listener->start();
  mainLoop.run();
}

}  // namespace glimra
