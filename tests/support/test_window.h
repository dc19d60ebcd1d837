#pragma once

#include <sys/types.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/linux/xcb_handles.h"
#include "support/subprocess.h"

namespace glimra::testing {

// A real client window on a private X server, made by the test on its own
// connection, with the properties an application sets. Its contents are a
// background pixmap, so the server repaints them whenever needed.
class TestWindow {
 public:
  struct Options {
    int x = 100;
    int y = 100;
    int width = 400;
    int height = 300;
    std::function<std::uint32_t(int x, int y)> paint = [](int, int) { return 0xcc2222u; };
    std::optional<std::string> title = std::nullopt;          // _NET_WM_NAME
    std::optional<std::string> applicationID = std::nullopt;  // _GTK_APPLICATION_ID
    std::string windowClass = "glimra-test";                  // WM_CLASS, instance and class
    pid_t pid = ::getpid();                                   // _NET_WM_PID
    bool overrideRedirect = false;  // unmanaged: above managed windows, never active
  };

  TestWindow(const std::string& display, const Options& options);
  ~TestWindow();
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  xcb_window_t id() const { return window_; }

  // Maps the window and, for a managed one, waits until the window manager
  // has framed it and it is viewable.
  void show();

  // Asks the window manager to activate the window and waits until the
  // root's _NET_ACTIVE_WINDOW names it.
  void activate();

  // The window manager's frame (or the window itself) in root coordinates:
  // what a capture of the window shows.
  struct Bounds {
    int x, y, width, height;
  };
  Bounds frameBounds();

  void destroy();

 private:
  xcb_atom_t atom(const char* name);
  void setPixmapContents(const Options& options);

  xcb::Connection connection_;
  xcb_screen_t* screen_ = nullptr;
  xcb_window_t window_ = XCB_WINDOW_NONE;
  xcb_pixmap_t pixmap_ = XCB_NONE;
  bool managed_ = true;
};

// Watches the root window for override-redirect windows coming and going,
// from construction on, on a connection of its own.
class WindowEvents {
 public:
  explicit WindowEvents(const std::string& display);

  // An override-redirect window created with its top-left corner at (x, y).
  struct Flash {
    int width = 0;
    int height = 0;
    bool mapped = false;
    bool unmapped = false;  // unmapped or destroyed after it was mapped
  };
  // What happened to the first such window, from the events received so
  // far (after a round trip to the server); empty when none was created.
  std::optional<Flash> flashOver(int x, int y);

 private:
  xcb::Connection connection_;
};

// xcompmgr on the display, running until destroyed; returns once it owns
// the compositing-manager selection.
class RunningCompositor {
 public:
  explicit RunningCompositor(const std::string& display);

 private:
  ChildProcess process_;  // stopped and reaped when destroyed
};

}  // namespace glimra::testing
