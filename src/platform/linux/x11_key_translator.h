#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "platform/key_event.h"

namespace glimra {

// Turns X11 key and button presses into the core's KeyEvents. X11 has no
// flag word, so the translator keeps one itself: it knows which modifier
// keys are down and whether Caps Lock is on. Modifier keys are recognised by
// the first keysym of their keycode in the keyboard mapping it is given.
// Pure: no connection, fed keycodes and button numbers. Owned by one tap,
// used on the main thread.
class X11KeyTranslator {
 public:
  // A key that is no modifier has no virtual key code on X11 (the core only
  // reads the key codes of modifiers); its key downs carry this one, which
  // no modifier uses.
  static constexpr std::uint16_t kNonModifierKeyCode = 0xFFFF;

  // `firstKeysyms[i]` is the first keysym of keycode `firstKeycode + i`.
  void setKeyboardMapping(std::uint32_t firstKeycode, std::vector<std::uint32_t> firstKeysyms);
  void setCapsLockOn(bool on) { capsLockOn_ = on; }

  // A modifier gives a flags-changed event with the flag word after the
  // press; a modifier already down (X repeats none, but a repeat flag or a
  // second press is possible) gives nothing. Any other key is a key down.
  std::optional<KeyEvent> keyPressed(std::uint32_t keycode, bool isRepeat);
  // A modifier gives a flags-changed event; other keys give nothing.
  std::optional<KeyEvent> keyReleased(std::uint32_t keycode);
  // Button 1 and 3 are the left and right button, 4 to 7 the scroll wheel
  // in both directions, any other an other mouse button.
  KeyEvent buttonPressed(std::uint32_t button) const;

  std::uint64_t flags() const;

 private:
  // The virtual key code of the modifier on `keycode`, if it is one.
  std::optional<std::uint16_t> modifierOnKeycode(std::uint32_t keycode) const;

  std::uint32_t firstKeycode_ = 0;
  std::vector<std::uint32_t> firstKeysyms_;
  // Keycodes of the modifier keys down, with the virtual key code each had
  // when pressed, so a mapping change in between cannot strand a flag.
  std::map<std::uint32_t, std::uint16_t> modifiersDown_;
  bool capsLockOn_ = false;
};

}  // namespace glimra
