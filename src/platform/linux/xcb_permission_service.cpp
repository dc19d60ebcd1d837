#include "platform/linux/xcb_permission_service.h"

#include <xcb/xinput.h>

namespace glimra {

xcb_connection_t* XcbPermissionService::connection() {
  if (!triedToConnect_) {
    triedToConnect_ = true;
    connection_ = xcb::connectToDisplay(&screenNumber_);
  }
  // A connection that broke since it was opened answers nothing.
  if (!connection_ || xcb_connection_has_error(connection_.get()) != 0) return nullptr;
  return connection_.get();
}

bool XcbPermissionService::preflightListenEventAccess() {
  xcb_connection_t* display = connection();
  if (display == nullptr) return false;
  const xcb_query_extension_reply_t* extension = xcb_get_extension_data(display, &xcb_input_id);
  if (extension == nullptr || !extension->present) return false;

  // The server answers with the highest version it supports up to the one
  // asked for; 2.2 is the first with raw events delivered to every client.
  xcb_generic_error_t* error = nullptr;
  xcb::Reply<xcb_input_xi_query_version_reply_t> version(
      xcb_input_xi_query_version_reply(display, xcb_input_xi_query_version(display, 2, 2), &error));
  const xcb::Error released(error);
  if (!version) return false;
  return version->major_version > 2 || (version->major_version == 2 && version->minor_version >= 2);
}

bool XcbPermissionService::preflightScreenCaptureAccess() {
  xcb_connection_t* display = connection();
  if (display == nullptr) return false;
  const xcb_screen_t* screen = xcb::screenOfDisplay(display, screenNumber_);
  if (screen == nullptr) return false;

  xcb_generic_error_t* error = nullptr;
  xcb::Reply<xcb_get_image_reply_t> image(xcb_get_image_reply(
      display, xcb_get_image(display, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, 0, 0, 1, 1, ~0U),
      &error));
  const xcb::Error released(error);
  return image != nullptr;
}

}  // namespace glimra
