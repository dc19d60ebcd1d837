#pragma once

#include <functional>

#include "platform/key_event.h"

namespace glimra {

// Detects the Option chord: the left and the right Option key held down at
// the same time. Calls `onChord` once per chord, on the flags-changed event
// of whichever key goes down second; holding both fires once, and the
// latch clears only when an Option-key event shows fewer than two Option
// keys down, or on `reset`. Other modifiers neither prevent nor cancel a
// chord.
//
// A pure state machine over (type, key code, flags); its KeyListener feeds
// it on the main loop, where `onChord` also runs.
class OptionChordMonitor {
 public:
  static constexpr KeyEventMask kEventMask = maskOf(key_event_types::kFlagsChanged);

  explicit OptionChordMonitor(std::function<void()> onChord) : onChord_(std::move(onChord)) {}

  void handleEvent(const KeyEvent& event);

  // Forgets which keys are down and the latch, as when the listener was
  // disabled and may have missed events.
  void reset();

  bool chordIsLatched() const { return chordIsLatched_; }
  bool leftOptionIsDown() const { return leftOptionIsDown_; }
  bool rightOptionIsDown() const { return rightOptionIsDown_; }

 private:
  std::function<void()> onChord_;
  bool chordIsLatched_ = false;
  bool leftOptionIsDown_ = false;
  bool rightOptionIsDown_ = false;
};

}  // namespace glimra
