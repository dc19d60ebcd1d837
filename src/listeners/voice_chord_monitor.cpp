#include "listeners/voice_chord_monitor.h"

#include <array>
#include <optional>

namespace glimra {
namespace {

struct Modifier {
  std::uint16_t keyCode;
  const char* name;
  std::uint64_t pressFlag;  // the family's device-independent bit
};

// In canonical order. The side comes from the key code alone.
constexpr std::array<Modifier, 9> kModifiers{{
    {key_codes::kLeftControl, "left-ctrl", key_flags::kControl},
    {key_codes::kRightControl, "right-ctrl", key_flags::kControl},
    {key_codes::kLeftOption, "left-alt", key_flags::kOption},
    {key_codes::kRightOption, "right-alt", key_flags::kOption},
    {key_codes::kLeftShift, "left-shift", key_flags::kShift},
    {key_codes::kRightShift, "right-shift", key_flags::kShift},
    {key_codes::kLeftCommand, "left-cmd", key_flags::kCommand},
    {key_codes::kRightCommand, "right-cmd", key_flags::kCommand},
    {key_codes::kFunction, "fn", key_flags::kFunction},
}};

std::optional<Modifier> modifierOf(std::uint16_t keyCode) {
  for (const Modifier& modifier : kModifiers) {
    if (modifier.keyCode == keyCode) return modifier;
  }
  return std::nullopt;
}

}  // namespace

void VoiceChordMonitor::handleEvent(const KeyEvent& event) {
  if (event.type != key_event_types::kFlagsChanged) {
    cancelIfHolding();
    return;
  }
  const std::optional<Modifier> modifier = modifierOf(event.keyCode);
  if (!modifier) {
    cancelIfHolding();  // Caps Lock and other non-modifier keys
    return;
  }
  // A held key's event is its release, whatever its flags say.
  if (heldModifiers_.contains(modifier->name)) {
    release(modifier->name);
    return;
  }
  // Otherwise it is a press when its family's bit is set, even while the
  // other key of the family is down.
  if ((event.flags & modifier->pressFlag) != 0) {
    heldModifiers_.insert(modifier->name);
    sessionModifiers_.insert(modifier->name);
  }
}

void VoiceChordMonitor::reset() {
  sessionModifiers_.clear();
  heldModifiers_.clear();
  sessionCancelled_ = false;
}

std::vector<std::string> VoiceChordMonitor::canonicalOrder(const std::set<std::string>& names) {
  std::vector<std::string> ordered;
  for (const Modifier& modifier : kModifiers) {
    if (names.contains(modifier.name)) ordered.emplace_back(modifier.name);
  }
  return ordered;
}

void VoiceChordMonitor::cancelIfHolding() {
  if (!heldModifiers_.empty()) sessionCancelled_ = true;
}

void VoiceChordMonitor::release(const std::string& name) {
  heldModifiers_.erase(name);
  if (!heldModifiers_.empty()) return;

  // The session ends; the state is reset before the report goes out.
  const std::set<std::string> session = std::move(sessionModifiers_);
  const bool cancelled = sessionCancelled_;
  reset();
  if (!cancelled && !session.empty()) onChord_(canonicalOrder(session));
}

Event voiceChordEvent(const std::vector<std::string>& modifiers) {
  return {{"type", "voiceChord"}, {"modifiers", modifiers}};
}

}  // namespace glimra
