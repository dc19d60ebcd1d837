#include "support/test_window.h"

#include <fcntl.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/linux/x11_properties.h"
#include "support/eventually.h"

namespace glimra::testing {
namespace {

using namespace std::chrono_literals;

void setText(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t property,
             xcb_atom_t type, const std::string& text) {
  xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, property, type, 8,
                      static_cast<std::uint32_t>(text.size()), text.data());
}

}  // namespace

TestWindow::TestWindow(const std::string& display, const Options& options)
    : managed_(!options.overrideRedirect) {
  int screenNumber = 0;
  connection_.reset(xcb_connect(display.c_str(), &screenNumber));
  if (xcb_connection_has_error(connection_.get()) != 0) {
    throw std::runtime_error("cannot connect to " + display);
  }
  xcb_connection_t* c = connection_.get();
  screen_ = xcb::screenOfDisplay(c, screenNumber);

  window_ = xcb_generate_id(c);
  const std::uint32_t values[] = {options.overrideRedirect ? 1u : 0u};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window_, screen_->root,
                    static_cast<std::int16_t>(options.x), static_cast<std::int16_t>(options.y),
                    static_cast<std::uint16_t>(options.width),
                    static_cast<std::uint16_t>(options.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                    screen_->root_visual, XCB_CW_OVERRIDE_REDIRECT, values);
  setPixmapContents(options);

  const xcb_atom_t utf8 = atom("UTF8_STRING");
  if (options.title) {
    setText(c, window_, atom("_NET_WM_NAME"), utf8, *options.title);
    setText(c, window_, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, *options.title);
  }
  if (options.applicationID) {
    setText(c, window_, atom("_GTK_APPLICATION_ID"), utf8, *options.applicationID);
  }
  const std::string windowClass = options.windowClass + '\0' + options.windowClass + '\0';
  setText(c, window_, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, windowClass);
  const std::uint32_t pid = static_cast<std::uint32_t>(options.pid);
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window_, atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 32,
                      1, &pid);
  // A tiny icon: 2 x 2 opaque pixels of the window's colour.
  const std::uint32_t color = 0xff000000u | options.paint(0, 0);
  const std::uint32_t icon[] = {2, 2, color, color, color, color};
  xcb_change_property(c, XCB_PROP_MODE_REPLACE, window_, atom("_NET_WM_ICON"), XCB_ATOM_CARDINAL,
                      32, 6, icon);
  xcb_flush(c);
}

TestWindow::~TestWindow() { destroy(); }

// The server keeps the contents in a pixmap of the window's background, so
// nothing has to answer expose events.
void TestWindow::setPixmapContents(const Options& options) {
  xcb_connection_t* c = connection_.get();
  pixmap_ = xcb_generate_id(c);
  xcb_create_pixmap(c, screen_->root_depth, pixmap_, window_,
                    static_cast<std::uint16_t>(options.width),
                    static_cast<std::uint16_t>(options.height));
  const xcb_gcontext_t gc = xcb_generate_id(c);
  xcb_create_gc(c, gc, pixmap_, 0, nullptr);

  // Rows in bands that fit in one request.
  const int rowsPerBand = std::max(1, 200000 / options.width);
  std::vector<std::uint32_t> band;
  for (int top = 0; top < options.height; top += rowsPerBand) {
    const int rows = std::min(rowsPerBand, options.height - top);
    band.resize(static_cast<std::size_t>(rows) * options.width);
    for (int y = 0; y < rows; ++y) {
      for (int x = 0; x < options.width; ++x) {
        band[static_cast<std::size_t>(y) * options.width + x] = options.paint(x, top + y);
      }
    }
    xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmap_, gc,
                  static_cast<std::uint16_t>(options.width), static_cast<std::uint16_t>(rows), 0,
                  static_cast<std::int16_t>(top), 0, screen_->root_depth,
                  static_cast<std::uint32_t>(band.size() * 4),
                  reinterpret_cast<const std::uint8_t*>(band.data()));
  }
  xcb_free_gc(c, gc);
  xcb_change_window_attributes(c, window_, XCB_CW_BACK_PIXMAP, &pixmap_);
}

xcb_atom_t TestWindow::atom(const char* name) { return xcb::internAtom(connection_.get(), name); }

void TestWindow::show() {
  xcb_connection_t* c = connection_.get();
  xcb_map_window(c, window_);
  xcb_flush(c);
  const bool shown = eventually([&] {
    const xcb_window_t frame = xcb::topLevelAncestor(c, window_);
    if (managed_ && frame == window_) return false;  // not framed yet
    const xcb::Reply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, frame), nullptr));
    return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
  });
  if (!shown) {
    const xcb_window_t frame = xcb::topLevelAncestor(c, window_);
    const xcb::Reply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, frame), nullptr));
    throw std::runtime_error("the window was not shown: framed " +
                             std::to_string(frame != window_) + ", map state " +
                             std::to_string(attributes ? attributes->map_state : -1));
  }
}

