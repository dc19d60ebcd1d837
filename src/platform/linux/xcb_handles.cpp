#include "platform/linux/xcb_handles.h"

namespace glimra::xcb {

Connection connectToDisplay(int* screenNumber) {
  Connection connection(xcb_connect(nullptr, screenNumber));
  if (xcb_connection_has_error(connection.get()) != 0) return nullptr;
  return connection;
}

xcb_screen_t* screenOfDisplay(xcb_connection_t* connection, int screenNumber) {
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int index = 0; screens.rem > 0; ++index, xcb_screen_next(&screens)) {
    if (index == screenNumber) return screens.data;
  }
  return nullptr;
}

}  // namespace glimra::xcb
