#include "protocol/failure_catalog.h"

#include <string>

#include "protocol/utf8.h"

namespace glimra::failures {
namespace {

GlimraFailure fixed(std::string_view code, std::string_view message) {
  return {std::string(code), std::string(message)};
}

// Descriptions come from the platform, so they are made valid UTF-8 here:
// an event is never dropped because of the bytes of an error text.
GlimraFailure described(std::string_view code, std::string_view prefix,
                        std::string_view description) {
  return {std::string(code), std::string(prefix) + makeValidUTF8(description)};
}

struct ListenerMessages {
  std::string_view inputMonitoringRequired;
  std::string_view tapCreationFailed;
  std::string_view tapAttachFailed;
  std::string_view tapDisabled;
};

const ListenerMessages& messagesOf(Listener listener) {
  static const ListenerMessages optionChord{
      "Input Monitoring permission is required to watch both Option keys.",
      "macOS could not create the passive Option-key listener.",
      "macOS could not attach the Option-key listener to the run loop.",
      "macOS disabled the Option-key listener; the helper re-enabled it.",
  };
  static const ListenerMessages voiceChord{
      "Input Monitoring permission is required to watch modifier-key shortcuts.",
      "macOS could not create the passive voice chord listener.",
      "macOS could not attach the voice chord listener to the run loop.",
      "macOS disabled the voice chord listener; the helper re-enabled it.",
  };
  return listener == Listener::optionChord ? optionChord : voiceChord;
}

}  // namespace

GlimraFailure invalidArguments(std::string_view message) {
  return described("invalid_arguments", "", message);
}

GlimraFailure helperFailed(std::string_view description) {
  return described("helper_failed", "", description);
}

GlimraFailure outputDirectoryUnavailable(std::string_view description) {
  return described("output_directory_unavailable",
                   "Could not prepare the private capture directory: ", description);
}

GlimraFailure inputMonitoringRequired(Listener listener) {
  return fixed("input-monitoring-required", messagesOf(listener).inputMonitoringRequired);
}

GlimraFailure eventTapCreationFailed(Listener listener) {
  return fixed("event_tap_unavailable", messagesOf(listener).tapCreationFailed);
}

GlimraFailure eventTapAttachFailed(Listener listener) {
  return fixed("event_tap_unavailable", messagesOf(listener).tapAttachFailed);
}

GlimraFailure eventTapDisabled(Listener listener) {
  return fixed("event_tap_disabled", messagesOf(listener).tapDisabled);
}

GlimraFailure captureInProgress() {
  return fixed("capture_in_progress", "A previous Glimra capture is still in progress.");
}

GlimraFailure screenRecordingRequired() {
  return fixed("screen-recording-required",
               "Screen Recording permission is required to capture a window.");
}

GlimraFailure captureProcessingFailed(std::string_view description) {
  return described("capture_processing_failed",
                   "Could not process the captured window: ", description);
}

GlimraFailure noFrontmostApplication() {
  return fixed("no_frontmost_application", "There is no frontmost application to capture.");
}

GlimraFailure excludedFrontmostApplication() {
  return fixed("excluded_frontmost_application", "Ostrel cannot capture its own window.");
}

GlimraFailure windowListUnavailable() {
  // The window list comes from the window manager's stacking list on X11.
  return fixed("window_list_unavailable", "The window manager did not provide a window list.");
}

GlimraFailure noEligibleWindow() {
  return fixed("no_eligible_window",
               "The frontmost application has no visible, shareable layer-0 window.");
}

GlimraFailure shareableContentUnavailable(std::string_view description) {
  return described("shareable_content_unavailable",
                   "Could not read shareable windows: ", description);
}

GlimraFailure windowUnavailable() {
  return fixed("window_unavailable",
               "The selected window disappeared before it could be captured.");
}

GlimraFailure invalidWindowDimensions() {
  return fixed("invalid_window_dimensions", "The selected window has invalid capture dimensions.");
}

GlimraFailure captureSetupFailed(std::string_view description) {
  return described("capture_setup_failed", "Could not configure window capture: ", description);
}

GlimraFailure captureStartFailed(std::string_view description) {
  return described("capture_start_failed", "Could not start window capture: ", description);
}

GlimraFailure captureTimedOut() {
  return fixed("capture_timed_out", "Timed out while preparing or capturing the window.");
}

GlimraFailure captureStopped(std::string_view description) {
  return described("capture_stopped", "Window capture stopped unexpectedly: ", description);
}

GlimraFailure frameConversionFailed() {
  return fixed("frame_conversion_failed", "Could not convert the captured frame into an image.");
}

GlimraFailure pngEncodingFailed() {
  return fixed("png_encoding_failed", "Could not encode the captured window as PNG.");
}

GlimraFailure pngTooLarge() {
  return fixed("png_too_large",
               "The captured window could not be reduced below the 10 MiB image limit.");
}

GlimraFailure outputWriteFailed(std::string_view description) {
  return described("output_write_failed", "Could not write the captured PNG: ", description);
}

}  // namespace glimra::failures
