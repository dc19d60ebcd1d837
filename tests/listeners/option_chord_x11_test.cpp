// The Option chord on a real X server: XTest key events through the X11
// listener into OptionChordMonitor.
#include <X11/keysym.h>
#include <glib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "listeners/option_chord_monitor.h"
#include "platform/linux/glib_main_loop.h"
#include "platform/linux/xcb_key_event_tap.h"
#include "support/fake_input.h"
#include "support/private_x_server.h"
#include "support/scoped_display.h"

namespace glimra {
namespace {

using namespace std::chrono_literals;

class OptionChordX11Test : public ::testing::Test {
 protected:
  OptionChordX11Test()
      : server_(testing::PrivateXServer::start()),
        display_(server_->display().c_str()),
        input_(server_->display()),
        monitor_([this] { ++chords_; }) {
    tap_ = taps_.createTap(OptionChordMonitor::kEventMask,
                           [this](const KeyEvent& event) { monitor_.handleEvent(event); });
    EXPECT_TRUE(tap_ && tap_->attachToMainLoop(mainLoop_));
    if (tap_) tap_->enable();
  }

  // Dispatches the main loop's work until nothing is ready for a moment,
  // so that every event the server has sent so far has been handled.
  void settle() {
    const auto deadline = std::chrono::steady_clock::now() + 200ms;
    while (std::chrono::steady_clock::now() < deadline) {
      if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(5ms);
    }
  }

  std::unique_ptr<testing::PrivateXServer> server_;
  testing::ScopedDisplay display_;
  testing::FakeInput input_;
  GLibMainLoop mainLoop_;
  XcbKeyEventTapFactory taps_;
  int chords_ = 0;
  OptionChordMonitor monitor_;
  std::unique_ptr<KeyEventTap> tap_;
};

TEST_F(OptionChordX11Test, BothAltKeysFireOnceAndAgainAfterAReleaseAndPress) {
  input_.press(XK_Alt_L);
  settle();
  EXPECT_EQ(chords_, 0);
  input_.press(XK_Alt_R);
  settle();
  EXPECT_EQ(chords_, 1);

  input_.type(XK_a);  // not seen: the tap asks for flag changes only
  settle();
  EXPECT_EQ(chords_, 1);

  input_.release(XK_Alt_R);
  input_.press(XK_Alt_R);
  settle();
  EXPECT_EQ(chords_, 2);

  input_.release(XK_Alt_L);
  input_.release(XK_Alt_R);
  settle();
  EXPECT_EQ(chords_, 2);
  EXPECT_FALSE(monitor_.chordIsLatched() || monitor_.leftOptionIsDown() ||
               monitor_.rightOptionIsDown());
}

TEST_F(OptionChordX11Test, LevelThreeShiftCountsAsTheRightOptionKey) {
  input_.press(XK_ISO_Level3_Shift);
  input_.press(XK_Alt_L);
  settle();
  EXPECT_EQ(chords_, 1);
}

TEST_F(OptionChordX11Test, OtherModifiersNeitherPreventNorCancelTheChord) {
  input_.press(XK_Super_L);
  input_.press(XK_Alt_L);
  input_.press(XK_Shift_R);
  input_.press(XK_Alt_R);
  input_.release(XK_Shift_R);
  input_.release(XK_Super_L);
  settle();
  EXPECT_EQ(chords_, 1);
  EXPECT_TRUE(monitor_.chordIsLatched());
}

}  // namespace
}  // namespace glimra
