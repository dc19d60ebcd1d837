#include "listeners/option_chord_monitor.h"

namespace glimra {

void OptionChordMonitor::handleEvent(const KeyEvent& event) {
  if (event.type != key_event_types::kFlagsChanged) return;
  if (event.keyCode != key_codes::kLeftOption && event.keyCode != key_codes::kRightOption) return;

  // Which side is down comes from the device-dependent bits alone; the key
  // code only selects the events worth examining.
  leftOptionIsDown_ = (event.flags & key_flags::kLeftOption) != 0;
  rightOptionIsDown_ = (event.flags & key_flags::kRightOption) != 0;

  if ((event.flags & key_flags::kOption) == 0) {
    reset();
    return;
  }
  if (!leftOptionIsDown_ || !rightOptionIsDown_) {
    chordIsLatched_ = false;
    return;
  }
  if (chordIsLatched_) return;
  chordIsLatched_ = true;
  onChord_();
}

void OptionChordMonitor::reset() {
  chordIsLatched_ = false;
  leftOptionIsDown_ = false;
  rightOptionIsDown_ = false;
}

}  // namespace glimra
