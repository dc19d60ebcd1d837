#include "support/fake_input.h"

#include <gtest/gtest.h>
#include <xcb/xtest.h>

namespace glimra::testing {

FakeInput::FakeInput(const std::string& display)
    : connection_(xcb_connect(display.c_str(), &screenNumber_)) {
  root_ = xcb::screenOfDisplay(connection_.get(), screenNumber_)->root;
}

void FakeInput::typeKeycode(xcb_keycode_t keycode) {
  send(XCB_KEY_PRESS, keycode);
  send(XCB_KEY_RELEASE, keycode);
}

void FakeInput::click(std::uint8_t button) {
  send(XCB_BUTTON_PRESS, button);
  send(XCB_BUTTON_RELEASE, button);
}

void FakeInput::remap(xcb_keycode_t keycode, xcb_keysym_t keysym) {
  xcb_change_keyboard_mapping(connection_.get(), 1, keycode, 1, &keysym);
  sync();
}

xcb_keycode_t FakeInput::keycodeOf(xcb_keysym_t keysym) {
  const xcb_setup_t* setup = xcb_get_setup(connection_.get());
  const auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
  xcb::Reply<xcb_get_keyboard_mapping_reply_t> mapping(xcb_get_keyboard_mapping_reply(
      connection_.get(), xcb_get_keyboard_mapping(connection_.get(), setup->min_keycode, count),
      nullptr));
  if (mapping) {
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(mapping.get());
    for (int index = 0; index < count; ++index) {
      if (keysyms[index * mapping->keysyms_per_keycode] == keysym) {
        return static_cast<xcb_keycode_t>(setup->min_keycode + index);
      }
    }
  }
  ADD_FAILURE() << "no keycode for keysym 0x" << std::hex << keysym;
  return 0;
}

void FakeInput::send(std::uint8_t type, std::uint8_t detail) {
  xcb_test_fake_input(connection_.get(), type, detail, XCB_CURRENT_TIME, root_, 0, 0, 0);
  sync();
}

// A round trip: once it returns, the server has handled every request.
void FakeInput::sync() {
  const xcb::Reply<xcb_get_input_focus_reply_t> focus(xcb_get_input_focus_reply(
      connection_.get(), xcb_get_input_focus(connection_.get()), nullptr));
  ASSERT_TRUE(focus) << "the private X server stopped answering";
}

}  // namespace glimra::testing
