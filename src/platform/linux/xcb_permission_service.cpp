#include "platform/linux/xcb_permission_service.h"

namespace glimra {

xcb_connection_t* XcbPermissionService::connection() {
  std::call_once(connectOnce_, [this] { connection_ = xcb::connectToDisplay(&screenNumber_); });
  // A connection that broke since it was opened answers nothing.
  if (!connection_ || xcb_connection_has_error(connection_.get()) != 0) return nullptr;
  return connection_.get();
}

bool XcbPermissionService::preflightListenEventAccess() {
  xcb_connection_t* display = connection();
  return display != nullptr && xcb::xinput22Opcode(display).has_value();
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
