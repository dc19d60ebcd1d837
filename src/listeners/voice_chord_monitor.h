#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/key_event.h"
#include "protocol/ndjson_emitter.h"

namespace glimra {

// Follows chords made of modifier keys only. A session begins when a
// modifier goes down while none is held, collects every modifier pressed
// until all are released, and then reports the collected names in
// canonical order through `onChord`. A key press, mouse button press or
// scroll while a modifier is held cancels the session: it still runs until
// every modifier is up, and then ends without a report.
//
// A pure state machine over (type, key code, flags); its KeyListener feeds
// it on the main loop, where `onChord` also runs.
class VoiceChordMonitor {
 public:
  using OnChord = std::function<void(const std::vector<std::string>& modifiers)>;

  static constexpr KeyEventMask kEventMask =
      maskOf(key_event_types::kLeftMouseDown) | maskOf(key_event_types::kRightMouseDown) |
      maskOf(key_event_types::kKeyDown) | maskOf(key_event_types::kFlagsChanged) |
      maskOf(key_event_types::kScrollWheel) | maskOf(key_event_types::kOtherMouseDown);

  explicit VoiceChordMonitor(OnChord onChord) : onChord_(std::move(onChord)) {}

  void handleEvent(const KeyEvent& event);

  // Drops the current session without a report.
  void reset();

  // The names of `names` that are modifier names, in canonical order:
  // left-ctrl, right-ctrl, left-alt, right-alt, left-shift, right-shift,
  // left-cmd, right-cmd, fn.
  static std::vector<std::string> canonicalOrder(const std::set<std::string>& names);

  const std::set<std::string>& sessionModifiers() const { return sessionModifiers_; }
  const std::set<std::string>& heldModifiers() const { return heldModifiers_; }
  bool sessionCancelled() const { return sessionCancelled_; }

 private:
  void cancelIfHolding();
  void release(const std::string& name);

  OnChord onChord_;
  std::set<std::string> sessionModifiers_;
  std::set<std::string> heldModifiers_;
  bool sessionCancelled_ = false;
};

// The `voiceChord` event for a completed chord.
Event voiceChordEvent(const std::vector<std::string>& modifiers);

}  // namespace glimra
