#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/linux/xcb_handles.h"
#include "platform/window_service.h"

namespace glimra {

namespace x11 {
struct WindowAtoms;
}  // namespace x11

// Windows and applications of an X11 desktop, as an EWMH window manager
// publishes them on the root window: the active window names the frontmost
// application (its _NET_WM_PID), the stacking client list the on-screen
// windows. Applications are matched to their desktop entry in the data
// directories (XDG_DATA_HOME, XDG_DATA_DIRS). Opens one connection to DISPLAY on
// first use and keeps it; with no display, or once it breaks, there is no
// application and no window list. Every request is checked, so a window
// that vanishes between two requests drops out and nothing is printed.
// Used on the main thread only.
class X11WindowService final : public WindowService {
 public:
  X11WindowService();
  ~X11WindowService() override;

  std::optional<RunningApplication> frontmostApplication() override;
  std::optional<std::vector<WindowRecord>> onScreenWindows() override;
  std::optional<Image> applicationIcon(const RunningApplication& application) override;

  // The process of the active window, or none. Unlike frontmostApplication,
  // it looks up no desktop entry.
  std::optional<std::int32_t> activeWindowProcess();

  // The application of a process that owns a window the window manager lists
  // (by _NET_WM_PID, or the creating client as the server knows it), named as
  // frontmostApplication names it; its frontmost such window is the handle.
  // None when the process owns no listed window.
  std::optional<RunningApplication> runningApplication(std::int32_t processIdentifier);

 private:
  // The open display, or null when there is none.
  xcb_connection_t* connection();

  xcb::Connection connection_;
  xcb_window_t root_ = XCB_WINDOW_NONE;
  std::unique_ptr<const x11::WindowAtoms> atoms_;
  bool triedToConnect_ = false;
};

}  // namespace glimra
