#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/window_capture_service.h"
#include "runtime/thread_serial_queue.h"

namespace glimra {

// The open display and what it offers; defined with the service.
struct X11CaptureDisplay;

// Window images on X11, where a point is a pixel. The shareable windows are
// the viewable clients of the window manager's stacking list, front to
// back, without desktop windows, each with the frame the window manager put
// around it. Displays are the active RandR 1.5 monitors, or the screen.
//
// A stream reads one frame of the window's frame when started: through
// Composite when a compositing manager runs, so that covering windows do
// not show, otherwise from the window itself; through MIT-SHM when the
// server offers it. Every request is checked, so no X error reaches the
// event queue or standard error; a window that goes away ends the stream
// with a description.
//
// Any thread may call it: the one xcb connection, opened on first use and
// opened again after it broke, is thread-safe. Window lists are answered on
// a worker thread of the service.
class X11WindowCaptureService final : public WindowCaptureService {
 public:
  X11WindowCaptureService();
  ~X11WindowCaptureService() override;

  void requestShareableWindows(ShareableWindowsHandler handler) override;
  std::optional<std::vector<Display>> activeDisplays() override;
  std::shared_ptr<WindowStream> makeStream(const ShareableWindow& window,
                                           const StreamConfiguration& configuration,
                                           StopHandler onStop) override;

 private:
  // The open display, or null when there is none.
  std::shared_ptr<X11CaptureDisplay> display();

  std::mutex mutex_;
  std::shared_ptr<X11CaptureDisplay> display_;  // guarded by mutex_
  // Last, so that it stops first: its tasks use the display.
  ThreadSerialQueue worker_;
};

}  // namespace glimra
