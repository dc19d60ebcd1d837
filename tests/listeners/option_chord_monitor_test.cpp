#include "listeners/option_chord_monitor.h"

#include <gtest/gtest.h>

#include <vector>

namespace glimra {
namespace {

using namespace key_flags;

constexpr std::uint16_t kLeft = key_codes::kLeftOption;
constexpr std::uint16_t kRight = key_codes::kRightOption;

KeyEvent flagsChanged(std::uint16_t keyCode, std::uint64_t flags) {
  return {key_event_types::kFlagsChanged, keyCode, flags};
}

// The flag words the system writes as Option keys go down and up.
const KeyEvent kLeftDown = flagsChanged(kLeft, kOption | kLeftOption);
const KeyEvent kRightDownAfterLeft = flagsChanged(kRight, kOption | kLeftOption | kRightOption);
const KeyEvent kRightDown = flagsChanged(kRight, kOption | kRightOption);
const KeyEvent kLeftDownAfterRight = flagsChanged(kLeft, kOption | kLeftOption | kRightOption);
const KeyEvent kRightUpLeftHeld = flagsChanged(kRight, kOption | kLeftOption);
const KeyEvent kLeftUpRightHeld = flagsChanged(kLeft, kOption | kRightOption);
const KeyEvent kLeftUpAlone = flagsChanged(kLeft, 0);
const KeyEvent kRightUpAlone = flagsChanged(kRight, 0);

struct ChordCase {
  const char* name;
  std::vector<KeyEvent> events;
  std::vector<int> chordsAfterEach;  // calls of onChord so far, after each event
};

void PrintTo(const ChordCase& c, std::ostream* out) { *out << c.name; }

class OptionChordMonitorTest : public ::testing::TestWithParam<ChordCase> {};

TEST_P(OptionChordMonitorTest, FiresOncePerChord) {
  const ChordCase& c = GetParam();
  int chords = 0;
  OptionChordMonitor monitor([&chords] { ++chords; });
  ASSERT_EQ(c.events.size(), c.chordsAfterEach.size());
  for (std::size_t index = 0; index < c.events.size(); ++index) {
    monitor.handleEvent(c.events[index]);
    EXPECT_EQ(chords, c.chordsAfterEach[index]) << "after event " << index;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, OptionChordMonitorTest,
    ::testing::Values(
        ChordCase{"LeftThenRightFiresOnTheSecondPress",
                  {kLeftDown, kRightDownAfterLeft, kRightUpLeftHeld, kLeftUpAlone},
                  {0, 1, 1, 1}},
        ChordCase{"RightThenLeft", {kRightDown, kLeftDownAfterRight, kLeftUpRightHeld,
                                    kRightUpAlone}, {0, 1, 1, 1}},
        ChordCase{"ReleaseAndPressAgainFiresAgain",
                  {kLeftDown, kRightDownAfterLeft, kRightUpLeftHeld, kRightDownAfterLeft},
                  {0, 1, 1, 2}},
        ChordCase{"HoldingBothFiresOnce",
                  {kLeftDown, kRightDownAfterLeft, kRightDownAfterLeft, kLeftDownAfterRight},
                  {0, 1, 1, 1}},
        // Other modifiers have other key codes: neither prevent nor cancel.
        ChordCase{"CommandDuringTheChordIsIgnored",
                  {flagsChanged(key_codes::kLeftCommand, kCommand | kLeftCommand),
                   flagsChanged(kLeft, kCommand | kOption | kLeftOption),
                   flagsChanged(kRight, kCommand | kOption | kLeftOption | kRightOption),
                   flagsChanged(key_codes::kLeftCommand, kOption | kLeftOption | kRightOption),
                   flagsChanged(key_codes::kLeftCommand, kCommand | kOption | kLeftOption |
                                                             kRightOption)},
                  {0, 0, 1, 1, 1}},
        // Only the device-dependent bits say which side is down.
        ChordCase{"LeftKeyCodeWithBothBitsFires", {flagsChanged(kLeft, kOption | kLeftOption |
                                                                           kRightOption)},
                  {1}},
        ChordCase{"OptionBitWithoutSidesClearsTheLatch",
                  {kLeftDown, kRightDownAfterLeft, flagsChanged(kLeft, kOption),
                   kRightDownAfterLeft},
                  {0, 1, 1, 2}},
        ChordCase{"BothSidesWithoutTheOptionBitNeverFire",
                  {flagsChanged(kRight, kLeftOption | kRightOption)}, {0}},
        ChordCase{"OtherTypesAndKeysChangeNothing",
                  {KeyEvent{key_event_types::kKeyDown, kLeft, kOption | kLeftOption | kRightOption},
                   flagsChanged(key_codes::kLeftShift, kOption | kLeftOption | kRightOption),
                   flagsChanged(key_codes::kCapsLock, kOption | kLeftOption | kRightOption)},
                  {0, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OptionChordMonitorStateTest, ClearedOptionBitResetsEverything) {
  OptionChordMonitor monitor([] {});
  monitor.handleEvent(kLeftDown);
  monitor.handleEvent(kRightDownAfterLeft);
  ASSERT_TRUE(monitor.chordIsLatched());
  monitor.handleEvent(flagsChanged(kRight, kLeftOption | kRightOption));
  EXPECT_FALSE(monitor.chordIsLatched());
  EXPECT_FALSE(monitor.leftOptionIsDown());
  EXPECT_FALSE(monitor.rightOptionIsDown());
}

TEST(OptionChordMonitorStateTest, ShiftLeavesTheStateAlone) {
  OptionChordMonitor monitor([] {});
  monitor.handleEvent(kLeftDown);
  monitor.handleEvent(flagsChanged(key_codes::kLeftShift, 0));
  EXPECT_TRUE(monitor.leftOptionIsDown());
  EXPECT_FALSE(monitor.rightOptionIsDown());
}

// After a reset the keys may still be held; the next Option-key event that
// shows both down fires, though they were never released.
TEST(OptionChordMonitorStateTest, ResetWhileLatchedAllowsTheNextEventToFire) {
  int chords = 0;
  OptionChordMonitor monitor([&chords] { ++chords; });
  monitor.handleEvent(kLeftDown);
  monitor.handleEvent(kRightDownAfterLeft);
  monitor.reset();
  EXPECT_FALSE(monitor.chordIsLatched() || monitor.leftOptionIsDown() ||
               monitor.rightOptionIsDown());
  EXPECT_EQ(chords, 1);
  monitor.handleEvent(kLeftDownAfterRight);
  EXPECT_EQ(chords, 2);
}

}  // namespace
}  // namespace glimra
