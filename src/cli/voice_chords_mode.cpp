#include "cli/voice_chords_mode.h"

#include "cli/listening_mode.h"
#include "listeners/voice_chord_monitor.h"

namespace glimra {

void runVoiceChordsMode(NDJSONEmitter& emitter, Platform& platform) {
  auto monitor =
      std::make_shared<VoiceChordMonitor>([&emitter](const std::vector<std::string>& modifiers) {
        emitter.emit(voiceChordEvent(modifiers));
      });
  runListeningMode(
      {.listener = failures::Listener::voiceChord,
       .mask = VoiceChordMonitor::kEventMask,
       .handleEvent = [monitor](const KeyEvent& event) { monitor->handleEvent(event); },
       .resetDetection = [monitor] { monitor->reset(); }},
      emitter, platform);
}

}  // namespace glimra
