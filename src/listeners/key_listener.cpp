#include "listeners/key_listener.h"

#include "protocol/timestamp.h"
#include "runtime/weak_task.h"

namespace glimra {

std::shared_ptr<KeyListener> KeyListener::create(KeyListenerProfile profile,
                                                 NDJSONEmitter& emitter, MainLoop& mainLoop,
                                                 PermissionService& permissions,
                                                 KeyEventTapFactory& taps) {
  return std::shared_ptr<KeyListener>(
      new KeyListener(std::move(profile), emitter, mainLoop, permissions, taps));
}

KeyListener::KeyListener(KeyListenerProfile profile, NDJSONEmitter& emitter, MainLoop& mainLoop,
                         PermissionService& permissions, KeyEventTapFactory& taps)
    : profile_(std::move(profile)),
      emitter_(emitter),
      mainLoop_(mainLoop),
      permissions_(permissions),
      taps_(taps) {}

void KeyListener::start() {
  GLIMRA_CHECK_SEQUENCE(sequence_);
  if (installEventTap()) return;
  if (retryTimer_) return;
  scheduleRetry();
}

void KeyListener::scheduleRetry() {
  retryTimer_ = mainLoop_.startRepeatingTimer(
      kRetryInterval,
      weakTask(shared_from_this(), [](KeyListener& listener) { listener.installEventTap(); }));
}

bool KeyListener::installEventTap() {
  if (eventTap_) return true;
  if (!permissions_.preflightListenEventAccess()) {
    reportInstallFailure(failures::inputMonitoringRequired(profile_.listener));
    return false;
  }

  std::weak_ptr<KeyListener> weakSelf = weak_from_this();
  std::unique_ptr<KeyEventTap> tap =
      taps_.createTap(profile_.mask, [weakSelf](const KeyEvent& event) {
        if (const auto self = weakSelf.lock()) self->handleEvent(event);
      });
  if (!tap) {
    reportInstallFailure(failures::eventTapCreationFailed(profile_.listener));
    return false;
  }
  if (!tap->attachToMainLoop(mainLoop_)) {
    // The half-made tap is released before the next attempt.
    reportInstallFailure(failures::eventTapAttachFailed(profile_.listener));
    return false;
  }

  eventTap_ = std::move(tap);
  lastInstallErrorCode_.reset();
  eventTap_->enable();
  if (!emittedReady_) {
    emittedReady_ = true;
    emitter_.emit({{"type", "ready"}});
  }
  retryTimer_.reset();
  return true;
}

void KeyListener::reportInstallFailure(const GlimraFailure& failure) {
  if (lastInstallErrorCode_ == failure.code) return;
  lastInstallErrorCode_ = failure.code;
  emitter_.emitError(failure, currentTimestamp());
}

void KeyListener::handleEvent(const KeyEvent& event) {
  GLIMRA_CHECK_SEQUENCE(sequence_);
  if (event.type == key_event_types::kTapDisabledByTimeout ||
      event.type == key_event_types::kTapDisabledByUserInput) {
    recoverFromDisabledTap();
    return;
  }
  profile_.handleEvent(event);
}

void KeyListener::recoverFromDisabledTap() {
  profile_.resetDetection();
  if (eventTap_) eventTap_->enable();
  // Every notification is reported; it leaves the install failure record
  // alone.
  emitter_.emitError(failures::eventTapDisabled(profile_.listener), currentTimestamp());
}

}  // namespace glimra
