#include "platform/linux/x11_key_translator.h"

#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace glimra {
namespace {

using key_event_types::kFlagsChanged;
using key_event_types::kKeyDown;
constexpr std::uint16_t kNoKey = X11KeyTranslator::kNonModifierKeyCode;

// Keycodes as in Xvfb's default keymap, plus a few that only some
// keyboards have; kNoSymbol has no keysym at all.
constexpr std::uint32_t kControlL = 37, kA = 38, kShiftL = 50, kShiftR = 62, kAltL = 64,
                        kCapsLock = 66, kLevel3 = 92, kControlR = 105, kAltR = 108, kSuperL = 133,
                        kSuperR = 134, kFn = 200, kMetaL = 201, kMetaR = 202, kNoSymbol = 203;

constexpr std::uint32_t kFirstKeycode = 8;
constexpr std::uint32_t kXF86FnKeysym = 0x100811D0;

X11KeyTranslator makeTranslator() {
  const std::pair<std::uint32_t, std::uint32_t> keys[] = {
      {kControlL, XK_Control_L},
      {kA, XK_a},
      {kShiftL, XK_Shift_L},
      {kShiftR, XK_Shift_R},
      {kAltL, XK_Alt_L},
      {kCapsLock, XK_Caps_Lock},
      {kLevel3, XK_ISO_Level3_Shift},
      {kControlR, XK_Control_R},
      {kAltR, XK_Alt_R},
      {kSuperL, XK_Super_L},
      {kSuperR, XK_Super_R},
      {kFn, kXF86FnKeysym},
      {kMetaL, XK_Meta_L},
      {kMetaR, XK_Meta_R},
  };
  std::vector<std::uint32_t> firstKeysyms(256 - kFirstKeycode, 0);
  for (const auto& [keycode, keysym] : keys) firstKeysyms[keycode - kFirstKeycode] = keysym;
  X11KeyTranslator translator;
  translator.setKeyboardMapping(kFirstKeycode, std::move(firstKeysyms));
  return translator;
}

std::string describe(const std::optional<KeyEvent>& event) {
  if (!event) return "nothing";
  char text[80];
  std::snprintf(text, sizeof text, "type %u key %u flags 0x%llx", event->type, event->keyCode,
                static_cast<unsigned long long>(event->flags));
  return text;
}

struct ModifierCase {
  const char* name;
  std::uint32_t keycode;
  std::uint16_t keyCode;
  std::uint64_t flags;
};

TEST(X11KeyTranslatorTest, EachModifierKeysymIsAFlagsChangeOfItsKey) {
  const ModifierCase cases[] = {
      {"Alt_L", kAltL, 58, 0x80020},
      {"Alt_R", kAltR, 61, 0x80040},
      {"ISO_Level3_Shift", kLevel3, 61, 0x80040},
      {"Meta_L first", kMetaL, 58, 0x80020},
      {"Meta_R first", kMetaR, 61, 0x80040},
      {"Super_L", kSuperL, 55, 0x100008},
      {"Super_R", kSuperR, 54, 0x100010},
      {"Shift_L", kShiftL, 56, 0x20002},
      {"Shift_R", kShiftR, 60, 0x20004},
      {"Control_L", kControlL, 59, 0x40001},
      {"Control_R", kControlR, 62, 0x42000},
      {"XF86Fn", kFn, 63, 0x800000},
  };
  for (const ModifierCase& modifier : cases) {
    X11KeyTranslator translator = makeTranslator();
    EXPECT_EQ(describe(translator.keyPressed(modifier.keycode, false)),
              describe(KeyEvent{kFlagsChanged, modifier.keyCode, modifier.flags}))
        << modifier.name;
    EXPECT_EQ(describe(translator.keyReleased(modifier.keycode)),
              describe(KeyEvent{kFlagsChanged, modifier.keyCode, 0}))
        << modifier.name;
  }
}

enum class Action { kPress, kRepeat, kRelease, kButton };

struct Step {
  Action action;
  std::uint32_t code;  // keycode or button
  std::optional<KeyEvent> expected;
};

struct Scenario {
  const char* name;
  std::vector<Step> steps;
  bool capsLockOnAtStart = false;
};

std::optional<KeyEvent> perform(X11KeyTranslator& translator, const Step& step) {
  switch (step.action) {
    case Action::kPress:
      return translator.keyPressed(step.code, false);
    case Action::kRepeat:
      return translator.keyPressed(step.code, true);
    case Action::kRelease:
      return translator.keyReleased(step.code);
    case Action::kButton:
      return translator.buttonPressed(step.code);
  }
  return std::nullopt;
}

TEST(X11KeyTranslatorTest, KeepsTheFlagWordAcrossSequences) {
  using enum Action;
  const Scenario scenarios[] = {
      {"left then right Option",
       {{kPress, kAltL, KeyEvent{kFlagsChanged, 58, 0x80020}},
        {kPress, kAltR, KeyEvent{kFlagsChanged, 61, 0x80060}},
        {kRelease, kAltL, KeyEvent{kFlagsChanged, 58, 0x80040}},
        {kRelease, kAltR, KeyEvent{kFlagsChanged, 61, 0}}}},
      {"both shifts",
       {{kPress, kShiftR, KeyEvent{kFlagsChanged, 60, 0x20004}},
        {kPress, kShiftL, KeyEvent{kFlagsChanged, 56, 0x20006}},
        {kRelease, kShiftR, KeyEvent{kFlagsChanged, 60, 0x20002}},
        {kRelease, kShiftL, KeyEvent{kFlagsChanged, 56, 0}}}},
      {"Caps Lock toggles on each press",
       {{kPress, kCapsLock, KeyEvent{kFlagsChanged, 57, 0x10000}},
        {kRelease, kCapsLock, KeyEvent{kFlagsChanged, 57, 0x10000}},
        {kPress, kShiftL, KeyEvent{kFlagsChanged, 56, 0x30002}},
        {kRelease, kShiftL, KeyEvent{kFlagsChanged, 56, 0x10000}},
        {kPress, kCapsLock, KeyEvent{kFlagsChanged, 57, 0}},
        {kRelease, kCapsLock, KeyEvent{kFlagsChanged, 57, 0}}}},
      {"Caps Lock already on when the tap starts",
       {{kPress, kControlL, KeyEvent{kFlagsChanged, 59, 0x50001}},
        {kPress, kCapsLock, KeyEvent{kFlagsChanged, 57, 0x40001}}},
       true},
      {"a modifier already down changes nothing",
       {{kPress, kAltL, KeyEvent{kFlagsChanged, 58, 0x80020}},
        {kRepeat, kAltL, std::nullopt},
        {kPress, kAltL, std::nullopt},
        {kRepeat, kCapsLock, std::nullopt},
        {kRelease, kAltL, KeyEvent{kFlagsChanged, 58, 0}}}},
      {"two keys for the right Option",
       {{kPress, kAltR, KeyEvent{kFlagsChanged, 61, 0x80040}},
        {kPress, kLevel3, KeyEvent{kFlagsChanged, 61, 0x80040}},
        {kRelease, kAltR, KeyEvent{kFlagsChanged, 61, 0x80040}},
        {kRelease, kLevel3, KeyEvent{kFlagsChanged, 61, 0}}}},
      {"a modifier held since before the tap",
       {{kRelease, kSuperL, KeyEvent{kFlagsChanged, 55, 0}}}},
      {"other keys are key downs with the current flags",
       {{kPress, kControlR, KeyEvent{kFlagsChanged, 62, 0x42000}},
        {kPress, kA, KeyEvent{kKeyDown, kNoKey, 0x42000}},
        {kRepeat, kA, KeyEvent{kKeyDown, kNoKey, 0x42000}},
        {kRelease, kA, std::nullopt},
        {kRelease, kControlR, KeyEvent{kFlagsChanged, 62, 0}}}},
      {"keys without a modifier keysym",
       {{kPress, kNoSymbol, KeyEvent{kKeyDown, kNoKey, 0}},
        {kRelease, kNoSymbol, std::nullopt},
        {kPress, 7, KeyEvent{kKeyDown, kNoKey, 0}},
        {kPress, 300, KeyEvent{kKeyDown, kNoKey, 0}},
        {kRelease, 300, std::nullopt}}},
      {"buttons and the scroll wheel",
       {{kPress, kShiftL, KeyEvent{kFlagsChanged, 56, 0x20002}},
        {kButton, 1, KeyEvent{1, 0, 0x20002}},
        {kButton, 3, KeyEvent{3, 0, 0x20002}},
        {kButton, 2, KeyEvent{25, 0, 0x20002}},
        {kButton, 4, KeyEvent{22, 0, 0x20002}},
        {kButton, 5, KeyEvent{22, 0, 0x20002}},
        {kButton, 6, KeyEvent{22, 0, 0x20002}},
        {kButton, 7, KeyEvent{22, 0, 0x20002}},
        {kButton, 8, KeyEvent{25, 0, 0x20002}},
        {kButton, 9, KeyEvent{25, 0, 0x20002}}}},
  };
  for (const Scenario& scenario : scenarios) {
    X11KeyTranslator translator = makeTranslator();
    translator.setCapsLockOn(scenario.capsLockOnAtStart);
    for (size_t index = 0; index < scenario.steps.size(); ++index) {
      const Step& step = scenario.steps[index];
      EXPECT_EQ(describe(perform(translator, step)), describe(step.expected))
          << scenario.name << ", step " << index + 1;
    }
  }
}

TEST(X11KeyTranslatorTest, ANewMappingAppliesToLaterPressesOnly) {
  X11KeyTranslator translator = makeTranslator();
  ASSERT_EQ(describe(translator.keyPressed(kAltL, false)),
            describe(KeyEvent{kFlagsChanged, 58, 0x80020}));

  // The Alt_L keycode becomes a letter while held: its release still lets
  // the Option key go, and its next press is a plain key.
  std::vector<std::uint32_t> letters(256 - kFirstKeycode, XK_a);
  translator.setKeyboardMapping(kFirstKeycode, std::move(letters));
  EXPECT_EQ(describe(translator.keyReleased(kAltL)), describe(KeyEvent{kFlagsChanged, 58, 0}));
  EXPECT_EQ(describe(translator.keyPressed(kAltL, false)), describe(KeyEvent{kKeyDown, kNoKey, 0}));
  EXPECT_EQ(describe(translator.keyReleased(kAltL)), "nothing");
}

TEST(X11KeyTranslatorTest, WithoutAMappingEveryKeyIsAPlainKey) {
  X11KeyTranslator translator;
  EXPECT_EQ(describe(translator.keyPressed(kAltL, false)), describe(KeyEvent{kKeyDown, kNoKey, 0}));
  EXPECT_EQ(describe(translator.keyReleased(kAltL)), "nothing");
}

}  // namespace
}  // namespace glimra
