#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <string>

#include "platform/linux/xcb_handles.h"

namespace glimra::testing {

// Real key and button events, put into the server through XTest on a
// connection of the test's own. Each call returns once the server has
// handled it, and so has sent the raw events to every listener. Keys are
// named by keysym and pressed by keycode, so no other key is touched (as
// xdotool does when it adds a modifier's "main" key).
class FakeInput {
 public:
  explicit FakeInput(const std::string& display);

  void press(xcb_keysym_t keysym) { send(XCB_KEY_PRESS, keycodeOf(keysym)); }
  void release(xcb_keysym_t keysym) { send(XCB_KEY_RELEASE, keycodeOf(keysym)); }
  void type(xcb_keysym_t keysym) { typeKeycode(keycodeOf(keysym)); }
  void typeKeycode(xcb_keycode_t keycode);
  void click(std::uint8_t button);

  // Gives `keycode` the one keysym `keysym`.
  void remap(xcb_keycode_t keycode, xcb_keysym_t keysym);

  // The first keycode whose first keysym is `keysym`; fails the test when
  // there is none.
  xcb_keycode_t keycodeOf(xcb_keysym_t keysym);

 private:
  void send(std::uint8_t type, std::uint8_t detail);
  void sync();

  int screenNumber_ = 0;
  xcb::Connection connection_;
  xcb_window_t root_ = XCB_WINDOW_NONE;
};

}  // namespace glimra::testing
