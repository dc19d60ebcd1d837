#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/key_event_tap.h"
#include "platform/permission_service.h"
#include "protocol/failure_catalog.h"
#include "protocol/ndjson_emitter.h"
#include "runtime/main_loop.h"
#include "runtime/sequence_checker.h"

namespace glimra {

// What tells one key listener from another: the failure messages it uses,
// the events its tap asks for, and the detector the events go to.
struct KeyListenerProfile {
  failures::Listener listener;
  KeyEventMask mask = 0;
  std::function<void(const KeyEvent&)> handleEvent;
  // Clears the detector's state after the tap was disabled.
  std::function<void()> resetDetection;
};

// The lifecycle of a passive key listener, shared by the Option chord and
// the voice chord monitors. `start` installs the tap and sends `ready`, or
// reports why it cannot and retries every 5 seconds until it can. Each
// install failure is reported once, until a different failure or a success
// comes in between. When the system disables the tap, the detector is
// reset, the tap re-enabled and an `event_tap_disabled` error sent.
//
// Lives on the main loop for the rest of the process, held by a
// shared_ptr; its timer and tap callback hold it weakly. Nothing ever
// uninstalls it.
class KeyListener : public std::enable_shared_from_this<KeyListener> {
 public:
  static constexpr Duration kRetryInterval = std::chrono::seconds(5);

  // The services must outlive the listener.
  static std::shared_ptr<KeyListener> create(KeyListenerProfile profile, NDJSONEmitter& emitter,
                                             MainLoop& mainLoop, PermissionService& permissions,
                                             KeyEventTapFactory& taps);

  void start();

  bool isInstalled() const { return eventTap_ != nullptr; }
  bool isRetrying() const { return retryTimer_ != nullptr; }
  bool emittedReady() const { return emittedReady_; }

 private:
  KeyListener(KeyListenerProfile profile, NDJSONEmitter& emitter, MainLoop& mainLoop,
              PermissionService& permissions, KeyEventTapFactory& taps);

  // True once the tap is installed, now or earlier.
  bool installEventTap();
  void scheduleRetry();
  void reportInstallFailure(const GlimraFailure& failure);
  void handleEvent(const KeyEvent& event);
  void recoverFromDisabledTap();

  const KeyListenerProfile profile_;
  NDJSONEmitter& emitter_;
  MainLoop& mainLoop_;
  PermissionService& permissions_;
  KeyEventTapFactory& taps_;

  std::unique_ptr<KeyEventTap> eventTap_;
  std::unique_ptr<LoopSource> retryTimer_;
  std::optional<std::string> lastInstallErrorCode_;
  bool emittedReady_ = false;
  SequenceChecker sequence_;
};

}  // namespace glimra
