#pragma once

#include <functional>
#include <memory>

#include "platform/key_event.h"
#include "runtime/main_loop.h"

namespace glimra {

// A passive, listen-only tap on the global input events: it sees keys and
// buttons on their way to other applications and never consumes or alters
// them. Installed in three steps, each of which may fail on its own:
// created by a KeyEventTapFactory, attached to the main loop, enabled.
// Destroying it takes it off the main loop and releases it. Main thread
// only.
class KeyEventTap {
 public:
  virtual ~KeyEventTap() = default;

  // Joins the main loop, which from then on delivers the tap's events.
  // False when the tap cannot be attached; the tap is then unusable.
  virtual bool attachToMainLoop(MainLoop& mainLoop) = 0;

  // Starts delivering events, or starts again after the system disabled
  // the tap (which it reports with a tap-disabled event).
  virtual void enable() = 0;
};

using KeyEventCallback = std::function<void(const KeyEvent&)>;

class KeyEventTapFactory {
 public:
  virtual ~KeyEventTapFactory() = default;

  // A new tap for the event types in `mask`, plus the two tap-disabled
  // notifications, which every tap receives; null when none can be
  // created. `onEvent` runs on the main loop for each event.
  virtual std::unique_ptr<KeyEventTap> createTap(KeyEventMask mask, KeyEventCallback onEvent) = 0;
};

}  // namespace glimra
