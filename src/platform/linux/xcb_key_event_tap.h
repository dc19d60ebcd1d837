#pragma once

#include <memory>
#include <utility>

#include "platform/key_event_tap.h"
#include "runtime/sequence_checker.h"

namespace glimra {

// The passive key listener of X11: XInput 2 raw key and button events,
// selected on the root window for all master devices. Raw events reach every
// client that selects them and nothing is grabbed, so the tap is listen-only
// and no other client notices it. Each tap has its own connection to the
// display named by DISPLAY; the display must offer XInput 2.2 or later.
//
// X11 never disables a tap by itself, so these taps never send a
// tap-disabled event; one `enable()` is all they need.
//
// Owned by its creator; main thread only. Events come in on the main loop
// it is attached to. When the X server goes away the tap leaves the main
// loop quietly and delivers nothing more.
class XcbKeyEventTap final : public KeyEventTap {
 public:
  // Null when the display cannot be opened, lacks XInput 2.2 or refuses the
  // selection.
  static std::unique_ptr<XcbKeyEventTap> create(KeyEventMask mask, KeyEventCallback onEvent);

  ~XcbKeyEventTap() override;

  // False when the connection has broken since it was opened.
  bool attachToMainLoop(MainLoop& mainLoop) override;
  // Events read before the first call are dropped.
  void enable() override;

 private:
  // The connection and the reading of its events, shared with the watch's
  // task so that a tap destroyed from its own callback finishes safely.
  class Reader;

  explicit XcbKeyEventTap(std::shared_ptr<Reader> reader);

  std::shared_ptr<Reader> reader_;
  SequenceChecker sequence_;
};

class XcbKeyEventTapFactory final : public KeyEventTapFactory {
 public:
  std::unique_ptr<KeyEventTap> createTap(KeyEventMask mask, KeyEventCallback onEvent) override {
    return XcbKeyEventTap::create(mask, std::move(onEvent));
  }
};

}  // namespace glimra
