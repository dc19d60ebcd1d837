#include "listeners/voice_chord_monitor.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace glimra {
namespace {

using namespace key_codes;
using Chords = std::vector<std::vector<std::string>>;

// Produces the events a keyboard and mouse send, with the family bits of
// the modifiers held at each moment, as the event system writes them.
class Keyboard {
 public:
  KeyEvent press(std::uint16_t key) {
    held_.insert(key);
    return {key_event_types::kFlagsChanged, key, flags()};
  }
  KeyEvent release(std::uint16_t key) {
    held_.erase(key);
    return {key_event_types::kFlagsChanged, key, flags()};
  }
  KeyEvent keyDown() const { return {key_event_types::kKeyDown, 0, flags()}; }
  KeyEvent capsLock() const { return {key_event_types::kFlagsChanged, kCapsLock, flags()}; }
  KeyEvent click() const { return {key_event_types::kLeftMouseDown, 0, flags()}; }
  KeyEvent rightClick() const { return {key_event_types::kRightMouseDown, 0, flags()}; }
  KeyEvent otherClick() const { return {key_event_types::kOtherMouseDown, 0, flags()}; }
  KeyEvent scroll() const { return {key_event_types::kScrollWheel, 0, flags()}; }

 private:
  std::uint64_t flags() const {
    static const std::map<std::uint16_t, std::uint64_t> kFamily = {
        {kLeftControl, key_flags::kControl}, {kRightControl, key_flags::kControl},
        {kLeftOption, key_flags::kOption},   {kRightOption, key_flags::kOption},
        {kLeftShift, key_flags::kShift},     {kRightShift, key_flags::kShift},
        {kLeftCommand, key_flags::kCommand}, {kRightCommand, key_flags::kCommand},
        {kFunction, key_flags::kFunction}};
    std::uint64_t word = 0;
    for (std::uint16_t key : held_) word |= kFamily.at(key);
    return word;
  }
  std::set<std::uint16_t> held_;
};

struct SessionCase {
  const char* name;
  std::function<std::vector<KeyEvent>(Keyboard&)> events;
  Chords chords;
};

void PrintTo(const SessionCase& c, std::ostream* out) { *out << c.name; }

class VoiceChordMonitorTest : public ::testing::TestWithParam<SessionCase> {};

TEST_P(VoiceChordMonitorTest, ReportsCompletedChordsInCanonicalOrder) {
  Chords reported;
  VoiceChordMonitor monitor([&reported](const auto& modifiers) { reported.push_back(modifiers); });
  Keyboard keyboard;
  for (const KeyEvent& event : GetParam().events(keyboard)) monitor.handleEvent(event);
  EXPECT_EQ(reported, GetParam().chords);
  EXPECT_TRUE(monitor.heldModifiers().empty());
  EXPECT_TRUE(monitor.sessionModifiers().empty());
  EXPECT_FALSE(monitor.sessionCancelled());
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, VoiceChordMonitorTest,
    ::testing::Values(
        SessionCase{"OneModifierAlone",
                    [](Keyboard& k) { return std::vector{k.press(kFunction), k.release(kFunction)}; },
                    {{"fn"}}},
        SessionCase{"BothCommandsReleasedInPressOrder",
                    [](Keyboard& k) {
                      return std::vector{k.press(kRightCommand), k.press(kLeftCommand),
                                         k.release(kRightCommand), k.release(kLeftCommand)};
                    },
                    {{"left-cmd", "right-cmd"}}},
        SessionCase{"OrderIsCanonicalNotPressed",
                    [](Keyboard& k) {
                      return std::vector{k.press(kRightShift), k.press(kLeftControl),
                                         k.release(kLeftControl), k.release(kRightShift)};
                    },
                    {{"left-ctrl", "right-shift"}}},
        SessionCase{"AKeyReleasedEarlyStaysInTheSession",
                    [](Keyboard& k) {
                      return std::vector{k.press(kLeftCommand), k.press(kLeftShift),
                                         k.release(kLeftShift), k.release(kLeftCommand)};
                    },
                    {{"left-shift", "left-cmd"}}},
        SessionCase{"AllNineModifiers",
                    [](Keyboard& k) {
                      std::vector<KeyEvent> events;
                      const std::uint16_t keys[] = {kFunction,    kRightCommand, kLeftCommand,
                                                    kRightShift,  kLeftShift,    kRightOption,
                                                    kLeftOption,  kRightControl, kLeftControl};
                      for (auto key : keys) events.push_back(k.press(key));
                      for (auto key : keys) events.push_back(k.release(key));
                      return events;
                    },
                    {{"left-ctrl", "right-ctrl", "left-alt", "right-alt", "left-shift",
                      "right-shift", "left-cmd", "right-cmd", "fn"}}},
        SessionCase{"KeyDownCancelsAndTheNextSessionIsClean",
                    [](Keyboard& k) {
                      return std::vector{k.press(kLeftCommand), k.keyDown(),
                                         k.release(kLeftCommand), k.press(kLeftOption),
                                         k.release(kLeftOption)};
                    },
                    {{"left-alt"}}},
        SessionCase{"CapsLockCancels",
                    [](Keyboard& k) {
                      return std::vector{k.press(kLeftShift), k.capsLock(), k.release(kLeftShift)};
                    },
                    {}},
        SessionCase{"ClicksAndScrollCancel",
                    [](Keyboard& k) {
                      return std::vector{
                          k.press(kLeftOption),  k.click(),      k.release(kLeftOption),
                          k.press(kLeftOption),  k.rightClick(), k.release(kLeftOption),
                          k.press(kLeftOption),  k.otherClick(), k.release(kLeftOption),
                          k.press(kLeftOption),  k.scroll(),     k.release(kLeftOption)};
                    },
                    {}},
        SessionCase{"CancelledSessionRunsUntilEveryModifierIsUp",
                    [](Keyboard& k) {
                      return std::vector{k.press(kLeftControl), k.keyDown(),
                                         k.press(kRightControl), k.release(kLeftControl),
                                         k.release(kRightControl)};
                    },
                    {}},
        SessionCase{"EventsWithNothingHeldChangeNothing",
                    [](Keyboard& k) {
                      return std::vector{k.keyDown(), k.click(), k.scroll(), k.capsLock(),
                                         k.press(kRightOption), k.release(kRightOption)};
                    },
                    {{"right-alt"}}}),
    [](const auto& info) { return std::string(info.param.name); });

// Right Shift was already down when listening began, so its press was never
// seen; its release then shows the Shift bit of the held left Shift and
// counts as a press.
TEST(VoiceChordMonitorStateTest, UnseenPressTurnsTheReleaseIntoAPress) {
  Chords reported;
  VoiceChordMonitor monitor([&reported](const auto& modifiers) { reported.push_back(modifiers); });
  const std::uint64_t shift = key_flags::kShift;
  monitor.handleEvent({key_event_types::kFlagsChanged, kLeftShift, shift});   // left down
  monitor.handleEvent({key_event_types::kFlagsChanged, kRightShift, shift});  // right up
  monitor.handleEvent({key_event_types::kFlagsChanged, kLeftShift, 0});       // left up
  EXPECT_TRUE(reported.empty());
  EXPECT_EQ(monitor.heldModifiers(), std::set<std::string>{"right-shift"});
  monitor.handleEvent({key_event_types::kFlagsChanged, kRightShift, shift});  // right down
  EXPECT_EQ(reported, (Chords{{"left-shift", "right-shift"}}));
}

TEST(VoiceChordMonitorStateTest, ResetDropsTheSessionAndTheLaterReleaseIsIgnored) {
  Chords reported;
  VoiceChordMonitor monitor([&reported](const auto& modifiers) { reported.push_back(modifiers); });
  Keyboard keyboard;
  monitor.handleEvent(keyboard.press(kLeftControl));
  monitor.handleEvent(keyboard.keyDown());
  monitor.reset();
  EXPECT_TRUE(monitor.heldModifiers().empty() && monitor.sessionModifiers().empty());
  EXPECT_FALSE(monitor.sessionCancelled());
  monitor.handleEvent(keyboard.release(kLeftControl));
  EXPECT_TRUE(reported.empty());
  EXPECT_TRUE(monitor.heldModifiers().empty());
}

TEST(VoiceChordMonitorStateTest, CanonicalOrderKeepsOnlyModifierNames) {
  EXPECT_EQ(VoiceChordMonitor::canonicalOrder({"fn", "caps-lock", "left-ctrl", "right-alt"}),
            (std::vector<std::string>{"left-ctrl", "right-alt", "fn"}));
  EXPECT_TRUE(VoiceChordMonitor::canonicalOrder({}).empty());
}

TEST(VoiceChordMonitorStateTest, EventMaskHoldsTheSixEventTypes) {
  EXPECT_EQ(VoiceChordMonitor::kEventMask, 0x240140Au);
}

}  // namespace
}  // namespace glimra