void TestWindow::activate() {
  xcb_connection_t* c = connection_.get();
  const xcb_atom_t activeWindow = atom("_NET_ACTIVE_WINDOW");
  xcb_client_message_event_t message{};
  message.response_type = XCB_CLIENT_MESSAGE;
  message.format = 32;
  message.window = window_;
  message.type = activeWindow;
  message.data.data32[0] = 2;  // from a pager: window managers obey it
  message.data.data32[1] = XCB_CURRENT_TIME;
  xcb_send_event(c, 0, screen_->root,
                 XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                 reinterpret_cast<const char*>(&message));
  xcb_flush(c);
  const bool active = eventually([&] {
    const auto value = xcb::readCardinals(c, screen_->root, activeWindow, XCB_ATOM_WINDOW);
    return value && !value->empty() && (*value)[0] == window_;
  });
  if (!active) throw std::runtime_error("the window manager did not activate the window");
}

TestWindow::Bounds TestWindow::frameBounds() {
  xcb_connection_t* c = connection_.get();
  const std::optional<Rect> bounds = xcb::rootBounds(c, xcb::topLevelAncestor(c, window_));
  if (!bounds) throw std::runtime_error("the window is gone");
  return {static_cast<int>(bounds->x), static_cast<int>(bounds->y), static_cast<int>(bounds->width),
          static_cast<int>(bounds->height)};
}

void TestWindow::destroy() {
  if (window_ == XCB_WINDOW_NONE) return;
  xcb_destroy_window(connection_.get(), window_);
  xcb_free_pixmap(connection_.get(), pixmap_);
  window_ = XCB_WINDOW_NONE;
  free(xcb_get_input_focus_reply(connection_.get(), xcb_get_input_focus(connection_.get()),
                                 nullptr));  // a round trip: the server has done it
}

WindowEvents::WindowEvents(const std::string& display) {
  int screenNumber = 0;
  connection_.reset(xcb_connect(display.c_str(), &screenNumber));
  xcb_connection_t* c = connection_.get();
  const xcb_screen_t* screen = xcb::screenOfDisplay(c, screenNumber);
  const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
  xcb::Error error(xcb_request_check(
      c, xcb_change_window_attributes_checked(c, screen->root, XCB_CW_EVENT_MASK, &mask)));
  if (error) throw std::runtime_error("cannot watch the root window");
}

std::optional<WindowEvents::Flash> WindowEvents::flashOver(int x, int y) {
  xcb_connection_t* c = connection_.get();
  free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
  std::optional<Flash> flash;
  xcb_window_t flashWindow = XCB_WINDOW_NONE;
  while (const xcb::Reply<xcb_generic_event_t> event{xcb_poll_for_event(c)}) {
    switch (event->response_type & 0x7f) {
      case XCB_CREATE_NOTIFY: {
        const auto* created = reinterpret_cast<const xcb_create_notify_event_t*>(event.get());
        if (!flash && created->override_redirect && created->x == x && created->y == y) {
          flash = Flash{created->width, created->height};
          flashWindow = created->window;
        }
        break;
      }
      case XCB_MAP_NOTIFY:
        if (flash &&
            reinterpret_cast<const xcb_map_notify_event_t*>(event.get())->window == flashWindow) {
          flash->mapped = true;
        }
        break;
      case XCB_UNMAP_NOTIFY:
      case XCB_DESTROY_NOTIFY:
        // Both events carry the window at the same offset.
        if (flash && flash->mapped &&
            reinterpret_cast<const xcb_unmap_notify_event_t*>(event.get())->window == flashWindow) {
          flash->unmapped = true;
        }
        break;
    }
  }
  return flash;
}

namespace {

ChildProcess spawnCompositor(const std::string& display) {
  const UniqueFd nothing(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  return ChildProcess::spawn("xcompmgr", {.environment = {{"DISPLAY", display}},
                                          .standardOutput = nothing.get(),
                                          .standardError = nothing.get()});
}

}  // namespace

RunningCompositor::RunningCompositor(const std::string& display)
    : process_(spawnCompositor(display)) {
  int screenNumber = 0;
  xcb::Connection connection(xcb_connect(display.c_str(), &screenNumber));
  const bool running =
      eventually([&] { return xcb::compositingManagerRuns(connection.get(), screenNumber); });
  if (!running) throw std::runtime_error("xcompmgr did not start");
}

}  // namespace glimra::testing
