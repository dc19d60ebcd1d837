#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/geometry.h"

namespace glimra::xcb {

// The atom of `name`, interned if needed; XCB_ATOM_NONE when the server
// does not answer.
xcb_atom_t internAtom(xcb_connection_t* connection, std::string_view name);

// A property's raw value. Empty when the window has no such property, it
// has another type or format, or the window is gone (the error is consumed,
// so nothing reaches the event queue). `type` XCB_ATOM_ANY accepts any type.
struct PropertyValue {
  xcb_atom_t type = XCB_ATOM_NONE;
  std::uint8_t format = 0;  // 8, 16 or 32 bits per item
  std::vector<std::uint8_t> bytes;
};
std::optional<PropertyValue> readProperty(xcb_connection_t* connection, xcb_window_t window,
                                          xcb_atom_t property, xcb_atom_t type,
                                          std::uint32_t maxBytes = 1u << 20);

// A format-32 property as numbers (CARDINAL, WINDOW, ATOM, ...).
std::optional<std::vector<std::uint32_t>> readCardinals(xcb_connection_t* connection,
                                                        xcb_window_t window, xcb_atom_t property,
                                                        xcb_atom_t type,
                                                        std::uint32_t maxBytes = 1u << 20);

// A text property (UTF8_STRING or STRING, as the window set it) as bytes;
// the caller makes them valid UTF-8.
std::optional<std::string> readText(xcb_connection_t* connection, xcb_window_t window,
                                    xcb_atom_t property);

// The child of the root window that holds `window`: the window manager's
// frame of a client window, or the window itself when it is unmanaged or
// already a child of the root. XCB_WINDOW_NONE when the window is gone.
xcb_window_t topLevelAncestor(xcb_connection_t* connection, xcb_window_t window);

// The window's outer rectangle (border included) in root coordinates;
// empty when the window is gone.
std::optional<Rect> rootBounds(xcb_connection_t* connection, xcb_window_t window);

// Whether the server offers RandR 1.5 monitors. Asking also tells the
// server which version this client speaks.
bool offersRandRMonitors(xcb_connection_t* connection);

// A region of the screen as RandR 1.5 names it: its name atom and its
// rectangle in root coordinates.
struct Monitor {
  xcb_atom_t name = XCB_ATOM_NONE;
  Rect bounds;
};

// The screen's active monitors that have an area, in the server's order;
// without any (or when `monitorsOffered` is false), the whole screen as one
// monitor named XCB_ATOM_NONE.
std::vector<Monitor> activeMonitors(xcb_connection_t* connection, const xcb_screen_t& screen,
                                    bool monitorsOffered);

// Whether a compositing manager runs on the screen: the _NET_WM_CM_Sn
// selection has an owner.
bool compositingManagerRuns(xcb_connection_t* connection, int screenNumber);

}  // namespace glimra::xcb
