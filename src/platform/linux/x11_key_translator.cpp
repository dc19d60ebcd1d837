#include "platform/linux/x11_key_translator.h"

#include <X11/keysym.h>

#include <utility>

namespace glimra {
namespace {

// XF86XK_Fn, the evdev code KEY_FN (0x1D0) in the keysym range for evdev
// codes. <X11/XF86keysym.h> builds it with a macro that it undefines at its
// end, so the name cannot be used.
constexpr std::uint32_t kXF86Fn = 0x10081000 + 0x1D0;

struct ModifierKey {
  std::uint32_t keysym;
  std::uint16_t keyCode;
};

// Meta_L and Meta_R count only where they are a key's first keysym, which
// few layouts do; the usual Alt keys carry Meta as their second. Right Alt
// is ISO_Level3_Shift (AltGr) in many layouts, and still the right Option.
constexpr ModifierKey kModifierKeys[] = {
    {XK_Alt_L, key_codes::kLeftOption},
    {XK_Meta_L, key_codes::kLeftOption},
    {XK_Alt_R, key_codes::kRightOption},
    {XK_Meta_R, key_codes::kRightOption},
    {XK_ISO_Level3_Shift, key_codes::kRightOption},
    {XK_Super_L, key_codes::kLeftCommand},
    {XK_Super_R, key_codes::kRightCommand},
    {XK_Shift_L, key_codes::kLeftShift},
    {XK_Shift_R, key_codes::kRightShift},
    {XK_Control_L, key_codes::kLeftControl},
    {XK_Control_R, key_codes::kRightControl},
    {XK_Caps_Lock, key_codes::kCapsLock},
    {kXF86Fn, key_codes::kFunction},
};

struct ModifierFlags {
  std::uint16_t keyCode;
  std::uint64_t flags;
};

// What a modifier key adds to the flag word while it is down: its side's
// device-dependent bit and its family's bit. Caps Lock adds nothing while
// down; its bit follows the lock instead.
constexpr ModifierFlags kModifierFlags[] = {
    {key_codes::kLeftControl, key_flags::kLeftControl | key_flags::kControl},
    {key_codes::kRightControl, key_flags::kRightControl | key_flags::kControl},
    {key_codes::kLeftShift, key_flags::kLeftShift | key_flags::kShift},
    {key_codes::kRightShift, key_flags::kRightShift | key_flags::kShift},
    {key_codes::kLeftCommand, key_flags::kLeftCommand | key_flags::kCommand},
    {key_codes::kRightCommand, key_flags::kRightCommand | key_flags::kCommand},
    {key_codes::kLeftOption, key_flags::kLeftOption | key_flags::kOption},
    {key_codes::kRightOption, key_flags::kRightOption | key_flags::kOption},
    {key_codes::kFunction, key_flags::kFunction},
};

std::optional<std::uint16_t> modifierOfKeysym(std::uint32_t keysym) {
  for (const ModifierKey& modifier : kModifierKeys) {
    if (modifier.keysym == keysym) return modifier.keyCode;
  }
  return std::nullopt;
}

std::uint64_t flagsWhileDown(std::uint16_t keyCode) {
  for (const ModifierFlags& modifier : kModifierFlags) {
    if (modifier.keyCode == keyCode) return modifier.flags;
  }
  return 0;
}

std::uint32_t typeOfButton(std::uint32_t button) {
  if (button == 1) return key_event_types::kLeftMouseDown;
  if (button == 3) return key_event_types::kRightMouseDown;
  // X reports the wheel as buttons: 4 and 5 vertical, 6 and 7 horizontal.
  if (button >= 4 && button <= 7) return key_event_types::kScrollWheel;
  return key_event_types::kOtherMouseDown;
}

}  // namespace

void X11KeyTranslator::setKeyboardMapping(std::uint32_t firstKeycode,
                                          std::vector<std::uint32_t> firstKeysyms) {
  firstKeycode_ = firstKeycode;
  firstKeysyms_ = std::move(firstKeysyms);
}

std::optional<KeyEvent> X11KeyTranslator::keyPressed(std::uint32_t keycode, bool isRepeat) {
  const std::optional<std::uint16_t> modifier = modifierOnKeycode(keycode);
  if (!modifier) return KeyEvent{key_event_types::kKeyDown, kNonModifierKeyCode, flags()};
  if (isRepeat || modifiersDown_.contains(keycode)) return std::nullopt;

  modifiersDown_.emplace(keycode, *modifier);
  if (*modifier == key_codes::kCapsLock) capsLockOn_ = !capsLockOn_;
  return KeyEvent{key_event_types::kFlagsChanged, *modifier, flags()};
}

std::optional<KeyEvent> X11KeyTranslator::keyReleased(std::uint32_t keycode) {
  if (const auto down = modifiersDown_.find(keycode); down != modifiersDown_.end()) {
    const std::uint16_t modifier = down->second;
    modifiersDown_.erase(down);
    return KeyEvent{key_event_types::kFlagsChanged, modifier, flags()};
  }
  // A modifier held since before the tap started still reports its release.
  const std::optional<std::uint16_t> modifier = modifierOnKeycode(keycode);
  if (!modifier) return std::nullopt;
  return KeyEvent{key_event_types::kFlagsChanged, *modifier, flags()};
}

KeyEvent X11KeyTranslator::buttonPressed(std::uint32_t button) const {
  return KeyEvent{typeOfButton(button), 0, flags()};
}

std::uint64_t X11KeyTranslator::flags() const {
  std::uint64_t flags = capsLockOn_ ? key_flags::kCapsLock : 0;
  for (const auto& [keycode, modifier] : modifiersDown_) flags |= flagsWhileDown(modifier);
  return flags;
}

std::optional<std::uint16_t> X11KeyTranslator::modifierOnKeycode(std::uint32_t keycode) const {
  if (keycode < firstKeycode_ || keycode - firstKeycode_ >= firstKeysyms_.size()) {
    return std::nullopt;
  }
  return modifierOfKeysym(firstKeysyms_[keycode - firstKeycode_]);
}

}  // namespace glimra
