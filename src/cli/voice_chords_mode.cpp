#include "cli/voice_chords_mode.h"

#include "cli/parent_process_monitor.h"
#include "listeners/key_listener.h"
#include "listeners/voice_chord_monitor.h"

namespace glimra {

// X11 has no counterpart of an accessory activation policy: the helper
// never has a presence in a dock or task bar to hide.
void runVoiceChordsMode(NDJSONEmitter& emitter, Platform& platform) {
  MainLoop& mainLoop = platform.runtime->mainLoop();

  auto monitor = std::make_shared<VoiceChordMonitor>(
      [&emitter](const std::vector<std::string>& modifiers) {
        emitter.emit(voiceChordEvent(modifiers));
      });
  const std::shared_ptr<KeyListener> listener = KeyListener::create(
      {.listener = failures::Listener::voiceChord,
       .mask = VoiceChordMonitor::kEventMask,
       .handleEvent = [monitor](const KeyEvent& event) { monitor->handleEvent(event); },
       .resetDetection = [monitor] { monitor->reset(); }},
      emitter, mainLoop, *platform.permissions, *platform.keyEventTaps);
  const std::shared_ptr<ParentProcessMonitor> parentMonitor =
      ParentProcessMonitor::create(*platform.processes, mainLoop);

  // The parent monitor goes first: a helper whose parent is already gone
  // ends before it installs a tap or says `ready`.
  parentMonitor->start();
  listener->start();
  mainLoop.run();
}

}  // namespace glimra
