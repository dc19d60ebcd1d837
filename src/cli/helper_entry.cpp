#include "cli/helper_entry.h"

#include <stdexcept>
#include <type_traits>

#include "cli/focused_text_target_mode.h"
#include "cli/glimra_options.h"
#include "cli/list_open_with_mode.h"
#include "cli/voice_chords_mode.h"
#include "cli/watch_mode.h"
#include "protocol/failure_catalog.h"
#include "protocol/timestamp.h"

namespace glimra {
namespace {

void runCheckPermissions(PermissionService& permissions, NDJSONEmitter& emitter) {
  const bool inputMonitoring = permissions.preflightListenEventAccess();
  const bool screenRecording = permissions.preflightScreenCaptureAccess();
  emitter.emitPermissions(inputMonitoring, screenRecording);
}

void runRequestPermissions(PermissionService& permissions, NDJSONEmitter& emitter) {
  // All four calls, always, in this order: a request may change what the
  // later preflight sees.
  const bool listenRequest = permissions.requestListenEventAccess();
  const bool captureRequest = permissions.requestScreenCaptureAccess();
  const bool listenPreflight = permissions.preflightListenEventAccess();
  const bool capturePreflight = permissions.preflightScreenCaptureAccess();
  emitter.emitPermissions(listenRequest || listenPreflight, captureRequest || capturePreflight);
}

void runMode(const GlimraMode& mode, Platform& platform, NDJSONEmitter& emitter) {
  std::visit(
      [&](const auto& chosen) {
        using Mode = std::decay_t<decltype(chosen)>;
        if constexpr (std::is_same_v<Mode, modes::CheckPermissions>) {
          runCheckPermissions(*platform.permissions, emitter);
        } else if constexpr (std::is_same_v<Mode, modes::RequestPermissions>) {
          runRequestPermissions(*platform.permissions, emitter);
        } else if constexpr (std::is_same_v<Mode, modes::ListOpenWith>) {
          runListOpenWithMode(chosen, emitter, *platform.applicationRegistry);
        } else if constexpr (std::is_same_v<Mode, modes::FocusedTextTarget>) {
          runFocusedTextTargetMode(chosen.pid, emitter, *platform.accessibility,
                                   platform.runtime->mainLoop());
        } else if constexpr (std::is_same_v<Mode, modes::Watch>) {
          runWatchMode(chosen, emitter, platform);
        } else {
          static_assert(std::is_same_v<Mode, modes::VoiceChords>);
          runVoiceChordsMode(emitter, platform);
        }
      },
      mode);
}

}  // namespace

int runHelper(std::span<const std::string> arguments, NDJSONEmitter& emitter,
              const PlatformFactory& makePlatform) {
  try {
    Result<GlimraOptions> options = GlimraOptions::parse(arguments);
    if (!options.ok()) throw GlimraError(options.failure());
    Platform platform = makePlatform();
    runMode(options.value().mode, platform, emitter);
    return kExitSuccess;
  } catch (...) {
    return reportFailure(std::current_exception(), emitter);
  }
}

int reportFailure(std::exception_ptr failure, NDJSONEmitter& emitter) {
  const std::string capturedAt = currentTimestamp();
  try {
    std::rethrow_exception(failure);
  } catch (const GlimraError& error) {
    emitter.emitError(error.failure(), capturedAt);
    return kExitUsage;
  } catch (const std::exception& error) {
    emitter.emitError(failures::helperFailed(error.what()), capturedAt);
  } catch (...) {
    emitter.emitError(failures::helperFailed("An unknown error occurred."), capturedAt);
  }
  return kExitFailure;
}

}  // namespace glimra
