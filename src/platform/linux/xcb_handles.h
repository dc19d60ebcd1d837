#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>

namespace glimra::xcb {

struct FreeDeleter {
  void operator()(void* pointer) const { std::free(pointer); }
};

// A reply or error that xcb hands over ("transfer full"): freed with free().
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter>;
using Error = Reply<xcb_generic_error_t>;

struct ConnectionDeleter {
  void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};

// A connection to the X server, disconnected when released. xcb_connect
// always returns an object, even on failure, and it must be disconnected.
using Connection = std::unique_ptr<xcb_connection_t, ConnectionDeleter>;

// Opens the display named by DISPLAY; empty when no server answers there.
// `screenNumber` receives the default screen.
Connection connectToDisplay(int* screenNumber = nullptr);

// The screen with the given number, or null.
xcb_screen_t* screenOfDisplay(xcb_connection_t* connection, int screenNumber);

// The major opcode of XInput, which marks its events, when the server
// offers XInput 2.2 or later; empty otherwise.
std::optional<std::uint8_t> xinput22Opcode(xcb_connection_t* connection);

}  // namespace glimra::xcb
