#include "platform/linux/xcb_handles.h"

#include <xcb/xinput.h>

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

std::optional<std::uint8_t> xinput22Opcode(xcb_connection_t* connection) {
  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_input_id);
  if (extension == nullptr || !extension->present) return std::nullopt;

  // The server answers with the highest version it supports up to the one
  // asked for, and learns which version this client speaks: from 2.1 on,
  // raw events reach every client that selects them, even during a grab.
  xcb_generic_error_t* error = nullptr;
  Reply<xcb_input_xi_query_version_reply_t> version(xcb_input_xi_query_version_reply(
      connection, xcb_input_xi_query_version(connection, 2, 2), &error));
  const Error released(error);
  if (!version) return std::nullopt;
  if (version->major_version < 2 || (version->major_version == 2 && version->minor_version < 2)) {
    return std::nullopt;
  }
  return extension->major_opcode;
}

}  // namespace glimra::xcb
