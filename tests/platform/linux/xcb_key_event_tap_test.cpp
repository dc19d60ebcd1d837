#include "platform/linux/xcb_key_event_tap.h"

#include <X11/keysym.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/glib_main_loop.h"
#include "platform/linux/xcb_handles.h"
#include "support/fake_input.h"
#include "support/private_x_server.h"
#include "support/scoped_display.h"

namespace glimra {
namespace {

using namespace std::chrono_literals;
using key_event_types::kFlagsChanged;
using key_event_types::kKeyDown;
constexpr std::uint16_t kNoKey = 0xFFFF;
using testing::FakeInput;
using testing::ScopedDisplay;
constexpr KeyEventMask kEveryType = maskOf(key_event_types::kLeftMouseDown) |
                                    maskOf(key_event_types::kRightMouseDown) | maskOf(kKeyDown) |
                                    maskOf(kFlagsChanged) | maskOf(key_event_types::kScrollWheel) |
                                    maskOf(key_event_types::kOtherMouseDown);

// Wakes a blocked iteration of GLib's default context after a few seconds
// and tells that it did.
class Deadline {
 public:
  Deadline() : source_(g_timeout_source_new_seconds(5)) {
    g_source_set_callback(
        source_.get(),
        [](gpointer passed) {
          *static_cast<bool*>(passed) = true;
          return G_SOURCE_REMOVE;
        },
        &passed_, nullptr);
    g_source_attach(source_.get(), nullptr);
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

  bool passed() const { return passed_; }

 private:
  bool passed_ = false;
  glib::AttachedSource source_;
};

std::string describe(const std::vector<KeyEvent>& events) {
  std::string text;
  for (const KeyEvent& event : events) {
    char line[80];
    std::snprintf(line, sizeof line, "type %u key %u flags 0x%llx\n", event.type, event.keyCode,
                  static_cast<unsigned long long>(event.flags));
    text += line;
  }
  return text.empty() ? "nothing" : text;
}

class XcbKeyEventTapTest : public ::testing::Test {
 protected:
  XcbKeyEventTapTest()
      : server_(testing::PrivateXServer::start()),
        display_(server_->display().c_str()),
        input_(server_->display()) {}

  // A tap that records its events in `events`, events_ by default.
  std::unique_ptr<KeyEventTap> makeTap(KeyEventMask mask, std::vector<KeyEvent>* events = nullptr) {
    if (events == nullptr) events = &events_;
    return taps_.createTap(mask, [events](const KeyEvent& event) { events->push_back(event); });
  }

  // A tap attached to the main loop and enabled.
  std::unique_ptr<KeyEventTap> startTap(KeyEventMask mask,
                                        std::vector<KeyEvent>* events = nullptr) {
    std::unique_ptr<KeyEventTap> tap = makeTap(mask, events);
    if (!tap) {
      ADD_FAILURE() << "no tap on " << server_->display();
      return nullptr;
    }
    EXPECT_TRUE(tap->attachToMainLoop(mainLoop_));
    tap->enable();
    return tap;
  }

  // Iterates GLib's default context, which the main loop runs on, until
  // `done`; false if that takes more than a few seconds.
  static bool iterateUntil(const std::function<bool()>& done) {
    const Deadline deadline;
    while (!done() && !deadline.passed()) g_main_context_iteration(nullptr, TRUE);
    return done();
  }

  // Blocks until some source is ready and dispatches it; false if none
  // becomes ready within a few seconds.
  static bool dispatchWhenReady() {
    const Deadline deadline;
    g_main_context_iteration(nullptr, TRUE);
    return !deadline.passed();
  }

  // Waits for the next `count` events (the events before them included).
  std::string awaitEvents(size_t count) {
    const size_t wanted = events_.size() + count;
    EXPECT_TRUE(iterateUntil([&] { return events_.size() >= wanted; }))
        << "only " << describe(events_);
    // Whatever else is ready comes along, so that extra events show.
    iterateWhileReady();
    return describe(events_);
  }

