#pragma once

#include <mutex>

#include "platform/linux/xcb_handles.h"
#include "platform/permission_service.h"

namespace glimra {

// Permissions on an X11 desktop, which has no consent prompt: Input
// Monitoring is granted when the display opens and offers XInput 2.2 or
// later (the raw key events the listeners use); Screen Recording when the
// display opens and the root window's image can be read. Requests therefore
// answer as preflights do. Opens one connection on first use and keeps it.
// Any thread: the listeners ask on the main loop, the capture queue asks
// before each capture, and xcb connections are thread-safe.
class XcbPermissionService final : public PermissionService {
 public:
  bool preflightListenEventAccess() override;
  bool preflightScreenCaptureAccess() override;
  bool requestListenEventAccess() override { return preflightListenEventAccess(); }
  bool requestScreenCaptureAccess() override { return preflightScreenCaptureAccess(); }

 private:
  // The open display, or null when there is none.
  xcb_connection_t* connection();

  xcb::Connection connection_;
  int screenNumber_ = 0;
  std::once_flag connectOnce_;
};

}  // namespace glimra
