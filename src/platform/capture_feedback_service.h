#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/geometry.h"

namespace glimra {

// A screen as the windowing system places panels on it.
struct Screen {
  std::optional<std::uint32_t> displayID;  // absent when the screen names no display
  Rect frame;  // screen space: origin at the bottom left of the main display, y up
};

// The flash over a captured window: a borderless white panel with corners
// rounded at 10 points, above every other window, on every workspace,
// ignoring the mouse (clicks reach the window below), never activating the
// helper and never shared with screen capture. It starts fully transparent
// and is not on screen until `orderFront`. Main thread only.
class FlashPanel {
 public:
  virtual ~FlashPanel() = default;

  virtual void orderFront() = 0;
  virtual void setAlpha(double alpha) = 0;  // 0 transparent .. 1 opaque
  virtual void orderOut() = 0;              // gone at once; destroying it does the same
};

// What the capture flash needs from the desktop. Main thread only.
class CaptureFeedbackService {
 public:
  virtual ~CaptureFeedbackService() = default;

  // The user asked the desktop to reduce motion (animations off).
  virtual bool reduceMotion() = 0;

  // The screens in the platform's order.
  virtual std::vector<Screen> screens() = 0;

  // A display's bounds in the global display space (y down, as window
  // bounds are); an empty rectangle for an unknown display.
  virtual Rect displayBounds(std::uint32_t displayID) = 0;

  // A new flash panel over `frame` (screen space), or none where the
  // desktop cannot show one (on X11: no compositing manager runs).
  virtual std::unique_ptr<FlashPanel> makeFlashPanel(const Rect& frame) = 0;
};

}  // namespace glimra