  // Dispatches what is ready now, until nothing is; false if sources are
  // still ready after many rounds, as a watch on a dead descriptor would be.
  static bool iterateWhileReady() {
    for (int round = 0; round < 1000; ++round) {
      if (!g_main_context_iteration(nullptr, FALSE)) return true;
    }
    return false;
  }

  std::unique_ptr<testing::PrivateXServer> server_;
  ScopedDisplay display_;
  FakeInput input_;
  GLibMainLoop mainLoop_;
  XcbKeyEventTapFactory taps_;
  std::vector<KeyEvent> events_;
};

TEST_F(XcbKeyEventTapTest, ReportsBothOptionKeysAsFlagsChanges) {
  const auto tap = startTap(maskOf(kFlagsChanged));
  ASSERT_TRUE(tap);
  input_.press(XK_Alt_L);
  input_.press(XK_Alt_R);
  input_.release(XK_Alt_R);
  input_.release(XK_Alt_L);
  EXPECT_EQ(awaitEvents(4), describe({{kFlagsChanged, 58, 0x80020},
                                      {kFlagsChanged, 61, 0x80060},
                                      {kFlagsChanged, 61, 0x80020},
                                      {kFlagsChanged, 58, 0}}));
}

TEST_F(XcbKeyEventTapTest, ReportsAnyOtherKeyAsAKeyDownWithTheFlagWord) {
  const auto tap = startTap(kEveryType);
  ASSERT_TRUE(tap);
  input_.press(XK_Shift_L);
  input_.type(XK_a);
  input_.type(XK_Return);
  input_.release(XK_Shift_L);
  // Releases of plain keys are not reported.
  EXPECT_EQ(awaitEvents(4), describe({{kFlagsChanged, 56, 0x20002},
                                      {kKeyDown, kNoKey, 0x20002},
                                      {kKeyDown, kNoKey, 0x20002},
                                      {kFlagsChanged, 56, 0}}));
}

TEST_F(XcbKeyEventTapTest, ReportsClicksAndTheScrollWheel) {
  const auto tap = startTap(kEveryType);
  ASSERT_TRUE(tap);
  input_.press(XK_Control_R);
  for (std::uint8_t button : {1, 3, 2, 4, 5, 6, 7, 8}) input_.click(button);
  EXPECT_EQ(awaitEvents(9), describe({{kFlagsChanged, 62, 0x42000},
                                      {1, 0, 0x42000},
                                      {3, 0, 0x42000},
                                      {25, 0, 0x42000},
                                      {22, 0, 0x42000},
                                      {22, 0, 0x42000},
                                      {22, 0, 0x42000},
                                      {22, 0, 0x42000},
                                      {25, 0, 0x42000}}));
}

TEST_F(XcbKeyEventTapTest, DeliversOnlyTheTypesOfItsMask) {
  std::vector<KeyEvent> clicks;
  const auto optionTap = startTap(maskOf(kFlagsChanged));
  const auto clickTap = startTap(maskOf(key_event_types::kLeftMouseDown), &clicks);
  ASSERT_TRUE(optionTap && clickTap);
  input_.type(XK_a);
  input_.click(3);
  input_.click(4);
  input_.press(XK_Super_L);
  input_.click(1);
  input_.release(XK_Super_L);
  EXPECT_EQ(awaitEvents(2), describe({{kFlagsChanged, 55, 0x100008}, {kFlagsChanged, 55, 0}}));
  // The click tap keeps the flag word although it reports no key.
  EXPECT_TRUE(iterateUntil([&] { return !clicks.empty(); }));
  EXPECT_EQ(describe(clicks), describe({{key_event_types::kLeftMouseDown, 0, 0x100008}}));
}

TEST_F(XcbKeyEventTapTest, DeliversNothingBeforeItIsEnabled) {
  const auto tap = makeTap(maskOf(kFlagsChanged));
  ASSERT_TRUE(tap);
  ASSERT_TRUE(tap->attachToMainLoop(mainLoop_));
  input_.press(XK_Alt_L);
  // The press reaches the tap; it reads it and drops it.
  ASSERT_TRUE(dispatchWhenReady());
  EXPECT_TRUE(iterateWhileReady());
  EXPECT_EQ(describe(events_), "nothing");

  tap->enable();
  input_.press(XK_Alt_R);
  // The dropped press still counts for the flag word.
  EXPECT_EQ(awaitEvents(1), describe({{kFlagsChanged, 61, 0x80060}}));
}

TEST_F(XcbKeyEventTapTest, StartsWithTheCapsLockThatIsOn) {
  input_.type(XK_Caps_Lock);
  const auto tap = startTap(maskOf(kFlagsChanged));
  ASSERT_TRUE(tap);
  input_.press(XK_Shift_R);
  input_.type(XK_Caps_Lock);
  EXPECT_EQ(awaitEvents(3), describe({{kFlagsChanged, 60, 0x30004},
                                      {kFlagsChanged, 57, 0x20004},
                                      {kFlagsChanged, 57, 0x20004}}));
}

TEST_F(XcbKeyEventTapTest, FollowsAChangedKeyboardMapping) {
  const auto tap = startTap(maskOf(kFlagsChanged));
  ASSERT_TRUE(tap);
  const xcb_keycode_t keycode = input_.keycodeOf(XK_a);
  input_.remap(keycode, XK_Super_R);
  input_.typeKeycode(keycode);
  EXPECT_EQ(awaitEvents(2), describe({{kFlagsChanged, 54, 0x100010}, {kFlagsChanged, 54, 0}}));
}

TEST_F(XcbKeyEventTapTest, CanBeDestroyedFromItsOwnCallback) {
  std::unique_ptr<KeyEventTap> tap;
  int calls = 0;
  tap = taps_.createTap(kEveryType, [&](const KeyEvent&) {
    ++calls;
    tap.reset();
  });
  ASSERT_TRUE(tap);
  ASSERT_TRUE(tap->attachToMainLoop(mainLoop_));
  tap->enable();
  input_.type(XK_a);
  input_.click(1);
  EXPECT_TRUE(iterateUntil([&] { return calls > 0; }));
  EXPECT_TRUE(iterateWhileReady());
  EXPECT_EQ(calls, 1);
}

TEST_F(XcbKeyEventTapTest, GoesQuietWhenTheServerGoes) {
  const auto tap = startTap(kEveryType);
  ASSERT_TRUE(tap);
  input_.type(XK_Alt_L);
  ASSERT_EQ(awaitEvents(2), describe({{kFlagsChanged, 58, 0x80020}, {kFlagsChanged, 58, 0}}));

  server_.reset();
  // The dead connection is read once, then no longer watched: a watch on it
  // would be ready on every iteration.
  EXPECT_TRUE(iterateWhileReady());
  EXPECT_EQ(events_.size(), 2u);
}

TEST_F(XcbKeyEventTapTest, CannotBeAttachedOnceTheServerIsGone) {
  const auto tap = makeTap(kEveryType);
  ASSERT_TRUE(tap);
  server_.reset();
  EXPECT_FALSE(tap->attachToMainLoop(mainLoop_));
  EXPECT_TRUE(iterateWhileReady());
}

TEST(XcbKeyEventTapFactoryTest, CreatesNoTapWithoutADisplay) {
  for (const char* unusable : {static_cast<const char*>(nullptr), "", ":4095", "nonsense"}) {
    const ScopedDisplay display(unusable);
    XcbKeyEventTapFactory taps;
    EXPECT_EQ(taps.createTap(kEveryType, [](const KeyEvent&) {}), nullptr)
        << (unusable ? unusable : "unset");
  }
}

}  // namespace
}  // namespace glimra
