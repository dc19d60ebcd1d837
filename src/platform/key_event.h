#pragma once

#include <cstdint>

namespace glimra {

// One global input event as the key listeners see it: a type, a virtual
// key code and the modifier flag word. The numbers are the macOS event
// system's, which every backend translates into.
struct KeyEvent {
  std::uint32_t type = 0;
  std::uint16_t keyCode = 0;
  std::uint64_t flags = 0;

  friend bool operator==(const KeyEvent&, const KeyEvent&) = default;
};

namespace key_event_types {
inline constexpr std::uint32_t kLeftMouseDown = 1;
inline constexpr std::uint32_t kRightMouseDown = 3;
inline constexpr std::uint32_t kKeyDown = 10;
inline constexpr std::uint32_t kFlagsChanged = 12;
inline constexpr std::uint32_t kScrollWheel = 22;
inline constexpr std::uint32_t kOtherMouseDown = 25;
// Reach every tap whatever its mask.
inline constexpr std::uint32_t kTapDisabledByTimeout = 0xFFFFFFFE;
inline constexpr std::uint32_t kTapDisabledByUserInput = 0xFFFFFFFF;
}  // namespace key_event_types

// Which event types a tap wants: bit n stands for type n.
using KeyEventMask = std::uint64_t;

constexpr KeyEventMask maskOf(std::uint32_t type) { return KeyEventMask{1} << type; }

// Virtual key codes of the modifier keys.
namespace key_codes {
inline constexpr std::uint16_t kRightCommand = 54;
inline constexpr std::uint16_t kLeftCommand = 55;
inline constexpr std::uint16_t kLeftShift = 56;
inline constexpr std::uint16_t kCapsLock = 57;
inline constexpr std::uint16_t kLeftOption = 58;
inline constexpr std::uint16_t kLeftControl = 59;
inline constexpr std::uint16_t kRightShift = 60;
inline constexpr std::uint16_t kRightOption = 61;
inline constexpr std::uint16_t kRightControl = 62;
inline constexpr std::uint16_t kFunction = 63;
}  // namespace key_codes

// Bits of the flag word. The device-dependent bits tell the left key of a
// pair from the right one; the device-independent bits say that some key
// of the family is down.
namespace key_flags {
inline constexpr std::uint64_t kLeftControl = 0x1;
inline constexpr std::uint64_t kLeftShift = 0x2;
inline constexpr std::uint64_t kRightShift = 0x4;
inline constexpr std::uint64_t kLeftCommand = 0x8;
inline constexpr std::uint64_t kRightCommand = 0x10;
inline constexpr std::uint64_t kLeftOption = 0x20;
inline constexpr std::uint64_t kRightOption = 0x40;
inline constexpr std::uint64_t kRightControl = 0x2000;
inline constexpr std::uint64_t kCapsLock = 0x10000;
inline constexpr std::uint64_t kShift = 0x20000;
inline constexpr std::uint64_t kControl = 0x40000;
inline constexpr std::uint64_t kOption = 0x80000;
inline constexpr std::uint64_t kCommand = 0x100000;
inline constexpr std::uint64_t kFunction = 0x800000;
}  // namespace key_flags

}  // namespace glimra
